"""The launcher as a whole on the installed-game path: single instance, start parameters from
the command line and from "Start Param Map", the patcher step and the closing."""
import contextlib
import os
import shutil
import subprocess
from pathlib import Path

import pytest

from conftest import DOWNLOAD_DIR, DRIVE_C
from harness import LAUNCHER, STANDINS, TITLE, wait_for
from harness.launcher import (ALREADY_RUNNING, FOLDER_LOCK, FOLDER_REFUSED, MOVED_ASIDE_RECORD, TORRENT_NOT_ADDED,
                              ID_MENU_EXIT, IDCANCEL, IDOK, NOT_INSTALLED, WM_COMMAND, folder_names, pack,
                              posted_barrier, start_old_patcher, wait_exit)
from harness.wine import end_server, win_path


def expected_args(game, f1="user", f2="token", f4="server", version="1.2.3"):
    return f"{f2}*{win_path(game.folder)}*{f4}*{version}*{f1}*{game.key}"


def test_installed_game_ends_old_patcher_refreshes_and_starts_copy(wine, game, launcher):
    game.install(patcher="standin_patcher.exe", version="1.2.3")
    # An old patcher copy (another version) is already there, and a patcher is running.
    shutil.copy(STANDINS / "standin_patcher_v2.exe", game.folder / "MirelPatcher.exe")
    old = start_old_patcher(wine)

    proc = launcher.start(game.start_string())
    assert wait_exit(proc) == 0
    assert old.wait(timeout=10) == 0, "the running patcher was not ended with exit code 0"

    starts = game.wait_patcher_starts(1)
    assert starts == [(win_path(game.folder), expected_args(game))]
    # The copy was refreshed from Patcher.exe since the FileVersions differed.
    assert (game.folder / "MirelPatcher.exe").read_bytes() == (STANDINS / "standin_patcher.exe").read_bytes()
    assert not wine.find(cls="Mirel Launcher")


def test_copy_with_same_file_version_is_not_refreshed(wine, game, launcher):
    game.install(patcher="standin_patcher.exe")
    # Same FileVersion, other bytes: the copy stays as it is.
    altered = (STANDINS / "standin_patcher.exe").read_bytes() + b"\0tail"
    (game.folder / "MirelPatcher.exe").write_bytes(altered)
    assert wait_exit(launcher.start(game.start_string())) == 0
    assert len(game.wait_patcher_starts(1)) == 1
    assert (game.folder / "MirelPatcher.exe").read_bytes() == altered


def test_without_patcher_files_nothing_starts_and_launcher_closes(wine, game, launcher):
    game.install(patcher=None)
    assert wait_exit(launcher.start(game.start_string())) == 0
    assert game.settled_patcher_starts() == []
    assert not (game.folder / "MirelPatcher.exe").exists()


def test_only_versioned_copy_exists_it_is_started(wine, game, launcher):
    game.install(patcher=None)
    shutil.copy(STANDINS / "standin_patcher_v2.exe", game.folder / "MirelPatcher.exe")
    assert wait_exit(launcher.start(game.start_string())) == 0
    assert game.wait_patcher_starts(1) == [(win_path(game.folder), expected_args(game))]


def test_start_flag_decides_whether_patcher_starts(wine, game, launcher):
    game.install()
    for flag in (None, "1", "00"):
        old = start_old_patcher(wine)
        proc = launcher.start(game.start_string(flag=flag))
        assert wait_exit(proc) == 0, f"flag {flag!r}"
        # A running patcher is ended all the same, but no copy is started.
        assert old.wait(timeout=10) == 0
    assert game.settled_patcher_starts() == []


def test_quoted_command_line_keeps_its_quotes(wine, game, launcher):
    game.install()
    # The last field is 0" here: not exactly "0", so the patcher does not start.
    rc = wine.run_cmdline(f'"{win_path(LAUNCHER)}" "{game.start_string()}"')
    assert rc == 0
    assert game.settled_patcher_starts() == []

    # Without quotes around the whole string, the very same fields start it.
    rc = wine.run_cmdline(f'"{win_path(LAUNCHER)}" {game.start_string()}')
    assert rc == 0
    assert game.wait_patcher_starts(1) == [(win_path(game.folder), expected_args(game))]


