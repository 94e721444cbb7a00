#!/usr/bin/python3
"""A small HTTP/1.1 server for the downloader tests. It serves the files of one folder and
misbehaves on purpose, chosen by the first segment of the request path:

  /files/NAME              200 with the file (any other path without a known prefix too)
  /auth/REALM/NAME         401 with "WWW-Authenticate: Basic realm=REALM" unless the request
                           carries Basic credentials USER:PASSWORD (below); then 200 with the file
  /proxyauth/NAME          407 with "Proxy-Authenticate: Basic realm=proxy" unless the request
                           carries Proxy-Authorization with USER:PASSWORD; then 200 with the
                           file. Meant for requests that come through the server as a proxy:
                           the server also takes absolute request targets (http://host/path)
  /status/CODE/...         that status with a short text body (e.g. 404, 500)
  /short/NAME              the file, but with a Content-Length 1000 bytes larger; then the
                           connection is closed
  /reset/NAME              the first half of the file, then the connection is reset (RST)
  /slow/NAME               the file in 100-byte pieces with a pause between them, the pauses
                           bounded so that the whole body takes at most --slow-limit seconds
  /noclen/NAME             the file without Content-Length, delimited by closing the connection
  /chunked/NAME            the file in chunked transfer encoding
  /redirect/NAME           302 to /files/NAME on the same host (and scheme)
  /redirects/N/NAME        a chain of N redirects (302) on the same host, then the file
  /redirect-http/NAME      302 to /files/NAME on the plain HTTP port (from a TLS port: a downgrade)
  /endless/NAME            200 without Content-Length, then bytes without end (until the client goes)
  /hugelen/NAME            200 with a Content-Length of 1 TiB, then bytes without end
  /endless401/NAME         401 without Content-Length, then bytes without end
  /endless503/NAME         503 without Content-Length, then bytes without end
  /trickle/NAME            200 with the file's Content-Length, then one byte every 0.2 s
  /stall/NAME              200 with the file's Content-Length, then nothing, the connection held
A missing file answers 404. The query string never changes the answer; it is logged, so tests
can mark their requests with a token of their own.

Every request is logged as one JSON line to --log before it is answered: method, target (path
with query), HTTP version, Host, User-Agent (null when absent), whether Authorization was sent and
was right, Pragma, Cache-Control and the chosen answer.

The server stops by itself after --lifetime seconds, and on SIGTERM or SIGINT.

  httpserver.py --root DIR [--port 0] [--portfile F] [--pidfile F] [--log F] [--lifetime S]
                [--populate] [--background]
  httpserver.py --stop --pidfile F
--port 0 picks a free port; the port is printed and written to --portfile.
With --tls-dir DIR (the sandbox's test certificates) the same answers are also served over TLS,
each on a free port written beside --portfile: port-tls (a certificate for localhost from the
trusted test CA), port-untrusted (from an untrusted CA), port-wrongname (for another name). --populate first
writes the standard test files into --root. --background detaches the server from the caller's
terminal and returns once it listens (for test fixtures).
"""
import argparse
import base64
import json
import os
import random
import signal
import socket
import ssl
import struct
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import urlsplit, unquote

from polling import wait_for

USER = "mirel"
PASSWORD = "launcher-test"
IDLE_TIMEOUT = 5.0  # seconds a connection may stay silent before the server drops it


