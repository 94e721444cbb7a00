"""The peers of several launchers on one machine, each a peer of its own, with one origin: what
the swarm benchmark (scripts/bench_swarm.py) and the swarm's scenario test share (the launchers
themselves are harness.launcher.SwarmLauncher). Inside scripts/sandbox only (a private network
namespace with only loopback).

- OpenTracker: Debian's opentracker on 127.0.0.1. Debian builds it with a whitelist, so it
  takes announces only for the info-hashes it is given.
- OriginLimit: the origin's rate per client, kept by the kernel (HTB on loopback). nginx's own
  limit_rate counts per request and lets a first second's worth through at once, so a web
  seed's range requests of a MiB or so would never be held back. Also a launcher's uplink, as
  a home line has it: a rate and a first-in first-out queue in front of it.
- served_bytes(): bytes nginx served per client address, from its access log.
- listen_ports(): the ports something listens on at an address.
- HomeRouters: each launcher behind a home router of its own (network namespaces, NAT), some
  or all of the routers offering port mappings (UPnP IGD and NAT-PMP) through miniupnpd.
"""
import os
import time
import re
import signal
import socket
import subprocess
import urllib.parse
import urllib.request
from pathlib import Path

from polling import wait_for
from seeder import LOOPBACK, end_process, free_port, wait_port


def run_quiet(args, **kw):
    return subprocess.run(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kw)


def info_hash_query(info_hash):
    """"info_hash=..." for a tracker's query, every byte but the unreserved ones percent-encoded:
    opentracker, as the protocol has it, reads "+" as a plus, not as a space, so a form-encoded
    info-hash holding the byte 0x20 (one in about thirteen) is another torrent to it."""
    return "info_hash=" + urllib.parse.quote(bytes.fromhex(info_hash), safe="")


class OpenTracker:
    """opentracker on `host`:`port` (TCP and UDP) for the given info-hashes (hex)."""

    def __init__(self, workdir, host=LOOPBACK, port=0):
        self.workdir = Path(workdir)
        self.host = host
        self.port = port or free_port(host)
        self.proc = None

    @property
    def url(self):
        return f"http://{self.host}:{self.port}/announce"

    def start(self, info_hashes):
        # It changes its root to the work folder and then runs as nobody.
        self.workdir.mkdir(parents=True, exist_ok=True)
        self.workdir.chmod(0o755)
        whitelist = self.workdir / "whitelist.txt"
        whitelist.write_text("".join(h + "\n" for h in info_hashes))
        whitelist.chmod(0o644)
        self.proc = subprocess.Popen(["opentracker", "-i", self.host, "-p", str(self.port), "-P", str(self.port),
                                      "-d", str(self.workdir), "-u", "nobody", "-w", "whitelist.txt"],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=open(self.workdir.parent / "opentracker.log", "ab"))
        # The whitelist is read by a thread of its own: ready once an announce is taken (a
        # "stopped" one, which adds no peer).
        if not wait_port(self.host, self.port) or not wait_for(lambda: all(map(self._takes, info_hashes)), 20):
            self.stop()
            raise RuntimeError("opentracker did not start")
        return self

    def _takes(self, info_hash):
        query = info_hash_query(info_hash) + "&" + urllib.parse.urlencode(
            {"peer_id": b"-XX0000-readinesschk", "port": 1, "uploaded": 0, "downloaded": 0, "left": 0,
             "event": "stopped", "compact": 1})
        try:
            with urllib.request.urlopen(f"{self.url}?{query}", timeout=2) as r:
                return b"failure reason" not in r.read()
        except OSError:
            return False

    def peers(self, info_hash):
        """Peers (seeds and others) it knows of for an info-hash (hex), from its scrape."""
        query = info_hash_query(info_hash)
        try:
            with urllib.request.urlopen(f"http://{self.host}:{self.port}/scrape?{query}", timeout=2) as r:
                body = r.read()
        except OSError:
            return 0
        return sum(int(n) for n in re.findall(rb"(?:8:complete|10:incomplete)i(\d+)e", body))

    def stop(self):
        end_process(self.proc, signal.SIGTERM)
        self.proc = None


