"""Real BitTorrent peers for the launcher's tests, all on the loopback network only.

- build_distribution(): the payload (the stand-in installer padded to a chosen size), its
  torrent file (announce URL, optional web seed) and the packed "Mirel.ndn".
- Tracker: a small HTTP tracker that hands every announcer the seeds it knows (compact form),
  and records who announced with which user agent.
- LtSeeder: a native libtorrent seeder (python3-libtorrent): no DHT, LSD, UPnP or NAT-PMP.
- Aria2Seeder: aria2c seeding the same files, an independent implementation.
- WebSeed: nginx serving the payload with Range support, for the torrent's url-list.
- FileServer: plain HTTP for the packed torrent description.

Run as a program it seeds a distribution until interrupted (see --help); scripts and manual
checks use that, tests import the module.
"""
import argparse
import hashlib
import http.server
import os
import random
import shutil
import signal
import socket
import socketserver
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import zlib
from pathlib import Path

import libtorrent as lt

from polling import wait_for

LOOPBACK = "127.0.0.1"
STAMP = 4096  # every block of this size carries its own offset, so no two pieces are alike


def free_port(host=LOOPBACK):
    with socket.socket() as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def wait_port(host, port, timeout=10.0):
    def accepts():
        try:
            with socket.create_connection((host, port), timeout=0.5):
                return True
        except OSError:
            return False
    return wait_for(accepts, timeout)


# ---------------------------------------------------------------------------------------------
# Distribution

def make_payload(path, size, base=None, seed=1):
    """Writes `size` bytes to `path`: the program `base` (if given) followed by filler whose
    every 4 KiB block starts with its own offset, so every piece differs."""
    path = Path(path)
    head = Path(base).read_bytes() if base else b""
    if len(head) > size:
        raise ValueError(f"payload of {size} bytes cannot hold {base} ({len(head)} bytes)")
    rnd = random.Random(seed)
    block = bytearray(rnd.randbytes(1 << 20))
    with open(path, "wb") as f:
        f.write(head)
        offset = len(head)
        while offset < size:
            n = min(len(block), size - offset)
            chunk = bytearray(block[:n])
            for i in range(0, n, STAMP):
                stamp = struct.pack("<Q", offset + i)
                chunk[i:i + 8] = stamp[:min(8, n - i)]
            f.write(chunk)
            offset += n
    return path


def make_torrent(payload, announce=None, web_seeds=(), piece_size=0, name=None):
    """Metainfo (bytes) of a single-file torrent of `payload`. `name` renames the file inside
    the torrent (the payload's own name by default)."""
    payload = Path(payload)
    fs = lt.file_storage()
    fs.add_file(name or payload.name, payload.stat().st_size)
    # A plain (v1) torrent, as the publisher's tools make them; aria2 knows no other kind.
    ct = lt.create_torrent(fs, piece_size, flags=lt.create_torrent.v1_only)
    if announce:
        ct.add_tracker(announce)
    for url in web_seeds:
        ct.add_url_seed(url)
    ct.set_creator("Mirel Online test kit")
    lt.set_piece_hashes(ct, str(payload.parent))
    return lt.bencode(ct.generate())


def pack_ndn(torrent_bytes):
    """The packed form the launcher downloads as "Mirel.ndn": unpacked size, packed size
    (32-bit little-endian each), then one zlib stream."""
    packed = zlib.compress(torrent_bytes, 9)
    return struct.pack("<II", len(torrent_bytes), len(packed)) + packed


def end_process(proc, sig):
    """Asks a child process to end with `sig`, and kills it when it has not after 10 s."""
    if proc is None or proc.poll() is not None:
        return
    proc.send_signal(sig)
    try:
        proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(timeout=10)

class Distribution:
    def __init__(self, folder, payload, torrent, packed, info_hash, size):
        self.folder = Path(folder)       # holds the payload (seed data) under its torrent name
        self.payload = Path(payload)
        self.torrent = Path(torrent)     # plain metainfo
        self.packed = Path(packed)       # "Mirel.ndn" as the web server hands it out
        self.info_hash = info_hash       # hex
        self.size = size

    @property
    def name(self):
        return self.payload.name

    def sha1(self):
        return file_sha1(self.payload)


def file_sha1(path):
    h = hashlib.sha1()
    with open(path, "rb") as f:
        for chunk in iter(lambda: f.read(1 << 20), b""):
            h.update(chunk)
    return h.hexdigest()