def populate(root):
    """The standard files: sizes around the 1024-byte read buffer, a few megabytes of random
    data and a short text. Random data comes from a fixed seed, so runs are repeatable."""
    os.makedirs(root, exist_ok=True)
    rng = random.Random(20240611)

    def put(name, data):
        path = os.path.join(root, name)
        tmp = path + ".tmp"
        with open(tmp, "wb") as f:
            f.write(data)
        os.replace(tmp, path)

    put("hello.txt", b"Hello from the test server.\r\n")
    put("empty.bin", b"")
    for size in (1, 50, 1023, 1024, 1025, 4096, 65537):
        put(f"r{size}.bin", rng.randbytes(size))
    put("big.bin", rng.randbytes(3 * 1024 * 1024 + 17))
    put("slow.bin", rng.randbytes(20000))


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "MirelTestServer/1.0"
    timeout = IDLE_TIMEOUT

    def log_message(self, fmt, *args):  # the JSON log replaces the default stderr lines
        pass

    def setup(self):
        # The TLS handshake happens here, on the connection's own thread, never in accept().
        if isinstance(self.request, ssl.SSLSocket):
            self.request.settimeout(IDLE_TIMEOUT)
            try:
                self.request.do_handshake()
            except (OSError, ssl.SSLError):
                self.request.close()
                raise
        super().setup()

    def handle(self):
        try:
            super().handle()
        except (OSError, ssl.SSLError):
            pass

    def _endless(self, first_piece=b""):
        """Bytes until the client goes away or the server stops (bounded by --lifetime)."""
        piece = bytes(range(256)) * 64
        self.close_connection = True
        try:
            if first_piece:
                self.wfile.write(first_piece)
            while not self.server.stopping.is_set():
                self.wfile.write(piece)
        except OSError:
            pass

    # -- helpers
    def _file(self, name):
        root = self.server.root
        path = os.path.realpath(os.path.join(root, unquote(name)))
        if not path.startswith(os.path.realpath(root) + os.sep) or not os.path.isfile(path):
            return None
        with open(path, "rb") as f:
            return f.read()

    def _log(self, answer, auth_ok=None):
        record = {
            "time": round(time.time(), 3),
            "method": self.command,
            "target": self.path,
            "version": self.request_version,
            "host": self.headers.get("Host"),
            "ua": self.headers.get("User-Agent"),
            "auth": "Authorization" in self.headers,
            "proxy_auth": "Proxy-Authorization" in self.headers,
            "auth_ok": auth_ok,
            "pragma": self.headers.get("Pragma"),
            "cache_control": self.headers.get("Cache-Control"),
            "answer": answer,
        }
        line = json.dumps(record, ensure_ascii=True, separators=(",", ":"))
        with self.server.log_lock:
            if self.server.log_path:
                with open(self.server.log_path, "a", encoding="ascii") as f:
                    f.write(line + "\n")

    def _send_plain(self, code, body, headers=()):
        self.send_response(code)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        for k, v in headers:
            self.send_header(k, v)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def _send_file(self, data):
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(data)

    def _not_found(self):
        self._send_plain(404, b"404 Not Found: no such file on the test server\r\n")

    def _auth_ok(self, header="Authorization"):
        value = self.headers.get(header, "")
        if not value.startswith("Basic "):
            return False
        try:
            decoded = base64.b64decode(value[6:].strip()).decode("latin-1")
        except Exception:
            return False
        return decoded == f"{USER}:{PASSWORD}"

    # -- the answers
    def do_HEAD(self):
        self.do_GET()

    def do_GET(self):
        parts = urlsplit(self.path)
        segs = [s for s in parts.path.split("/") if s]
        kind = segs[0] if segs else ""
        rest = "/".join(segs[1:])

        if kind == "auth" and len(segs) >= 3:
            ok = self._auth_ok()
            self._log("200" if ok else "401", auth_ok=ok)
            if not ok:
                body = (b"<html><body>401 Authorization Required. This text is long enough to need"
                        b" several reads of fifty bytes each before the end is reached.</body></html>\r\n")
                self._send_plain(401, body, [("WWW-Authenticate", f'Basic realm="{segs[1]}"')])
                return
            data = self._file("/".join(segs[2:]))
            if data is None:
                return self._not_found()
            return self._send_file(data)

        if kind == "proxyauth":
            ok = self._auth_ok("Proxy-Authorization")
            self._log("200" if ok else "407", auth_ok=ok)
            if not ok:
                body = b"<html><body>407 Proxy Authentication Required by the test proxy.</body></html>\r\n"
                self._send_plain(407, body, [("Proxy-Authenticate", 'Basic realm="proxy"')])
                return
            data = self._file(rest)
            if data is None:
                return self._not_found()
            return self._send_file(data)

        if kind == "status" and segs[1:] and segs[1].isdigit():
            code = int(segs[1])
            self._log(str(code))
            if code < 200 or code in (204, 304):  # answers that never carry a body
                self.send_response(code)
                self.end_headers()
                return
            self._send_plain(code, f"status {code} on purpose\r\n".encode())
            return

        if kind in ("redirect", "redirects"):
            # /redirect/NAME is a chain of one.
            chained = kind == "redirects" and segs[1:] and segs[1].isdigit()
            count, name = (int(segs[1]), "/".join(segs[2:])) if chained else (1, rest)
            self._log("302")
            host = self.headers.get("Host") or f"127.0.0.1:{self.server.server_address[1]}"
            query = f"?{parts.query}" if parts.query else ""
            scheme = "https" if self.server.tls else "http"
            path = f"/redirects/{count - 1}/{name}" if count > 1 else f"/files/{name}"
            self._send_plain(302, b"moved\r\n", [("Location", f"{scheme}://{host}{path}{query}")])
            return

        if kind == "redirect-http":
            self._log("302")
            query = f"?{parts.query}" if parts.query else ""
            location = f"http://127.0.0.1:{self.server.plain_port}/files/{rest}{query}"
            self._send_plain(302, b"moved\r\n", [("Location", location)])
            return

        if kind in ("endless", "hugelen", "endless401", "endless503"):
            self._log(kind)
            self.send_response({"endless401": 401, "endless503": 503}.get(kind, 200))
            if kind == "endless401":
                self.send_header("WWW-Authenticate", 'Basic realm="endless"')
            if kind == "hugelen":
                self.send_header("Content-Length", str(1 << 40))
            self.send_header("Connection", "close")
            self.end_headers()
            self._endless()
            return

        special = kind in ("short", "reset", "slow", "noclen", "chunked", "trickle", "stall")
        data = self._file(rest if special or kind == "files" else "/".join(segs))
        if data is None:
            self._log("404")
            return self._not_found()
        self._log(kind if special else "200")

        if kind == "short":
            self.send_response(200)
            self.send_header("Content-Length", str(len(data) + 1000))
            self.end_headers()
            self.wfile.write(data)
            self.wfile.flush()
            self.close_connection = True
        elif kind == "reset":
            self.send_response(200)
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data[: len(data) // 2])
            self.wfile.flush()
            time.sleep(0.2)  # let the first half arrive before the reset
            # A zero linger time turns the close into a reset. The descriptor is closed here,
            # before the server's own orderly shutdown could send a FIN first.
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            os.close(self.connection.detach())
            self.close_connection = True
        elif kind == "slow":
            self.send_response(200)
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.flush()
            pieces = [data[i:i + 100] for i in range(0, len(data), 100)]
            pause = min(0.01, self.server.slow_limit / max(1, len(pieces)))
            for piece in pieces:
                self.wfile.write(piece)
                self.wfile.flush()
                time.sleep(pause)
        elif kind in ("trickle", "stall"):
            self.send_response(200)
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.flush()
            self.close_connection = True
            try:
                for i in range(len(data)):
                    if kind == "trickle":
                        self.wfile.write(data[i:i + 1])
                        self.wfile.flush()
                    if self.server.stopping.wait(0.2):
                        break
            except OSError:
                pass
        elif kind == "noclen":
            self.send_response(200)
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(data)
            self.wfile.flush()
            self.close_connection = True
        elif kind == "chunked":
            self.send_response(200)
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            for i in range(0, len(data), 777):
                piece = data[i:i + 777]
                self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
            self.wfile.write(b"0\r\n\r\n")
        else:
            self._send_file(data)


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def write_atomic(path, text):
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="ascii") as f:
        f.write(text)
    os.replace(tmp, path)