def test_record_without_version_shows_message_then_exits(wine, game, launcher):
    game.install(with_version=False)
    proc = launcher.start(game.start_string())
    wine.answer_msgbox(NOT_INSTALLED)
    assert wait_exit(proc) == 0
    assert game.patcher_starts() == []


def test_second_instance_shows_message_and_first_notices_nothing(wine, game, launcher):
    game.install(with_version=False)
    first = launcher.start(game.start_string())
    assert wine.wait_msgbox(NOT_INSTALLED)
    first_window = launcher.window()

    second = launcher.start(game.start_string())
    wine.answer_msgbox(ALREADY_RUNNING)
    assert wait_exit(second) == 0
    # The first launcher goes on as before: same window, its own message still up.
    assert first.poll() is None
    assert launcher.window() == first_window
    assert wine.msgboxes() == [(TITLE, NOT_INSTALLED)]
    wine.answer_msgbox(NOT_INSTALLED)
    assert wait_exit(first) == 0


def starter(wine, *args, env=None):
    proc = wine.run(STANDINS / "starter.exe", *args, timeout=60, env=env)
    return proc.returncode, proc.stdout.decode("cp949", errors="replace")


def test_message_2_runs_the_sequence_with_start_param_map(wine, game, waiting_launcher):
    proc, hwnd = waiting_launcher
    game.install()
    rc, out = starter(wine, "--send", game.start_string(f1="mapuser"))
    assert rc == 0 and out.strip() == "sent 0"
    assert game.wait_patcher_starts(1) == [(win_path(game.folder), expected_args(game, f1="mapuser"))]
    # The nested run closed the window: the wait for the installer ends and the launcher exits.
    assert wait_exit(proc) == 0


def test_message_2_without_start_param_map_does_nothing(wine, game, waiting_launcher):
    proc, hwnd = waiting_launcher
    game.install()
    rc, out = starter(wine, "--send", "--no-map", game.start_string(f1="nomap"))
    assert rc == 0 and out.strip() == "sent 0"
    # The sent message has been handled when the send returns; the next one with a mapping
    # finds the window still there and runs the only sequence.
    rc, out = starter(wine, "--send", game.start_string(f1="mapped"))
    assert rc == 0 and out.strip() == "sent 0"
    assert wait_exit(proc) == 0
    assert game.settled_patcher_starts() == [(win_path(game.folder), expected_args(game, f1="mapped"))]


def test_posted_message_2_ends_the_wait_and_keeps_window(wine, game, waiting_launcher):
    proc, hwnd = waiting_launcher
    game.install()
    rc, out = starter(wine, "--post", game.start_string())
    assert rc == 0
    posted_barrier(wine, hwnd)
    # The wait ended without running the sequence: the window stays and answers.
    assert proc.poll() is None
    assert wine.text(hwnd) == "Mirel Online Launcher"
    assert game.settled_patcher_starts() == []


def test_window_destruction_does_not_rerun_the_sequence(wine, game, launcher):
    """The starter still holds "Start Param Map" while the launcher closes normally: the
    window's own destruction must not run the sequence a second time."""
    game.install()
    # Hold a mapping naming the same game while the launcher runs to its end.
    holder = wine.start(STANDINS / "starter.exe", "--no-announce", "--hold", "8000", game.start_string(f1="again"),
                        stdout=subprocess.PIPE)
    assert holder.stdout.readline().strip() == b"holding"
    proc = launcher.start(game.start_string())
    assert wait_exit(proc) == 0
    assert game.settled_patcher_starts() == [(win_path(game.folder), expected_args(game))]
    holder.kill()


