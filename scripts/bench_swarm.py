"""Swarm benchmark: N launchers under Wine fetch the same installer at once from one origin.

Each launcher has a Wine prefix of its own (its own C:\\Down, registry and stand-in patcher)
and a loopback address of its own, 127.0.0.11 and up (MIREL_LISTEN_INTERFACE), and runs the
whole flow for a game that is not installed: Mirel.ndn from the origin, the installer over
BitTorrent, the installer stand-in, which keeps its window open for a while (the launcher goes
on sharing meanwhile), then its end. They are started within a second of one another.

  - one tracker: opentracker (Debian's package) on 127.0.0.1;
  - one origin: nginx on 127.0.0.1, serving Mirel.ndn and the installer, which the torrent
    names as its web seed; what it sends is limited to --rate-mib MiB/s per client in the
    kernel (see tests/servers/swarm.py for why not with nginx's limit_rate);
  - no other seed.

Printed: the installer bytes the origin served (its access log) as a multiple of the
installer's size; per launcher the bytes from the web seed (access log), the bytes from and
to the other launchers (counted on the wire by nftables: TCP/IP headers and BitTorrent
messages included), the time from its start to a complete installer (the installer stand-in
started: the launcher opens it only once every piece is hashed), its CPU seconds and its
wineserver's; then the same N downloads over plain HTTP from the same origin, at once, each
from a launcher's address. Every installer is checked against the original. No pass or fail
beyond the exit code (1 when a download failed or differs).

--addresses benchmark puts the launchers on 198.18.0.11 and up instead (the block set aside for
benchmarks, added to the sandbox's loopback device). libtorrent counts peers on loopback and
local networks as "local": it unchokes every one of them at once, whatever its choker. On
benchmark addresses the launchers see one another as on the internet, choker included.

  scripts/bench-swarm [--launchers N] [--size-mib N] [--rate-mib N] [--install-s N]
                      [--piece-kib N] [--addresses loopback|benchmark] [--no-http]
                      [--launcher PATH]
"""
import argparse
import http.client
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
MiB = 1 << 20
TICK = os.sysconf("SC_CLK_TCK")

if os.environ.get("MIREL_IN_SANDBOX") != "1" or "WINEPREFIX" not in os.environ:
    sys.exit("run scripts/bench-swarm: it builds the launcher and runs this inside the sandbox")

sys.path.insert(0, str(ROOT / "tests" / "servers"))
import seeder as S  # noqa: E402
import swarm as W  # noqa: E402

NAME = "MirelSetup.exe"


def proc_cpu(pid):
    try:
        fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / TICK
    except (OSError, IndexError, ValueError):
        return None


class WireCounters:
    """nftables counters of the bytes each launcher's address sends to and receives from the
    other launchers' addresses."""
    TABLE = "mirel_swarm"

    def __init__(self, addresses):
        rules = []
        for a in addresses:
            others = ", ".join(b for b in addresses if b != a)
            if not others:
                continue
            rules.append(f'ip saddr {a} ip daddr {{ {others} }} counter comment "up {a}"')
            rules.append(f'ip daddr {a} ip saddr {{ {others} }} counter comment "down {a}"')
        script = (f"table ip {self.TABLE} {{\n chain out {{\n  type filter hook output priority 0; policy accept;\n"
                  + "".join(f"  {r}\n" for r in rules) + " }\n}\n")
        subprocess.run(["nft", "-f", "-"], input=script.encode(), check=True)

    def read(self):
        out = subprocess.run(["nft", "list", "table", "ip", self.TABLE], capture_output=True, text=True,
                             check=True).stdout
        counts = {}
        for m in re.finditer(r'bytes (\d+) comment "(up|down) ([\d.]+)"', out):
            counts[(m.group(2), m.group(3))] = int(m.group(1))
        return counts

    def clear(self):
        W.run_quiet(["nft", "delete", "table", "ip", self.TABLE])


def fmt_mib(n):
    return f"{n / MiB:7.1f}"


