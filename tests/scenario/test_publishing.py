"""The publisher's kit end to end: ndnpack --make-torrent read back by Python libtorrent (web
seeds, trackers, every piece's hash against the file, a hybrid torrent checked by the library,
an installer over 4 GiB); rtorrent seeding what it made through opentracker, both with the
configuration of tools/publish, to a launcher; and a keyed launcher's releases: a replayed
older one and an expired one refused, the next one taken, a key rolled over."""
import datetime
import hashlib
import os

import urllib.request

import pytest

from conftest import DOWNLOAD_DIR
from harness import ROOT, MiB, STANDINS, wait_for
from harness.launcher import FOLDER_LOCK, IDOK, Flow, finish_flow, folder_names, wait_exit
from harness.release import (KIT, NEXT_SECRET, ROLLOVER_LAUNCHER, SIGNED_LAUNCHER, TEST_SECRET, Origin, RTorrentSeed,
                             Tracker, forget_releases, make_torrent, pack, printed_info_hash, public_key, sign_by_hand,
                             taken_releases)

import seeder as S  # noqa: E402  (tests/servers is on the path through the harness)

GiB = 1 << 30


def piece_hashes_match(ti, payload, pieces=None):
    """Each piece's SHA-1 in the torrent against the file's bytes (all pieces, or the ones given)."""
    with open(payload, "rb") as f:
        for i in pieces if pieces is not None else range(ti.num_pieces()):
            f.seek(i * ti.piece_length())
            data = f.read(ti.piece_size(i))
            if hashlib.sha1(data).digest() != ti.hash_for_piece(i):
                return i
    return None


def checked_by_libtorrent(torrent, folder):
    """Whether a native libtorrent finds every piece of `torrent` good in `folder` (for a hybrid
    torrent it checks the v1 and the v2 hashes)."""
    import libtorrent as lt
    ses = lt.session({"enable_dht": False, "enable_lsd": False, "enable_upnp": False, "enable_natpmp": False,
                      "listen_interfaces": "", "alert_mask": 0})
    try:
        atp = lt.add_torrent_params()
        atp.ti = lt.torrent_info(str(torrent))
        atp.save_path = str(folder)
        atp.flags = lt.torrent_flags.upload_mode | lt.torrent_flags.paused
        h = ses.add_torrent(atp)
        h.force_recheck()
        h.resume()
        checking = (lt.torrent_status.checking_files, lt.torrent_status.checking_resume_data)
        assert wait_for(lambda: h.status().state not in checking and h.status().num_pieces > 0
                        or h.status().errc.value() != 0, 120)
        st = h.status()
        return st.errc.value() == 0 and st.num_pieces == atp.ti.num_pieces()
    finally:
        ses.pause()
        del ses


# ---------------------------------------------------------------------------------------------
# ndnpack --make-torrent, as Python libtorrent reads it