def test_start_param_map_without_terminator_is_read_within_the_view(wine, game, waiting_launcher):
    proc, hwnd = waiting_launcher
    game.install()
    # A whole page of repeated fields and no terminator: a read past the 1024-byte view would
    # run off the page.
    text = game.start_string(f1="x") + "*"
    rc, out = starter(wine, "--send", "--no-nul", text)
    assert rc == 0 and out.strip() == "sent 0"
    starts = game.wait_patcher_starts(1)
    assert starts and starts[0][1] == expected_args(game, f1="x")
    assert wait_exit(proc) == 0


def test_start_param_map_of_reserved_pages_is_no_start_parameter(wine, game, waiting_launcher):
    """Any program on the desktop can create the mapping with its pages only reserved and send
    message 2: the launcher reads nothing, runs nothing, and answers the next real message."""
    proc, hwnd = waiting_launcher
    game.install()
    rc, out = starter(wine, "--send", "--reserve", "ignored")
    assert rc == 0 and out.strip() == "sent 0"
    assert proc.poll() is None, "the launcher died reading the mapping"
    assert game.patcher_starts() == []
    rc, out = starter(wine, "--send", game.start_string(f1="after"))
    assert rc == 0 and out.strip() == "sent 0"
    assert game.wait_patcher_starts(1) == [(win_path(game.folder), expected_args(game, f1="after"))]
    assert wait_exit(proc) == 0


# ---------------------------------------------------------------------------------------------
# How a run ends

INSTALLER = STANDINS / "standin_installer.exe"
WAITING_KEY = "Software\\MirelTest\\NoSuchGame"  # the game of the waiting_launcher fixture


def show_installer_window(wine):
    """A window with the installer's title that comes and goes; it installs nothing."""
    wine.run(INSTALLER, env={"STANDIN_INSTALL_MS": "500"})


@pytest.fixture
def record_without_folder(wine):
    """An installation record for the waiting launcher's game whose game folder does not exist."""
    folder = DRIVE_C / "Games" / "FolderGone"
    shutil.rmtree(folder, ignore_errors=True)
    folder.parent.mkdir(parents=True, exist_ok=True)  # only the last level is missing
    yield folder
    wine.reg_delete(WAITING_KEY)
    shutil.rmtree(folder, ignore_errors=True)


def installer_leaves_no_folder(wine, hwnd, folder):
    """The installer comes and goes, but the record it leaves names a folder that is missing:
    the run stops where it checks the record again, and the window stays."""
    wine.reg_add(WAITING_KEY, "InstallPath", win_path(folder))
    wine.reg_add(WAITING_KEY, "Version", "1.0.0")
    show_installer_window(wine)
    # Checking the record creates the missing folder, and the folder still does not count.
    assert wait_for(lambda: folder.is_dir(), 15), "the record was not checked again after the installer"
    posted_barrier(wine, hwnd)


def test_missing_install_folder_after_installer_keeps_window_without_message(wine, waiting_launcher,
                                                                            record_without_folder):
    proc, hwnd = waiting_launcher
    installer_leaves_no_folder(wine, hwnd, record_without_folder)
    # A message box would have been up while the barrier's command was handled.
    assert wine.msgboxes(TITLE, timeout_ms=0) == []
    assert proc.poll() is None
    assert wine.find(cls="Mirel Launcher") == hwnd
    assert wine.processes("MirelPatcher.exe") == []
    # The user leaves through the exit command as usual.
    assert wine.post(hwnd, WM_COMMAND, ID_MENU_EXIT)
    assert wait_exit(proc) == 0


def test_later_run_through_message_2_ends_its_wait_without_installer(wine, game, file_server, waiting_launcher,
                                                                   record_without_folder):
    proc, hwnd = waiting_launcher
    installer_leaves_no_folder(wine, hwnd, record_without_folder)
    # Another game, not installed either: the run fetches its description and waits for the
    # installer. The installer's window was seen in this process already, and none is open
    # now, so the wait ends at once and the missing record is reported.
    sender = wine.start(STANDINS / "starter.exe", "--send", game.start_string(url=file_server.url("Mirel.ndn")))
    try:
        wine.answer_msgbox(NOT_INSTALLED, timeout_ms=30000)
        assert wait_exit(proc) == 0
    finally:
        wait_exit(sender)
    assert file_server.requests().count("/Mirel.ndn") == 2


