"""The one bounded wait of the test harness (servers and scenario tests)."""
import time


def wait_for(pred, timeout=5.0, interval=0.05):
    """Polls pred until it gives a true value and returns that value; at the time limit, the
    last (false) value."""
    deadline = time.monotonic() + timeout
    while True:
        value = pred()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)
