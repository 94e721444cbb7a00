"""The BitTorrent download, end to end: the real launcher under Wine fetches the packed torrent
description over HTTP, downloads the game's installer from real peers on the loopback network
(libtorrent, aria2, an nginx web seed, found through a loopback tracker), opens it, waits for
its window to come and go and starts the patcher."""
import os
import re
import shutil
import subprocess

import time

import pytest

from conftest import DOWNLOAD_DIR
from harness import LAUNCHER, MiB, ROOT, STANDINS, wait_for
from harness.launcher import (FOLDER_LOCK, ID_MENU_EXIT, ID_SHOW_PEER_INFO, IDC_BTN_CLOSE, IDC_BTN_EXIT,
                              IDC_STATIC_SIZE, IDOK, INSTALLER_TITLE, WM_COMMAND, BAR, Flow, SwarmLauncher, bar_filled,
                              finish_flow, folder_names, screenshot, wait_exit)
from harness.peers import publish, start_aria2, start_lt_seeder
from harness.wine import new_prefix, win_path

import seeder as S  # noqa: E402  (tests/servers is on the path through the harness)
import swarm as W  # noqa: E402

INSTALLER = STANDINS / "standin_installer.exe"
LISTVIEW = STANDINS / "listview.exe"


def valid_bytes_on_disk(dist, folder=None):
    """Bytes of whole, correct pieces of the payload in the download folder, as a separate
    native client's check finds them."""
    import libtorrent as lt
    # No connections at all: it only checks the files.
    ses = lt.session({"enable_dht": False, "enable_lsd": False, "enable_upnp": False, "enable_natpmp": False,
                      "listen_interfaces": "", "enable_outgoing_tcp": False, "enable_outgoing_utp": False,
                      "enable_incoming_tcp": False, "enable_incoming_utp": False, "alert_mask": 0})
    try:
        atp = lt.add_torrent_params()
        atp.ti = lt.torrent_info(str(dist.torrent))
        atp.trackers = []
        atp.save_path = str(folder or DOWNLOAD_DIR)
        atp.flags = lt.torrent_flags.upload_mode
        h = ses.add_torrent(atp)
        h.replace_trackers([])
        checking = (lt.torrent_status.checking_files, lt.torrent_status.checking_resume_data)
        assert wait_for(lambda: h.status().state not in checking, 120), "the check did not end"
        pieces = h.status().pieces
        total = sum(atp.ti.piece_size(i) for i, ok in enumerate(pieces) if ok)
        ses.remove_torrent(h)
        return total
    finally:
        ses.pause()
        del ses


IDC_STATIC_STATUS = 1000  # the status line's static, which carries its text
INSTALLER_BUSY = "다른 프로그램이 설치 파일을 사용하고 있어 기다리는 중입니다."


def status_line(wine, hwnd):
    for child in wine.children(hwnd):
        if child["id"] == IDC_STATIC_STATUS:
            return child["text"]
    return None


def size_label(wine, hwnd):
    for child in wine.children(hwnd):
        if child["id"] == IDC_STATIC_SIZE:
            return child["text"]
    return None


def bar_fill(wine, hwnd):
    """Share of the progress bar that is painted (0.0 to 1.0), read from the screen."""
    return bar_filled(screenshot(), wine.client_origin(hwnd)) / BAR[2]


def parse_size(text):
    """'12M/24M' -> (12M, 24M) in bytes, as the label rounds them."""
    m = re.fullmatch(r"(\d+)([MK]?)/(\d+)([MK]?)", text or "")
    if not m:
        return None
    unit = {"M": MiB, "K": 1024, "": 1}
    return int(m.group(1)) * unit[m.group(2)], int(m.group(3)) * unit[m.group(4)]


# ---------------------------------------------------------------------------------------------
# The whole not-installed flow

class TestNotInstalledFlow:
    @pytest.mark.long
    def test_download_from_seeders_opens_installer_then_patcher(self, wine, game, launcher, tracker, peers, tmp_path):
        size = 24 * MiB
        dist, files = publish(peers, size, tracker)
        start_lt_seeder(peers, tracker, dist, upload_limit=2 * MiB)
        start_aria2(peers, tracker, dist, tmp_path / "aria2.log", upload_limit=1 * MiB)

        flow = Flow(wine, game, launcher, tmp_path, files).start()
        hwnd = flow.window()
        assert hwnd

        # The bar and the size label follow the download.
        labels, fills = [], []

        def sample_until_installer():
            # The installer's own record says when it started: a pass here takes seconds on a
            # busy machine, longer than the stand-in keeps its window.
            if flow.installer_runs():
                return True
            parsed = parse_size(size_label(wine, hwnd))
            if parsed:
                labels.append(parsed)
                fills.append(bar_fill(wine, hwnd))
            return False

        assert wait_for(sample_until_installer, 120, interval=0.2), \
            f"the installer never started: {labels[-3:]} {flow.stdout()!r} {flow.stderr()!r}"
        done = [d for d, total in labels]
        assert labels and all(total == size for _, total in labels), labels
        assert any(0 < d < size for d in done), labels
        assert done == sorted(done), labels
        assert any(0.02 < f < 0.98 for f in fills), fills
        assert fills == sorted(fills), fills

        finish_flow(flow, dist)
        assert files.requests() == ["/Mirel.ndn"]
        # Announced with the program's identity, not the library's.
        mine = [a for a in tracker.announces if a["peer_id"].startswith(b"-LT0F00-")]
        assert mine and {a["user_agent"] for a in mine} == {"Mirel_Online/0.15.5.0"}
        assert flow.stdout() == dist.name + "\n"
        assert flow.stderr() == ""

    def test_installer_with_korean_name(self, wine, game, launcher, tracker, peers, tmp_path):
        dist, files = publish(peers, 3 * MiB, tracker, name="미렐온라인설치.exe")
        start_lt_seeder(peers, tracker, dist)
        flow = Flow(wine, game, launcher, tmp_path, files).start()
        finish_flow(flow, dist)
        assert flow.stdout() == "미렐온라인설치.exe\n"

    def test_complete_download_at_start_opens_installer_without_peers(self, wine, game, launcher, tracker, peers,
                                                                     tmp_path):
        dist, files = publish(peers, 8 * MiB, tracker)
        DOWNLOAD_DIR.mkdir(parents=True, exist_ok=True)
        shutil.copy(dist.payload, DOWNLOAD_DIR / dist.name)
        flow = Flow(wine, game, launcher, tmp_path, files).start()
        finish_flow(flow, dist, timeout=60)
        # Nobody to download from: every byte was already there.
        assert all(a["left"] == 0 for a in tracker.announces if a["peer_id"].startswith(b"-LT0F00-"))


