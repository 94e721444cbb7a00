"""Swarm benchmark: N launchers under Wine fetch the same installer at once from one origin.

Each launcher has a Wine prefix of its own (its own C:\\Down, registry and stand-in patcher)
and an address of its own (MIREL_LISTEN_INTERFACE), 198.18.0.11 and up by default, and runs the
whole flow for a game that is not installed: Mirel.ndn from the origin, the installer over
BitTorrent, the installer stand-in, which keeps its window open for a while (the launcher goes
on sharing meanwhile), then its end. They are started within a second of one another, unless
--stagger-s spreads them.

  - one tracker: opentracker (Debian's package) on 127.0.0.1;
  - one origin: nginx on 127.0.0.1, serving Mirel.ndn and the installer, which the torrent
    names as its web seed; what it sends is limited to --rate-mib MiB/s per client in the
    kernel (see tests/servers/swarm.py for why not with nginx's limit_rate);
  - no other seed.

Printed: the installer bytes the origin served (its access log) as a multiple of the
installer's size; per launcher the bytes from the web seed (access log), the bytes from and
to the other launchers (counted on the wire by nftables where they arrive: TCP/IP headers and
BitTorrent messages included), the time from its start to a complete installer (the installer stand-in
started: the launcher opens it only once every piece is hashed), its CPU seconds and its
wineserver's; then the same N downloads over plain HTTP from the same origin, at once, each
from a launcher's address. Every installer is checked against the original. No pass or fail
beyond the exit code (1 when a download failed or differs).

--addresses benchmark (the default) puts the launchers on 198.18.0.11 and up (the block set
aside for benchmarks, added to the sandbox's loopback device); --addresses loopback on
127.0.0.11 and up. libtorrent counts peers on loopback and local networks as "local": it
unchokes every one of them at once, whatever its choker. On benchmark addresses the launchers
see one another as on the internet, choker included.

--line-check runs no swarm: one launcher on a line of --uplink-mib (1 by default) behind a
--queue-ms queue, three native libtorrent clients that take all it uploads and open no
connection themselves, and a small flow beside it (a UDP datagram to an echo every 100 ms):
the flow's round trip idle and while the launcher uploads at half the line's rate or more.

--uplink-mib R limits what each launcher sends to R MiB/s in the kernel (an HTB class per
launcher address on the loopback device) behind a first-in first-out queue of --queue-ms at
that rate (500 ms by default), as a home router holds an uplink. --stagger-s S spreads the
arrivals evenly over S seconds; --leave ends the first launcher once it has received half the
installer (counted on the wire) and takes it out of the figures. The column "web off/on" counts
the launcher's own lines about its web seed policy.

--nat upnp|half|none puts each launcher behind a home router of its own (network namespaces
inside the sandbox, NAT to the outside, where the tracker and the origin are; see
tests/servers/swarm.py HomeRouters): every router, every other one, or none offers port
mappings through miniupnpd (UPnP IGD and NAT-PMP). The launchers run as players' do (no listen
interface); each one's port mapping result (its diagnostic line) is printed, and how many
launcher pairs traded across their routers. The plain HTTP downloads run from the homes too.

Defaults: the release-day case, 4 launchers on benchmark addresses, a 512 MiB installer, the
origin 4 MiB/s per client.

  scripts/bench-swarm [--launchers N] [--size-mib N] [--rate-mib R] [--install-s N]
                      [--piece-kib N] [--addresses loopback|benchmark] [--uplink-mib R]
                      [--queue-ms N] [--stagger-s S] [--leave] [--nat upnp|half|none] [--no-http]
                      [--logs DIR] [--launcher PATH]
  scripts/bench-swarm --line-check [--size-mib N] [--uplink-mib R] [--queue-ms N] [--line-s N]
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

if os.environ.get("MIREL_IN_SANDBOX") != "1" or "WINEPREFIX" not in os.environ:
    sys.exit("run scripts/bench-swarm: it builds the launcher and runs this inside the sandbox")

sys.path.insert(0, str(ROOT / "tests"))
from harness import LAUNCHER, STANDINS  # noqa: E402
from harness.launcher import SwarmLauncher  # noqa: E402
from harness.wine import new_prefix, proc_cpu  # noqa: E402
import seeder as S  # noqa: E402  (tests/servers, on the path through the harness)
import swarm as W  # noqa: E402

NAME = "MirelSetup.exe"


class WireCounters:
    """nftables counters of the bytes each launcher's address sends to and receives from the
    other launchers' addresses, and receives from the origin."""
    TABLE = "mirel_swarm"

    def __init__(self, addresses, origin=None):
        rules = []
        for a in addresses:
            if origin:
                rules.append(f'ip saddr {origin[0]} tcp sport {origin[1]} ip daddr {a} counter comment "web {a}"')
            others = ", ".join(b for b in addresses if b != a)
            if not others:
                continue
            rules.append(f'ip saddr {a} ip daddr {{ {others} }} counter comment "up {a}"')
            rules.append(f'ip daddr {a} ip saddr {{ {others} }} counter comment "down {a}"')
        # Counted where the packets arrive: on a limited uplink the queue drops some, and what
        # is counted on the way out would include them and their retransmissions.
        script = (f"table ip {self.TABLE} {{\n chain delivered {{\n  type filter hook input priority 0; policy accept;\n"
                  + "".join(f"  {r}\n" for r in rules) + " }\n}\n")
        subprocess.run(["nft", "-f", "-"], input=script.encode(), check=True)

    def read(self):
        out = subprocess.run(["nft", "list", "table", "ip", self.TABLE], capture_output=True, text=True,
                             check=True).stdout
        counts = {}
        for m in re.finditer(r'bytes (\d+) comment "(up|down|web) ([\d.]+)"', out):
            counts[(m.group(2), m.group(3))] = int(m.group(1))
        return counts

    def clear(self):
        W.run_quiet(["nft", "delete", "table", "ip", self.TABLE])


