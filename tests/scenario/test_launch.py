"""The launcher as a whole on the installed-game path: single instance, start parameters from
the command line and from "Start Param Map", the patcher step and the closing."""
import shutil
import subprocess
import time

from conftest import (ALREADY_RUNNING, LAUNCHER, NOT_INSTALLED, STANDINS, TITLE, wait_exit, win_path)


def expected_args(game, f1="user", f2="token", f4="server", version="1.2.3"):
    return f"{f2}*{win_path(game.folder)}*{f4}*{version}*{f1}*{game.key}"


def test_installed_game_ends_old_patcher_refreshes_and_starts_copy(wine, game, launcher):
    game.install(patcher="standin_patcher.exe", version="1.2.3")
    # An old patcher copy (another version) is already there, and a patcher is running.
    shutil.copy(STANDINS / "standin_patcher_v2.exe", game.folder / "MirelPatcher.exe")
    old = wine.start(STANDINS / "standin_patcher_nover.exe", env={"STANDIN_PATCHER_LOG": "C:\\old-patcher.log"})
    assert wine.find(cls="Mirel Patcher", timeout_ms=10000)

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
    time.sleep(1)
    assert game.patcher_starts() == []
    assert not (game.folder / "MirelPatcher.exe").exists()


def test_only_versioned_copy_exists_it_is_started(wine, game, launcher):
    game.install(patcher=None)
    shutil.copy(STANDINS / "standin_patcher_v2.exe", game.folder / "MirelPatcher.exe")
    assert wait_exit(launcher.start(game.start_string())) == 0
    assert game.wait_patcher_starts(1) == [(win_path(game.folder), expected_args(game))]


def test_start_flag_decides_whether_patcher_starts(wine, game, launcher):
    game.install()
    for flag in (None, "1", "00"):
        old = wine.start(STANDINS / "standin_patcher_nover.exe", env={"STANDIN_PATCHER_LOG": "C:\\old-patcher.log"})
        assert wine.find(cls="Mirel Patcher", timeout_ms=10000)
        proc = launcher.start(game.start_string(flag=flag))
        assert wait_exit(proc) == 0, f"flag {flag!r}"
        # A running patcher is ended all the same, but no copy is started.
        assert old.wait(timeout=10) == 0
    time.sleep(1)
    assert game.patcher_starts() == []


def test_quoted_command_line_keeps_its_quotes(wine, game, launcher):
    game.install()
    # The last field is 0" here: not exactly "0", so the patcher does not start.
    rc = wine.run_cmdline(f'"{win_path_of_launcher()}" "{game.start_string()}"')
    assert rc == 0
    time.sleep(1)
    assert game.patcher_starts() == []

    # Without quotes around the whole string, the very same fields start it.
    rc = wine.run_cmdline(f'"{win_path_of_launcher()}" {game.start_string()}')
    assert rc == 0
    assert game.wait_patcher_starts(1) == [(win_path(game.folder), expected_args(game))]


def win_path_of_launcher():
    return "Z:" + str(LAUNCHER).replace("/", "\\")


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


def test_empty_start_string_fails_the_download_and_closes(wine, launcher):
    proc = launcher.start("")
    wine.answer_msgbox("URL parse Failed : http://\n")
    assert wait_exit(proc) == 0


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
    rc, out = starter(wine, "--send", "--no-map", game.start_string())
    assert rc == 0 and out.strip() == "sent 0"
    time.sleep(1.5)
    assert proc.poll() is None
    assert wine.find(cls="Mirel Launcher") == hwnd
    assert game.patcher_starts() == []


def test_posted_message_2_ends_the_wait_and_keeps_window(wine, game, waiting_launcher):
    proc, hwnd = waiting_launcher
    game.install()
    rc, out = starter(wine, "--post", game.start_string())
    assert rc == 0
    time.sleep(1.5)
    # The wait ended without running the sequence: the window stays and answers.
    assert proc.poll() is None
    assert wine.text(hwnd) == "Mirel Online Launcher"
    assert game.patcher_starts() == []


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
    time.sleep(1.5)
    starts = game.patcher_starts()
    assert starts == [(win_path(game.folder), expected_args(game))]
    holder.kill()


def test_start_param_map_without_terminator_is_read_within_the_view(wine, game, waiting_launcher):
    proc, hwnd = waiting_launcher
    game.install()
    # 1024 bytes of repeated fields and no terminator: read no further than the view.
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