@pytest.mark.parametrize("command", [IDCANCEL, IDOK], ids=["cancel", "ok"])
def test_dialog_end_during_installer_wait_ends_the_run(wine, waiting_launcher, command):
    """The command the dialog's own close handling posts (after Alt+F4, for one) ends the
    modal loop; the run waiting for the installer must give it back, so the launcher ends."""
    proc, hwnd = waiting_launcher
    assert wine.post(hwnd, WM_COMMAND, command)
    assert wait_exit(proc) == 0


# The DLLs the launcher uses that are not among Windows' known DLLs. version.dll is one too, but
# Wine's own comctl32 imports it while the process starts, before any code of the launcher runs
# (on Windows, system DLLs take their imports from the system folder).
PLANTED_DLLS = ("wininet", "iphlpapi", "mswsock", "bcrypt")


def test_dlls_placed_beside_the_launcher_are_never_loaded(wine, game):
    folder = DRIVE_C / "planted"
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir()
    exe = folder / "MirelLauncher.exe"
    shutil.copy(LAUNCHER, exe)
    for name in PLANTED_DLLS:
        shutil.copy(STANDINS / "planted_dll.dll", folder / f"{name}.dll")
    log = folder / "planted.log"
    # Wine prefers its own DLLs unless told otherwise; Windows takes a DLL beside the program.
    overrides = os.environ.get("WINEDLLOVERRIDES", "")
    env = {"STANDIN_PLANTED_LOG": win_path(log),
           "WINEDLLOVERRIDES": ";".join(filter(None, [overrides, ",".join(PLANTED_DLLS) + "=n,b"]))}

    # Installed game: the session (bcrypt, iphlpapi, mswsock).
    game.install()
    assert wait_exit(wine.start(exe, game.start_string(), env=env)) == 0
    assert len(game.wait_patcher_starts(1)) == 1
    # Not installed: WinInet takes the URL apart.
    proc = wine.start(exe, "", env=env)
    wine.answer_msgbox("URL parse Failed : http://\n")
    assert wait_exit(proc) == 0
    assert not log.exists(), log.read_text(errors="replace")


# ---------------------------------------------------------------------------------------------
# The download folder

def others_may_write(path):
    """Wine keeps access lists as file modes: what Everyone may do is the mode for others."""
    return bool(os.stat(path).st_mode & 0o002)


def others_granted(text):
    """Rights that an access list in SDDL grants to Everyone, Users or Authenticated Users."""
    import re
    return [m.group(1) for m in re.finditer(r"\(A;[^;]*;([^;]+);;;(?:WD|BU|AU)\)", text)]


def sddl(wine, path):
    rc, out = wine.helper("sddl", win_path(path))
    assert rc == 0, out
    return out.strip()


def test_folders_the_launcher_creates_let_no_one_else_write(wine, launcher):
    # Wine's server creates the folders; under a umask that lets everyone write (as the drive's
    # own access list does on Windows), what the launcher creates must not inherit that.
    shutil.rmtree(DOWNLOAD_DIR.parent, ignore_errors=True)
    end_server()
    server = subprocess.Popen(["wineserver", "-f", "-p"], preexec_fn=lambda: os.umask(0))
    try:
        # A download (the game is not installed) makes the folders, then its fetch fails.
        proc = launcher.start("")
        wine.answer_msgbox("URL parse Failed : http://\n")
        assert wait_exit(proc) == 0
        for folder in (DOWNLOAD_DIR.parent, DOWNLOAD_DIR):
            assert not others_may_write(folder), (folder, oct(os.stat(folder).st_mode), sddl(wine, folder))
            # Read back: nobody but the owner, SYSTEM and Administrators has more than reading
            # and listing (0x1200a9).
            assert set(others_granted(sddl(wine, folder))) <= {"0x1200a9"}, sddl(wine, folder)
            print(folder.name, sddl(wine, folder))
        assert not others_granted(sddl(wine, DOWNLOAD_DIR / FOLDER_LOCK)), "others may open the lock"
    finally:
        launcher.cleanup()
        subprocess.run(["wineserver", "-k"], check=False)
        server.wait(timeout=30)