# ---------------------------------------------------------------------------------------------
# A launcher built with the publisher's key, fetching over HTTPS

SIGNED_LAUNCHER = ROOT / "build" / "tests" / "MirelLauncherSigned.exe"
TEST_SECRET = ROOT / "build" / "tests" / "publisher-test.key"
NDNPACK = ROOT / "build" / "ndnpack.exe"


def tls_dir():
    folder = os.environ.get("MIREL_TLS_DIR")
    assert folder, "no test certificates: run inside scripts/sandbox"
    return folder


class TestSignedDescriptionOverHttps:
    def test_keyed_launcher_takes_the_signed_description_and_finishes(self, wine, game, launcher, tracker, peers,
                                                                     tmp_path):
        dist, _ = publish(peers, 8 * MiB, tracker)
        # The publisher signs the description with the secret of the key the launcher was built with.
        wine.run(NDNPACK, "--sign", TEST_SECRET, dist.torrent, dist.packed, check=True)
        https = peers.add(S.WebSeed(dist.folder, workdir=tmp_path / "nginx", tls=(tls_dir(), "localhost")).start())
        start_lt_seeder(peers, tracker, dist)

        flow = Flow(wine, game, launcher, tmp_path, https, exe=SIGNED_LAUNCHER).start()
        finish_flow(flow, dist)
        assert "GET /Mirel.ndn HTTP/1.1\" 200" in https.access_log()
        assert (DOWNLOAD_DIR / "Mirel.ndn").read_bytes() == dist.torrent.read_bytes()

    @pytest.mark.parametrize("kind,message", [
        ("unsigned", "Download Failed No:14, Not Signed\n"),
        ("other key", "Download Failed No:15, Bad Signature\n"),
        ("truncated", "Download Failed No:14, Not Signed\n"),
    ])
    def test_keyed_launcher_refuses_what_the_key_did_not_sign(self, wine, game, launcher, tracker, peers, tmp_path,
                                                              kind, message):
        dist, _ = publish(peers, 4 * MiB, tracker)
        if kind == "other key":
            other = tmp_path / "other.key"
            wine.run(NDNPACK, "--new-key", other, check=True)
            wine.run(NDNPACK, "--sign", other, dist.torrent, dist.packed, check=True)
        elif kind == "truncated":
            wine.run(NDNPACK, "--sign", TEST_SECRET, dist.torrent, dist.packed, check=True)
            dist.packed.write_bytes(dist.packed.read_bytes()[:-1])
        https = peers.add(S.WebSeed(dist.folder, workdir=tmp_path / "nginx", tls=(tls_dir(), "localhost")).start())
        seed = start_lt_seeder(peers, tracker, dist)

        flow = Flow(wine, game, launcher, tmp_path, https, exe=SIGNED_LAUNCHER).start()
        hwnd = wine.wait_msgbox(message, title="MirelLauncherSigned", timeout_ms=30000)
        assert hwnd, f"no message {message!r}: {wine.msgboxes('MirelLauncherSigned', 0)}"
        assert wine.command(hwnd, IDOK)
        assert wait_exit(flow.proc, timeout=30) == 0
        # Nothing of it stays (only the folder's lock, which any run leaves), no torrent was
        # added, nothing was fetched from the peers.
        assert set(folder_names(DOWNLOAD_DIR)) <= {FOLDER_LOCK}
        assert not [a for a in tracker.announces if a["peer_id"].startswith(b"-LT0F00-")]
        assert seed.uploaded() == 0
        assert flow.installer_runs() == []


# What is opened: only the torrent's own file, hash-checked in this run

def plant_program(path, size, seed=2):
    """A program other than the installer, padded to `size`: the stand-in patcher, which leaves
    "patcher-args.log" beside itself when it runs."""
    path.parent.mkdir(parents=True, exist_ok=True)
    S.make_payload(path, size, STANDINS / "standin_patcher_nover.exe", seed=seed)
    return path.parent / "patcher-args.log"