class OriginLimit:
    """Limits what the origin (`host`:`port`) sends to each client address to `rate` bytes/s:
    one HTB class per client on the loopback device, shared by all of the client's connections
    (a launcher keeps several to the origin); all other traffic passes untouched."""

    def __init__(self, host, port, rate):
        self.host, self.port, self.rate = host, port, rate
        self.classes = 0
        self.children = []
        # The root may be there already, with the limits of web seeds (seeder.ServerLimit).
        run_quiet(["tc", "qdisc", "add", "dev", "lo", "root", "handle", "1:", "htb"])

    @staticmethod
    def _tc(*args):
        subprocess.run(["tc", *args], check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)

    BUCKETS = 16

    def add(self, client):
        """The origin paces each client as a server's own rate limit would: its connections
        share the client's rate, but each waits only behind its own data. One first-in
        first-out queue for all of them would hold a new answer, or a handshake, behind
        another connection's data (the kernel here has no fair-queueing discipline), so each
        client's class has BUCKETS children, and the client's port picks one. Their quantum is
        small, so that a new answer waits for at most a few KiB of each other connection."""
        self.classes += 1
        cid = f"1:{self.classes:x}"
        self._tc("class", "add", "dev", "lo", "parent", "1:", "classid", cid, "htb", "rate", f"{self.rate}bps",
                 "ceil", f"{self.rate}bps", "quantum", "131072")
        self.children.append([])
        for b in range(self.BUCKETS):
            child = f"1:{0x1000 + self.classes * 16 + b:x}"
            self._tc("class", "add", "dev", "lo", "parent", cid, "classid", child, "htb",
                     "rate", f"{max(self.rate // self.BUCKETS, 8)}bps", "ceil", f"{self.rate}bps", "quantum", "8192")
            self.children[-1].append(child)
        # The client's port (the low bits of the TCP header's destination port, 22 bytes into
        # an IP packet without options) picks the child: one plain filter per child. (A hash
        # table linked from the root table "800:" would depend on which filter of the device
        # came first: another test's server limit, at a priority of its own, can own "800:".)
        for b, child in enumerate(self.children[-1]):
            self._tc("filter", "add", "dev", "lo", "parent", "1:", "protocol", "ip", "prio", "1", "u32",
                     "match", "ip", "src", f"{self.host}/32", "match", "ip", "sport", str(self.port), "0xffff",
                     "match", "ip", "dst", f"{client}/32", "match", "u16", f"0x{b:04x}", f"0x{self.BUCKETS - 1:04x}",
                     "at", "22", "flowid", child)
        return self

    def uplink(self, client, rate, queue_s):
        """Limits what `client` sends (to anyone) to `rate` bytes/s behind a first-in first-out
        queue of `queue_s` seconds at that rate, as a home router's uplink holds it."""
        self.classes += 1
        cid = f"1:{self.classes:x}"
        self._tc("class", "add", "dev", "lo", "parent", "1:", "classid", cid, "htb", "rate", f"{rate}bps",
                 "ceil", f"{rate}bps", "quantum", "65536")
        self._tc("qdisc", "add", "dev", "lo", "parent", cid, "bfifo", "limit", str(max(int(rate * queue_s), 65536)))
        self._tc("filter", "add", "dev", "lo", "parent", "1:", "protocol", "ip", "prio", "2", "u32",
                 "match", "ip", "src", f"{client}/32", "flowid", cid)
        return self

    def stop(self):
        # Its own filters and classes only: the root stays for the limits of others.
        for prio in ("1", "2"):
            run_quiet(["tc", "filter", "del", "dev", "lo", "parent", "1:", "prio", prio])
        for child in (c for group in self.children for c in group):
            run_quiet(["tc", "class", "del", "dev", "lo", "classid", child])
        for c in range(1, self.classes + 1):
            run_quiet(["tc", "qdisc", "del", "dev", "lo", "parent", f"1:{c:x}"])
            run_quiet(["tc", "class", "del", "dev", "lo", "classid", f"1:{c:x}"])


LOG_LINE = re.compile(r'^(\S+) \S+ \S+ \[[^\]]*\] "(\S+) (\S+)[^"]*" (\d{3}) (\d+)')


def served_bytes(access_log, path):
    """Body bytes nginx served for `path`, per client address (nginx's "combined" log)."""
    served = {}
    for line in access_log.splitlines():
        m = LOG_LINE.match(line)
        if m and urllib.parse.unquote(m.group(3)) == path:
            served[m.group(1)] = served.get(m.group(1), 0) + int(m.group(5))
    return served


