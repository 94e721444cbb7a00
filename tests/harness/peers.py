"""The peers a run talks to, on loopback: the test HTTP server (tests/servers/httpserver.py in
a process of its own), the published distribution with its description server, and its
seeders; Peers stops everything a test or a script started."""
import json
import os
import signal
import subprocess
from pathlib import Path

from harness import ROOT, STANDINS

import seeder as S

HTTP_SERVER = ROOT / "tests" / "servers" / "httpserver.py"


class Peers:
    """Everything started for one test; stopped at its end, last started first."""

    def __init__(self, root):
        self.root = Path(root)
        self.items = []

    def add(self, item):
        self.items.append(item)
        return item

    def stop(self):
        for item in reversed(self.items):
            try:
                item.stop()
            except Exception:  # keep stopping the others
                pass


def publish(peers, size, tracker=None, web_seed=None, name="MirelSetup.exe", piece_size=256 * 1024):
    """The distribution (stand-in installer padded to `size`) and an HTTP server that hands
    out its packed torrent description. Its filler is the test's own, so that launchers of tests
    running at the same time (which find one another on the loopback network) never share a
    torrent."""
    folder = peers.root / "dist"
    web_seeds = [web_seed.url(name)] if web_seed else []
    dist = S.build_distribution(folder, size, STANDINS / "standin_installer.exe", name,
                                tracker.url if tracker else None, web_seeds, piece_size, seed=str(peers.root))
    files = peers.add(S.FileServer(folder).start())
    return dist, files


def start_lt_seeder(peers, tracker, dist, **kw):
    seed = peers.add(S.LtSeeder(dist, **kw).start())
    assert seed.wait_seeding(), "the seeder did not start"
    if tracker:
        assert tracker.announced(seed.port), "the seeder never reached the tracker"
    return seed


def start_aria2(peers, tracker, dist, log, **kw):
    aria = peers.add(S.Aria2Seeder(dist, log=log, **kw).start())
    assert aria.wait_listening(), "aria2 did not start"
    assert tracker.announced(aria.port), "aria2 never reached the tracker"
    return aria


def forget_clients(tracker, seed):
    """Clients that completed stay registered as seeds (a killed or ended client sends no
    "stopped"); the next launcher would be handed its own address (127.0.0.1 on its own port),
    connect to itself, and libtorrent bans the address of a self-connection, which on loopback
    is every peer's. Leaves only the seeder known."""
    with tracker.lock:
        ports = {ep[1] for seeds in tracker.seeds.values() for ep in seeds.values()}
    for port in ports - {seed.port}:
        tracker.forget(port)


class HttpServer:
    """tests/servers/httpserver.py serving `folder`/files on a free port (and on its TLS ports
    inside the sandbox), logging every request."""

    def __init__(self, folder):
        self.root = folder / "files"
        self.root.mkdir(parents=True)
        self.log = folder / "requests.log"
        self.portfile = folder / "port"
        tls = ["--tls-dir", os.environ["MIREL_TLS_DIR"]] if os.environ.get("MIREL_TLS_DIR") else []
        self.proc = subprocess.Popen(
            ["/usr/bin/python3", str(HTTP_SERVER), "--root", str(self.root), "--port", "0", "--log", str(self.log),
             "--lifetime", "300", "--portfile", str(self.portfile)] + tls,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline()  # the port, once it listens
        if not line.strip().isdigit():
            self.stop()
            raise RuntimeError(f"the test server did not start: {line!r} {self.proc.stderr.read()}")
        self.port = int(line)

    def url(self, path):
        return f"http://127.0.0.1:{self.port}{path}"

    def secure_url(self, path, which="port-tls"):
        """A URL on one of the TLS ports (only inside the sandbox, which makes the certificates)."""
        port_file = self.portfile.parent / which
        assert port_file.exists(), "no TLS port: run inside scripts/sandbox"
        return f"https://localhost:{int(port_file.read_text())}{path}"

    def requests(self):
        if not self.log.exists():
            return []
        return [json.loads(line) for line in self.log.read_text(encoding="ascii").splitlines() if line]

    def stop(self):
        S.end_process(self.proc, signal.SIGTERM)
