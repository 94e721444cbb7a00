"""The demo inside the sandbox: a self-contained local release of Mirel Online, published as
docs/publishing.md has it, and the launcher doing its whole job for a player whose
game is not installed yet.

  - an installer (the stand-in installer, padded to --size-mb); its torrent made by
    `ndnpack --make-torrent` with the origin as web seed and opentracker as tracker; the
    description packed and signed by `ndnpack --sign` with a version and an expiry;
  - nginx (the origin: Mirel.ndn and the installer), opentracker and an rtorrent seed, each with
    the configuration of tools/publish, on loopback addresses;
  - the launcher built with the test publisher key, started by its starter's command line: it
    fetches, checks and unpacks Mirel.ndn, downloads the installer over BitTorrent, opens it,
    waits for its window to come and go, then ends the old patcher, refreshes and starts the
    patcher copy, and closes.

Screenshots of each stage and a timeline go to the output folder."""
import argparse
import datetime
import os
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from harness import BUILD, wait_for  # noqa: E402
from harness.launcher import (BAR, ID_SHOW_PEER_INFO, IDC_BTN_CLOSE, INSTALLER_TITLE, Launcher, bar_filled,  # noqa: E402
                              installer_env, screenshot, start_old_patcher, start_string)
from harness import release  # noqa: E402
from harness.wine import Wine  # noqa: E402
import seeder  # noqa: E402  (tests/servers, on the path through the harness)
import swarm  # noqa: E402

STANDINS = BUILD / "standins"
WINE = Wine()
DRIVE_C = WINE.drive_c
GAME = DRIVE_C / "Mirel Online"
KEY = r"Software\MirelOnline\Game"  # no blanks: the start string is passed unquoted
T0 = time.time()
OUT = None
SERVERS = []  # stopped at the end, whatever happens


def log(msg):
    line = f"{time.time() - T0:7.2f}s  {msg}"
    print(line, flush=True)
    with open(OUT / "timeline.txt", "a", encoding="utf-8") as f:
        f.write(line + "\n")


def find(cls=None, title=None):
    return WINE.find(cls=cls, title=title)


def bar_percent(img, origin):
    """The progress bar's filled share, read from the screen."""
    return bar_filled(img, origin) * 100 // BAR[2]


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
    www = work / "www"  # the origin's folder: what the web server hands out
    www.mkdir(parents=True)
    log(f"publishing: an installer of {args.size_mb} MB, as docs/publishing.md has it")
    installer = seeder.make_payload(www / "MirelSetup.exe", args.size_mb << 20, STANDINS / "standin_installer.exe")
    nginx = release.Origin(www, workdir=work / "nginx")
    tracker = release.Tracker(work / "opentracker")
    torrent = work / "MirelSetup.exe.torrent"
    made = release.make_torrent(WINE, installer, torrent, web_seeds=[nginx.url("MirelSetup.exe")],
                                trackers=[tracker.url])
    info_hash = release.printed_info_hash(made)
    log("ndnpack --make-torrent: " + made.stdout.decode().splitlines()[0])
    expires = (datetime.datetime.now(datetime.timezone.utc).date() + datetime.timedelta(days=30)).isoformat()
    signed = release.pack(WINE, torrent, www / "Mirel.ndn", secret=release.TEST_SECRET, version=1, expires=expires)
    log("ndnpack --sign: " + signed.stdout.decode().strip())
    SERVERS.append(tracker.start([info_hash]))
    SERVERS.append(nginx.start())
    # The web server's own rate limit counts per request, and the launcher asks for 1 MiB ranges:
    # the web seed's rate is held by the kernel instead, at a third of the seed's (libtorrent asks
    # a much slower web seed for one long range, and its last pieces then hold the end for seconds).
    swarm.OriginLimit(seeder.LOOPBACK, nginx.port, int(args.rate_mb * (1 << 20) / 3)).add("127.0.0.1")
    seed = release.RTorrentSeed(torrent, www, work / "rtorrent", upload_kib=int(args.rate_mb * 1024))
    SERVERS.append(seed.start())
    if not seed.wait_seeding(tracker, info_hash):
        log("rtorrent did not start seeding: " + seed.log.read_text(errors="replace"))
        return 1
    log(f"opentracker {tracker.url} (info-hash {info_hash}); rtorrent {seed.host}:{seed.port}; "
        f"web seed {nginx.url('MirelSetup.exe')}")
    log(f"Mirel.ndn served at {nginx.url('Mirel.ndn')}")

    # The patcher of an earlier session is still running.
    old = start_old_patcher(WINE)

    start = start_string(KEY, nginx.url("Mirel.ndn"), "0", "player01", "session-token", "game.mirel.example")
    env = installer_env(KEY, r"C:\Mirel Online", 2500, version="1.4.2")
    log(f"starting the launcher built with the publisher's key (game not installed) with: {start}")
    proc = Launcher(WINE).start(start, env=env, exe=release.SIGNED_LAUNCHER)
    hwnd = None
    while proc.poll() is None and not hwnd:
        hwnd = find("Mirel Launcher")
    origin = WINE.client_origin(hwnd)
    save(screenshot(), "1-preparing.png")

    shots = {"part-way": False, "peers": False, "installer": False}
    last = -1
    peer_open = False
    while proc.poll() is None:
        img = screenshot()
        # Once the installer has been seen the launcher hides its window: nothing left to read.
        pct = last if peer_open or (shots["installer"] and not WINE.visible(hwnd)) else bar_percent(img, origin)
        if pct // 10 != last // 10:
            log(f"progress bar at {pct}%")
        last = pct
        if not shots["part-way"] and 15 <= pct <= 70:
            save(img, "2-downloading.png")
            shots["part-way"] = True
            WINE.command(hwnd, ID_SHOW_PEER_INFO)  # what Ctrl+Shift+F10 sends: the peer window
            peer_open = True
        elif shots["part-way"] and not shots["peers"] and find("#32770", "Dialog"):
            time.sleep(1.2)  # the list is refilled about once a second
            save(screenshot(), "3-peer-window.png")
            shots["peers"] = True
            peer = find("#32770", "Dialog")
            WINE.command(peer, IDC_BTN_CLOSE)  # its Close button
            time.sleep(0.3)
            peer_open = False
        if not shots["installer"] and find(title=INSTALLER_TITLE):
            log("the installer's window is open")
            time.sleep(0.3)
            save(screenshot(), "4-installer.png")
            shots["installer"] = True
        time.sleep(0.2)
    rc = proc.wait()
    log(f"the launcher closed with exit code {rc}")
    log(f"the old patcher was ended with exit code {old.wait(timeout=10)}")
    payload = DRIVE_C / "Down" / "Mirel Online" / "MirelSetup.exe"
    same = payload.exists() and seeder.file_sha1(payload) == seeder.file_sha1(installer)
    log(f"downloaded installer identical to the published one: {same}")
    args_log = GAME / "patcher-args.log"
    if wait_for(args_log.exists, 10):
        for line in args_log.read_bytes().decode("cp949").splitlines():
            _, _, rest = line.partition(" ")
            cwd, _, argl = rest.partition("|")
            log(f"patcher copy started in {cwd} with: {argl}")
    save(screenshot(), "5-after.png")
    ok = rc == 0 and same and args_log.exists()
    log("demo " + ("finished: the game was installed and the patcher started" if ok else "FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    try:
        sys.exit(main())
    finally:
        for server in reversed(SERVERS):
            server.stop()