class TestWhatIsOpened:
    def test_planted_program_with_resume_claiming_completion_never_runs(self, wine, game, launcher, tracker, peers,
                                                                         tmp_path):
        dist, files = publish(peers, 8 * MiB, tracker)
        seed = start_lt_seeder(peers, tracker, dist)
        planted_log = plant_program(DOWNLOAD_DIR / dist.name, dist.size)
        resume = S.resume_claiming_completion(dist, win_path(DOWNLOAD_DIR))
        (DOWNLOAD_DIR / (dist.name + ".resume")).write_bytes(resume)

        flow = Flow(wine, game, launcher, tmp_path, files).start()
        finish_flow(flow, dist)
        # The real installer came from the seeder, whole; the planted one never ran.
        assert seed.uploaded() >= dist.size
        assert not planted_log.exists()

    @pytest.mark.parametrize("keyed", [False, True], ids=["unkeyed", "keyed"])
    def test_upgrade_from_an_old_open_folder_downloads_and_keeps_what_was_there(self, wine, game, launcher, tracker,
                                                                                  peers, tmp_path, keyed):
        # An upgrade: C:\Down as Windows leaves a folder made at the drive's root (open to other
        # users) and the download folder of an earlier version that everyone could write, both
        # the player's. In it, what the player had and a complete program with a description of
        # it that sorts after Mirel.ndn, left by another user (keyed) or by anyone (unkeyed).
        dist, files = publish(peers, 4 * MiB, tracker)
        start_lt_seeder(peers, tracker, dist)
        shutil.rmtree(DOWNLOAD_DIR.parent, ignore_errors=True)  # no folder moved aside by an earlier test
        DOWNLOAD_DIR.mkdir(parents=True)
        for folder in (DOWNLOAD_DIR.parent, DOWNLOAD_DIR):
            os.chmod(folder, 0o777)
        planted_log = plant_program(DOWNLOAD_DIR / "Evil.exe", 2 * MiB)
        (DOWNLOAD_DIR / "zz.ndn").write_bytes(S.make_torrent(DOWNLOAD_DIR / "Evil.exe"))
        (DOWNLOAD_DIR / "screenshots").mkdir()
        (DOWNLOAD_DIR / "screenshots" / "shot1.bmp").write_bytes(b"the player's")
        if keyed:
            for p in (DOWNLOAD_DIR / "Evil.exe", DOWNLOAD_DIR / "zz.ndn"):
                os.lchown(p, 1001, 1001)
            wine.run(NDNPACK, "--sign", TEST_SECRET, dist.torrent, dist.packed, check=True)
            files = peers.add(S.WebSeed(dist.folder, workdir=tmp_path / "nginx", tls=(tls_dir(), "localhost")).start())
        before = {p.name: p.read_bytes() for p in DOWNLOAD_DIR.rglob("*") if p.is_file()}

        flow = Flow(wine, game, launcher, tmp_path, files, exe=SIGNED_LAUNCHER if keyed else LAUNCHER).start()
        finish_flow(flow, dist)
        # Only the real installer ran, from a fresh folder; the old one is beside it, whole.
        assert not planted_log.exists()
        assert set(folder_names(DOWNLOAD_DIR)) == {FOLDER_LOCK, "Mirel.ndn", dist.name}
        assert "zz.ndn" not in flow.stdout()
        moved = [p for p in DOWNLOAD_DIR.parent.iterdir() if p.name == DOWNLOAD_DIR.name + " (moved aside)"]
        assert len(moved) == 1, folder_names(DOWNLOAD_DIR.parent)
        assert {p.name: p.read_bytes() for p in moved[0].rglob("*") if p.is_file()} == before
        assert f"moved aside to C:\\Down\\{moved[0].name}" in flow.stderr()
        assert os.stat(DOWNLOAD_DIR.parent).st_mode & 0o777 == 0o777  # left as it was

    def test_upgrade_part_way_fetches_only_what_was_missing(self, wine, game, launcher, tracker, peers, tmp_path):
        # The earlier version's folder, open to everyone, holds its description and 60% of the
        # installer. It is moved aside, the bytes it held are read back and hash-checked, and
        # the origin sends only the rest; the aside copy is not kept twice.
        dist, files = publish(peers, 8 * MiB, tracker)
        seed = start_lt_seeder(peers, tracker, dist)
        shutil.rmtree(DOWNLOAD_DIR.parent, ignore_errors=True)
        DOWNLOAD_DIR.mkdir(parents=True)
        os.chmod(DOWNLOAD_DIR, 0o777)
        # As the library leaves a download part way: whole pieces (the last one written ends
        # where a piece does).
        import libtorrent as lt
        piece = lt.torrent_info(str(dist.torrent)).piece_length()
        had = int(dist.size * 0.6) // piece * piece
        (DOWNLOAD_DIR / dist.name).write_bytes(dist.payload.read_bytes()[:had])
        shutil.copy(dist.torrent, DOWNLOAD_DIR / "Mirel.ndn")
        (DOWNLOAD_DIR / "save.dat").write_bytes(b"the player's")

        flow = Flow(wine, game, launcher, tmp_path, files).start()
        aside = DOWNLOAD_DIR.parent / (DOWNLOAD_DIR.name + " (moved aside)")
        # The player is told once where the old folder went, in a box that holds nothing up.
        told = ("다운로드 폴더에 다른 사람이 넣었을 수 있는 파일이 있어 폴더를 옮겼습니다. \n"
                f"{win_path(aside)} \n이미 받은 부분은 새 폴더에서 이어 받습니다. 옮긴 폴더는 필요 없으면 지워도 됩니다.")
        assert wine.wait_msgbox(told, timeout_ms=60000), wine.msgboxes(timeout_ms=0)
        finish_flow(flow, dist)
        sent = seed.uploaded()
        assert sent <= dist.size - had + 2 * 256 * 1024, (sent, dist.size, had)
        print(f"origin sent {sent} of {dist.size} bytes; {had} were on disk")
        assert folder_names(aside) == ["save.dat"]
        assert "read back for the piece hashes to judge" in flow.stderr()

    def test_folder_swapped_when_the_description_appears_runs_only_the_real_installer(self, wine, game, launcher,
                                                                                        tracker, peers, tmp_path):
        # Another program of the machine, which may rename in C:\Down (open to other users, as
        # Windows leaves a folder made at the drive's root), waits for Mirel.ndn and then tries
        # to put a folder of its own in place of the download folder: a description of its own
        # program under the installer's name, and that program, whole. The launcher holds the
        # folder (listing it, sharing everything but deletion): every rename is refused while it
        # runs, and the real installer is what is downloaded and opened.
        dist, files = publish(peers, 4 * MiB, tracker)
        start_lt_seeder(peers, tracker, dist)
        shutil.rmtree(DOWNLOAD_DIR.parent, ignore_errors=True)
        DOWNLOAD_DIR.parent.mkdir()
        os.chmod(DOWNLOAD_DIR.parent, 0o777)
        planted = tmp_path / "planted"
        plant_program(planted / dist.name, dist.size)
        (planted / "Mirel.ndn").write_bytes(S.make_torrent(planted / dist.name))
        # Renames tried for 4 s from the moment Mirel.ndn appears; the installer keeps its window
        # (and the launcher its hold) longer than that.
        swapper = wine.start(STANDINS / "winhelper.exe", "swapdir", win_path(DOWNLOAD_DIR), "Mirel.ndn",
                             win_path(planted), "4000", stdout=subprocess.PIPE)
        try:
            flow = Flow(wine, game, launcher, tmp_path, files, install_ms=6000).start()
            swapped, _ = swapper.communicate(timeout=120)
        finally:
            swapper.kill()
            swapper.wait(timeout=10)
        assert swapped.decode().strip() == "refused 32", swapped  # a sharing violation, each time
        finish_flow(flow, dist)
        assert folder_names(DOWNLOAD_DIR.parent) == [DOWNLOAD_DIR.name]
        assert not (DOWNLOAD_DIR / "patcher-args.log").exists()
        assert (DOWNLOAD_DIR / "Mirel.ndn").read_bytes() == dist.torrent.read_bytes()

    def test_shared_folder_held_by_another_program_sends_the_download_to_the_users_own(self, wine, game, launcher,
                                                                                      tracker, peers, tmp_path):
        # Another program (another user's, say) keeps the shared folder open without sharing:
        # after the wait the download goes to the user's own folder, whole, and is opened from
        # there; the shared folder is left as it is.
        dist, files = publish(peers, 2 * MiB, tracker)
        start_lt_seeder(peers, tracker, dist)
        shutil.rmtree(DOWNLOAD_DIR.parent, ignore_errors=True)
        DOWNLOAD_DIR.mkdir(parents=True)
        (DOWNLOAD_DIR / "notes.txt").write_bytes(b"another program's")
        own = [p for p in wine.drive_c.glob("users/*/AppData/Local")][0] / "Mirel Online"
        shutil.rmtree(own, ignore_errors=True)
        holder = wine.start(STANDINS / "winhelper.exe", "holddir", win_path(DOWNLOAD_DIR), "120000",
                            stdout=subprocess.PIPE)
        try:
            assert holder.stdout.readline().strip() == b"held"
            flow = Flow(wine, game, launcher, tmp_path, files).start()
            finish_flow(flow, dist, folder=own)
        finally:
            holder.kill()
            holder.wait(timeout=10)
        assert "not used (another program holds it open); the download folder is" in flow.stderr()
        assert folder_names(DOWNLOAD_DIR) == ["notes.txt"]
        assert set(folder_names(own)) == {FOLDER_LOCK, "Mirel.ndn", dist.name}

    def test_description_copy_naming_the_same_installer_gives_way(self, wine, game, launcher, tracker, peers,
                                                                    tmp_path):
        # "Mirel - Copy.ndn" (a copy the player made, listed before Mirel.ndn) names the same
        # installer: the description this run fetched is the one downloaded and opened.
        dist, files = publish(peers, 2 * MiB, tracker)
        start_lt_seeder(peers, tracker, dist)
        shutil.rmtree(DOWNLOAD_DIR.parent, ignore_errors=True)
        flow = Flow(wine, game, launcher, tmp_path, files)
        DOWNLOAD_DIR.mkdir(parents=True)
        (DOWNLOAD_DIR / "Mirel - Copy.ndn").write_bytes(S.make_torrent(dist.payload, piece_size=64 * 1024))
        flow.start()
        finish_flow(flow, dist)
        assert "Mirel - Copy.ndn: not added, its files are those of" in flow.stderr()

    def test_hard_link_made_during_the_download_does_not_keep_the_installer_shut(self, wine, game, launcher,
                                                                                  tracker, peers, tmp_path):
        # Another program makes a second name for the installer from a folder it may write,
        # while it downloads: the installer is ours all the same, and is opened.
        dist, files = publish(peers, 4 * MiB, tracker)
        start_lt_seeder(peers, tracker, dist, upload_limit=1 * MiB)
        flow = Flow(wine, game, launcher, tmp_path, files).start()
        public = wine.drive_c / "users" / "Public"
        public.mkdir(parents=True, exist_ok=True)
        assert wait_for(lambda: (DOWNLOAD_DIR / dist.name).exists(), 60)
        wine.run(STANDINS / "winhelper.exe", "link", win_path(public / "second.exe"),
                 win_path(DOWNLOAD_DIR / dist.name), check=True)
        finish_flow(flow, dist)
        assert "not opened" not in flow.stderr()

    def test_installer_held_by_another_program_is_told_then_opened_once_let_go(self, wine, game, launcher, tracker,
                                                                               peers, tmp_path):
        # Another program wants the installer to itself: open for writing while it downloads,
        # then for 10 s after the download has let go of it, open without sharing reading. The
        # launcher cannot hold it unchanged meanwhile: it waits, says why after 5 s, and opens
        # it once let go.
        dist, files = publish(peers, 4 * MiB, tracker)
        start_lt_seeder(peers, tracker, dist, upload_limit=1 * MiB)
        holder = wine.start(STANDINS / "winhelper.exe", "inst-hold", win_path(DOWNLOAD_DIR / dist.name), dist.size,
                            10000, stdout=subprocess.PIPE)
        try:
            flow = Flow(wine, game, launcher, tmp_path, files).start()
            hwnd = flow.window()
            assert hwnd
            assert holder.stdout.readline().strip() == b"held"
            assert holder.stdout.readline().strip() == b"complete"
            completed = time.monotonic()
            assert wait_for(lambda: status_line(wine, hwnd) == INSTALLER_BUSY, 30), status_line(wine, hwnd)
            told = time.monotonic() - completed
            assert holder.poll() is None, "told only once the other program had let go"
            assert flow.installer_runs() == [] and not wine.find(title=INSTALLER_TITLE)
            assert 4 <= told, told
            assert holder.wait(timeout=30) == 0
            finish_flow(flow, dist)
        finally:
            if holder.poll() is None:
                holder.kill()
            holder.wait(timeout=10)
        assert "not opened" not in flow.stderr()

    def test_installer_named_beyond_the_code_page_is_what_runs(self, wine, game, launcher, tracker, peers, tmp_path):
        # A name that code page 949 cannot spell at all: downloaded, hashed and opened by its
        # own (UTF-16) name. A program of that name waits in the folder above. (A name that the
        # code page's best-fit mapping turns into a path elsewhere, "..₩Setup.exe", is the
        # unit test InstallerNamedWithTheWonSignIsOpenedByItsOwnName.)
        name = "ติดตั้ง Mirel.exe"
        dist, files = publish(peers, 3 * MiB, tracker, name=name)
        start_lt_seeder(peers, tracker, dist)
        planted_log = plant_program(DOWNLOAD_DIR.parent / name, dist.size)
        flow = Flow(wine, game, launcher, tmp_path, files).start()
        finish_flow(flow, dist)
        assert not planted_log.exists()
        assert flow.stderr() == ""


