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
    seen = None
    while True:
        if seen is None and log.exists():
            seen = time.perf_counter() - t0
        if proc.poll() is not None and seen is not None:
            break
        if time.perf_counter() - t0 > 60:
            raise SystemExit("launcher did not finish")
        time.sleep(0.002)
    to_exit.append(time.perf_counter() - t0 if proc.returncode is not None else float("nan"))
    to_patcher.append(seen)
    close_patchers()

ms = lambda v: f"{statistics.median(v) * 1000:7.0f} ms"
print(f"runs: {RUNS} (installed game, warm Wine server)")
print(f"any Windows program, start to exit:      {ms(base)}")
print(f"launcher start -> patcher copy running:  {ms(to_patcher)}")
print(f"launcher start -> launcher exited:       {ms(to_exit)}")
print("(the launcher waits 400 ms for its start timer before it begins)")