def build_distribution(folder, size, base=None, name="MirelSetup.exe", announce=None, web_seeds=(),
                       piece_size=0, seed=1):
    """Payload `folder/name` of `size` bytes (the program `base` padded), the torrent file
    `folder/<name>.torrent` and the packed `folder/Mirel.ndn`."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    payload = make_payload(folder / name, size, base, seed)
    meta = make_torrent(payload, announce, web_seeds, piece_size)
    torrent = folder / (name + ".torrent")
    torrent.write_bytes(meta)
    packed = folder / "Mirel.ndn"
    packed.write_bytes(pack_ndn(meta))
    info = lt.torrent_info(str(torrent))
    return Distribution(folder, payload, torrent, packed, str(info.info_hash()), size)


def resume_claiming_completion(dist, save_path):
    """Resume data, as the library writes it, that says every piece of `dist` is there and
    checked (and asks for seed mode)."""
    ti = lt.torrent_info(str(dist.torrent))
    atp = lt.add_torrent_params()
    atp.ti = ti
    atp.info_hashes = ti.info_hashes()
    atp.save_path = save_path
    atp.have_pieces = [True] * ti.num_pieces()
    atp.verified_pieces = [True] * ti.num_pieces()
    atp.flags = lt.torrent_flags.seed_mode
    return lt.write_resume_data_buf(atp)


# ---------------------------------------------------------------------------------------------
# Tracker

def _bencode(obj):
    return lt.bencode(obj)


class _ThreadingServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def handle_error(self, request, client_address):
        # A client that hangs up early (a client shutting down) is no error of the server.
        if not isinstance(sys.exc_info()[1], (BrokenPipeError, ConnectionResetError)):
            super().handle_error(request, client_address)


class _HttpService:
    """An HTTP server in a thread of this process on `host`:`port`; subclasses give the
    request handler class."""
    host = LOOPBACK
    _server = None

    def _handler(self):
        raise NotImplementedError

    def start(self):
        self._server = _ThreadingServer((self.host, self.port), self._handler())
        # A short poll: shutdown() waits for the loop's next look.
        threading.Thread(target=self._server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True).start()
        return self

    def stop(self):
        if self._server:
            self._server.shutdown()
            self._server.server_close()
            self._server = None


class _ChildProcess:
    """A program run as a child process, asked to end with `stop_signal`."""
    stop_signal = signal.SIGTERM
    proc = None

    def stop(self):
        end_process(self.proc, self.stop_signal)
        self.proc = None


class Tracker(_HttpService):
    """HTTP tracker on 127.0.0.1. An announce registers the peer (address from the request, or
    its "ip" parameter, and its "port") and returns the seeds of the torrent other than the
    announcer. `extra_peers` adds fixed (ip, port) seeds per info-hash (hex). Every announce
    is recorded in `announces` (dicts with the parameters, the user agent and the time)."""

    def __init__(self, host=LOOPBACK, port=0, interval=2):
        self.host = host
        self.port = port or free_port(host)
        self.interval = interval
        self.announces = []
        self.seeds = {}          # info-hash hex -> {peer_id: (ip, port)}
        self.extra_peers = {}    # info-hash hex -> [(ip, port)]
        self.lock = threading.Lock()

    @property
    def url(self):
        # libtorrent only announces to a tracker on the loopback address at path /announce.
        return f"http://{self.host}:{self.port}/announce"

    def announced(self, port, timeout=20.0):
        """Waits until a peer announcing this port has reached the tracker."""
        def seen():
            with self.lock:
                return any(a["port"] == port for a in self.announces)
        return wait_for(seen, timeout)

    def forget(self, peer_port):
        """Drops the seeds announced with this port (a seeder that was stopped)."""
        with self.lock:
            for seeds in self.seeds.values():
                for pid in [p for p, ep in seeds.items() if ep[1] == peer_port]:
                    del seeds[pid]

    def _handle(self, req):
        parsed = urllib.parse.urlsplit(req.path)
        if parsed.path != "/announce":
            req.send_error(404)
            return
        q = urllib.parse.parse_qs(parsed.query, keep_blank_values=True, encoding="latin-1")
        raw = dict(urllib.parse.parse_qsl(parsed.query, keep_blank_values=True, encoding="latin-1"))
        try:
            info_hash = raw["info_hash"].encode("latin-1").hex()
            peer_id = raw.get("peer_id", "").encode("latin-1")
            port = int(raw.get("port", "0"))
            left = int(raw.get("left", "1"))
        except (KeyError, ValueError):
            body = _bencode({"failure reason": "bad announce"})
        else:
            ip = raw.get("ip") or req.client_address[0]
            event = raw.get("event", "")
            with self.lock:
                self.announces.append({"info_hash": info_hash, "peer_id": peer_id, "port": port, "left": left,
                                       "event": event, "ip": ip, "user_agent": req.headers.get("User-Agent", ""),
                                       "time": time.time()})
                seeds = self.seeds.setdefault(info_hash, {})
                if event == "stopped":
                    seeds.pop(peer_id, None)
                elif left == 0:
                    seeds[peer_id] = (ip, port)
                peers = [ep for pid, ep in seeds.items() if pid != peer_id]
                peers += [ep for ep in self.extra_peers.get(info_hash, []) if ep not in peers]
            compact = b"".join(socket.inet_aton(a) + struct.pack(">H", p) for a, p in peers)
            body = _bencode({"interval": self.interval, "min interval": 1, "complete": len(peers),
                             "incomplete": 0, "peers": compact})
        req.send_response(200)
        req.send_header("Content-Type", "text/plain")
        req.send_header("Content-Length", str(len(body)))
        req.end_headers()
        req.wfile.write(body)
        del q

    def _handler(self):
        tracker = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                tracker._handle(self)

            def log_message(self, *args):
                pass

        return Handler




# ---------------------------------------------------------------------------------------------
# Seeders

class LtSeeder:
    """A libtorrent seeder on `host`:`port` for one distribution. `upload_limit` in bytes/s
    (0: none) keeps a transfer slow enough to be interrupted. Counts uploaded payload bytes
    over its whole life, across stops and restarts."""

    def __init__(self, dist, host=LOOPBACK, port=0, upload_limit=0, utp=False, folder=None):
        self.dist = dist
        self.folder = Path(folder or dist.folder)
        self.host = host
        self.port = port or free_port(host)
        self.upload_limit = upload_limit
        self.utp = utp
        self.ses = None
        self.handle = None
        self._uploaded_before = 0

    def start(self, check=False):
        settings = {
            "listen_interfaces": f"{self.host}:{self.port}",
            "enable_dht": False, "enable_lsd": False, "enable_upnp": False, "enable_natpmp": False,
            "enable_incoming_utp": self.utp, "enable_outgoing_utp": self.utp,
            "enable_incoming_tcp": True, "enable_outgoing_tcp": True,
            "upload_rate_limit": self.upload_limit,
            "alert_mask": 0, "allow_multiple_connections_per_ip": True,
            "announce_ip": self.host,
            "user_agent": "mirel-test-seeder", "unchoke_slots_limit": -1,
            "max_retry_port_bind": 0, "listen_system_port_fallback": False,
            # The tracker answers "stopped" at once; the library's default waits 5 s for
            # every tracker when the session ends.
            "stop_tracker_timeout": 1,
        }
        self.ses = lt.session(settings)
        # libtorrent does not limit peers on local networks (the loopback included) unless
        # they are put in the global peer class.
        classes = lt.ip_filter()
        classes.add_rule("0.0.0.0", "255.255.255.255", 1 << lt.session.global_peer_class_id)
        self.ses.set_peer_class_filter(classes)
        atp = lt.add_torrent_params()
        atp.ti = lt.torrent_info(str(self.dist.torrent))
        atp.save_path = str(self.folder)
        atp.flags = 0 if check else lt.torrent_flags.seed_mode
        if self.folder != self.dist.folder:
            # Another folder may hold only part of the pieces: this peer shares what it holds
            # and downloads nothing, from peers or web seeds.
            atp.flags |= lt.torrent_flags.upload_mode
            atp.url_seeds = []
        self.handle = self.ses.add_torrent(atp)
        for seed in atp.ti.web_seeds():
            self.handle.remove_url_seed(seed["url"])
        return self

    def pieces(self):
        """Indexes of the pieces it holds, once its check of the folder is over; None before."""
        st = self.handle.status()
        if st.state in (lt.torrent_status.checking_files, lt.torrent_status.checking_resume_data):
            return None
        return [i for i, held in enumerate(st.pieces) if held]

    def wait_seeding(self, timeout=60):
        def seeding():
            st = self.handle.status()
            return st.is_seeding and st.state == lt.torrent_status.seeding and self.listening()
        return wait_for(seeding, timeout)

    def listening(self):
        return self.ses is not None and self.ses.is_listening() and self.ses.listen_port() == self.port

    def uploaded(self):
        """Payload bytes sent so far, over every run of this seeder."""
        now = self.handle.status().total_payload_upload if self.handle else 0
        return self._uploaded_before + now

    def peers(self):
        return self.handle.get_peer_info() if self.handle else []

    def connect(self, host, port):
        """Connects to a peer at `host`:`port` (one that the tracker does not name to it)."""
        self.handle.connect_peer((host, port))

    def stop(self):
        if self.ses is not None:
            self._uploaded_before += self.handle.status().total_payload_upload
            self.handle = None
            ses, self.ses = self.ses, None
            ses.pause()
            del ses


class Aria2Seeder(_ChildProcess):
    """aria2c seeding the distribution on `host`:`port` (it listens on every address and
    announces `host` to the tracker)."""

    def __init__(self, dist, host="127.0.0.2", port=0, upload_limit=0, log=None):
        self.dist = dist
        self.host = host
        self.port = port or free_port(LOOPBACK)
        self.upload_limit = upload_limit
        self.log = log

    def start(self):
        args = ["aria2c", "--seed-ratio=0.0", "--check-integrity=false", "--bt-seed-unverified=true",
                "--enable-dht=false", "--enable-dht6=false", "--bt-enable-lpd=false",
                "--enable-peer-exchange=false", "--disable-ipv6=true", f"--listen-port={self.port}",
                f"--bt-external-ip={self.host}", f"--dir={self.dist.folder}", "--file-allocation=none",
                "--console-log-level=warn", "--summary-interval=0", "--bt-tracker-interval=2",
                "--allow-overwrite=false", "--auto-file-renaming=false"]
        if self.upload_limit:
            args.append(f"--max-overall-upload-limit={self.upload_limit}")
        args.append(str(self.dist.torrent))
        out = open(self.log, "ab") if self.log else subprocess.DEVNULL
        self.proc = subprocess.Popen(args, stdout=out, stderr=out, stdin=subprocess.DEVNULL)
        if out is not subprocess.DEVNULL:
            out.close()
        return self

    def wait_listening(self, timeout=20):
        return wait_port(self.host, self.port, timeout)


class ServerLimit:
    """Everything a server on `host`:`port` of the loopback device sends, limited to `rate`
    bytes/s in the kernel (an HTB class under a root that other limits share; its class and
    filter numbers are the port's, so that limits of servers of several tests at once never
    meet). nginx's own limit_rate counts per request and lets a second's worth through at once,
    so it never holds back ranges of a piece or so."""

    def __init__(self, host, port, rate):
        self.port = port
        _tc_quiet("qdisc", "add", "dev", "lo", "root", "handle", "1:", "htb")  # there already: fine
        subprocess.run(["tc", "class", "add", "dev", "lo", "parent", "1:", "classid", f"1:{port:x}", "htb", "rate",
                        f"{rate}bps", "ceil", f"{rate}bps", "quantum", "65536"], check=True, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL)
        subprocess.run(["tc", "filter", "add", "dev", "lo", "parent", "1:", "protocol", "ip", "prio", str(port), "u32",
                        "match", "ip", "src", f"{host}/32", "match", "ip", "sport", str(port), "0xffff",
                        "flowid", f"1:{port:x}"], check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)

    def stop(self):
        _tc_quiet("filter", "del", "dev", "lo", "parent", "1:", "prio", str(self.port))
        _tc_quiet("class", "del", "dev", "lo", "classid", f"1:{self.port:x}")


def _tc_quiet(*args):
    subprocess.run(["tc", *args], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class WebSeed(_ChildProcess):
    """nginx on `host` (127.0.0.1) serving `root` (static files, Range requests). `rate` limits
    what it sends in bytes/s (0: none; ServerLimit). With `tls` (a folder holding NAME.pem and
    NAME.key, and the NAME) it serves over TLS only, under the name localhost."""
    stop_signal = signal.SIGQUIT  # nginx's graceful stop

    def __init__(self, root, port=0, rate=0, workdir=None, tls=None, host=LOOPBACK):
        self.root = Path(root)
        self.host = host
        self.port = port or free_port(host)
        self.rate = rate
        self.workdir = Path(workdir or tempfile.mkdtemp(prefix="mirel-webseed-"))
        self.tls = tls
        self.limit = None

    def url(self, name=""):
        if self.tls:
            return f"https://localhost:{self.port}/" + urllib.parse.quote(name)
        return f"http://{self.host}:{self.port}/" + urllib.parse.quote(name)

    def stop(self):
        super().stop()
        if self.limit:
            self.limit.stop()
            self.limit = None

    def access_log(self):
        p = self.workdir / "access.log"
        return p.read_text(errors="replace") if p.exists() else ""

    def server_block(self):
        """The server of the http block: `root` on the port (its rate is limited in the kernel,
        ServerLimit)."""
        limit = ""
        listen = f"listen {self.host}:{self.port};"
        if self.tls:
            folder, name = self.tls
            listen = (f"listen {LOOPBACK}:{self.port} ssl; server_name localhost;"
                      f" ssl_certificate {folder}/{name}.pem; ssl_certificate_key {folder}/{name}.key;")
        return f"""    server {{
        {listen}
        root {self.root};
        {limit}
        location / {{ }}
    }}"""

    def start(self):
        w = self.workdir
        for d in ("tmp", "logs"):
            (w / d).mkdir(parents=True, exist_ok=True)
        if self.rate and not self.limit:
            self.limit = ServerLimit(self.host, self.port, self.rate)
        conf = f"""