def fmt_mib(n):
    return f"{n / MiB:7.1f}"


def run_swarm(args, dist, web, tracker, addresses, work, routers=None):
    size = dist.size
    prefixes = [None] * len(addresses)

    def make(i):
        prefixes[i] = new_prefix(work / f"prefix-{i + 1}")
    print(f"making {len(addresses)} Wine prefixes ...", flush=True)
    makers = [threading.Thread(target=make, args=(i,)) for i in range(len(addresses))]
    for t in makers:
        t.start()
    for t in makers:
        t.join()
    if not all(prefixes):
        sys.exit("a Wine prefix could not be made")

    launchers = [SwarmLauncher(p, a, install_ms=args.install_s * 1000, exe=Path(args.launcher),
                               home=routers.exec_prefix(i) if routers else ())
                 for i, (p, a) in enumerate(zip(prefixes, addresses))]
    n = len(launchers)
    # Launcher i starts stagger * i / (n - 1) seconds after the first; with --leave the first
    # one (the furthest along, the others' best source) is ended once it holds half.
    offsets = [args.stagger_s * i / (n - 1) if n > 1 else 0.0 for i in range(n)]
    leaver = 0 if args.leave else None
    counters = None if routers else WireCounters(addresses, (S.LOOPBACK, web.port))
    log_before = len(web.access_log().splitlines())
    done = {}      # index -> seconds to a complete installer
    usage = {}     # index -> (exit code, CPU seconds)
    left = {}      # index -> seconds after which it was ended
    server_cpu = {}
    servers = [[] for _ in launchers]
    outs = [work / f"launcher-{i + 1}.out" for i in range(n)]
    try:
        print(f"starting {n} launchers" + (f" over {args.stagger_s} s" if args.stagger_s else "") + " ...", flush=True)
        t0 = time.monotonic()
        deadline = t0 + args.timeout + args.stagger_s
        while len(usage) < n and time.monotonic() < deadline:
            wire = None
            for i, lau in enumerate(launchers):
                if lau.proc is None:
                    if time.monotonic() - t0 >= offsets[i]:
                        lau.start(web.url("Mirel.ndn"), out=open(outs[i], "wb"))
                        servers[i] = lau.wineserver_pids()
                    continue
                if i == leaver and i not in left and i not in done:
                    wire = wire or counters.read()
                    if wire.get(("down", lau.address), 0) + wire.get(("web", lau.address), 0) >= size // 2:
                        left[i] = time.monotonic() - lau.started
                        lau.stop()
                        usage[i] = (None, None)
                        print(f"  launcher {i + 1} ({lau.address}): ended at half its download, "
                              f"after {left[i]:.1f} s", flush=True)
                if i not in done and lau.installer_runs():
                    done[i] = time.monotonic() - lau.started
                    print(f"  launcher {i + 1} ({lau.address}): installer complete after {done[i]:.1f} s", flush=True)
                if i not in usage:
                    pid, status, ru = os.wait4(lau.proc.pid, os.WNOHANG)
                    if pid:
                        lau.proc.returncode = os.waitstatus_to_exitcode(status)
                        usage[i] = (lau.proc.returncode, ru.ru_utime + ru.ru_stime)
                if not servers[i]:
                    servers[i] = lau.wineserver_pids()
                server_cpu[i] = sum(filter(None, (proc_cpu(p) for p in servers[i]))) or server_cpu.get(i, 0.0)
            time.sleep(0.1)
        if routers:
            wire = {}
            for i, a in enumerate(addresses):
                counts = routers.counts(i)
                wire[("down", a)] = sum(v for (kind, _), v in counts.items() if kind == "from")
                wire[("up", a)] = sum(v for (kind, _), v in counts.items() if kind == "to")
                wire[("pairs", a)] = {w for (kind, w), v in counts.items() if kind == "from" and v >= 64 * 1024}
        else:
            wire = counters.read()
    finally:
        if counters:
            counters.clear()
        for lau in launchers:
            lau.stop()

    served = W.served_bytes("\n".join(web.access_log().splitlines()[log_before:]), "/" + NAME)
    total = sum(served.values())
    ok = True
    print()
    print(f"swarm: {n} launchers on {addresses[0]} and up, "
          + (f"arrivals over {args.stagger_s} s; " if args.stagger_s else "started at once; ")
          + f"installer {size // MiB} MiB; origin {args.rate_mib} MiB/s per client; "
          + (f"uplink {args.uplink_mib} MiB/s, queue {args.queue_ms} ms; " if args.uplink_mib else "")
          + f"installer window open {args.install_s} s")
    print(f"{'launcher':<22} {'web MiB':>7} {'peers MiB':>9} {'up MiB':>7} {'time s':>7} {'CPU s':>6} "
          f"{'server s':>8} {'web off/on':>10}  installer")
    times = []
    for i, lau in enumerate(launchers):
        target = lau.download_dir / NAME
        code, cpu = usage.get(i, (None, None))
        if i in left:
            state = f"ended at half after {left[i]:.1f} s"
        elif not target.exists():
            state, ok = "missing", False
        elif S.file_sha1(target) != dist.sha1():
            state, ok = "DIFFERS", False
        else:
            state = "identical"
        if i not in left:
            if code is None:
                state += ", did not end"
                ok = False
            elif code != 0:
                state += f", exit code {code}"
                ok = False
            if i not in done:
                ok = False
            else:
                times.append(done[i])
        text = outs[i].read_bytes().decode("cp949", errors="replace") if outs[i].exists() else ""
        toggles = f"{text.count('web seed off:')}/{text.count('web seed on:')}"
        if "origin: the launcher fetches" in text:
            toggles = "own"
        if routers:
            mapped = re.findall(r"port mapping: (.*)", text)
            good = [m for m in mapped if "successfully" in m]
            state += "; port mapping: " + (good[0].strip() if good else (mapped[0].strip() if mapped else "none"))
        t = f"{done[i]:7.1f}" if i in done else f"{'-':>7}"
        c = f"{cpu:6.1f}" if cpu is not None else f"{'-':>6}"
        print(f"{i + 1:>2} {lau.address:<19} {fmt_mib(served.get(routers.wan(i) if routers else lau.address, 0))} "
              f"{fmt_mib(wire.get(('down', lau.address), 0)):>9} {fmt_mib(wire.get(('up', lau.address), 0))} "
              f"{t} {c} {server_cpu.get(i, 0.0):8.1f} {toggles:>10}  {state}")
    if routers:
        traded = set()
        for i, a in enumerate(addresses):
            for w in wire.get(("pairs", a), ()):
                j = [k for k in range(n) if routers.wan(k) == w][0]
                traded.add(frozenset((i, j)))
        print(f"launcher pairs that traded (64 KiB or more across their routers): {len(traded)} of {n * (n - 1) // 2}"
              + "".join(f"; {i + 1}-{j + 1}" for i, j in sorted(tuple(sorted(p)) for p in traded)))
    stayed = n - len(left)
    last = max(times) if len(times) == stayed and times else None
    print(f"origin served {total / MiB:.1f} MiB of the installer = {total / size:.2f} x its size; "
          f"last launcher complete after " + (f"{last:.1f} s" if last else "- (not all finished)"))
    return ok, total, last


