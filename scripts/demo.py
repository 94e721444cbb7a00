"""The demo inside the sandbox: a self-contained local distribution of Mirel Online and the
launcher doing its whole job for a player whose game is not installed yet.

  - an installer (the stand-in installer, padded to --size-mb) published as a torrent with a web
    seed, its description packed as "Mirel.ndn" and served over HTTP;
  - a tracker, a native libtorrent seeder and an nginx web seed, all on 127.0.0.1;
  - the launcher started by its starter's command line: it fetches and unpacks Mirel.ndn,
    downloads the installer over BitTorrent, opens it, waits for its window to come and go,
    then ends the old patcher, refreshes and starts the patcher copy, and closes.

Screenshots of each stage and a timeline go to the output folder."""
import argparse
import io
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

from PIL import Image

ROOT = Path(os.environ["MIREL_ROOT"])
sys.path.insert(0, str(ROOT / "tests" / "servers"))
import seeder  # noqa: E402
import swarm  # noqa: E402
from polling import wait_for  # noqa: E402

BUILD = ROOT / "build"
STANDINS = BUILD / "standins"
DRIVE_C = Path(os.environ["WINEPREFIX"]) / "drive_c"
GAME = DRIVE_C / "Mirel Online"
KEY = r"Software\MirelOnline\Game"  # no blanks: the start string is passed unquoted
T0 = time.time()
OUT = None


def log(msg):
    line = f"{time.time() - T0:7.2f}s  {msg}"
    print(line, flush=True)
    with open(OUT / "timeline.txt", "a", encoding="utf-8") as f:
        f.write(line + "\n")


def helper(*args):
    proc = subprocess.run(["wine", str(STANDINS / "winhelper.exe"), *map(str, args)], stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, timeout=60)
    return proc.returncode, proc.stdout.decode("cp949", errors="replace").strip()


def find(cls=None, title=None):
    args = ["find"] + (["--class", cls] if cls else []) + (["--title", title] if title else [])
    rc, out = helper(*args)
    return out if rc == 0 else None


def visible(hwnd):
    rc, out = helper("info", hwnd)
    return rc == 0 and "visible=1" in out.splitlines()


def grab():
    png = subprocess.run(["import", "-window", "root", "png:-"], capture_output=True, timeout=30).stdout
    return Image.open(io.BytesIO(png)).convert("RGB")


def client_origin(hwnd):
    rc, out = helper("info", hwnd)
    info = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
    x, y, _, _ = (int(v) for v in info["client"].split(","))
    return x, y


def bar_percent(img, origin):
    """The progress bar's filled share, read from the screen."""
    x0, y0 = origin[0] + 35, origin[1] + 256
    filled = sum(1 for x in range(450) if img.getpixel((x0 + x, y0)) != (0, 0, 0))
    return filled * 100 // 450


def save(img, name):
    img.save(OUT / name)
    log(f"screenshot {name}")


