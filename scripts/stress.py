"""Fault rounds against the real launcher under Wine, with a real seeder on loopback. Prints
counts; no pass or fail beyond its exit code (1 when a round went wrong).

  (a) kill: the launcher killed at a random moment of a download, then started again; the
      round is good when the second run ends with the installer identical to the published
      one, opened once, and the patcher started.
  (b) exit: one of the two exit commands at a random moment of a busy download; the round is
      good when the launcher is gone within the bound the exits promise.
  (c) full: the installer's file lies on a small filesystem (a tmpfs in a private mount
      namespace, bound over the file's name in the download folder) that fills up
      mid-download, then is grown; the round is good when the download completes by itself,
      identical.

  scripts/stress [--rounds N] [--full-rounds N] [--only kill,exit,full] [--size-mib N] [--seed N]

Runs inside scripts/sandbox and its own mount namespace (scripts/stress sets that up).
"""
import argparse
import os
import random
import shutil
import subprocess
import sys
import time
import traceback
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests"))

if os.environ.get("MIREL_IN_SANDBOX") != "1" or "WINEPREFIX" not in os.environ:
    sys.exit("run scripts/stress: it builds the launcher and runs this inside the sandbox")

from harness import wait_for  # noqa: E402
from harness.launcher import (ID_MENU_EXIT, IDC_BTN_EXIT, IDOK, WM_COMMAND, Flow, Game, Launcher,  # noqa: E402
                              finish_flow)
from harness.peers import Peers, forget_clients, publish, start_lt_seeder  # noqa: E402
from harness.wine import Wine, download_dir, end_server, restart_server  # noqa: E402
import seeder as S  # noqa: E402  (tests/servers, on the path through the harness)

DOWNLOAD_DIR = download_dir()
MiB = 1 << 20
# The unconfirmed exit waits at most 5 s for the monitor, the confirmed one 1 s; the process
# then ends at once. Wine needs a moment to tear a process down on a loaded machine.
EXIT_BOUND_S = 10


class Round:
    def __init__(self, tag, n, work):
        self.wine = Wine()
        self.game = Game(self.wine, f"Stress_{tag}_{n}")
        if self.game.folder.exists():
            shutil.rmtree(self.game.folder)
        self.launcher = Launcher(self.wine)
        self.tmp = work / f"{tag}-{n}"
        self.tmp.mkdir(parents=True, exist_ok=True)

    def close(self):
        self.launcher.cleanup()
        self.game.uninstall()


def clear_download_dir():
    if DOWNLOAD_DIR.is_mount():
        for child in DOWNLOAD_DIR.iterdir():
            shutil.rmtree(child) if child.is_dir() else child.unlink()
    else:
        shutil.rmtree(DOWNLOAD_DIR, ignore_errors=True)


def round_kill(rng, n, work, dist, files, seed, size):
    r = Round("kill", n, work)
    try:
        clear_download_dir()
        first = Flow(r.wine, r.game, r.launcher, r.tmp, files, install_ms=1500).start()
        base = seed.uploaded()
        # A random moment of the download, measured in what the seeder has sent.
        at = base + int(size * rng.uniform(0.02, 0.95))
        if not wait_for(lambda: seed.uploaded() >= at or first.proc.poll() is not None, 120):
            return "no transfer"
        if first.proc.poll() is not None:
            return f"first run ended by itself ({first.proc.returncode})"
        first.kill()
        # Windows closes a killed process's sockets with it; Wine's server keeps its connected
        # ones open (with their pending receives), so the seeder still counts the old
        # connection, refuses the next launcher, which listens on the same port, as a duplicate
        # ("duplicate peer-id"), and the launcher tries again only a minute later, for as long
        # as the seeder keeps the old one (its inactivity timeout: two minutes). Ending the
        # server closes them, as Windows would.
        end_server()
        second = Flow(r.wine, r.game, r.launcher, r.tmp, files, install_ms=1500).start()
        finish_flow(second, dist, timeout=180)
        return None
    except AssertionError as e:
        return f"assertion: {e}"
    finally:
        r.close()


def round_exit(rng, n, work, dist, files, seed):
    r = Round("exit", n, work)
    try:
        clear_download_dir()
        flow = Flow(r.wine, r.game, r.launcher, r.tmp, files, install_ms=1500).start()
        hwnd = flow.window()
        if not hwnd:
            return "no window"
        base = seed.uploaded()
        if not wait_for(lambda: seed.uploaded() > base, 60):
            return "no transfer"
        time.sleep(rng.uniform(0.0, 2.0))  # a random moment of the busy download
        confirmed = n % 2 == 1
        t0 = time.monotonic()
        if confirmed:
            r.wine.command(hwnd, IDC_BTN_EXIT)
            r.wine.click_msgbox("Check", IDOK, timeout_ms=20000)
            t0 = time.monotonic()
        else:
            r.wine.post(hwnd, WM_COMMAND, ID_MENU_EXIT)
        said = lambda: " | ".join(flow.stderr().splitlines()[-4:])  # noqa: E731  (the exit's own lines)
        try:
            rc = flow.proc.wait(timeout=EXIT_BOUND_S)
        except subprocess.TimeoutExpired:
            ended = wait_for(lambda: flow.proc.poll() is not None, 60)
            took = f"ended after {time.monotonic() - t0:.1f} s" if ended else "still running after 70 s"
            return f"{'confirmed' if confirmed else 'menu'} exit hung beyond {EXIT_BOUND_S} s ({took}): {said()}"
        took = time.monotonic() - t0
        if rc != 0:
            return f"exit code {rc}: {said()}"
        return None if took <= EXIT_BOUND_S else f"exit took {took:.1f} s: {said()}"
    finally:
        r.close()