TLS_PORTS = (("port-tls", "localhost"), ("port-untrusted", "untrusted"), ("port-wrongname", "wrongname"))


def serve(args):
    stopping = threading.Event()
    servers = []

    def make(port, tls=None):
        srv = Server(("127.0.0.1", port), Handler)
        srv.root = os.path.abspath(args.root)
        srv.log_path = os.path.abspath(args.log) if args.log else None
        srv.log_lock = log_lock
        srv.slow_limit = args.slow_limit
        srv.stopping = stopping
        srv.tls = tls is not None
        if tls:
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            ctx.load_cert_chain(os.path.join(args.tls_dir, tls + ".pem"), os.path.join(args.tls_dir, tls + ".key"))
            srv.socket = ctx.wrap_socket(srv.socket, server_side=True, do_handshake_on_connect=False)
        servers.append(srv)
        return srv

    log_lock = threading.Lock()
    server = make(args.port)
    port = server.server_address[1]
    extra_ports = {}
    if args.tls_dir:
        for name, cert in TLS_PORTS:
            extra_ports[name] = make(0, cert).server_address[1]
    for srv in servers:
        srv.plain_port = port

    def stop(*_):
        if not stopping.is_set():
            stopping.set()
            for srv in servers:
                threading.Thread(target=srv.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    timer = threading.Timer(args.lifetime, stop)
    timer.daemon = True
    timer.start()

    if args.pidfile:
        write_atomic(args.pidfile, f"{os.getpid()}\n")
    port_files = []
    if args.portfile:
        for name, extra in extra_ports.items():
            path = os.path.join(os.path.dirname(os.path.abspath(args.portfile)), name)
            write_atomic(path, f"{extra}\n")
            port_files.append(path)
        write_atomic(args.portfile, f"{port}\n")
    print(port, flush=True)
    for srv in servers[1:]:
        threading.Thread(target=srv.serve_forever, kwargs={"poll_interval": 0.2}, daemon=True).start()
    try:
        server.serve_forever(poll_interval=0.2)
    finally:
        timer.cancel()
        for srv in servers:
            srv.server_close()
        # Only files that still name this server: a later server (another sandbox, the same
        # build folder) may have written its own there since.
        mine = {args.pidfile: f"{os.getpid()}\n", args.portfile: f"{port}\n"}
        for path in port_files:
            mine[path] = f"{extra_ports[os.path.basename(path)]}\n"
        for path, text in mine.items():
            if not path:
                continue
            try:
                with open(path, encoding="ascii") as f:
                    if f.read() == text:
                        os.remove(path)
            except OSError:
                pass
    return 0


def start_background(args):
    """Starts the server detached from our standard streams and waits until it listens."""
    if not args.portfile:
        print("httpserver: --background needs --portfile", file=sys.stderr)
        return 2
    for path in (args.portfile, args.pidfile):
        if path and os.path.exists(path):
            os.remove(path)
    pid = os.fork()
    if pid == 0:
        os.setsid()
        devnull = os.open(os.devnull, os.O_RDWR)
        err = os.open(args.errlog, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644) if args.errlog else devnull
        os.dup2(devnull, 0)
        os.dup2(devnull, 1)
        os.dup2(err, 2)
        try:
            code = serve(args)
        except BaseException as e:  # reported in the error log, if any
            print(f"httpserver: {e!r}", file=sys.stderr)
            code = 1
        os._exit(code)
    def started():
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return ("ended", status)
        return ("listening", None) if os.path.exists(args.portfile) else None

    result = wait_for(started, 15)
    if result and result[0] == "ended":
        print(f"httpserver: the server ended at once (status {result[1]})", file=sys.stderr)
        return 1
    if result:
        with open(args.portfile, encoding="ascii") as f:
            print(f.read().strip(), flush=True)
        return 0
    os.kill(pid, signal.SIGTERM)
    print("httpserver: the server did not start listening in time", file=sys.stderr)
    return 1


def stop_running(args):
    if not args.pidfile or not os.path.exists(args.pidfile):
        print("httpserver: no server running (no pid file)")
        return 0
    with open(args.pidfile, encoding="ascii") as f:
        pid = int(f.read().strip() or 0)
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        print(f"httpserver: server {pid} had already ended")
        os.remove(args.pidfile)
        return 0
    def gone():
        try:
            os.kill(pid, 0)
        except ProcessLookupError:
            return True
        return False

    if wait_for(gone, 10):
        print(f"httpserver: server {pid} stopped")
        return 0
    print(f"httpserver: server {pid} did not stop", file=sys.stderr)
    return 1


def main(argv=None):
    p = argparse.ArgumentParser(description="HTTP/1.1 test server that can misbehave on purpose")
    p.add_argument("--port", type=int, default=0, help="port to listen on, 0 picks a free one")
    p.add_argument("--root", default=".", help="folder of the files to serve")
    p.add_argument("--pidfile")
    p.add_argument("--portfile")
    p.add_argument("--log", help="file that receives one JSON line per request")
    p.add_argument("--errlog", help="standard error of a --background server")
    p.add_argument("--lifetime", type=float, default=600.0, help="seconds after which the server stops")
    p.add_argument("--slow-limit", type=float, default=3.0, help="longest time of one /slow/ body, seconds")
    p.add_argument("--tls-dir", help="folder of the test certificates: also serve over TLS")
    p.add_argument("--populate", action="store_true", help="write the standard test files into --root first")
    p.add_argument("--background", action="store_true", help="detach and return once listening")
    p.add_argument("--stop", action="store_true", help="stop the server named by --pidfile")
    args = p.parse_args(argv)

    if args.stop:
        return stop_running(args)
    if args.lifetime <= 0:
        p.error("--lifetime must be positive")
    if args.populate:
        populate(args.root)
    if not os.path.isdir(args.root):
        p.error(f"no such folder: {args.root}")
    if args.log:
        open(args.log, "w").close()  # a fresh log for each run of the server
    if args.background:
        return start_background(args)
    return serve(args)


if __name__ == "__main__":
    sys.exit(main())