def main():
    global OUT
    ap = argparse.ArgumentParser()
    ap.add_argument("out")
    ap.add_argument("--size-mb", type=int, default=int(os.environ.get("MIREL_DEMO_SIZE_MB", "100")),
                    help="size of the installer to download (MB)")
    ap.add_argument("--rate-mb", type=float, default=12.0,
                    help="upload limit of the seeder (MB/s), so the bar can be watched")
    args = ap.parse_args()
    OUT = Path(args.out)
    OUT.mkdir(parents=True, exist_ok=True)
    for old in OUT.glob("*"):
        old.unlink()

    work = Path(os.environ.get("MIREL_SANDBOX_DIR", "/tmp")) / "distribution"
    log(f"publishing: an installer of {args.size_mb} MB as a torrent with a web seed, packed as Mirel.ndn")
    tracker = seeder.Tracker().start()
    # The web seed at a third of the seeder's rate: libtorrent asks a much slower web seed for
    # one long range, and its last pieces then hold the end of the download for seconds.
    web = seeder.WebSeed(work, rate=int(args.rate_mb * (1 << 20) / 3)).start()
    dist = seeder.build_distribution(work, args.size_mb << 20, base=STANDINS / "standin_installer.exe",
                                     name="MirelSetup.exe", announce=tracker.url, web_seeds=[web.url("MirelSetup.exe")])
    files = seeder.FileServer(work).start()
    # The web server's own rate limit counts per request, and the launcher asks for 1 MiB ranges:
    # the web seed's rate is held by the kernel instead.
    swarm.OriginLimit(seeder.LOOPBACK, web.port, int(args.rate_mb * (1 << 20) / 3)).add("127.0.0.1")
    lt_seed = seeder.LtSeeder(dist, upload_limit=int(args.rate_mb * (1 << 20))).start()
    lt_seed.wait_seeding()
    log(f"tracker {tracker.url}; seeder 127.0.0.1:{lt_seed.port}; web seed {web.url('MirelSetup.exe')}")
    log(f"Mirel.ndn served at {files.url('Mirel.ndn')} (info-hash {dist.info_hash})")

    # The patcher of an earlier session is still running.
    old = subprocess.Popen(["wine", str(STANDINS / "standin_patcher_nover.exe")], stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           env=dict(os.environ, STANDIN_PATCHER_LOG=r"C:\old-patcher.log"))
    while not find("Mirel Patcher"):
        time.sleep(0.05)

    start = f"player01*session-token*{KEY}*game.mirel.example*{files.url('Mirel.ndn')}*0"
    env = dict(os.environ,
               STANDIN_INSTALL_KEY=KEY, STANDIN_INSTALL_DIR=r"C:\Mirel Online", STANDIN_INSTALL_VERSION="1.4.2",
               STANDIN_INSTALL_MS="2500",
               STANDIN_INSTALL_PATCHER="Z:" + str(STANDINS / "standin_patcher.exe").replace("/", "\\"))
    log(f"starting the launcher (game not installed) with: {start}")
    proc = subprocess.Popen(["wine", str(BUILD / "MirelLauncher.exe"), start], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
    hwnd = None
    while proc.poll() is None and not hwnd:
        hwnd = find("Mirel Launcher")
    origin = client_origin(hwnd)
    save(grab(), "1-preparing.png")

    shots = {"part-way": False, "peers": False, "installer": False}
    last = -1
    peer_open = False
    while proc.poll() is None:
        img = grab()
        # Once the installer has been seen the launcher hides its window: nothing left to read.
        pct = last if peer_open or (shots["installer"] and not visible(hwnd)) else bar_percent(img, origin)
        if pct // 10 != last // 10:
            log(f"progress bar at {pct}%")
        last = pct
        if not shots["part-way"] and 15 <= pct <= 70:
            save(img, "2-downloading.png")
            shots["part-way"] = True
            helper("command", hwnd, 32775)  # ID_SHOW_PEER_INFO, what Ctrl+Shift+F10 sends: the peer window
            peer_open = True
        elif shots["part-way"] and not shots["peers"] and find("#32770", "Dialog"):
            time.sleep(1.2)  # the list is refilled about once a second
            save(grab(), "3-peer-window.png")
            shots["peers"] = True
            peer = find("#32770", "Dialog")
            helper("command", peer, 1005)  # IDC_BTN_CLOSE, its Close button
            time.sleep(0.3)
            peer_open = False
        if not shots["installer"] and find(title="미렐온라인 설치 "):
            log("the installer's window is open")
            time.sleep(0.3)
            save(grab(), "4-installer.png")
            shots["installer"] = True
        time.sleep(0.2)
    rc = proc.wait()
    log(f"the launcher closed with exit code {rc}")
    log(f"the old patcher was ended with exit code {old.wait(timeout=10)}")
    payload = DRIVE_C / "Down" / "Mirel Online" / "MirelSetup.exe"
    same = payload.exists() and seeder.file_sha1(payload) == dist.sha1()
    log(f"downloaded installer identical to the published one: {same}")
    args_log = GAME / "patcher-args.log"
    if wait_for(args_log.exists, 10):
        for line in args_log.read_bytes().decode("cp949").splitlines():
            _, _, rest = line.partition(" ")
            cwd, _, argl = rest.partition("|")
            log(f"patcher copy started in {cwd} with: {argl}")
    save(grab(), "5-after.png")
    for s in (lt_seed,):
        s.stop()
    files.stop()
    web.stop()
    tracker.stop()
    ok = rc == 0 and same and args_log.exists()
    log("demo " + ("finished: the game was installed and the patcher started" if ok else "FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