def df_used(path):
    st = os.statvfs(path)
    return (st.f_blocks - st.f_bfree) * st.f_frsize, st.f_blocks * st.f_frsize


def round_full(rng, n, work, dist, files, seed, size):
    r = Round("full", n, work)
    clear_download_dir()
    # The launcher takes only a download folder that is an ordinary folder (not a mount point,
    # nor a link) and uses one with content only when nobody else may write it (any other it
    # moves aside). The folder therefore stays on the prefix's own filesystem, the player's
    # alone, and only the installer's file lies on the small one: a file there, bound over its
    # name in the folder.
    DOWNLOAD_DIR.mkdir(parents=True, exist_ok=True)
    os.chmod(DOWNLOAD_DIR, 0o755)
    small_fs = work / f"full-fs-{n}"
    small_fs.mkdir(parents=True, exist_ok=True)
    small = int(size * rng.uniform(0.3, 0.7)) // MiB * MiB
    installer = DOWNLOAD_DIR / dist.name
    subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={small},mode=0755,uid={os.getuid()},gid={os.getgid()}",
                    "stress-down", str(small_fs)], check=True)
    try:
        (small_fs / dist.name).touch()
        installer.touch()
        subprocess.run(["mount", "--bind", str(small_fs / dist.name), str(installer)], check=True)
        flow = Flow(r.wine, r.game, r.launcher, r.tmp, files, install_ms=1500).start()
        # Full: the small filesystem has no room left and the seeder stops sending.
        full = wait_for(lambda: df_used(small_fs)[0] >= df_used(small_fs)[1] - 64 * 1024, 180)
        if not full:
            boxes = r.wine.msgboxes(timeout_ms=100)
            return "the folder never filled up" + (f" ({boxes})" if boxes else "")
        sent = seed.uploaded()
        time.sleep(2)
        if flow.proc.poll() is not None:
            return f"the launcher ended on a full disk ({flow.proc.returncode})"
        hwnd = flow.window(timeout_ms=2000)
        if not hwnd or r.wine.text(hwnd) is None:
            return "the window does not answer while the disk is full"
        stalled = seed.uploaded() - sent
        subprocess.run(["mount", "-o", f"remount,size={size + 64 * MiB}", str(small_fs)], check=True)
        finish_flow(flow, dist, timeout=180)
        print(f"    filled at {small // MiB} MiB, sent while full {stalled // 1024} KiB", flush=True)
        return None
    except AssertionError as e:
        return f"assertion: {e}"
    finally:
        r.close()
        subprocess.run(["umount", "-l", str(installer)])
        subprocess.run(["umount", "-l", str(small_fs)])


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--rounds", type=int, default=50, help="rounds of kill and of exit")
    ap.add_argument("--full-rounds", type=int, default=3)
    ap.add_argument("--only", default="kill,exit,full")
    ap.add_argument("--size-mib", type=int, default=32)
    ap.add_argument("--rate-mib", type=int, default=12, help="the seeder's upload limit, MiB/s")
    ap.add_argument("--seed", type=int, default=int(time.time()))
    args = ap.parse_args()
    kinds = [k.strip() for k in args.only.split(",") if k.strip()]
    rng = random.Random(args.seed)
    size = args.size_mib * MiB
    print(f"random seed {args.seed}", flush=True)

    # The sandbox started Wine's server before this mount namespace existed; one started here
    # sees the small filesystem.
    restart_server()
    work = Path(os.environ.get("MIREL_SANDBOX_DIR", "/tmp")) / "stress"
    work.mkdir(parents=True, exist_ok=True)
    peers = Peers(work)
    tracker = peers.add(S.Tracker().start())
    counts = {}
    try:
        dist, files = publish(peers, size, tracker, piece_size=256 * 1024)
        seed = start_lt_seeder(peers, tracker, dist, upload_limit=args.rate_mib * MiB)
        for kind in kinds:
            rounds = args.full_rounds if kind == "full" else args.rounds
            good, bad = 0, []
            for n in range(rounds):
                t0 = time.monotonic()
                forget_clients(tracker, seed)
                try:
                    if kind == "kill":
                        why = round_kill(rng, n, work, dist, files, seed, size)
                    elif kind == "exit":
                        why = round_exit(rng, n, work, dist, files, seed)
                    elif kind == "full":
                        why = round_full(rng, n, work, dist, files, seed, size)
                    else:
                        sys.exit(f"unknown kind {kind}")
                except Exception:
                    why = "error: " + traceback.format_exc().strip().splitlines()[-1]
                if why is None:
                    good += 1
                else:
                    bad.append(f"round {n}: {why}")
                print(f"{kind} {n + 1}/{rounds}: {'ok' if why is None else why} ({time.monotonic() - t0:.1f} s)",
                      flush=True)
            counts[kind] = (good, bad)
    finally:
        peers.stop()

    print()
    for kind, (good, bad) in counts.items():
        print(f"{kind:<5} {good}/{good + len(bad)} rounds good")
        for line in bad:
            print(f"      {line}")
    sys.exit(0 if all(not bad for _, bad in counts.values()) else 1)


if __name__ == "__main__":
    main()
