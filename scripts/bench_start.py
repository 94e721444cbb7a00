import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from harness import LAUNCHER, STANDINS  # noqa: E402
from harness.launcher import Game, start_string  # noqa: E402
from harness.wine import Wine  # noqa: E402

WINE = Wine()
GAME = Game(WINE, "BenchGame", key=r"Software\MirelBench", folder=WINE.drive_c / "BenchGame")
RUNS = int(sys.argv[1])


def wine(*args, **kw):
    return subprocess.run(["wine", *map(str, args)], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=120, **kw)


GAME.install(version="1.0")
start = start_string(GAME.key, "http://127.0.0.1:1/x", "0", "u", "t", "s")

# As on a player's machine after the installation: the finished download is still in the
# download folder, so the session adds and seeds it, and ends it (a stopped announce to a
# tracker that refuses the connection) when the launcher closes.
import libtorrent as lt  # noqa: E402

DOWN = WINE.download_dir
DOWN.mkdir(parents=True, exist_ok=True)
os.chmod(DOWN.parent, 0o755)
os.chmod(DOWN, 0o755)
(DOWN / "MirelSetup.exe").write_bytes(os.urandom(4 << 20))
files = lt.file_storage()
lt.add_files(files, str(DOWN / "MirelSetup.exe"))
made = lt.create_torrent(files, 256 * 1024)
made.add_tracker("http://127.0.0.1:1/announce")
lt.set_piece_hashes(made, str(DOWN))
(DOWN / "Mirel.ndn").write_bytes(lt.bencode(made.generate()))
log = GAME.args_log

# Baseline: the cost of starting and ending any Windows program here.
base = []
for _ in range(RUNS):
    t0 = time.perf_counter()
    wine(STANDINS / "standin_sleeper.exe", "0")
    base.append(time.perf_counter() - t0)

to_patcher, to_exit = [], []
wine(LAUNCHER, start)  # warm-up
WINE.close_all("Mirel Patcher")
for _ in range(RUNS):
    log.unlink(missing_ok=True)
    t0 = time.perf_counter()
    proc = subprocess.Popen(["wine", str(LAUNCHER), start], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    seen = exited = None
    while seen is None or exited is None:
        now = time.perf_counter() - t0
        if seen is None and log.exists():
            seen = now
        if exited is None and proc.poll() is not None:
            exited = now
        if now > 60:
            raise SystemExit("launcher did not finish")
        time.sleep(0.002)
    to_exit.append(exited)
    to_patcher.append(seen)
    WINE.close_all("Mirel Patcher")

ms = lambda v: f"{statistics.median(v) * 1000:7.0f} ms"
span = lambda v: f"(runs {min(v) * 1000:.0f} to {max(v) * 1000:.0f} ms)"
print(f"runs: {RUNS} (installed game, warm Wine server)")
print(f"any Windows program, start to exit:      {ms(base)}")
print(f"launcher start -> patcher copy running:  {ms(to_patcher)}  {span(to_patcher)}")
print(f"launcher start -> launcher exited:       {ms(to_exit)}  {span(to_exit)}  whole lifetime")
print("(the launcher waits 400 ms for its start timer before it begins)")
