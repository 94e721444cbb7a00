"""The launcher fetching the packed torrent description over HTTP for a game that is not
installed: a numbered failure message and the closing after it, what a failed fetch leaves in
the download folder, and the description stored and unpacked there. The downloader's own
failures, one by one, are the unit tests' (tests/unit/test_http_download.cpp); here is what only
the whole launcher shows. The HTTP server is tests/servers/httpserver.py, started by each test
on a free loopback port."""
import pytest

from conftest import DOWNLOAD_DIR
from harness import BUILD, LAUNCHER, TITLE, wait_for
from harness.launcher import FOLDER_LOCK, IDCANCEL, IDOK, folder_names, pack, posted_barrier, wait_exit

NDNPACK = BUILD / "ndnpack.exe"


def torrent_description():
    """A small bencoded torrent description with binary piece hashes."""
    pieces = bytes((i * 37 + 11) % 256 for i in range(20 * 3))
    info = (b"d6:lengthi700000e4:name14:MirelSetup.exe12:piece lengthi262144e6:pieces60:" + pieces + b"e")
    return b"d8:announce35:http://127.0.0.1:1/tracker/announce4:info" + info + b"e"


def wait_file(path, predicate, timeout=20):
    return wait_for(lambda: path.exists() and predicate(path.read_bytes()), timeout)


def expect_message_then_close(wine, launcher, proc, text, title=TITLE):
    """The failure message box, captioned with the application's title and the only one; after
    OK the window closes and the process ends with exit code 0."""
    hwnd = wine.wait_msgbox(text, title=title, timeout_ms=20000)
    assert hwnd, f"no message box {text!r}; boxes: {wine.msgboxes(title, 0)}"
    assert wine.msgboxes(title) == [(title, text)]
    assert wine.command(hwnd, IDOK)
    assert wait_exit(proc) == 0
    assert wine.gone(cls="Mirel Launcher", timeout_ms=5000)


@pytest.mark.parametrize("exe", [LAUNCHER, BUILD / "tests" / "MirelLauncherSigned.exe"], ids=["unkeyed", "keyed"])
def test_failed_fetch_shows_numbered_message_closes_and_leaves_the_earlier_description(wine, game, launcher,
                                                                                      http_server, exe):
    # No installation record: the description is fetched. The server states 1000 bytes more
    # than it sends: what arrived is not a description.
    (http_server.root / "Mirel.ndn").write_bytes(pack(torrent_description()))
    DOWNLOAD_DIR.mkdir(parents=True)
    (DOWNLOAD_DIR / "Mirel.ndn").write_bytes(b"an earlier run's description")
    proc = launcher.start(game.start_string(url=http_server.url("/short/Mirel.ndn?from=launcher")), exe=exe)
    expect_message_then_close(wine, launcher, proc, "Download Failed No:8, Error:12031\n", title=exe.stem)

    reqs = http_server.requests()
    assert len(reqs) == 1
    req = reqs[0]
    assert (req["method"], req["target"], req["version"]) == ("GET", "/short/Mirel.ndn?from=launcher", "HTTP/1.1")
    assert req["ua"] == exe.stem, "the user agent is the application's name"
    assert req["auth"] is False
    # A failed fetch leaves nothing that a later run could take for a description, and the
    # earlier one stays until a new one replaces it.
    assert folder_names(DOWNLOAD_DIR) == sorted([FOLDER_LOCK, "Mirel.ndn"])
    assert (DOWNLOAD_DIR / "Mirel.ndn").read_bytes() == b"an earlier run's description"


def test_empty_start_string_shows_url_message_and_closes(wine, launcher):
    # No start string at all: the record under the empty key path has no install path, and
    # the empty URL cannot be parsed even with the scheme in front. (An empty argument, "",
    # is what the download folder tests in test_launch.py start the launcher with.)
    proc = launcher.start(None)
    expect_message_then_close(wine, launcher, proc, "URL parse Failed : http://\n")
    assert folder_names(DOWNLOAD_DIR) == [FOLDER_LOCK], "no file before the URL is understood"


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


def test_credentials_prompt_cancelled_leaves_no_description(wine, game, launcher, http_server):
    (http_server.root / "Mirel.ndn").write_bytes(pack(torrent_description()))
    proc = launcher.start(game.start_string(url=http_server.url("/auth/launcher-realm/Mirel.ndn")))
    # The prompt shows only with a real owner window: the launcher hands over its own.
    prompt = wine.find(cls="#32770", timeout_ms=20000)
    assert prompt, "no credentials prompt"
    assert wine.command(prompt, IDCANCEL)
    # The answer's body was read away: an empty fetch, which does not unpack and so never
    # becomes Mirel.ndn; the player is told so, in the numbered failures' words, and the
    # launcher closes (it once waited there for ever, with nothing said).
    expect_message_then_close(wine, launcher, proc, "Download Failed No:13, Unpack Error:0\n")
    assert folder_names(DOWNLOAD_DIR) == [FOLDER_LOCK]
    reqs = http_server.requests()
    assert len(reqs) == 1 and reqs[0]["answer"] == "401"