def run_http(args, dist, web, addresses, work, routers=None):
    """The same downloads over plain HTTP, all at once, each from one launcher's address (behind
    home routers: with curl in each launcher's home)."""
    log_before = len(web.access_log().splitlines())
    times = {}
    states = {}

    def fetch(i, addr):
        out = work / f"http-{i + 1}"
        t0 = time.monotonic()
        if routers:
            done = subprocess.run([*routers.exec_prefix(i), "curl", "-sf", "-o", str(out), web.url(NAME)],
                                  stdin=subprocess.DEVNULL, timeout=args.timeout)
            if done.returncode == 0:
                times[i] = time.monotonic() - t0
                states[i] = "identical" if S.file_sha1(out) == dist.sha1() else "DIFFERS"
            else:
                states[i] = f"failed: curl {done.returncode}"
            out.unlink(missing_ok=True)
            return
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
        print(f"{i + 1:>2} {a:<19} {fmt_mib(served.get(routers.wan(i) if routers else a, 0))} MiB  {t:>8}  "
              f"{states.get(i)}")
    last = max(times.values()) if len(times) == len(addresses) else None
    print(f"origin served {total / MiB:.1f} MiB = {total / dist.size:.2f} x the installer's size; last download "
          f"complete after " + (f"{last:.1f} s" if last else "-"))
    return all(s == "identical" for s in states.values()) and len(states) == len(addresses), total, last