def test_empty_folder_that_others_may_write_is_tightened_and_the_one_above_left_alone(wine, launcher):
    # C:\Down as Windows leaves a folder made at the drive's root (open to other users), and an
    # empty download folder of an earlier version that everyone could write.
    shutil.rmtree(DOWNLOAD_DIR.parent, ignore_errors=True)
    DOWNLOAD_DIR.mkdir(parents=True)
    for folder in (DOWNLOAD_DIR.parent, DOWNLOAD_DIR):
        os.chmod(folder, 0o777)
    assert "0x1301ff;;;WD" in sddl(wine, DOWNLOAD_DIR)  # Everyone may write
    proc = launcher.start("")
    wine.answer_msgbox("URL parse Failed : http://\n")
    assert wait_exit(proc) == 0
    assert not others_may_write(DOWNLOAD_DIR), sddl(wine, DOWNLOAD_DIR)
    assert set(others_granted(sddl(wine, DOWNLOAD_DIR))) <= {"0x1200a9"}, sddl(wine, DOWNLOAD_DIR)
    # Other programs and users may share C:\Down: its rights are not the launcher's to change.
    assert os.stat(DOWNLOAD_DIR.parent).st_mode & 0o777 == 0o777
    assert folder_names(DOWNLOAD_DIR.parent) == [DOWNLOAD_DIR.name]


def tree(root):
    """Every file below `root` with its content."""
    return {str(p.relative_to(root)): p.read_bytes() for p in sorted(root.rglob("*")) if p.is_file()}


@pytest.mark.parametrize("kind", ["open-folder", "foreign-file", "folder-is-the-game"])
def test_installed_game_in_the_download_folder_keeps_every_file(wine, game, launcher, kind):
    # The game installed into the download folder (or inside it), with its saves, a description
    # and an installer beside it, in a folder the launcher cannot vouch for.
    shutil.rmtree(DOWNLOAD_DIR.parent, ignore_errors=True)
    DOWNLOAD_DIR.mkdir(parents=True)
    game.folder = DOWNLOAD_DIR if kind == "folder-is-the-game" else DOWNLOAD_DIR / "Game"
    game.args_log = game.folder / "patcher-args.log"
    game.install()
    (game.folder / "save").mkdir()
    (game.folder / "save" / "slot1.sav").write_bytes(b"level 42")
    write_torrent(DOWNLOAD_DIR / "Mirel.ndn", "Setup", {"Setup.exe": b"x" * 4096})
    (DOWNLOAD_DIR / "Setup.exe").write_bytes(b"an installer")
    if kind == "open-folder":
        os.chmod(DOWNLOAD_DIR, 0o777)
    elif kind == "foreign-file":
        (DOWNLOAD_DIR / "notes.txt").write_bytes(b"another user's")
        os.lchown(DOWNLOAD_DIR / "notes.txt", OTHER_UID, OTHER_UID)
    before = tree(DOWNLOAD_DIR)
    mode = os.stat(DOWNLOAD_DIR).st_mode

    assert wait_exit(launcher.start(game.start_string())) == 0
    assert len(game.wait_patcher_starts(1)) == 1
    after = tree(DOWNLOAD_DIR)
    # Every file is there with its content; the launcher added only the patcher's copy and log.
    assert {k: v for k, v in after.items() if k in before} == before
    assert set(after) - set(before) <= {str((game.folder / n).relative_to(DOWNLOAD_DIR))
                                       for n in ("MirelPatcher.exe", "patcher-args.log")}
    assert folder_names(DOWNLOAD_DIR.parent) == [DOWNLOAD_DIR.name]  # nothing moved aside
    assert os.stat(DOWNLOAD_DIR).st_mode == mode  # nor tightened