@pytest.mark.parametrize("case", ["v1", "piece size given", "hybrid", "korean name"])
def test_make_torrent_as_libtorrent_reads_it(wine, tmp_path, case):
    import libtorrent as lt
    name = "미렐온라인설치.exe" if case == "korean name" else "MirelSetup.exe"
    size = 3 * MiB + 17  # the last piece is short
    payload = S.make_payload(tmp_path / name, size, STANDINS / "standin_installer.exe", seed=case)
    web_seeds = ["http://cdn.mirel.example/release/MirelSetup.exe", "http://127.0.0.1:8080/"]
    trackers = ["http://tracker.mirel.example:6969/announce", "udp://tracker2.mirel.example:6969"]
    out = tmp_path / "out.torrent"
    r = make_torrent(wine, payload, out, web_seeds=web_seeds, trackers=trackers,
                     piece_kib=16 if case == "piece size given" else None, hybrid=case == "hybrid")
    assert r.returncode == 0, r.stderr
    ti = lt.torrent_info(str(out))
    assert ti.num_files() == 1 and ti.files().file_path(0) == name
    assert ti.total_size() == size
    assert ti.piece_length() == (16 << 10 if case == "piece size given" else 256 << 10)
    assert ti.num_pieces() == -(-size // ti.piece_length())
    assert [w["url"] for w in ti.web_seeds()] == web_seeds
    assert [(t.url, t.tier) for t in ti.trackers()] == [(trackers[0], 0), (trackers[1], 1)]
    assert ti.creator() == "ndnpack (Mirel Online)"
    assert piece_hashes_match(ti, payload) is None
    hashes = ti.info_hashes()
    assert printed_info_hash(r) == str(hashes.v1)
    assert hashes.has_v1()
    assert hashes.has_v2() == (case == "hybrid")
    if case == "hybrid":
        assert printed_info_hash(r, v2=True) == str(hashes.v2)
        assert checked_by_libtorrent(out, tmp_path)
        # The check sees a wrong byte in the file.
        with open(payload, "r+b") as f:
            f.seek(size - 5)
            f.write(b"X")
        assert not checked_by_libtorrent(out, tmp_path)
    assert "info-hash v2" not in r.stdout.decode() or case == "hybrid"
    # Nothing but the torrent is left beside the installer.
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted([name, "out.torrent"])


@pytest.mark.long
def test_make_torrent_of_an_installer_over_4_gib(wine, tmp_path):
    # A 32-bit program hashing a file past 4 GiB: sparse, with bytes of their own at the start,
    # around the 4 GiB mark and at the end, so that a piece read from the wrong offset differs.
    import libtorrent as lt
    size = 4 * GiB + 3 * MiB + 5
    payload = tmp_path / "MirelSetup.exe"
    with open(payload, "wb") as f:
        f.truncate(size)
        for at in (0, 4 * GiB - 7, size - 11):
            f.seek(at)
            f.write(os.urandom(11))
    out = tmp_path / "big.torrent"
    r = make_torrent(wine, payload, out, web_seeds=["http://127.0.0.1/MirelSetup.exe"])
    assert r.returncode == 0, r.stderr
    ti = lt.torrent_info(str(out))
    assert ti.total_size() == size
    assert ti.piece_length() == 4 * MiB  # the smallest size that keeps it at 2048 pieces or fewer
    assert ti.num_pieces() == 1025
    mark = (4 * GiB - 7) // ti.piece_length()
    assert piece_hashes_match(ti, payload, [0, mark, mark + 1, ti.num_pieces() - 1]) is None
    # The progress line ends at the whole size.
    assert "hashing " in r.stderr.decode() and "100% (4099 of 4099 MiB)" in r.stderr.decode(), r.stderr


# ---------------------------------------------------------------------------------------------
# rtorrent seeds the kit's torrent through opentracker, with the kit's configuration

@pytest.mark.parametrize("name", ["nginx-mirel.conf", "opentracker.conf", "rtorrent.rc"])
def test_the_publishing_guide_shows_the_kits_configuration_as_it_is(name):
    # What docs/publishing.md shows is what the demo and these tests run.
    text = (KIT / name).read_text()
    block = "".join(("    " + line if line.strip() else "") + "\n" for line in text.rstrip("\n").split("\n"))
    guide = ROOT / "docs" / "publishing.md"
    assert block in guide.read_text(), f"the copy of tools/publish/{name} in {guide.relative_to(ROOT)} is not the file"


def test_the_trackers_seed_count_for_any_info_hash(tmp_path):
    # One info-hash in about thirteen holds the byte 0x20; the tracker reads a query's "+" as a
    # plus, so the checks that wait for it must percent-encode every byte as clients do.
    hashes = ["20" * 20, "2b" * 20, "00ff" * 10]
    tracker = Tracker(tmp_path / "opentracker").start(hashes)
    try:
        for h in hashes:
            # As every client sends it: each byte as %XX.
            encoded = "".join(f"%{b:02X}" for b in bytes.fromhex(h))
            announce = (f"{tracker.url}?info_hash={encoded}&peer_id=-XX0000-seedingcheck&port=6881"
                        "&uploaded=0&downloaded=0&left=0&event=completed&compact=1")
            with urllib.request.urlopen(announce, timeout=5) as r:
                assert b"failure reason" not in r.read(), h
            assert tracker.seeds(h) == 1, h
    finally:
        tracker.stop()


def test_rtorrent_seeds_what_ndnpack_made_through_opentracker(wine, game, launcher, peers, tmp_path):
    # No web seed and no other peer: the launcher has the installer from rtorrent or not at all.
    www = tmp_path / "www"
    www.mkdir()
    installer = S.make_payload(www / "MirelSetup.exe", 6 * MiB, STANDINS / "standin_installer.exe", seed=str(tmp_path))
    tracker = Tracker(tmp_path / "opentracker")
    torrent = tmp_path / "MirelSetup.exe.torrent"
    made = make_torrent(wine, installer, torrent, trackers=[tracker.url])
    assert made.returncode == 0, made.stderr
    info_hash = printed_info_hash(made)
    pack(wine, torrent, www / "Mirel.ndn", check=True)
    peers.add(tracker.start([info_hash]))
    origin = peers.add(Origin(www, workdir=tmp_path / "nginx").start())
    seed = peers.add(RTorrentSeed(torrent, www, tmp_path / "rtorrent").start())
    assert seed.wait_seeding(tracker, info_hash), seed.log.read_text(errors="replace")

    dist = S.Distribution(www, installer, torrent, www / "Mirel.ndn", info_hash, installer.stat().st_size)
    flow = Flow(wine, game, launcher, tmp_path, origin).start()
    finish_flow(flow, dist)
    assert origin.requests("/Mirel.ndn") == [200]
    assert origin.requests("/MirelSetup.exe") == []


# ---------------------------------------------------------------------------------------------
# A keyed launcher's releases

@pytest.fixture
def release_record(wine):
    """The keyed launcher's record of taken releases, empty at the start and at the end."""
    forget_releases(wine)
    yield lambda: taken_releases(wine)
    forget_releases(wine)


def published(wine, tmp_path, size=2 * MiB):
    """An installer on the kit's origin, its torrent naming the origin as web seed (the only
    source), and a function that serves a description as Mirel.ndn."""
    www = tmp_path / "www"
    www.mkdir()
    installer = S.make_payload(www / "MirelSetup.exe", size, STANDINS / "standin_installer.exe", seed=str(tmp_path))
    origin = Origin(www, workdir=tmp_path / "nginx")
    torrent = tmp_path / "MirelSetup.exe.torrent"
    made = make_torrent(wine, installer, torrent, web_seeds=[origin.url("MirelSetup.exe")])
    assert made.returncode == 0, made.stderr
    dist = S.Distribution(www, installer, torrent, www / "Mirel.ndn", printed_info_hash(made), size)
    return origin, dist


def next_run(wine, launcher, game, tmp_path, origin, exe):
    """Another run for a game that is not installed (the installer of the run before installed
    it), with the stand-in installer's and the patcher's logs of its own."""
    game.uninstall()
    game.args_log.unlink(missing_ok=True)
    flow = Flow(wine, game, launcher, tmp_path, origin, exe=exe)
    flow.installer_log.unlink(missing_ok=True)
    return flow.start()


def refused(wine, launcher, game, tmp_path, origin, exe, message):
    """A run that is refused with `message`: nothing of it stays in the download folder, no
    installer was asked of the origin or run."""
    asked = len(origin.requests("/MirelSetup.exe"))
    if DOWNLOAD_DIR.exists():
        for p in DOWNLOAD_DIR.iterdir():
            p.unlink()
    flow = next_run(wine, launcher, game, tmp_path, origin, exe)
    hwnd = wine.wait_msgbox(message, title=exe.stem, timeout_ms=30000)
    assert hwnd, f"no message {message!r}: {wine.msgboxes(exe.stem, 0)}"
    assert wine.command(hwnd, IDOK)
    assert wait_exit(flow.proc, timeout=30) == 0
    assert set(folder_names(DOWNLOAD_DIR)) <= {FOLDER_LOCK}
    assert len(origin.requests("/MirelSetup.exe")) == asked
    assert flow.installer_runs() == []


def taken(wine, launcher, game, tmp_path, origin, exe, dist):
    """A run that takes the description and goes through the whole flow."""
    flow = next_run(wine, launcher, game, tmp_path, origin, exe)
    finish_flow(flow, dist)
    assert (DOWNLOAD_DIR / "Mirel.ndn").read_bytes() == dist.torrent.read_bytes()


def test_keyed_launcher_takes_5_refuses_a_replayed_4_and_an_expired_6_then_takes_6(wine, game, launcher, peers,
                                                                                    tmp_path, release_record):
    origin, dist = published(wine, tmp_path)
    signed = {}
    for version in (4, 5):
        signed[version] = tmp_path / f"Mirel-{version}.ndn"
        pack(wine, dist.torrent, signed[version], secret=TEST_SECRET, version=version)
    # ndnpack refuses an expiry that has passed; the publisher's mistake, or an old release
    # frozen by whoever serves it, made here from the documented layout.
    signed["6 expired"] = tmp_path / "Mirel-6-expired.ndn"
    expired_day = (datetime.date(2001, 1, 1) - datetime.date(1970, 1, 1)).days
    signed["6 expired"].write_bytes(sign_by_hand(dist.torrent.read_bytes(), TEST_SECRET, 6, expired_day))
    signed["6"] = tmp_path / "Mirel-6.ndn"
    pack(wine, dist.torrent, signed["6"], secret=TEST_SECRET, version=6, expires="2099-12-31")
    peers.add(origin.start())
    key = public_key(TEST_SECRET)

    def serve(which):
        dist.packed.write_bytes(signed[which].read_bytes())

    serve(5)
    taken(wine, launcher, game, tmp_path, origin, SIGNED_LAUNCHER, dist)
    assert release_record() == {key: 5}

    serve(4)  # an older release replayed by whoever answers the fetch
    refused(wine, launcher, game, tmp_path, origin, SIGNED_LAUNCHER,
            "Download Failed No:17, Older Release:4, Accepted:5\n")
    serve("6 expired")
    refused(wine, launcher, game, tmp_path, origin, SIGNED_LAUNCHER,
            "Download Failed No:18, Release Expired:2001-01-01\n")
    assert release_record() == {key: 5}

    serve("6")
    taken(wine, launcher, game, tmp_path, origin, SIGNED_LAUNCHER, dist)
    assert release_record() == {key: 6}
    assert origin.requests("/Mirel.ndn") == [200] * 4


def test_key_rollover(wine, game, launcher, peers, tmp_path, release_record):
    # The launchers in players' hands trust the current key and the next one; the publisher
    # signs release 1 with the current key, release 2 with the next.
    origin, dist = published(wine, tmp_path)
    current, following = tmp_path / "Mirel-1.ndn", tmp_path / "Mirel-2.ndn"
    pack(wine, dist.torrent, current, secret=TEST_SECRET, version=1)
    pack(wine, dist.torrent, following, secret=NEXT_SECRET, version=2)
    peers.add(origin.start())

    dist.packed.write_bytes(current.read_bytes())
    taken(wine, launcher, game, tmp_path, origin, ROLLOVER_LAUNCHER, dist)
    dist.packed.write_bytes(following.read_bytes())
    taken(wine, launcher, game, tmp_path, origin, ROLLOVER_LAUNCHER, dist)
    assert release_record() == {public_key(TEST_SECRET): 1, public_key(NEXT_SECRET): 2}

    # The current key's release 1, replayed after the next key's release 2: older, whichever
    # key signed it.
    dist.packed.write_bytes(current.read_bytes())
    refused(wine, launcher, game, tmp_path, origin, ROLLOVER_LAUNCHER,
            "Download Failed No:17, Older Release:1, Accepted:2\n")
    # A launcher that knows only the current key does not take the next key's release.
    dist.packed.write_bytes(following.read_bytes())
    refused(wine, launcher, game, tmp_path, origin, SIGNED_LAUNCHER, "Download Failed No:15, Bad Signature\n")
    assert release_record() == {public_key(TEST_SECRET): 1, public_key(NEXT_SECRET): 2}