# ---------------------------------------------------------------------------------------------
# Each kind of peer on its own

class TestPeerKinds:
    def test_from_libtorrent_seeder(self, wine, game, launcher, tracker, peers, tmp_path):
        dist, files = publish(peers, 16 * MiB, tracker)
        seed = start_lt_seeder(peers, tracker, dist)
        finish_flow(Flow(wine, game, launcher, tmp_path, files).start(), dist)
        assert seed.uploaded() >= dist.size

    def test_from_aria2_alone(self, wine, game, launcher, tracker, peers, tmp_path):
        dist, files = publish(peers, 16 * MiB, tracker)
        aria = start_aria2(peers, tracker, dist, tmp_path / "aria2.log")
        finish_flow(Flow(wine, game, launcher, tmp_path, files).start(), dist)
        assert any(a["port"] == aria.port for a in tracker.announces)

    def test_from_web_seed_alone(self, wine, game, launcher, peers, tmp_path):
        web = peers.add(S.WebSeed(peers.root / "dist", workdir=tmp_path / "nginx"))
        (peers.root / "dist").mkdir(parents=True, exist_ok=True)
        web.start()
        dist, files = publish(peers, 16 * MiB, None, web_seed=web)
        finish_flow(Flow(wine, game, launcher, tmp_path, files).start(), dist)
        log = web.access_log()
        assert f"GET /{dist.name} HTTP/1.1\" 206" in log
        assert "Mirel_Online/0.15.5.0" in log

    @pytest.mark.long
    def test_web_seed_serves_what_no_peer_holds(self, wine, game, launcher, tracker, peers, tmp_path):
        # A peer that holds the first half of the pieces, faster than the origin: the launcher
        # fetches from the origin only what no peer holds or sends, so the second half comes
        # from the origin and of the first half at most what it fetched before it met the peer.
        # (With the library's web seed, each time it reports the web seed off, the pieces it
        # names lie in the first half.)
        (peers.root / "dist").mkdir(parents=True, exist_ok=True)
        web = peers.add(S.WebSeed(peers.root / "dist", rate=256 * 1024, workdir=tmp_path / "nginx")).start()
        dist, files = publish(peers, 8 * MiB, tracker, web_seed=web, piece_size=128 * 1024)
        half = dist.size // 2
        partial = tmp_path / "partial"
        partial.mkdir()
        data = bytearray(dist.payload.read_bytes())
        data[half:] = bytes(len(data) - half)
        (partial / dist.name).write_bytes(data)
        peer = peers.add(S.LtSeeder(dist, host="127.0.0.2", upload_limit=512 * 1024, folder=partial).start(check=True))
        assert wait_for(lambda: peer.pieces() is not None and peer.listening(), 60), "the peer's check did not end"
        held = peer.pieces()
        assert held == list(range(half // (128 * 1024))), held
        tracker.extra_peers[dist.info_hash] = [(peer.host, peer.port)]  # it names seeds only
        flow = Flow(wine, game, launcher, tmp_path, files).start()
        finish_flow(flow, dist)
        served = sum(W.served_bytes(web.access_log(), "/" + dist.name).values())
        assert served >= dist.size - half
        assert peer.uploaded() > 0
        out = flow.stdout()
        assert "origin: the launcher fetches the pieces nobody else brings" in out, out
        assert served <= dist.size - half + MiB, (served, peer.uploaded(), out)
        offs = re.findall(r"web seed off: \d+ pieces needed \((\d+) to (\d+)\)", flow.stdout())
        for first, last in offs:
            assert int(last) < len(held), (first, last, flow.stdout())


# ---------------------------------------------------------------------------------------------
# Launchers that share: each in a Wine prefix of its own, on a loopback address of its own

@pytest.mark.long
class TestSwarm:
    def test_two_launchers_trade(self, peers, tmp_path):
        # The origin sends each of them 192 KiB/s and the other launcher is the only other
        # source: a launcher that ends with the whole installer after the origin sent it less
        # than all of it (and something, at its own address) received the rest from the other.
        # The origin is that slow (43 s for the whole) so that the two still trade when their
        # first connections fail: two launchers that meet at the same moment (the second's
        # tracker answer and its local discovery announce) may each drop one of the two
        # connections, and try again 5 s later.
        folder = peers.root / "dist"
        folder.mkdir(parents=True)
        web = peers.add(S.WebSeed(folder, workdir=tmp_path / "nginx"))
        tracker = W.OpenTracker(tmp_path / "opentracker")
        dist = S.build_distribution(folder, 8 * MiB, INSTALLER, "MirelSetup.exe", tracker.url,
                                    [web.url("MirelSetup.exe")], 256 * 1024)
        web.start()
        peers.add(tracker.start([dist.info_hash]))
        limit = peers.add(W.OriginLimit(S.LOOPBACK, web.port, 192 * 1024))
        pair = [peers.add(SwarmLauncher(new_prefix(tmp_path / f"prefix-{i}"), f"127.0.0.{20 + i}"))
                for i in (1, 2)]
        for lau in pair:
            limit.add(lau.address)
        # The second one starts once the tracker knows the first (which listens by then): the
        # tracker names the first to the second, and the second connects to it. The first
        # learns of the second from its local discovery announce at the same moment and
        # connects too: of two connections between the same two, libtorrent keeps the one
        # opened by the side with the lower listen port, and on equal ports (each has 6881 at
        # its own address) each side drops one at random; when they pick differently both go,
        # and the launcher tries again after its 5 s (the library's default is a minute).
        first, second = pair
        t0 = time.monotonic()
        first.start(web.url("Mirel.ndn"))
        port = first.wait_listening()
        assert port, f"the first launcher did not listen at {first.address}"
        assert wait_for(lambda: tracker.peers(dist.info_hash) >= 1, 60), "the first launcher never announced"
        second.start(web.url("Mirel.ndn"))
        timeline = {"second started": round(time.monotonic() - t0, 1)}
        for lau in pair:
            assert wait_exit(lau.proc, timeout=180) == 0
            timeline[f"{lau.address} ended"] = round(time.monotonic() - t0, 1)
        served = W.served_bytes(web.access_log(), "/" + dist.name)
        for lau in pair:
            assert len(lau.installer_runs()) == 1
            assert S.file_sha1(lau.download_dir / dist.name) == dist.sha1()
            assert 0 < served.get(lau.address, 0) < dist.size, (served, timeline)


    def test_two_launchers_behind_upnp_routers_trade(self, peers, tmp_path):
        # Each launcher behind a home router of its own that offers UPnP IGD and NAT-PMP
        # (miniupnpd) and lets in nothing else from outside. They run as players' launchers do
        # (no listen interface): each must map its port on its router, say so in a diagnostic
        # line, and receive from the other what the origin (96 KiB/s each, half the rate above: the
        # upload governor reads the routers' delays on a busy machine as a queue and holds the
        # upload to 130 to 180 KiB/s) did not
        # send it: without a mapping neither could reach the other.
        routers = peers.add(W.HomeRouters([True, True], tmp_path / "routers").start())
        folder = peers.root / "dist"
        folder.mkdir(parents=True)
        web = peers.add(S.WebSeed(folder, workdir=tmp_path / "nginx", host=routers.OUTSIDE))
        tracker = W.OpenTracker(tmp_path / "opentracker", host=routers.OUTSIDE)
        dist = S.build_distribution(folder, 8 * MiB, INSTALLER, "MirelSetup.exe", tracker.url,
                                    [web.url("MirelSetup.exe")], 256 * 1024)
        web.start()
        peers.add(tracker.start([dist.info_hash]))
        routers.limit_origin(web.port, 96 * 1024)
        pair = [peers.add(SwarmLauncher(new_prefix(tmp_path / f"prefix-{i}"), routers.lan(i),
                                        home=routers.exec_prefix(i))) for i in (0, 1)]
        outs = [tmp_path / f"launcher-{i}.out" for i in (0, 1)]
        # One after the other, as above: the second learns of the first from the tracker.
        first, second = pair
        first.start(web.url("Mirel.ndn"), out=open(outs[0], "wb"))
        assert wait_for(lambda: tracker.peers(dist.info_hash) >= 1, 60), "the first launcher never announced"
        second.start(web.url("Mirel.ndn"), out=open(outs[1], "wb"))
        for lau in pair:
            assert wait_exit(lau.proc, timeout=180) == 0
        served = W.served_bytes(web.access_log(), "/" + dist.name)
        texts = [o.read_bytes().decode("cp949", errors="replace") for o in outs]
        for i, lau in enumerate(pair):
            assert re.search(r"port mapping: successfully mapped port using (UPnP|NAT-PMP)\. local: "
                             + re.escape(routers.lan(i)) + r" external port: TCP/\d+", texts[i]), texts[i]
            assert len(lau.installer_runs()) == 1
            assert S.file_sha1(lau.download_dir / dist.name) == dist.sha1()
            assert 0 < served.get(routers.wan(i), 0) < dist.size, (served, texts[i])
            other = routers.wan(1 - i)
            assert routers.counts(i).get(("from", other), 0) >= 256 * 1024, (routers.counts(i), texts[i])


# ---------------------------------------------------------------------------------------------
# Interruptions

@pytest.mark.long
class TestInterruptions:
    def test_launcher_killed_mid_download_resumes_from_disk(self, wine, game, launcher, tracker, peers, tmp_path):
        size = 32 * MiB
        dist, files = publish(peers, size, tracker)
        seed = start_lt_seeder(peers, tracker, dist, upload_limit=3 * MiB)

        first = Flow(wine, game, launcher, tmp_path, files).start()
        assert wait_for(lambda: seed.uploaded() >= size // 2, 120), "the first run did not get half of the file"
        first.kill()
        first_run = seed.uploaded()
        assert first_run < size
        # Pieces that were still incomplete are lost (no resume data is ever written); whole
        # ones stay on disk.
        kept = valid_bytes_on_disk(dist)
        assert kept >= size // 4, (first_run, kept)

        second = Flow(wine, game, launcher, tmp_path, files).start()
        finish_flow(second, dist)
        second_run = seed.uploaded() - first_run
        # What was on disk counts: only the rest is sent again (a few pieces of slack for
        # requests the end game sends twice).
        assert second_run <= size - kept + 8 * 256 * 1024, (first_run, kept, second_run)

    def test_seeder_stopped_and_restarted_download_completes(self, wine, game, launcher, tracker, peers, tmp_path):
        size = 24 * MiB
        dist, files = publish(peers, size, tracker)
        seed = start_lt_seeder(peers, tracker, dist, upload_limit=3 * MiB)
        flow = Flow(wine, game, launcher, tmp_path, files).start()
        assert wait_for(lambda: seed.uploaded() >= size // 3, 120)
        seed.stop()
        before = seed.uploaded()
        # The seeder was the only source and had not sent everything: nothing can be opened.
        assert before < size
        assert flow.installer_runs() == []
        seed.start()
        assert seed.wait_seeding()
        # The seeder that is back connects to the launcher, as a peer that learns of it from the
        # tracker does (the launcher itself tries the old address again only after libtorrent's
        # reconnect back-off, a minute).
        mine = [a for a in tracker.announces if a["peer_id"].startswith(b"-LT0F00-")]
        assert mine, "the launcher never announced"
        seed.connect(mine[-1]["ip"], mine[-1]["port"])
        finish_flow(flow, dist, timeout=180)
        assert seed.uploaded() > before

    def test_corrupt_torrent_file_is_reported_and_skipped(self, wine, game, launcher, tracker, peers, tmp_path):
        dist, files = publish(peers, 8 * MiB, tracker)
        start_lt_seeder(peers, tracker, dist)
        DOWNLOAD_DIR.mkdir(parents=True, exist_ok=True)
        (DOWNLOAD_DIR / "Broken.ndn").write_bytes(b"d8:announce4:http4:infoi1e")  # cut short
        (DOWNLOAD_DIR / "folder.ndn").mkdir()
        flow = Flow(wine, game, launcher, tmp_path, files).start()
        finish_flow(flow, dist)
        lines = flow.stderr().splitlines()
        folder = win_path(DOWNLOAD_DIR).replace("C:\\", "C:\\\\") + "\\"
        assert len(lines) == 2, lines
        assert any(re.fullmatch(re.escape(folder + "Broken.ndn") + r": \S.*", line) for line in lines), lines
        assert any(re.fullmatch(re.escape(folder + "folder.ndn") + r": \S.*", line) for line in lines), lines
        assert flow.stdout() == dist.name + "\n"


# ---------------------------------------------------------------------------------------------
# Leaving during a busy download

@pytest.mark.long
class TestExitDuringDownload:
    ROUNDS = 5

    def busy(self, wine, game, launcher, tracker, peers, tmp_path):
        self.tracker = tracker
        dist, files = publish(peers, 64 * MiB, tracker)
        seed = start_lt_seeder(peers, tracker, dist, upload_limit=4 * MiB)
        return dist, files, seed

    def start_busy(self, wine, game, launcher, tmp_path, files, seed):
        # Every run starts from nothing, so there is always a transfer to interrupt.
        shutil.rmtree(DOWNLOAD_DIR, ignore_errors=True)
        flow = Flow(wine, game, launcher, tmp_path, files).start()
        hwnd = flow.window()
        assert hwnd
        before = seed.uploaded()
        assert wait_for(lambda: seed.uploaded() > before + 256 * 1024, 60), \
            f"no transfer in run {len(launcher.procs)}: {flow.stdout()!r} {flow.stderr()!r} " \
            f"{[(p.ip, p.flags, p.source) for p in seed.peers()]} {self.tracker.announces[-4:]}"
        return flow, hwnd

    @pytest.mark.parametrize("how", ["exit-command", "confirmed-exit-button", "exit-with-peer-window-open"])
    def test_exit_never_hangs(self, wine, game, launcher, tracker, peers, tmp_path, how):
        dist, files, seed = self.busy(wine, game, launcher, tracker, peers, tmp_path)
        for _ in range(self.ROUNDS):
            flow, hwnd = self.start_busy(wine, game, launcher, tmp_path, files, seed)
            if how == "confirmed-exit-button":
                assert wine.command(hwnd, IDC_BTN_EXIT)
                wine.click_msgbox("Check", IDOK, timeout_ms=20000)
            else:
                if how == "exit-with-peer-window-open":
                    assert wine.post(hwnd, WM_COMMAND, ID_SHOW_PEER_INFO)
                    pid = wine.info(hwnd)["pid"]
                    assert wait_for(lambda: peer_rows(wine, pid), 20), f"no peer rows in run {len(launcher.procs)}"
                assert wine.post(hwnd, WM_COMMAND, ID_MENU_EXIT)
            assert wait_exit(flow.proc, timeout=30) == 0
            assert wine.gone(cls="Mirel Launcher", timeout_ms=10000)


# ---------------------------------------------------------------------------------------------
# The peer window

def peer_window(wine, pid):
    rc, out = wine.helper("find", "--title", "Dialog", "--pid", pid, "--timeout", "0")
    return out.strip() if rc == 0 else None


def read_list(wine, hwnd):
    proc = wine.run(LISTVIEW, hwnd, "1004", timeout=60)
    if proc.returncode != 0:
        return None
    lines = proc.stdout.decode("cp949", errors="replace").replace("\r\n", "\n").splitlines()
    return [line.split("\t") for line in lines]


def peer_rows(wine, pid):
    dlg = peer_window(wine, pid)
    table = read_list(wine, dlg) if dlg else None
    return table[1:] if table else None


def press_hidden_key(hwnd_title="Mirel Online Launcher"):
    """Ctrl+Shift+F10 typed on the keyboard into the launcher's window."""
    found = subprocess.run(["xdotool", "search", "--name", hwnd_title], capture_output=True, text=True, timeout=30)
    ids = found.stdout.split()
    assert ids, "no X window for the launcher"
    subprocess.run(["xdotool", "windowfocus", "--sync", ids[0]], check=True, timeout=30)
    subprocess.run(["xdotool", "key", "--clearmodifiers", "ctrl+shift+F10"], check=True, timeout=30)


@pytest.mark.long
class TestPeerWindow:
    def test_lists_bittorrent_peer_and_web_seed(self, wine, game, launcher, tracker, peers, tmp_path):
        (peers.root / "dist").mkdir(parents=True, exist_ok=True)
        web = peers.add(S.WebSeed(peers.root / "dist", rate=512 * 1024, workdir=tmp_path / "nginx").start())
        dist, files = publish(peers, 48 * MiB, tracker, web_seed=web)
        # Slower than the web seed: a seeder that outran it would have the launcher take the web
        # seed away, and its row with it.
        seed = start_lt_seeder(peers, tracker, dist, upload_limit=256 * 1024)

        flow = Flow(wine, game, launcher, tmp_path, files).start()
        hwnd = flow.window()
        assert hwnd
        pid = wine.info(hwnd)["pid"]
        assert wait_for(lambda: seed.uploaded() > 0, 60)
        press_hidden_key()
        dlg = wait_for(lambda: peer_window(wine, pid), 20)
        assert dlg, "Ctrl+Shift+F10 opened no peer window"
        header = read_list(wine, dlg)[0]
        assert header == ["연결 정보", "보내는 속도", "보낸 용량", "받는 속도", "받는 용량"]

        p2p = f"p2p 127.0.0.1 : {seed.port}"
        http = f"http 127.0.0.1 : {web.port}"

        def both():
            rows = peer_rows(wine, pid) or []
            kinds = {r[0] for r in rows}
            return rows if p2p in kinds and http in kinds else None

        rows = wait_for(both, 60, interval=0.5)
        assert rows, peer_rows(wine, pid)
        for row in rows:
            assert len(row) == 5
            assert re.fullmatch(r"(p2p|http) \d+\.\d+\.\d+\.\d+ : \d+", row[0]), row
            assert re.fullmatch(r"\d+ byte/s", row[1]) and re.fullmatch(r"\d+ byte/s", row[3]), row
            assert re.fullmatch(r"\d+ byte", row[2]) and re.fullmatch(r"\d+ byte", row[4]), row

        # The totals grow from one refresh to the next.
        def received(rows, kind):
            return max(int(r[4].split()[0]) for r in rows if r[0] == kind)

        first = received(rows, p2p)
        assert wait_for(lambda: (lambda r: r and any(x[0] == p2p for x in r) and received(r, p2p) > first)(
            peer_rows(wine, pid)), 30, interval=0.5)

        # Close: the window goes; the hidden key makes a fresh one.
        assert wine.command(dlg, IDC_BTN_CLOSE)
        assert wait_for(lambda: not peer_window(wine, pid), 10)
        assert wine.post(hwnd, WM_COMMAND, ID_SHOW_PEER_INFO)
        assert wait_for(lambda: peer_window(wine, pid), 10)
        assert wine.post(hwnd, WM_COMMAND, ID_MENU_EXIT)
        assert wait_exit(flow.proc, timeout=30) == 0