def test_description_that_cannot_be_added_is_told_and_ends_the_run(wine, game, launcher, file_server):
    # A description the library will not take (no piece hashes): nothing would ever progress, so
    # the player is told, and the run ends without a silent wait.
    plain = b"d8:announce0:4:infod6:lengthi1e4:name4:none12:piece lengthi16384e6:pieces0:ee"
    (file_server.root / "Mirel.ndn").write_bytes(pack(plain))
    proc = launcher.start(game.start_string(url=file_server.url("Mirel.ndn")))
    wine.answer_msgbox(TORRENT_NOT_ADDED, timeout_ms=30000)
    assert wait_exit(proc) == 0
    assert game.patcher_starts() == []


def test_folder_held_by_another_program_is_waited_for_then_left_for_the_users_own(wine, game, launcher, file_server):
    # A backup program (or another user) holds the download folder open without sharing: the
    # launcher waits a moment, then downloads into the user's own folder (the description is
    # fetched there, and is missing here); the folder is not moved or changed. Nobody else can
    # keep the download from going on.
    shutil.rmtree(DOWNLOAD_DIR.parent, ignore_errors=True)
    DOWNLOAD_DIR.mkdir(parents=True)
    (DOWNLOAD_DIR / "MirelSetup.exe").write_bytes(b"part of a download")
    own = [p for p in DRIVE_C.glob("users/*/AppData/Local")][0] / "Mirel Online"
    shutil.rmtree(own, ignore_errors=True)
    holder = wine.start(STANDINS / "winhelper.exe", "holddir", win_path(DOWNLOAD_DIR), "60000", stdout=subprocess.PIPE)
    try:
        assert holder.stdout.readline().strip() == b"held"
        proc = launcher.start(game.start_string(url=file_server.url("Mirel.ndn")))
        wine.answer_msgbox("Download Failed No:7, Status Code:404\n", timeout_ms=30000)
        assert wait_exit(proc) == 0
    finally:
        holder.kill()
        holder.wait(timeout=10)
    assert len(file_server.requests()) == 1
    assert folder_names(own) == [FOLDER_LOCK]
    assert folder_names(DOWNLOAD_DIR.parent) == [DOWNLOAD_DIR.name]
    assert folder_names(DOWNLOAD_DIR) == ["MirelSetup.exe"]


def write_torrent(path, name, files):
    """Metainfo of a torrent of several files under the folder `name`, written to `path`."""
    import libtorrent as lt
    fs = lt.file_storage()
    for rel, data in files.items():
        fs.add_file(f"{name}/{rel}", len(data))
    ct = lt.create_torrent(fs, 16384, flags=lt.create_torrent.v1_only)
    for i in range(fs.num_pieces()):
        ct.set_hash(i, b"\x01" * 20)
    Path(path).write_bytes(lt.bencode(ct.generate()))


OTHER_UID = 1001  # another user of the machine: Wine shows what this uid owns as not ours