class Leecher:
    """A native libtorrent client on `address` that only accepts connections (it opens none), so
    that the launcher's own choice of transport is what carries its upload; no web seed."""

    def __init__(self, dist, address, tracker_url, others=()):
        lt = S.lt
        self.ses = lt.session({
            "listen_interfaces": f"{address}:6881", "outgoing_interfaces": address,
            "enable_dht": False, "enable_lsd": False, "enable_upnp": False, "enable_natpmp": False,
            "enable_outgoing_tcp": False, "enable_outgoing_utp": False,
            "enable_incoming_tcp": True, "enable_incoming_utp": True,
            "alert_mask": 0, "user_agent": "mirel-line-check", "max_retry_port_bind": 0,
            "listen_system_port_fallback": False})
        # Nor do the clients trade among themselves (peer exchange would tell them of one another).
        blocked = lt.ip_filter()
        for other in others:
            blocked.add_rule(other, other, 1)
        self.ses.set_ip_filter(blocked)
        atp = lt.add_torrent_params()
        atp.ti = lt.torrent_info(str(dist.torrent))
        atp.save_path = str(dist.folder.parent / f"leecher-{address}")
        atp.url_seeds = []
        self.handle = self.ses.add_torrent(atp)
        for seed in atp.ti.web_seeds():
            self.handle.remove_url_seed(seed["url"])

    def stop(self):
        self.ses.pause()


class RoundTrips:
    """A small flow from `source` to an echo on `target`: one 64-byte UDP datagram every 100 ms,
    each round trip recorded with its time."""

    def __init__(self, source, target):
        import socket
        self.echo = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.echo.bind((target, 0))
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((source, 0))
        self.sock.settimeout(2.0)
        self.samples = []   # (time sent, round trip in ms or None when lost)
        self.running = True
        threading.Thread(target=self._echo, daemon=True).start()
        self.thread = threading.Thread(target=self._probe, daemon=True)
        self.thread.start()

    def _echo(self):
        self.echo.settimeout(0.5)
        while self.running:
            try:
                data, peer = self.echo.recvfrom(256)
                self.echo.sendto(data, peer)
            except OSError:
                pass

    def _probe(self):
        import socket
        seq = 0
        target = self.echo.getsockname()
        while self.running:
            seq += 1
            sent = time.monotonic()
            self.sock.sendto(seq.to_bytes(8, "little") + bytes(56), target)
            rtt = None
            try:
                while True:
                    data = self.sock.recv(256)
                    if int.from_bytes(data[:8], "little") == seq:
                        rtt = (time.monotonic() - sent) * 1000
                        break
            except socket.timeout:
                pass
            self.samples.append((sent, rtt))
            time.sleep(max(0.0, 0.1 - (time.monotonic() - sent)))

    def between(self, start, end):
        return [r for t, r in self.samples if start <= t < end]

    def stop(self):
        self.running = False
        self.thread.join(timeout=5)


