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
"""
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
        query = urllib.parse.urlencode({"info_hash": bytes.fromhex(info_hash), "peer_id": b"-XX0000-readinesschk",
                                        "port": 1, "uploaded": 0, "downloaded": 0, "left": 0,
                                        "event": "stopped", "compact": 1})
        try:
            with urllib.request.urlopen(f"{self.url}?{query}", timeout=2) as r:
                return b"failure reason" not in r.read()
        except OSError:
            return False

    def peers(self, info_hash):
        """Peers (seeds and others) it knows of for an info-hash (hex), from its scrape."""
        query = urllib.parse.urlencode({"info_hash": bytes.fromhex(info_hash)})
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
    one HTB class per client on the loopback device; all other traffic passes untouched. A
    launcher holds one connection to the web seed, so per client is per connection here."""

    def __init__(self, host, port, rate):
        self.host, self.port, self.rate = host, port, rate
        self.classes = 0
        # The root may be there already, with the limits of web seeds (seeder.ServerLimit).
        run_quiet(["tc", "qdisc", "add", "dev", "lo", "root", "handle", "1:", "htb"])

    @staticmethod
    def _tc(*args):
        subprocess.run(["tc", *args], check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)

    def add(self, client):
        self.classes += 1
        cid = f"1:{self.classes:x}"
        self._tc("class", "add", "dev", "lo", "parent", "1:", "classid", cid, "htb", "rate", f"{self.rate}bps",
                 "ceil", f"{self.rate}bps", "quantum", "131072")
        self._tc("filter", "add", "dev", "lo", "parent", "1:", "protocol", "ip", "prio", "1", "u32",
                 "match", "ip", "src", f"{self.host}/32", "match", "ip", "sport", str(self.port), "0xffff",
                 "match", "ip", "dst", f"{client}/32", "flowid", cid)
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
