"""The scenario tests' fixtures: the real launcher under Wine, driven like a user would, with
stand-ins for the starter and the patcher (tests/harness). Runs inside scripts/sandbox
(private network, own X display, own Wine prefix)."""
import atexit
import os
import re
import shutil
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from harness import wait_for  # noqa: E402
from harness import wine as W  # noqa: E402
from harness.launcher import Game, Launcher, pack  # noqa: E402
from harness.peers import HttpServer, Peers  # noqa: E402
from seeder import FileServer, Tracker  # noqa: E402

# Under pytest-xdist every worker gets a Wine prefix and an X display of its own (the sandbox's
# own are left to the unit tests that run at the same time): windows are found by class, the
# download folder and the single-instance mutex are the prefix's, and screenshots read the
# whole display. Both go when the worker ends.
if os.environ.get("PYTEST_XDIST_WORKER") and "MIREL_SANDBOX_DIR" in os.environ:
    atexit.register(W.own_desktop(os.environ["MIREL_SANDBOX_DIR"]))

PREFIX = Path(os.environ["WINEPREFIX"]) if "WINEPREFIX" in os.environ else None
DRIVE_C = W.drive_c(PREFIX) if PREFIX else None
DOWNLOAD_DIR = W.download_dir(PREFIX) if PREFIX else None


def pytest_configure(config):
    if PREFIX is None:
        raise pytest.UsageError("run the scenario tests through scripts/test (they need the sandbox)")
    config.addinivalue_line("markers", "long: a test that takes many times the others' time; run first")


def pytest_collection_modifyitems(items):
    # The long tests first: the workers then share out the short ones as they get free, and no
    # long test starts when the others are nearly done.
    items.sort(key=lambda item: item.get_closest_marker("long") is None)


@pytest.fixture(scope="session")
def wine():
    return W.Wine()


@pytest.fixture
def game(wine, request):
    name = re.sub(r"[^A-Za-z0-9]", "_", request.node.name)[:60]
    g = Game(wine, name)
    if g.folder.exists():
        shutil.rmtree(g.folder)
    yield g
    g.uninstall()


@pytest.fixture
def launcher(wine, tmp_path):
    l = Launcher(wine, tmp_path)
    yield l
    l.cleanup()


@pytest.fixture(autouse=True)
def clean_download_dir():
    if DOWNLOAD_DIR and DOWNLOAD_DIR.is_symlink():
        DOWNLOAD_DIR.unlink()
    if DOWNLOAD_DIR and DOWNLOAD_DIR.exists():
        shutil.rmtree(DOWNLOAD_DIR)
    yield


@pytest.fixture
def file_server(tmp_path):
    """A plain HTTP server on 127.0.0.1 serving the folder `root`."""
    root = tmp_path / "www"
    root.mkdir()
    server = FileServer(root).start()
    yield server
    server.stop()


@pytest.fixture
def http_server(tmp_path):
    """The test HTTP server that misbehaves on purpose (tests/servers/httpserver.py)."""
    server = HttpServer(tmp_path / "http")
    yield server
    server.stop()


@pytest.fixture
def tracker():
    t = Tracker().start()
    yield t
    t.stop()


@pytest.fixture
def peers(tmp_path):
    p = Peers(tmp_path)
    yield p
    p.stop()


@pytest.fixture
def waiting_launcher(launcher, file_server, wine):
    """A launcher for a game that is not installed, fetched its description and now waits for
    an installer that never comes (a torrent nobody seeds): a running launcher that stays until
    it is closed."""
    plain = b"d8:announce0:4:infod6:lengthi1e4:name4:none12:piece lengthi16384e6:pieces20:" + b"\x01" * 20 + b"ee"
    (file_server.root / "Mirel.ndn").write_bytes(pack(plain))
    proc = launcher.start(f"u*t*Software\\MirelTest\\NoSuchGame*s*{file_server.url('Mirel.ndn')}*0")
    hwnd = launcher.window()
    assert hwnd, "the launcher's window did not appear"
    # Unpacked in place: the plain description is there once the wait has begun.
    ndn = DOWNLOAD_DIR / "Mirel.ndn"
    assert wait_for(lambda: ndn.exists() and ndn.read_bytes() == plain, 60), "the description was not unpacked"
    return proc, hwnd


# A failing test keeps what its launchers said: every "launcher*.out" and "launcher*.err" under
# its tmp_path (Flow and SwarmLauncher write there), the last lines of each, in the report.
@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    if report.passed or report.skipped:
        return
    tmp = item.funcargs.get("tmp_path") if hasattr(item, "funcargs") else None
    if tmp is None or not Path(tmp).is_dir():
        return
    for path in sorted(Path(tmp).rglob("launcher*.out")) + sorted(Path(tmp).rglob("launcher*.err")):
        try:
            lines = path.read_bytes().decode("cp949", errors="replace").replace("\r\n", "\n").splitlines()
        except OSError:
            continue
        if len(lines) > 200:
            lines = [f"... {len(lines) - 200} lines before"] + lines[-200:]
        report.sections.append((f"{path.relative_to(tmp)} ({report.when})", "\n".join(lines) or "(empty)"))