def run_swarm(args, dist, web, tracker, addresses, work):
    size = dist.size
    prefixes = [None] * len(addresses)

    def make(i):
        prefixes[i] = W.new_wine_prefix(work / f"prefix-{i + 1}")
    print(f"making {len(addresses)} Wine prefixes ...", flush=True)
    makers = [threading.Thread(target=make, args=(i,)) for i in range(len(addresses))]
    for t in makers:
        t.start()
    for t in makers:
        t.join()
    if not all(prefixes):
        sys.exit("a Wine prefix could not be made")

    launchers = [W.SwarmLauncher(p, a, install_ms=args.install_s * 1000, exe=Path(args.launcher))
                 for p, a in zip(prefixes, addresses)]
    counters = WireCounters(addresses)
    log_before = len(web.access_log().splitlines())
    done = {}      # index -> seconds to a complete installer
    usage = {}     # index -> (exit code, CPU seconds)
    server_cpu = {}
    try:
        print(f"starting {len(launchers)} launchers ...", flush=True)
        for lau in launchers:
            lau.start(web.url("Mirel.ndn"))
        spread = launchers[-1].started - launchers[0].started
        servers = [lau.wineserver_pids() for lau in launchers]
        deadline = time.monotonic() + args.timeout
        while len(usage) < len(launchers) and time.monotonic() < deadline:
            for i, lau in enumerate(launchers):
                if i not in done and lau.installer_runs():
                    done[i] = time.monotonic() - lau.started
                    print(f"  launcher {i + 1} ({lau.address}): installer complete after {done[i]:.1f} s", flush=True)
                if i not in usage:
                    pid, status, ru = os.wait4(lau.proc.pid, os.WNOHANG)
                    if pid:
                        lau.proc.returncode = os.waitstatus_to_exitcode(status)
                        usage[i] = (lau.proc.returncode, ru.ru_utime + ru.ru_stime)
                server_cpu[i] = sum(filter(None, (proc_cpu(p) for p in servers[i]))) or server_cpu.get(i, 0.0)
            time.sleep(0.1)
        wire = counters.read()
    finally:
        counters.clear()
        for lau in launchers:
            lau.stop()

    served = W.served_bytes("\n".join(web.access_log().splitlines()[log_before:]), "/" + NAME)
    total = sum(served.values())
    ok = True
    print()
    print(f"swarm: {len(launchers)} launchers on {addresses[0]} and up, started within {spread:.2f} s; "
          f"installer {size // MiB} MiB; "
          f"origin {args.rate_mib} MiB/s per client; installer window open {args.install_s} s")
    print(f"{'launcher':<22} {'web MiB':>7} {'peers MiB':>9} {'up MiB':>7} {'time s':>7} {'CPU s':>6} "
          f"{'server s':>8}  installer")
    for i, lau in enumerate(launchers):
        target = lau.download_dir / NAME
        if not target.exists():
            state, ok = "missing", False
        elif S.file_sha1(target) != dist.sha1():
            state, ok = "DIFFERS", False
        else:
            state = "identical"
        code, cpu = usage.get(i, (None, None))
        if code is None:
            state += ", did not end"
            ok = False
        elif code != 0:
            state += f", exit code {code}"
            ok = False
        if i not in done:
            ok = False
        t = f"{done[i]:7.1f}" if i in done else f"{'-':>7}"
        c = f"{cpu:6.1f}" if cpu is not None else f"{'-':>6}"
        print(f"{i + 1:>2} {lau.address:<19} {fmt_mib(served.get(lau.address, 0))} "
              f"{fmt_mib(wire.get(('down', lau.address), 0)):>9} {fmt_mib(wire.get(('up', lau.address), 0))} "
              f"{t} {c} {server_cpu.get(i, 0.0):8.1f}  {state}")
    last = max(done.values()) if len(done) == len(launchers) else None
    print(f"origin served {total / MiB:.1f} MiB of the installer = {total / size:.2f} x its size; "
          f"last launcher complete after " + (f"{last:.1f} s" if last else "- (not all finished)"))
    return ok, total, last


