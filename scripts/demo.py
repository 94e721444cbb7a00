"""The demo inside the sandbox: an installed game, the launcher started by its starter's
command line, the old patcher ended, the patcher copy refreshed and started, the launcher closed.
Screenshots of the window are taken while it is on screen."""
import os
import shutil
import subprocess
import sys
import threading
import time
from pathlib import Path

ROOT = Path(os.environ["MIREL_ROOT"])
BUILD = ROOT / "build"
STANDINS = BUILD / "standins"
OUT = Path(sys.argv[1])
DRIVE_C = Path(os.environ["WINEPREFIX"]) / "drive_c"
GAME = DRIVE_C / "Mirel Online"
KEY = r"Software\MirelOnline\Game"  # no blanks: the start string is passed unquoted
T0 = time.time()


def log(msg):
    line = f"{time.time() - T0:7.2f}s  {msg}"
    print(line, flush=True)
    with open(OUT / "timeline.txt", "a", encoding="utf-8") as f:
        f.write(line + "\n")


def wine(*args, env=None, check=True):
    full_env = dict(os.environ, **(env or {}))
    proc = subprocess.run(["wine", *map(str, args)], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                          stdin=subprocess.DEVNULL, env=full_env, timeout=120)
    if check and proc.returncode != 0:
        raise SystemExit(f"demo: wine {args[0]} failed with {proc.returncode}")
    return proc


def screenshot(name):
    path = OUT / name
    subprocess.run(["import", "-window", "root", str(path)], check=False, stderr=subprocess.DEVNULL)
    return path


def find_window(cls):
    proc = subprocess.run(["wine", str(STANDINS / "winhelper.exe"), "find", "--class", cls],
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    return proc.stdout.decode().strip() if proc.returncode == 0 else None


def main():
    OUT.mkdir(parents=True, exist_ok=True)
    for old in OUT.glob("*"):
        old.unlink()
    log("setting up: installation record and game folder with Patcher.exe")
    GAME.mkdir(parents=True, exist_ok=True)
    shutil.copy(STANDINS / "standin_patcher.exe", GAME / "Patcher.exe")
    shutil.copy(STANDINS / "standin_patcher_v2.exe", GAME / "MirelPatcher.exe")  # an older copy
    wine("reg", "add", f"HKLM\\{KEY}", "/v", "InstallPath", "/t", "REG_SZ", "/d", r"C:\Mirel Online", "/f")
    wine("reg", "add", f"HKLM\\{KEY}", "/v", "Version", "/t", "REG_SZ", "/d", "1.4.2", "/f")

    log("starting a patcher that is still running from an earlier session")
    old = subprocess.Popen(["wine", str(STANDINS / "standin_patcher_nover.exe")], stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           env=dict(os.environ, STANDIN_PATCHER_LOG=r"C:\old-patcher.log"))
    while not find_window("Mirel Patcher"):
        time.sleep(0.05)

    start = f"player01*session-token*{KEY}*game.mirel.example*http://127.0.0.1:1/Mirel.ndn*0"
    log(f"starting the launcher with: {start}")
    proc = subprocess.Popen(["wine", str(BUILD / "MirelLauncher.exe"), start], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    shots = []
    def shoot():
        n = 0
        while proc.poll() is None and n < 40:
            if find_window("Mirel Launcher"):
                shots.append(screenshot(f"launcher-{n:02d}.png"))
                n += 1
            time.sleep(0.02)
    t = threading.Thread(target=shoot)
    t.start()
    rc = proc.wait(timeout=60)
    t.join()
    log(f"launcher ended with exit code {rc}")
    log(f"old patcher ended: exit code {old.wait(timeout=10)}")
    args_log = GAME / "patcher-args.log"
    deadline = time.time() + 10
    while time.time() < deadline and not args_log.exists():
        time.sleep(0.05)
    for line in args_log.read_bytes().decode("cp949").splitlines():
        pid, _, rest = line.partition(" ")
        cwd, _, args = rest.partition("|")
        log(f"patcher copy started in {cwd} with: {args}")
    same = (GAME / "MirelPatcher.exe").read_bytes() == (GAME / "Patcher.exe").read_bytes()
    log(f"patcher copy refreshed from Patcher.exe: {same}")
    kept = [s for s in shots if s.exists()]
    if kept:
        final = OUT / "launcher-window.png"
        shutil.copy(kept[0], final)
        for s in kept:
            s.unlink()
        log(f"screenshot of the launcher window: {final}")
    screenshot("after-exit.png")
    subprocess.run(["wine", str(STANDINS / "winhelper.exe"), "find", "--class", "Mirel Patcher"],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return 0 if rc == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