@contextlib.contextmanager
def unusable_download_folder(wine, kind, elsewhere):
    """The download folder made unusable in one way; yields the message a download gets."""
    shutil.rmtree(DOWNLOAD_DIR.parent, ignore_errors=True)
    holder = None
    try:
        if kind == "link":  # the folder itself is a link
            DOWNLOAD_DIR.parent.mkdir()
            DOWNLOAD_DIR.symlink_to(elsewhere, target_is_directory=True)
            yield FOLDER_REFUSED
        elif kind == "link-above":  # C:\Down is a link
            (elsewhere / DOWNLOAD_DIR.name).mkdir()
            DOWNLOAD_DIR.parent.symlink_to(elsewhere, target_is_directory=True)
            yield FOLDER_REFUSED
        elif kind == "other-users":  # another user's folder, with a link inside and a torrent naming it
            DOWNLOAD_DIR.mkdir(parents=True)
            (DOWNLOAD_DIR / "Setup").symlink_to(elsewhere, target_is_directory=True)
            write_torrent(DOWNLOAD_DIR / "Mirel.ndn", "Setup", {"Setup.exe": b"x" * 4096})
            for p in (DOWNLOAD_DIR, DOWNLOAD_DIR / "Mirel.ndn"):
                os.lchown(p, OTHER_UID, OTHER_UID)
            yield FOLDER_REFUSED
        elif kind == "link-inside":  # our folder, open to everyone once, with a link to a folder inside
            DOWNLOAD_DIR.mkdir(parents=True)
            os.chmod(DOWNLOAD_DIR, 0o777)
            (elsewhere / "keep").mkdir()
            (DOWNLOAD_DIR / "Setup").symlink_to(elsewhere, target_is_directory=True)
            os.lchown(DOWNLOAD_DIR / "Setup", OTHER_UID, OTHER_UID)
            # Windows removes the link itself and goes on; Wine cannot (its removal follows a link
            # to a folder), so the link stays and the folder is refused.
            yield FOLDER_REFUSED
        elif kind == "busy":  # another program holds the folder's lock, one others may open
            DOWNLOAD_DIR.mkdir(parents=True)
            holder = wine.start(STANDINS / "winhelper.exe", "hold", win_path(DOWNLOAD_DIR / FOLDER_LOCK), "60000",
                                stdout=subprocess.PIPE)
            assert holder.stdout.readline().strip() == b"held"
            # Not taken for another launcher of ours: the folder is moved aside (Wine renames a
            # folder with an open file in it; Windows does not, and the download then goes to
            # the user's own folder, as the unit tests show).
            yield None
        else:  # "unmakeable": a file where the folder above belongs
            DOWNLOAD_DIR.parent.write_bytes(b"not a folder")
            yield None
    finally:
        if holder:
            holder.kill()
            holder.wait(timeout=10)
        for p in (DOWNLOAD_DIR, DOWNLOAD_DIR.parent):
            if p.is_symlink() or p.is_file():
                p.unlink()
        shutil.rmtree(DOWNLOAD_DIR.parent, ignore_errors=True)


# A shared folder that is another user's, a link, a file or cannot be moved is never touched: a
# download goes to the user's own folder instead (here it finds no description, and says so);
# a lock another program holds is no launcher of ours (the folder is moved aside); an installed
# game leaves every one as it stands.
@pytest.mark.parametrize("kind,installed", [
    pytest.param(kind, installed, id=f"{kind}-{'installed' if installed else 'download'}")
    for kind in ["link", "link-above", "other-users", "link-inside", "busy", "unmakeable"]
    for installed in [True, False]])
def test_unusable_download_folder_stops_a_download_never_an_installed_game(wine, game, launcher, file_server, kind,
                                                                           installed):
    elsewhere = DRIVE_C / "elsewhere"
    shutil.rmtree(elsewhere, ignore_errors=True)
    elsewhere.mkdir()
    own = [p for p in DRIVE_C.glob("users/*/AppData/Local")][0] / "Mirel Online"
    shutil.rmtree(own, ignore_errors=True)
    if installed:
        game.install()
    with unusable_download_folder(wine, kind, elsewhere) as message:
        proc = launcher.start(game.start_string(url=file_server.url("Mirel.ndn")))
        if installed:
            # No torrent part and no message (a message box would keep the process): the game starts.
            assert wait_exit(proc) == 0
            assert len(game.wait_patcher_starts(1)) == 1
            assert file_server.requests() == []
            assert not own.exists()
        else:
            # The user's own folder: the description is fetched there (and is missing here).
            wine.answer_msgbox("Download Failed No:7, Status Code:404\n")
            assert len(file_server.requests()) == 1
            # Our own folder with a link inside, or with a lock held in it, is moved aside whole
            # instead: the fresh one holds the lock and the record of where the old one went.
            if kind in ("link-inside", "busy"):
                assert folder_names(DOWNLOAD_DIR) == [MOVED_ASIDE_RECORD, FOLDER_LOCK]
            else:
                assert folder_names(own) == [FOLDER_LOCK]
            assert wait_exit(proc) == 0
            assert game.patcher_starts() == []
        # Nothing was made through a link.
        made = {"link-above": [DOWNLOAD_DIR.name], "link-inside": ["keep"]}
        assert [p.name for p in elsewhere.rglob("*")] == made.get(kind, [])
