"""Download benchmark: the same torrent from the same loopback seeder, fetched by
  - the launcher (build/MirelLauncher.exe under Wine, the whole not-installed flow),
  - a native libtorrent client (python3-libtorrent, library defaults),
  - aria2c,
one after the other. Prints per client the time from its start to the first payload byte,
the transfer time (first to last payload byte the seeder sent), MB/s, CPU seconds and peak
memory of the client's process, and the launcher's speed as a share of the fastest.

Everything runs inside scripts/sandbox (a private network namespace with only loopback);
scripts/bench-download sets up, builds and runs this script there. By default the seeder
speaks TCP only: uTP on loopback is slow for every client (about 9 MB/s, native or not) and
would measure its congestion control, not the client. --utp lets the seeder accept uTP too.

  scripts/bench-download [--size-mib N] [--runs N] [--clients launcher,libtorrent,aria2]
                         [--launcher PATH] [--utp]
  scripts/bench-download --complete [--size-mib N] [--runs N] [--launcher PATH]

--complete measures the launcher's start-up when the installer is already whole in the download
folder, with resume data that says so: from its start to the installer's start (the stand-in
installer writes a line when it starts). The launcher hashes every piece before it opens the
installer, whatever the resume data says; that check is the figure.

The launcher's CPU time counts its own process; Wine's server process (wineserver, which
every Wine program's system calls on handles, waits and messages go through) is shown apart
and added in the CPU per GiB, so the launcher's cost is complete. Its memory is the peak
resident size of its process. Below the table, the launcher's CPU seconds per thread.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
MiB = 1 << 20


def in_sandbox():
    return os.environ.get("MIREL_IN_SANDBOX") == "1" and "WINEPREFIX" in os.environ


if not in_sandbox():
    sys.exit("run scripts/bench-download: it builds the launcher and runs this inside the sandbox")

sys.path.insert(0, str(ROOT / "tests"))
from harness import STANDINS  # noqa: E402
from harness.launcher import installer_env, start_string  # noqa: E402
from harness.peers import forget_clients  # noqa: E402
from harness.wine import Wine, proc_cpu, server_pids, start_services  # noqa: E402
import seeder as S  # noqa: E402  (tests/servers, on the path through the harness)

WINE = Wine()
DRIVE_C = WINE.drive_c
DOWNLOAD_DIR = WINE.download_dir


class Sample:
    def __init__(self, name):
        self.name = name
        self.seconds = None     # first to last payload byte sent by the seeder
        self.wall = None        # process start to the end of the download
        self.startup = None     # process start to the first payload byte
        self.sent = 0           # payload bytes the seeder sent to this client
        self.cpu = None         # user + system seconds of the client's process
        self.peak_kib = None    # peak resident memory of the client's process
        self.server_cpu = 0.0   # CPU seconds of Wine's server during the run (launcher only)
        self.threads = {}       # thread id -> (name, CPU seconds) (launcher only)
        self.ok = False
        self.note = ""

    def mbps(self, size):
        return size / MiB / self.seconds if self.seconds else 0.0


def watch_transfer(seed, size, start_uploaded, stop):
    """Times the seeder's upload of one whole copy: (first byte, last byte) monotonic times."""
    first = last = None
    while not stop.is_set():
        sent = seed.uploaded() - start_uploaded
        now = time.monotonic()
        if first is None and sent > 0:
            first = now
        if sent >= size:
            last = now
            break
        time.sleep(0.02)
    return first, last


def peak_resident_kib(pid):
    """High-water mark of the process's resident memory (VmHWM). The rusage figure is of no
    use here: Linux carries it over from the parent through fork and exec, and the parent
    holds the seeder with its mapped files."""
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def thread_cpu(pid):
    """tid -> (name, CPU seconds) of every thread of the process (Wine gives Linux the names
    that Windows threads set for themselves)."""
    out = {}
    try:
        tids = os.listdir(f"/proc/{pid}/task")
    except OSError:
        return out
    for tid in tids:
        cpu = proc_cpu(f"/proc/{pid}/task/{tid}/stat")
        try:
            with open(f"/proc/{pid}/task/{tid}/comm") as f:
                name = f.read().strip()
        except OSError:
            name = "?"
        if cpu is not None:
            out[int(tid)] = (name, cpu)
    return out


