"""The launcher fetching the packed torrent description over HTTP for a game that is not
installed: the numbered failure messages, the closing after them, and the description stored
and unpacked in the download folder. The HTTP server is tests/servers/httpserver.py, started
by each test on a free loopback port."""
import json
import os
import signal
import socket
import subprocess

import pytest

from conftest import (BUILD, DOWNLOAD_DIR, FOLDER_LOCK, IDCANCEL, IDOK, LAUNCHER, ROOT, TITLE, folder_names, posted_barrier,
                      wait_exit, wait_for)

SERVER = ROOT / "tests" / "servers" / "httpserver.py"
NDNPACK = BUILD / "ndnpack.exe"


class HttpServer:
    def __init__(self, folder):
        self.root = folder / "files"
        self.root.mkdir(parents=True)
        self.log = folder / "requests.log"
        self.portfile = folder / "port"
        tls = ["--tls-dir", os.environ["MIREL_TLS_DIR"]] if os.environ.get("MIREL_TLS_DIR") else []
        self.proc = subprocess.Popen(
            ["/usr/bin/python3", str(SERVER), "--root", str(self.root), "--port", "0", "--log", str(self.log),
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
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=10)


@pytest.fixture
def http_server(tmp_path):
    server = HttpServer(tmp_path / "http")
    yield server
    server.stop()


def closed_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def torrent_description():
    """A small bencoded torrent description with binary piece hashes."""
    pieces = bytes((i * 37 + 11) % 256 for i in range(20 * 3))
    info = (b"d6:lengthi700000e4:name14:MirelSetup.exe12:piece lengthi262144e6:pieces60:" + pieces + b"e")
    return b"d8:announce35:http://127.0.0.1:1/tracker/announce4:info" + info + b"e"


def wait_file(path, predicate, timeout=20):
    return wait_for(lambda: path.exists() and predicate(path.read_bytes()), timeout)


def expect_message_then_close(wine, launcher, proc, text):
    """The failure message box, captioned with the application's title; after OK the window
    closes and the process ends with exit code 0."""
    hwnd = wine.wait_msgbox(text, timeout_ms=20000)
    assert hwnd, f"no message box {text!r}; boxes: {wine.msgboxes(TITLE, 0)}"
    assert wine.msgbox() == (TITLE, text)
    assert wine.command(hwnd, IDOK)
    assert wait_exit(proc) == 0
    assert wine.gone(cls="Mirel Launcher", timeout_ms=5000)


@pytest.mark.parametrize("path,status", [("/files/Mirel.ndn", 404), ("/status/500", 500), ("/status/403", 403)])
def test_failed_status_shows_numbered_message_and_closes(wine, game, launcher, http_server, path, status):
    # No installation record: the description is fetched, and the server answers an error.
    proc = launcher.start(game.start_string(url=http_server.url(path + "?from=launcher")))
    expect_message_then_close(wine, launcher, proc, f"Download Failed No:7, Status Code:{status}\n")

    reqs = http_server.requests()
    assert len(reqs) == 1
    req = reqs[0]
    assert (req["method"], req["target"], req["version"]) == ("GET", path + "?from=launcher", "HTTP/1.1")
    assert req["ua"] == TITLE, "the user agent is the application's name"
    assert req["auth"] is False
    # A failed fetch leaves nothing that a later run could take for a description.
    assert folder_names(DOWNLOAD_DIR) == [FOLDER_LOCK]


@pytest.mark.parametrize("exe", [LAUNCHER, BUILD / "tests" / "MirelLauncherSigned.exe"], ids=["unkeyed", "keyed"])
def test_fetch_cut_short_leaves_the_earlier_description_alone(wine, game, http_server, exe):
    # The server states 1000 bytes more than it sends: what arrived is not a description.
    (http_server.root / "Mirel.ndn").write_bytes(_pack(torrent_description()))
    DOWNLOAD_DIR.mkdir(parents=True)
    (DOWNLOAD_DIR / "Mirel.ndn").write_bytes(b"an earlier run's description")
    proc = wine.start(exe, game.start_string(url=http_server.url("/short/Mirel.ndn")))
    text = "Download Failed No:8, Error:12031\n"
    hwnd = wine.wait_msgbox(text, title=exe.stem, timeout_ms=20000)
    assert hwnd, wine.msgboxes(exe.stem, 0)
    assert wine.command(hwnd, IDOK)
    assert wait_exit(proc) == 0
    assert folder_names(DOWNLOAD_DIR) == sorted([FOLDER_LOCK, "Mirel.ndn"])
    assert (DOWNLOAD_DIR / "Mirel.ndn").read_bytes() == b"an earlier run's description"


def test_server_down_shows_send_failure_and_closes(wine, game, launcher):
    port = closed_port()
    proc = launcher.start(game.start_string(url=f"http://127.0.0.1:{port}/Mirel.ndn"))
    expect_message_then_close(wine, launcher, proc, "File Down Failed No:5,/Mirel.ndn Error:12029\n")


def test_empty_start_string_shows_url_message_and_closes(wine, launcher):
    # All fields empty: the record under the empty key path has no install path, and the
    # empty URL cannot be parsed even with the scheme in front.
    proc = launcher.start(None)
    expect_message_then_close(wine, launcher, proc, "URL parse Failed : http://\n")
    assert not (DOWNLOAD_DIR / "Mirel.ndn").exists(), "no file before the URL is understood"


def test_url_without_scheme_is_fetched_as_http(wine, game, launcher, http_server):
    proc = launcher.start(game.start_string(url=f"127.0.0.1:{http_server.port}/status/404"))
    expect_message_then_close(wine, launcher, proc, "Download Failed No:7, Status Code:404\n")
    assert [r["target"] for r in http_server.requests()] == ["/status/404"]


def test_packed_description_is_stored_and_unpacked(wine, game, launcher, http_server, tmp_path):
    plain = torrent_description()
    source = tmp_path / "game.torrent"
    source.write_bytes(plain)
    packed = http_server.root / "Mirel.ndn"
    wine.run(NDNPACK, source, packed, check=True)
    assert packed.read_bytes() != plain

    proc = launcher.start(game.start_string(url=http_server.url("/files/Mirel.ndn")))
    hwnd = launcher.window()
    assert hwnd, "the launcher's window did not appear"
    target = DOWNLOAD_DIR / "Mirel.ndn"
    assert wait_file(target, lambda b: b == plain), \
        f"the download folder holds {target.read_bytes()[:40] if target.exists() else None!r}"
    # Nothing went wrong: no message, and the launcher goes on (it waits for the installer).
    posted_barrier(wine, hwnd)
    assert wine.msgboxes(TITLE, timeout_ms=0) == []
    assert proc.poll() is None
    assert [r["target"] for r in http_server.requests()] == ["/files/Mirel.ndn"]


def test_redirected_description_is_followed(wine, game, launcher, http_server):
    plain = torrent_description()
    (http_server.root / "Mirel.ndn").write_bytes(_pack(plain))
    proc = launcher.start(game.start_string(url=http_server.url("/redirect/Mirel.ndn")))
    assert wait_file(DOWNLOAD_DIR / "Mirel.ndn", lambda b: b == plain)
    assert proc.poll() is None
    assert [r["answer"] for r in http_server.requests()] == ["302", "200"]


def test_credentials_prompt_cancelled_leaves_no_description(wine, game, launcher, http_server):
    (http_server.root / "Mirel.ndn").write_bytes(_pack(torrent_description()))
    proc = launcher.start(game.start_string(url=http_server.url("/auth/launcher-realm/Mirel.ndn")))
    # The prompt shows only with a real owner window: the launcher hands over its own.
    prompt = wine.find(cls="#32770", timeout_ms=20000)
    assert prompt, "no credentials prompt"
    assert wine.command(prompt, IDCANCEL)
    assert wine.gone(cls="#32770", timeout_ms=10000)
    # The answer's body was read away: an empty fetch, which does not unpack and so never
    # becomes Mirel.ndn; the launcher goes on to its wait without a message.
    posted_barrier(wine, launcher.window())
    assert wine.msgboxes(TITLE, timeout_ms=0) == []
    assert folder_names(DOWNLOAD_DIR) == [FOLDER_LOCK]
    assert proc.poll() is None
    reqs = http_server.requests()
    assert len(reqs) == 1 and reqs[0]["answer"] == "401"


def test_certificate_that_fails_shows_numbered_message_and_closes(wine, game, launcher, http_server):
    proc = launcher.start(game.start_string(url=http_server.secure_url("/files/Mirel.ndn", "port-untrusted")))
    box = wine.msgbox(timeout_ms=20000)
    assert box and box[1] in ("Download Failed No:9, Certificate Error:12045\n",
                              "Download Failed No:9, Certificate Error:12057\n"), box
    expect_message_then_close(wine, launcher, proc, box[1])
    assert http_server.requests() == [], "nothing may be asked over a channel that failed its check"


def test_secure_fetch_refuses_a_redirect_to_http(wine, game, launcher, http_server):
    (http_server.root / "Mirel.ndn").write_bytes(_pack(torrent_description()))
    proc = launcher.start(game.start_string(url=http_server.secure_url("/redirect-http/Mirel.ndn")))
    expect_message_then_close(wine, launcher, proc, "Download Failed No:10, Redirect to http refused\n")
    assert [r["answer"] for r in http_server.requests()] == ["302"]


@pytest.mark.parametrize("path", ["/endless/Mirel.ndn", "/hugelen/Mirel.ndn"])
def test_oversized_description_is_refused_and_not_kept(wine, game, launcher, http_server, path):
    proc = launcher.start(game.start_string(url=http_server.url(path)))
    expect_message_then_close(wine, launcher, proc, "Download Failed No:11, Size Limit:16777216\n")
    assert not (DOWNLOAD_DIR / "Mirel.ndn").exists(), "a partial description was left behind"


def _pack(plain):
    import struct
    import zlib
    stream = zlib.compress(plain, 9)
    return struct.pack("<II", len(plain), len(stream)) + stream