def summary(rtts):
    got = sorted(r for r in rtts if r is not None)
    if not got:
        return "no answers"
    med = got[len(got) // 2]
    p90 = got[min(len(got) - 1, int(len(got) * 0.9))]
    return f"median {med:6.1f} ms, 90th percentile {p90:6.1f} ms, {len(rtts) - len(got)} of {len(rtts)} lost"


def line_check(args, dist, web, tracker, work):
    """One launcher on a line of --uplink-mib up behind a --queue-ms queue, three native clients
    that take all it uploads: the round trip of a small flow from the launcher's address,
    idle and while the launcher uploads."""
    address = "198.18.0.11"
    leech_addresses = [f"198.18.0.{21 + i}" for i in range(3)]
    echo_address = "198.18.0.30"
    for a in leech_addresses + [echo_address]:
        subprocess.run(["ip", "addr", "add", f"{a}/32", "dev", "lo"], check=True)
    uplink = args.uplink_mib or 1
    limit = W.OriginLimit(S.LOOPBACK, web.port, int(args.rate_mib * MiB))
    if args.rate_mib:
        limit.add(address)
    limit.uplink(address, int(uplink * MiB), args.queue_ms / 1000)
    prefix = new_prefix(work / "prefix-line")
    lau = SwarmLauncher(prefix, address, install_ms=args.install_s * 1000, exe=Path(args.launcher))
    probe = RoundTrips(address, echo_address)
    leechers = []
    try:
        time.sleep(10)
        idle_end = time.monotonic()
        leechers = [Leecher(dist, a, tracker.url, [b for b in leech_addresses if b != a]) for a in leech_addresses]
        time.sleep(3)  # their first announce
        out = work / "launcher-line.out"
        lau.start(web.url("Mirel.ndn"), out=open(out, "wb"))
        # The launcher's upload: what the three clients have received.
        start = time.monotonic()
        busy_from = None
        rates = []
        last = (start, 0)
        while time.monotonic() - start < args.timeout:
            time.sleep(1)
            now = time.monotonic()
            got = sum(lch.handle.status().total_payload_download for lch in leechers)
            rate = (got - last[1]) / (now - last[0])
            last = (now, got)
            rates.append((now, rate))
            if busy_from is None and rate >= 0.5 * uplink * MiB:
                busy_from = now
            if busy_from and now - busy_from >= args.line_s:
                break
            if lau.proc.poll() is not None:
                break
        busy_end = time.monotonic()
        probe.stop()
        kinds = {}
        for lch in leechers:
            for peer in lch.handle.get_peer_info():
                key = peer.ip[0]
                kinds[key] = kinds.get(key, 0) + peer.total_download
        sources = ", ".join(f"{k} {v / MiB:.1f} MiB" for k, v in sorted(kinds.items())) or "none"
    finally:
        for lch in leechers:
            lch.stop()
        lau.stop()
        limit.stop()
    idle = probe.between(0, idle_end)
    busy = probe.between(busy_from, busy_end) if busy_from else []
    upload = [r for t, r in rates if busy_from and busy_from <= t <= busy_end]
    print()
    print(f"line check: launcher on {address}, uplink {uplink} MiB/s behind a {args.queue_ms} ms queue, "
          f"origin {args.rate_mib} MiB/s, three native clients taking its upload")
    print(f"  the clients' sources: {sources}")
    print(f"  idle:                 {summary(idle)}")
    if busy:
        mean_up = sum(upload) / len(upload) / MiB if upload else 0.0
        print(f"  launcher uploading:   {summary(busy)}; its upload {mean_up:.2f} MiB/s over {len(upload)} s")
        got_idle = sorted(r for r in idle if r is not None)
        got_busy = sorted(r for r in busy if r is not None)
        if got_idle and got_busy:
            print(f"  rise of the median round trip: {got_busy[len(got_busy) // 2] - got_idle[len(got_idle) // 2]:.1f} ms "
                  f"(LEDBAT's target: 100 ms)")
    else:
        print("  the launcher never uploaded at half the line's rate")
    return bool(busy)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--launchers", type=int, default=4)
    ap.add_argument("--size-mib", type=int, default=512)
    ap.add_argument("--rate-mib", type=float, default=4, help="origin rate per client in MiB/s (0: no limit)")
    ap.add_argument("--uplink-mib", type=float, default=0,
                    help="each launcher's upload in MiB/s, behind a queue of --queue-ms (0: no limit)")
    ap.add_argument("--queue-ms", type=int, default=500, help="the uplink's queue, in ms at its rate")
    ap.add_argument("--stagger-s", type=float, default=0, help="arrivals spread evenly over this many seconds")
    ap.add_argument("--leave", action="store_true", help="the first launcher is ended at half its download")
    ap.add_argument("--line-check", action="store_true",
                    help="instead of a swarm: the round trip of a small flow beside one launcher's upload")
    ap.add_argument("--line-s", type=int, default=20, help="line check: seconds measured while it uploads")
    ap.add_argument("--install-s", type=int, default=30, help="how long each installer stand-in stays open")
    ap.add_argument("--piece-kib", type=int, default=0, help="piece size (0: the library's choice)")
    ap.add_argument("--timeout", type=int, default=900, help="seconds the swarm may take")
    ap.add_argument("--addresses", choices=("loopback", "benchmark"), default="benchmark",
                    help="the launchers' addresses: 127.0.0.11 and up, or 198.18.0.11 and up")
    ap.add_argument("--nat", choices=("upnp", "half", "none"),
                    help="each launcher behind a home router of its own; routers that offer port mappings "
                         "(miniupnpd): all, half, none")
    ap.add_argument("--no-http", action="store_true", help="leave out the plain HTTP downloads")
    ap.add_argument("--logs", help="a folder to keep each launcher's standard output in")
    ap.add_argument("--launcher", default=str(LAUNCHER))
    args = ap.parse_args()
    if not 1 <= args.launchers <= 200:
        sys.exit("--launchers: 1 to 200")
    if args.addresses == "benchmark" and args.launchers > 100:
        sys.exit("--addresses benchmark: at most 100 launchers")
    if args.leave and args.launchers < 2:
        sys.exit("--leave: at least 2 launchers")
    if args.nat and (args.leave or args.line_check or args.uplink_mib or args.launchers > 50):
        sys.exit("--nat: without --leave, --line-check and --uplink-mib, at most 50 launchers")

    work = Path(tempfile.mkdtemp(prefix="swarm-", dir=os.environ.get("MIREL_SANDBOX_DIR")))
    net = "127.0.0" if args.addresses == "loopback" else "198.18.0"
    addresses = [f"{net}.{11 + i}" for i in range(args.launchers)]
    routers = None
    if args.nat:
        offer = {"upnp": lambda i: True, "half": lambda i: i % 2 == 0, "none": lambda i: False}[args.nat]
        routers = W.HomeRouters([offer(i) for i in range(args.launchers)], work / "routers").start()
        addresses = [routers.lan(i) for i in range(args.launchers)]
        print("home routers: " + ", ".join(f"{i + 1} at {routers.wan(i)}" + (" (UPnP, NAT-PMP)" if u else "")
                                           for i, u in enumerate(routers.upnp)), flush=True)
    elif args.addresses == "benchmark":
        for a in addresses:
            subprocess.run(["ip", "addr", "add", f"{a}/32", "dev", "lo"], check=True)
    size = args.size_mib * MiB
    folder = work / "dist"
    folder.mkdir()
    host = W.HomeRouters.OUTSIDE if routers else S.LOOPBACK
    web = S.WebSeed(folder, workdir=work / "nginx", host=host)
    tracker = W.OpenTracker(work / "opentracker", host=host)
    print(f"building a {args.size_mib} MiB installer ...", flush=True)
    dist = S.build_distribution(folder, size, STANDINS / "standin_installer.exe", NAME, tracker.url,
                                [web.url(NAME)], args.piece_kib * 1024)
    pieces = S.lt.torrent_info(str(dist.torrent))
    print(f"torrent: {pieces.num_pieces()} pieces of {pieces.piece_length() // 1024} KiB, web seed {web.url(NAME)}, "
          f"tracker {tracker.url}", flush=True)
    limit = None
    try:
        web.start()
        if args.line_check:
            tracker.start([dist.info_hash])
            sys.exit(0 if line_check(args, dist, web, tracker, work) else 1)
        if routers and args.rate_mib:
            routers.limit_origin(web.port, int(args.rate_mib * MiB))
        elif args.rate_mib or args.uplink_mib:
            limit = W.OriginLimit(S.LOOPBACK, web.port, int(args.rate_mib * MiB))
            for a in addresses:
                if args.rate_mib:
                    limit.add(a)
                if args.uplink_mib:
                    limit.uplink(a, int(args.uplink_mib * MiB), args.queue_ms / 1000)
        tracker.start([dist.info_hash])
        ok, swarm_total, swarm_last = run_swarm(args, dist, web, tracker, addresses, work, routers)
        if not args.no_http:
            http_ok, http_total, http_last = run_http(args, dist, web, addresses, work, routers)
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
        if routers:
            routers.stop()
        if args.logs:
            Path(args.logs).mkdir(parents=True, exist_ok=True)
            for f in work.glob("launcher-*.out"):
                shutil.copy(f, args.logs)
        shutil.rmtree(work, ignore_errors=True)
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