def listen_ports(address):
    """The TCP ports something listens on at the IPv4 `address` itself (not the wildcard)."""
    want = socket.inet_aton(address)[::-1].hex().upper()  # /proc/net/tcp: host byte order
    ports = []
    for line in Path("/proc/net/tcp").read_text().splitlines()[1:]:
        fields = line.split()
        local, port = fields[1].split(":")
        if local == want and fields[3] == "0A":  # TCP_LISTEN
            ports.append(int(port, 16))
    return ports


class HomeRouters:
    """Home routers, one per launcher, all inside the sandbox's network namespace (which has no
    way out): launcher i runs in the namespace `home(i)` (address 198.19.i.2, its router
    198.19.i.1 as default route), behind the namespace `router(i)`, which masquerades it to its
    WAN address `wan(i)` on a bridge of the sandbox's namespace, where the tracker and the
    origin listen on OUTSIDE. A router drops connections from outside that no mapping lets in.
    Routers with `upnp[i]` run miniupnpd (UPnP IGD and NAT-PMP, Debian's nftables build) on
    their LAN side. The WAN addresses are in 198.20.0.0/24, outside the reserved blocks:
    miniupnpd maps no port on a reserved WAN address (198.18.0.0/15 is one). Per router,
    nftables counts what crosses it from and to each other router and from the origin."""

    OUTSIDE = "198.20.0.1"
    BRIDGE = "mirelout"
    TABLE = "mirel_home"

    def __init__(self, upnp, workdir):
        self.upnp = list(upnp)
        self.workdir = Path(workdir)
        self.tag = f"m{os.getpid() % 100000}"
        self.daemons = []
        self.made = []  # namespaces made, to delete at the end

    def home(self, i):
        return f"{self.tag}h{i}"

    def router(self, i):
        return f"{self.tag}r{i}"

    @staticmethod
    def wan(i):
        return f"198.20.0.{10 + i}"

    @staticmethod
    def lan(i):
        return f"198.19.{i}.2"

    def exec_prefix(self, i):
        """The command prefix that runs a program in launcher i's home."""
        return ["ip", "netns", "exec", self.home(i)]

    def _ip(self, *args):
        subprocess.run(["ip", *args], check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)

    def start(self):
        try:
            return self._start()
        except BaseException:
            self.stop()
            raise

    def _start(self):
        self.workdir.mkdir(parents=True, exist_ok=True)
        self._ip("link", "add", self.BRIDGE, "type", "bridge")
        self._ip("addr", "add", f"{self.OUTSIDE}/24", "dev", self.BRIDGE)
        self._ip("link", "set", self.BRIDGE, "up")
        for i, upnp in enumerate(self.upnp):
            r, h = self.router(i), self.home(i)
            for ns in (r, h):
                self._ip("netns", "add", ns)
                self.made.append(ns)
                self._ip("-n", ns, "link", "set", "lo", "up")
            self._ip("link", "add", f"{self.tag}w{i}", "type", "veth", "peer", "name", "wan", "netns", r)
            self._ip("link", "set", f"{self.tag}w{i}", "master", self.BRIDGE, "up")
            self._ip("-n", r, "addr", "add", f"{self.wan(i)}/24", "dev", "wan")
            self._ip("-n", r, "link", "set", "wan", "up")
            self._ip("-n", r, "link", "add", "lan", "type", "veth", "peer", "name", "eth0", "netns", h)
            self._ip("-n", r, "addr", "add", f"198.19.{i}.1/24", "dev", "lan")
            self._ip("-n", r, "link", "set", "lan", "up")
            self._ip("-n", h, "addr", "add", f"{self.lan(i)}/24", "dev", "eth0")
            self._ip("-n", h, "link", "set", "eth0", "up")
            self._ip("-n", h, "route", "add", "default", "via", f"198.19.{i}.1")
            subprocess.run(["ip", "netns", "exec", r, "sysctl", "-qw", "net.ipv4.ip_forward=1"], check=True)
            others = [self.wan(j) for j in range(len(self.upnp)) if j != i]
            counters = "".join(f'  iifname "wan" ip saddr {o} counter comment "from {o}"\n'
                               f'  oifname "wan" ip daddr {o} counter comment "to {o}"\n' for o in others)
            # miniupnpd's own chains (its defaults: table filter, chains miniupnpd,
            # prerouting_miniupnpd, postrouting_miniupnpd); the router's NAT and its refusal
            # of what nobody asked for.
            script = f"""
table inet filter {{
 chain forward {{ type filter hook forward priority 0; policy accept;
  ct state established,related accept
  iifname "wan" ct status dnat accept
  jump miniupnpd
  iifname "wan" drop
 }}
 chain miniupnpd {{
 }}
 chain input {{ type filter hook input priority 0; policy accept;
  iifname "wan" ct state established,related accept
  iifname "wan" drop
 }}
 chain prerouting {{ type nat hook prerouting priority -100; policy accept; jump prerouting_miniupnpd; }}
 chain postrouting {{ type nat hook postrouting priority 100; policy accept;
  jump postrouting_miniupnpd
  oifname "wan" masquerade
 }}
 chain prerouting_miniupnpd {{
 }}
 chain postrouting_miniupnpd {{
 }}
}}
table inet {self.TABLE} {{
 chain counted {{ type filter hook forward priority 10; policy accept;
  iifname "wan" ip saddr {self.OUTSIDE} counter comment "web"
{counters} }}
}}
"""
            subprocess.run(["ip", "netns", "exec", r, "nft", "-f", "-"], input=script.encode(), check=True)
            if upnp:
                conf = self.workdir / f"miniupnpd-{i}.conf"
                conf.write_text(f"ext_ifname=wan\nlistening_ip=lan\nhttp_port=0\nenable_natpmp=yes\n"
                                f"enable_upnp=yes\nsecure_mode=yes\nsystem_uptime=yes\nnotify_interval=10\n"
                                f"uuid=3d3cec3a-8cf0-11e0-98ee-0000000000{i:02x}\n"
                                f"allow 1024-65535 198.19.{i}.0/24 1024-65535\ndeny 0-65535 0.0.0.0/0 0-65535\n")
                log = open(self.workdir / f"miniupnpd-{i}.log", "ab")
                self.daemons.append(subprocess.Popen(
                    ["ip", "netns", "exec", r, "miniupnpd", "-f", str(conf), "-d", "-4",
                     "-P", str(self.workdir / f"miniupnpd-{i}.pid")],
                    stdin=subprocess.DEVNULL, stdout=log, stderr=log))
        time.sleep(0.5)
        for d in self.daemons:
            if d.poll() is not None:
                raise RuntimeError("miniupnpd did not start: see " + str(self.workdir))
        return self

    def limit_origin(self, port, rate):
        """What the origin (OUTSIDE:`port`) sends to each router, limited to `rate` bytes/s on the
        router's side of the bridge; the routers' traffic to one another passes untouched."""
        for i in range(len(self.upnp)):
            dev = f"{self.tag}w{i}"
            subprocess.run(["tc", "qdisc", "add", "dev", dev, "root", "handle", "1:", "htb"], check=True)
            subprocess.run(["tc", "class", "add", "dev", dev, "parent", "1:", "classid", "1:1", "htb", "rate",
                            f"{rate}bps", "ceil", f"{rate}bps", "quantum", "131072"], check=True)
            subprocess.run(["tc", "filter", "add", "dev", dev, "parent", "1:", "protocol", "ip", "prio", "1", "u32",
                            "match", "ip", "src", f"{self.OUTSIDE}/32", "match", "ip", "sport", str(port), "0xffff",
                            "flowid", "1:1"], check=True)

    def counts(self, i):
        """Bytes router i forwarded: ("web", None) from the origin, ("from"/"to", wan) per other router."""
        out = subprocess.run(["ip", "netns", "exec", self.router(i), "nft", "list", "table", "inet", self.TABLE],
                             capture_output=True, text=True).stdout
        counts = {}
        for m in re.finditer(r'bytes (\d+) comment "(web|from|to) ?([\d.]*)"', out):
            counts[(m.group(2), m.group(3) or None)] = int(m.group(1))
        return counts

    def stop(self):
        for d in self.daemons:
            end_process(d, signal.SIGTERM)
        self.daemons = []
        for ns in self.made:
            run_quiet(["ip", "netns", "del", ns])
        self.made = []
        run_quiet(["ip", "link", "del", self.BRIDGE])