user root;
worker_processes 1;
daemon off;
master_process off;
pid {w}/nginx.pid;
error_log {w}/logs/error.log warn;
events {{ worker_connections 256; }}
http {{
    access_log {w}/access.log;
    client_body_temp_path {w}/tmp/body;
    proxy_temp_path {w}/tmp/proxy;
    fastcgi_temp_path {w}/tmp/fastcgi;
    uwsgi_temp_path {w}/tmp/uwsgi;
    scgi_temp_path {w}/tmp/scgi;
    types {{ }}
    default_type application/octet-stream;
    sendfile on;
{self.server_block()}
}}
"""
        (w / "nginx.conf").write_text(conf)
        self.proc = subprocess.Popen(["nginx", "-p", str(w), "-c", str(w / "nginx.conf")],
                                     stdout=subprocess.DEVNULL, stderr=open(w / "logs" / "stderr.log", "ab"))
        if not wait_port(self.host, self.port):
            self.stop()
            raise RuntimeError("nginx did not start: " + (w / "logs" / "stderr.log").read_text(errors="replace"))
        return self


class FileServer(_HttpService):
    """Plain HTTP on 127.0.0.1 serving the files of `root` (whole-file GET only); `requests()`
    gives the paths asked for so far, in order."""

    def __init__(self, root, port=0):
        self.root = Path(root)
        self.port = port or free_port()
        self._requests = []
        self._lock = threading.Lock()

    def url(self, name):
        return f"http://{LOOPBACK}:{self.port}/" + urllib.parse.quote(name)

    def requests(self):
        with self._lock:
            return list(self._requests)

    def _handler(self):
        server = self

        class Handler(http.server.SimpleHTTPRequestHandler):
            def __init__(self, *a, **kw):
                super().__init__(*a, directory=str(server.root), **kw)

            def log_request(self, code="-", size="-"):
                with server._lock:
                    server._requests.append(self.path)

            def log_message(self, *args):
                pass

        return Handler


# ---------------------------------------------------------------------------------------------

def main():
    ap = argparse.ArgumentParser(description="Seed a test distribution on the loopback network (use inside "
                                             "scripts/sandbox).")
    ap.add_argument("folder", help="work folder for the distribution")
    ap.add_argument("--size", type=int, default=64 << 20, help="payload size in bytes")
    ap.add_argument("--base", help="program at the start of the payload (e.g. the stand-in installer)")
    ap.add_argument("--name", default="MirelSetup.exe")
    ap.add_argument("--piece-size", type=int, default=0)
    ap.add_argument("--aria2", action="store_true", help="also seed with aria2c on 127.0.0.2")
    ap.add_argument("--web-seed", action="store_true", help="add an nginx web seed")
    ap.add_argument("--no-libtorrent", action="store_true", help="no libtorrent seeder")
    ap.add_argument("--upload-limit", type=int, default=0)
    args = ap.parse_args()

    tracker = Tracker().start()
    web = WebSeed(Path(args.folder)).start() if args.web_seed else None
    dist = build_distribution(args.folder, args.size, args.base, args.name, tracker.url,
                              [web.url(args.name)] if web else (), args.piece_size)
    seeders = []
    if not args.no_libtorrent:
        seeders.append(LtSeeder(dist, upload_limit=args.upload_limit).start())
    if args.aria2:
        seeders.append(Aria2Seeder(dist, upload_limit=args.upload_limit).start())
    files = FileServer(dist.folder).start()
    print(f"tracker {tracker.url}")
    print(f"torrent {dist.torrent} info-hash {dist.info_hash}")
    print(f"packed  {files.url('Mirel.ndn')}")
    for s in seeders:
        print(f"seeder  {type(s).__name__} {s.host}:{s.port}")
    sys.stdout.flush()
    try:
        signal.sigwait({signal.SIGINT, signal.SIGTERM})
    except KeyboardInterrupt:
        pass
    for s in seeders:
        s.stop()
    files.stop()
    if web:
        web.stop()
    tracker.stop()


if __name__ == "__main__":
    main()