def run_client(sample, args, seed, size, env=None, cwd=None, done=None, timeout=1800):
    """Runs a client process to its end, timing the seeder's upload and taking the process's
    resource usage. `done` (optional) is called once the whole copy has been sent, to make a
    client end that would not end by itself."""
    base = seed.uploaded()
    stop = threading.Event()
    result = {}
    watcher = threading.Thread(target=lambda: result.update(t=watch_transfer(seed, size, base, stop)), daemon=True)
    watcher.start()
    servers = {p: proc_cpu(f"/proc/{p}/stat") or 0.0 for p in server_pids()}
    t0 = time.monotonic()
    proc = subprocess.Popen(args, env=env, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    deadline = t0 + timeout
    usage = None
    peak = 0
    while True:
        peak = max(peak, peak_resident_kib(proc.pid))
        sample.threads.update(thread_cpu(proc.pid))
        pid, status, usage = os.wait4(proc.pid, os.WNOHANG)
        if pid:
            proc.returncode = os.waitstatus_to_exitcode(status)
            break
        if done and not watcher.is_alive():
            done()
            done = None
        if time.monotonic() > deadline:
            proc.kill()
            pid, status, usage = os.wait4(proc.pid, 0)
            sample.note = "timed out"
            break
        time.sleep(0.05)
    stop.set()
    watcher.join(timeout=5)
    sample.sent = seed.uploaded() - base
    if sample.sent > size * 1.01:
        # pieces that failed their hash check are fetched again
        sample.note = (sample.note + f" {100.0 * (sample.sent - size) / size:.0f}% sent twice").strip()
    first, last = result.get("t", (None, None))
    if first and last:
        sample.seconds = last - first
        sample.wall = last - t0
        sample.startup = first - t0
        sample.ok = True
    sample.cpu = usage.ru_utime + usage.ru_stime
    sample.peak_kib = peak
    for p in set(servers) | set(server_pids()):
        now = proc_cpu(f"/proc/{p}/stat")
        if now is not None:
            sample.server_cpu += now - servers.get(p, 0.0)
    return proc.returncode


NATIVE_CLIENT = r"""
import sys, time, libtorrent as lt
torrent, folder = sys.argv[1], sys.argv[2]
ses = lt.session({"listen_interfaces": "127.0.0.1:0", "enable_dht": False, "enable_lsd": False,
                  "enable_upnp": False, "enable_natpmp": False, "alert_mask": 0})
atp = lt.add_torrent_params()
atp.ti = lt.torrent_info(torrent)
atp.save_path = folder
h = ses.add_torrent(atp)
while not h.status().is_seeding:
    time.sleep(0.05)
"""


def bench_launcher(sample, dist, seed, files, launcher):
    shutil.rmtree(DOWNLOAD_DIR, ignore_errors=True)
    key = "Software\\MirelBench\\Game"
    game = DRIVE_C / "Games" / "MirelBench"
    shutil.rmtree(game, ignore_errors=True)
    WINE.reg_delete(key)
    env = WINE.env(installer_env(key, "C:\\Games\\MirelBench", 100))
    # Start flag "1": no patcher; the launcher closes once the installer has come and gone.
    start = start_string(key, files.url("Mirel.ndn"), "1", "bench", "bench", "bench")
    rc = run_client(sample, ["wine", str(launcher), start], seed, dist.size, env=env)
    if rc != 0:
        sample.note = (sample.note + f" exit code {rc}").strip()
    target = DOWNLOAD_DIR / dist.name
    if sample.ok and (not target.exists() or S.file_sha1(target) != dist.sha1()):
        sample.ok, sample.note = False, "file differs"
    shutil.rmtree(DOWNLOAD_DIR, ignore_errors=True)


def bench_native(sample, dist, seed, work):
    """A native client downloading into a folder of its own; the file is checked, then removed."""
    out = work / sample.name
    shutil.rmtree(out, ignore_errors=True)
    out.mkdir()
    if sample.name == "libtorrent":
        args = [sys.executable, "-c", NATIVE_CLIENT, str(dist.torrent), str(out)]
    else:
        args = ["aria2c", "--seed-time=0", "--enable-dht=false", "--enable-dht6=false", "--bt-enable-lpd=false",
                "--enable-peer-exchange=false", "--disable-ipv6=true", "--file-allocation=none",
                "--listen-port=" + str(S.free_port()), "--console-log-level=error", "--summary-interval=0",
                "--bt-hash-check-seed=false", "--check-integrity=false", f"--dir={out}", str(dist.torrent)]
    run_client(sample, args, seed, dist.size)
    if sample.ok and S.file_sha1(out / dist.name) != dist.sha1():
        sample.ok, sample.note = False, "file differs"
    shutil.rmtree(out, ignore_errors=True)


def bench_complete(dist, files, launcher):
    """Seconds from the launcher's start to the installer's start, and the launcher's CPU
    seconds, with the whole installer and resume data claiming it already in the folder."""
    shutil.rmtree(DOWNLOAD_DIR, ignore_errors=True)
    DOWNLOAD_DIR.mkdir(parents=True)
    shutil.copy(dist.payload, DOWNLOAD_DIR / dist.name)
    save_path = "C:\\Down\\Mirel Online\\"
    (DOWNLOAD_DIR / (dist.name + ".resume")).write_bytes(S.resume_claiming_completion(dist, save_path))
    key = "Software\\MirelBench\\Complete"
    WINE.reg_delete(key)
    log = DRIVE_C / "bench-installer.log"
    log.unlink(missing_ok=True)
    env = WINE.env(installer_env(key, "C:\\Games\\MirelBenchComplete", 100, log="C:\\bench-installer.log"))
    start = start_string(key, files.url("Mirel.ndn"), "1", "bench", "bench", "bench")
    # Let the copy reach the disk first, so that the check reads it, not the copy.
    os.sync()
    t0 = time.monotonic()
    proc = subprocess.Popen(["wine", str(launcher), start], env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    opened = None
    while opened is None and time.monotonic() - t0 < 600:
        if log.exists() and log.stat().st_size > 0:
            opened = time.monotonic() - t0
        time.sleep(0.02)
    _, status, usage = os.wait4(proc.pid, 0)
    shutil.rmtree(DOWNLOAD_DIR, ignore_errors=True)
    return opened, usage.ru_utime + usage.ru_stime


def main_complete(args):
    size = args.size_mib * MiB
    start_services()
    work = Path(tempfile.mkdtemp(prefix="bench-", dir=os.environ.get("MIREL_SANDBOX_DIR")))
    print(f"building a {args.size_mib} MiB distribution ...", flush=True)
    dist = S.build_distribution(work / "dist", size, STANDINS / "standin_installer.exe", "MirelSetup.exe",
                                None, piece_size=1 * MiB)
    files = S.FileServer(dist.folder).start()
    times = []
    try:
        for run in range(args.runs):
            opened, cpu = bench_complete(dist, files, Path(args.launcher))
            print(f"run {run + 1}: installer started after "
                  + (f"{opened:.2f} s, launcher CPU {cpu:.1f} s" if opened else "- (never)"), flush=True)
            if opened:
                times.append(opened)
    finally:
        files.stop()
        shutil.rmtree(work, ignore_errors=True)
    if times:
        times.sort()
        print(f"{args.size_mib} MiB installer complete at start, resume data claiming it: launcher start to "
              f"installer start {times[len(times) // 2]:.2f} s (median of {len(times)}), "
              f"{size / MiB / times[len(times) // 2]:.0f} MiB/s over the whole start-up")
    sys.exit(0 if len(times) == args.runs else 1)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--size-mib", type=int, default=1024)
    ap.add_argument("--runs", type=int, default=1)
    ap.add_argument("--clients", default="launcher,libtorrent,aria2")
    ap.add_argument("--launcher", default=str(ROOT / "build" / "MirelLauncher.exe"))
    ap.add_argument("--utp", action="store_true", help="the seeder also accepts uTP connections")
    ap.add_argument("--complete", action="store_true",
                    help="start-up with the whole installer and resume data already in the folder")
    args = ap.parse_args()
    if args.complete:
        main_complete(args)
    clients = [c.strip() for c in args.clients.split(",") if c.strip()]
    size = args.size_mib * MiB

    # Wine's background services first, with no inherited streams.
    start_services()
    hashbench = ROOT / "build" / "hashbench.exe"
    if hashbench.exists():
        out = subprocess.run(["wine", str(hashbench)], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, timeout=120).stdout.decode(errors="replace")
        print(" | ".join(line.strip() for line in out.splitlines() if line.strip()), flush=True)
    work = Path(tempfile.mkdtemp(prefix="bench-", dir=os.environ.get("MIREL_SANDBOX_DIR")))
    print(f"building a {args.size_mib} MiB distribution ...", flush=True)
    tracker = S.Tracker().start()
    dist = S.build_distribution(work / "dist", size, STANDINS / "standin_installer.exe", "MirelSetup.exe",
                                tracker.url, piece_size=1 * MiB)
    # Checked once up front: in seed mode the seeder hashes each piece when it is first asked
    # for it, which would slow whichever client runs first.
    seed = S.LtSeeder(dist, utp=args.utp).start(check=True)
    if not seed.wait_seeding(timeout=300) or not tracker.announced(seed.port):
        sys.exit("the seeder did not start")
    files = S.FileServer(dist.folder).start()
    transport = "TCP and uTP" if args.utp else "TCP only"
    print(f"seeder: libtorrent {S.lt.__version__} on 127.0.0.1:{seed.port}, {transport}, piece size 1 MiB",
          flush=True)

    results = {c: [] for c in clients}
    try:
        for run in range(args.runs):
            for client in clients:
                # Clients of earlier runs stay registered as seeds when they end without a
                # "stopped"; a client handed their ports (its own among them: a launcher listens
                # on the same port each run) may connect to itself, and libtorrent bans the
                # address of a self-connection, which on loopback is every peer's. Each run
                # starts with only the seeder known.
                forget_clients(tracker, seed)
                sample = Sample(client)
                print(f"run {run + 1}: {client} ...", end=" ", flush=True)
                if client == "launcher":
                    bench_launcher(sample, dist, seed, files, Path(args.launcher))
                elif client in ("libtorrent", "aria2"):
                    bench_native(sample, dist, seed, work)
                else:
                    sys.exit(f"unknown client {client}")
                results[client].append(sample)
                print(f"{sample.seconds:.1f} s" if sample.ok else f"failed {sample.note}", flush=True)
    finally:
        seed.stop()
        files.stop()
        tracker.stop()
        shutil.rmtree(work, ignore_errors=True)

    def best(samples):
        ok = [s for s in samples if s.ok]
        return min(ok, key=lambda s: s.seconds) if ok else None

    print()
    print(f"{args.size_mib} MiB from a seeder on loopback ({transport}), best of {args.runs} run(s) per client")
    print(f"{'client':<12} {'start s':>8} {'time s':>8} {'MB/s':>8} {'CPU s':>8} {'server s':>8} "
          f"{'CPU s/GiB':>9} {'peak MiB':>9}  note")
    bests = {c: best(s) for c, s in results.items()}
    for client, sample in bests.items():
        if not sample:
            note = "; ".join(s.note for s in results[client])
            print(f"{client:<12} {'-':>8} {'-':>8} {'-':>8} {'-':>8} {'-':>8} {'-':>9} {'-':>9}  failed: {note}")
            continue
        per_gib = (sample.cpu + sample.server_cpu) * (1024 * MiB) / size
        print(f"{client:<12} {sample.startup:8.1f} {sample.seconds:8.1f} {sample.mbps(size):8.1f} {sample.cpu:8.1f} "
              f"{sample.server_cpu:8.1f} {per_gib:9.1f} {sample.peak_kib / 1024:9.0f}  {sample.note}")
    for client, samples in results.items():
        runs = ", ".join(f"{s.mbps(size):.1f}" if s.ok else "failed" for s in samples)
        print(f"{client:<12} MB/s per run: {runs}")
    # Every run, not only the best: where a slow run loses its time.
    for client, samples in results.items():
        for n, s in enumerate(samples, 1):
            if not s.ok:
                continue
            line = (f"{client:<12} run {n}: {s.mbps(size):.1f} MB/s, CPU {s.cpu:.1f} s + Wine's server "
                    f"{s.server_cpu:.1f} s, peak {s.peak_kib / 1024:.0f} MiB")
            if s.threads:
                busy = sorted(s.threads.values(), key=lambda t: -t[1])
                line += "; threads " + ", ".join(f"{name} {cpu:.1f}" for name, cpu in busy[:4] if cpu >= 0.05)
                disk = sum(cpu for name, cpu in s.threads.values() if name == "disk")
                if s.seconds and any(name == "disk" for name, _ in s.threads.values()):
                    line += f"; disk worker busy {100 * disk / s.seconds:.0f}% of the transfer"
            print(line)
    launcher = bests.get("launcher")
    if launcher and launcher.threads:
        busy = sorted(launcher.threads.values(), key=lambda t: -t[1])
        shown = ", ".join(f"{name} {cpu:.1f}" for name, cpu in busy[:6] if cpu >= 0.05)
        print(f"launcher CPU s per thread (busiest first, {len(busy)} threads): {shown}")
    if bests.get("libtorrent") and launcher:
        print(f"launcher speed / native libtorrent: {launcher.mbps(size) / bests['libtorrent'].mbps(size):.2f}")
    fastest = max((s.mbps(size) for s in bests.values() if s), default=0)
    if bests.get("launcher") and fastest:
        print(f"launcher speed / fastest: {bests['launcher'].mbps(size) / fastest:.2f}")
    sys.exit(0 if all(bests.values()) else 1)


if __name__ == "__main__":
    main()
