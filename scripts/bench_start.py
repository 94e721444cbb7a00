import os
import shutil
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(os.environ["MIREL_ROOT"])
STANDINS = ROOT / "build" / "standins"
GAME = Path(os.environ["WINEPREFIX"]) / "drive_c" / "BenchGame"
KEY = r"Software\MirelBench"
RUNS = int(sys.argv[1])


def wine(*args, **kw):
    return subprocess.run(["wine", *map(str, args)], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, timeout=120, **kw)


def close_patchers():
    while True:
        p = subprocess.run(["wine", str(STANDINS / "winhelper.exe"), "find", "--class", "Mirel Patcher"],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        if p.returncode != 0:
            return
        wine(STANDINS / "winhelper.exe", "post", p.stdout.decode().strip(), "16")
        wine(STANDINS / "winhelper.exe", "gone", "--class", "Mirel Patcher", "--timeout", "5000")


GAME.mkdir(parents=True, exist_ok=True)
shutil.copy(STANDINS / "standin_patcher.exe", GAME / "Patcher.exe")
wine("reg", "add", f"HKLM\\{KEY}", "/v", "InstallPath", "/t", "REG_SZ", "/d", r"C:\BenchGame", "/f")
wine("reg", "add", f"HKLM\\{KEY}", "/v", "Version", "/t", "REG_SZ", "/d", "1.0", "/f")
start = f"u*t*{KEY}*s*http://127.0.0.1:1/x*0"

# As on a player's machine after the installation: the finished download is still in the
# download folder, so the session adds and seeds it, and ends it (a stopped announce to a
# tracker that refuses the connection) when the launcher closes.
import libtorrent as lt  # noqa: E402

DOWN = Path(os.environ["WINEPREFIX"]) / "drive_c" / "Down" / "Mirel Online"
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
log = GAME / "patcher-args.log"

# Baseline: the cost of starting and ending any Windows program here.
base = []
for _ in range(RUNS):
    t0 = time.perf_counter()
    wine(STANDINS / "standin_sleeper.exe", "0")
    base.append(time.perf_counter() - t0)

to_patcher, to_exit = [], []
wine(ROOT / "build" / "MirelLauncher.exe", start)  # warm-up
close_patchers()
for _ in range(RUNS):
    log.unlink(missing_ok=True)
    t0 = time.perf_counter()
    proc = subprocess.Popen(["wine", str(ROOT / "build" / "MirelLauncher.exe"), start], stdin=subprocess.DEVNULL,
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
    close_patchers()

ms = lambda v: f"{statistics.median(v) * 1000:7.0f} ms"
span = lambda v: f"(runs {min(v) * 1000:.0f} to {max(v) * 1000:.0f} ms)"
print(f"runs: {RUNS} (installed game, warm Wine server)")
print(f"any Windows program, start to exit:      {ms(base)}")
print(f"launcher start -> patcher copy running:  {ms(to_patcher)}  {span(to_patcher)}")
print(f"launcher start -> launcher exited:       {ms(to_exit)}  {span(to_exit)}  whole lifetime")
print("(the launcher waits 400 ms for its start timer before it begins)")