def run_http(args, dist, web, addresses, work):
    """The same downloads over plain HTTP, all at once, each from one launcher's address."""
    log_before = len(web.access_log().splitlines())
    times = {}
    states = {}

    def fetch(i, addr):
        out = work / f"http-{i + 1}"
        t0 = time.monotonic()
        try:
            conn = http.client.HTTPConnection(S.LOOPBACK, web.port, timeout=120, source_address=(addr, 0))
            conn.request("GET", "/" + NAME)
            resp = conn.getresponse()
            with open(out, "wb") as f:
                while True:
                    block = resp.read(1 << 20)
                    if not block:
                        break
                    f.write(block)
            conn.close()
            times[i] = time.monotonic() - t0
            states[i] = "identical" if S.file_sha1(out) == dist.sha1() else "DIFFERS"
        except OSError as e:
            states[i] = f"failed: {e}"
        finally:
            out.unlink(missing_ok=True)

    threads = [threading.Thread(target=fetch, args=(i, a)) for i, a in enumerate(addresses)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    served = W.served_bytes("\n".join(web.access_log().splitlines()[log_before:]), "/" + NAME)
    total = sum(served.values())
    print()
    print(f"plain HTTP: {len(addresses)} downloads at once from the same origin")
    for i, a in enumerate(addresses):
        t = f"{times[i]:.1f} s" if i in times else "-"
        print(f"{i + 1:>2} {a:<19} {fmt_mib(served.get(a, 0))} MiB  {t:>8}  {states.get(i)}")
    last = max(times.values()) if len(times) == len(addresses) else None
    print(f"origin served {total / MiB:.1f} MiB = {total / dist.size:.2f} x the installer's size; last download "
          f"complete after " + (f"{last:.1f} s" if last else "-"))
    return all(s == "identical" for s in states.values()) and len(states) == len(addresses), total, last


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--launchers", type=int, default=4)
    ap.add_argument("--size-mib", type=int, default=128)
    ap.add_argument("--rate-mib", type=int, default=8, help="origin rate per client in MiB/s (0: no limit)")
    ap.add_argument("--install-s", type=int, default=30, help="how long each installer stand-in stays open")
    ap.add_argument("--piece-kib", type=int, default=0, help="piece size (0: the library's choice)")
    ap.add_argument("--timeout", type=int, default=900, help="seconds the swarm may take")
    ap.add_argument("--addresses", choices=("loopback", "benchmark"), default="loopback",
                    help="the launchers' addresses: 127.0.0.11 and up, or 198.18.0.11 and up")
    ap.add_argument("--no-http", action="store_true", help="leave out the plain HTTP downloads")
    ap.add_argument("--launcher", default=str(W.LAUNCHER))
    args = ap.parse_args()
    if not 1 <= args.launchers <= 200:
        sys.exit("--launchers: 1 to 200")
    if args.addresses == "benchmark" and args.launchers > 100:
        sys.exit("--addresses benchmark: at most 100 launchers")

    work = Path(tempfile.mkdtemp(prefix="swarm-", dir=os.environ.get("MIREL_SANDBOX_DIR")))
    net = "127.0.0" if args.addresses == "loopback" else "198.18.0"
    addresses = [f"{net}.{11 + i}" for i in range(args.launchers)]
    if args.addresses == "benchmark":
        for a in addresses:
            subprocess.run(["ip", "addr", "add", f"{a}/32", "dev", "lo"], check=True)
    size = args.size_mib * MiB
    folder = work / "dist"
    folder.mkdir()
    web = S.WebSeed(folder, workdir=work / "nginx")
    tracker = W.OpenTracker(work / "opentracker")
    print(f"building a {args.size_mib} MiB installer ...", flush=True)
    dist = S.build_distribution(folder, size, W.STANDINS / "standin_installer.exe", NAME, tracker.url,
                                [web.url(NAME)], args.piece_kib * 1024)
    pieces = S.lt.torrent_info(str(dist.torrent))
    print(f"torrent: {pieces.num_pieces()} pieces of {pieces.piece_length() // 1024} KiB, web seed {web.url(NAME)}, "
          f"tracker {tracker.url}", flush=True)
    limit = None
    try:
        web.start()
        if args.rate_mib:
            limit = W.OriginLimit(S.LOOPBACK, web.port, args.rate_mib * MiB)
            for a in addresses:
                limit.add(a)
        tracker.start([dist.info_hash])
        ok, swarm_total, swarm_last = run_swarm(args, dist, web, tracker, addresses, work)
        if not args.no_http:
            http_ok, http_total, http_last = run_http(args, dist, web, addresses, work)
            ok = ok and http_ok
            print()
            if swarm_last and http_last:
                print(f"summary, {args.launchers} launchers: origin {swarm_total / size:.2f} x the installer "
                      f"(plain HTTP {http_total / size:.2f} x); last complete installer {swarm_last:.1f} s "
                      f"(plain HTTP {http_last:.1f} s)")
    finally:
        tracker.stop()
        web.stop()
        if limit:
            limit.stop()
        shutil.rmtree(work, ignore_errors=True)
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
