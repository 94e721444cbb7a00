"""The launcher and the game: the installation record, runs of the launcher (installed game,
not installed with the stand-in installer, one per prefix and address in a swarm), and the
helpers that wait for what a run does."""
import shutil
import struct
import subprocess
import time
import zlib
from pathlib import Path

from harness import LAUNCHER, STANDINS, wait_for
from harness.wine import Wine, quiet, server_pids, win_path

NOT_INSTALLED = "게임이 설치되지 않았습니다. \n기존버전을 삭제한 후 다시 설치해주세요."
ALREADY_RUNNING = "이미 실행 중인 프로세스가 있습니다."
FOLDER_REFUSED = "다운로드 폴더를 안전하게 사용할 수 없습니다. \n다른 프로그램이 폴더를 바꾸지 않았는지 확인한 후 다시 실행해주세요."
TORRENT_NOT_ADDED = "다운로드 정보를 사용할 수 없어 다운로드를 시작하지 못했습니다. \n잠시 후 다시 실행해주세요."
FOLDER_IN_USE = "다운로드 폴더를 다른 프로그램이 사용하고 있습니다. \n잠시 후 다시 실행해주세요."
INSTALLER_TITLE = "미렐온라인 설치 "  # the stand-in installer's window
FOLDER_LOCK = "MirelLauncher.lock"  # held in the download folder while a launcher uses it
MOVED_ASIDE_RECORD = "MirelLauncher.aside"  # where the folder was moved aside, until it is read back

# The launcher's command ids (src/res/resource.h) and the starter's message.
ID_MENU_OPEN = 32773       # shows the windows again
ID_MENU_EXIT = 32774       # the exit without confirmation
ID_SHOW_PEER_INFO = 32775  # what Ctrl+Shift+F10 sends
IDC_BTN_CLOSE = 1005       # the peer window's Close button
IDC_BTN_EXIT = 1003        # the main window's exit button
IDC_STATIC_SIZE = 1001     # the size label
WM_START_PARAM = 2
WM_COMMAND = 0x0111
IDOK = 1
IDCANCEL = 2

# Where the progress bar lies in the main window's client area (x, y, width, height).
BAR = (35, 252, 450, 9)


def start_string(key, url="http://127.0.0.1:9/Mirel.ndn", flag="0", f1="user", f2="token", f4="server"):
    """The starter's six `*`-separated fields (five when `flag` is None)."""
    return "*".join([f1, f2, key, f4, url] + ([flag] if flag is not None else []))


def installer_env(key, install_dir, install_ms, log=None, version=None, window_log=None):
    """What the stand-in installer does when the launcher opens it: keeps its window for
    `install_ms`, then writes the installation record `key` for `install_dir` (a Windows path)
    with the stand-in patcher; one line per start to `log` (a Windows path), when given, and
    to `window_log` a line when its window is shown and one when it is gone."""
    env = {"STANDIN_INSTALL_KEY": key, "STANDIN_INSTALL_DIR": install_dir,
           "STANDIN_INSTALL_PATCHER": win_path(STANDINS / "standin_patcher.exe"), "STANDIN_INSTALL_MS": str(install_ms)}
    if log:
        env["STANDIN_INSTALL_LOG"] = log
    if window_log:
        env["STANDIN_WINDOW_LOG"] = window_log
    if version:
        env["STANDIN_INSTALL_VERSION"] = version
    return env


def pack(plain: bytes) -> bytes:
    """The packed download form: unpacked size, packed size (little-endian), zlib stream."""
    stream = zlib.compress(plain, 9)
    return struct.pack("<II", len(plain), len(stream)) + stream


def folder_names(path):
    """The sorted names in a folder; none when it does not exist."""
    path = Path(path)
    return sorted(p.name for p in path.iterdir()) if path.is_dir() else []


def wait_exit(proc, timeout=20):
    try:
        return proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(timeout=10)
        raise AssertionError(f"process did not end within {timeout} s")


def posted_barrier(wine, hwnd):
    """Posts a command that opens the peer window and waits for it: the window's posted
    messages are taken in order, so everything posted before has been handled by then, and
    the launch sequence has got as far as taking messages (its wait for the installer, the
    message loop, or a message box that would be up now)."""
    assert wine.post(hwnd, WM_COMMAND, ID_SHOW_PEER_INFO)
    assert wine.find(cls="#32770", title="Dialog", timeout_ms=20000), "the window took no posted command"


def start_old_patcher(wine, timeout_ms=10000):
    """A patcher of an earlier session (no FileVersion), running with its window up."""
    proc = wine.start(STANDINS / "standin_patcher_nover.exe", env={"STANDIN_PATCHER_LOG": "C:\\old-patcher.log"})
    assert wine.find(cls="Mirel Patcher", timeout_ms=timeout_ms), "the old patcher's window did not appear"
    return proc


def bar_filled(img, origin):
    """Pixels of the progress bar that are painted (up to the last one), read from a screenshot
    with the main window's client area at `origin`."""
    x0, y0, w, h = BAR
    y = origin[1] + y0 + h // 2
    filled = 0
    for x in range(w):
        if img.getpixel((origin[0] + x0 + x, y)) != (0, 0, 0):
            filled = x + 1
    return filled


def screenshot():
    """The whole X display as an RGB image."""
    import io
    from PIL import Image
    png = subprocess.run(["import", "-window", "root", "png:-"], capture_output=True, check=True, timeout=30).stdout
    return Image.open(io.BytesIO(png)).convert("RGB")


class Game:
    """An installed game: an installation record and a game folder holding a Patcher.exe."""

    def __init__(self, wine, name, key=None, folder=None):
        self.wine = wine
        self.key = key or f"Software\\MirelTest\\{name}"
        self.folder = folder or wine.drive_c / "Games" / name
        self.args_log = self.folder / "patcher-args.log"

    def install(self, patcher="standin_patcher.exe", version="1.2.3", install_path=None, with_version=True):
        self.folder.mkdir(parents=True, exist_ok=True)
        if patcher:
            shutil.copy(STANDINS / patcher, self.folder / "Patcher.exe")
        self.wine.reg_add(self.key, "InstallPath", install_path or self.wine.win_path(self.folder))
        if with_version:
            self.wine.reg_add(self.key, "Version", version)
        return self

    def uninstall(self):
        self.wine.reg_delete(self.key)

    def start_string(self, f1="user", f2="token", f4="server", url="http://127.0.0.1:9/Mirel.ndn", flag="0"):
        return start_string(self.key, url, flag, f1, f2, f4)

    def patcher_starts(self):
        """Argument lists the patcher copy was started with, with the working folder of each start."""
        starts = []
        for line in self._log_lines():
            pid, _, rest = line.partition(" ")
            cwd, _, args = rest.partition("|")
            starts.append((cwd, args))
        return starts

    def wait_patcher_starts(self, count, timeout=15):
        wait_for(lambda: len(self.patcher_starts()) >= count, timeout)
        return self.patcher_starts()

    def settled_patcher_starts(self):
        """The patcher starts of launchers that have all exited: a copy they started already
        exists as a process by then (the shell returns once it is created), so once every
        running copy has written its line, no start is still on its way."""
        running = {pid for pid, _ in self.wine.processes("MirelPatcher.exe")}
        assert wait_for(lambda: running <= {int(line.split(" ", 1)[0]) for line in self._log_lines()}, 15), \
            f"running patcher copies {running} did not record their start: {self._log_lines()}"
        return self.patcher_starts()

    def _log_lines(self):
        return self.args_log.read_bytes().decode("cp949").splitlines() if self.args_log.exists() else []


class Launcher:
    """The launcher's processes started in one prefix; cleanup() ends what is left of them. With
    `out_dir`, what each run writes goes to "launcher-run-N.out" and ".err" there."""

    def __init__(self, wine, out_dir=None):
        self.wine = wine
        self.procs = []
        self.out_dir = out_dir

    def start(self, start_string=None, env=None, exe=LAUNCHER):
        args = [start_string] if start_string is not None else []
        streams = {}
        if self.out_dir:
            n = len(self.procs)
            streams = {"stdout": open(self.out_dir / f"launcher-run-{n}.out", "wb"),
                       "stderr": open(self.out_dir / f"launcher-run-{n}.err", "wb")}
        proc = self.wine.start(exe, *args, env=env, **streams)
        self.procs.append(proc)
        return proc

    def window(self, timeout_ms=10000):
        return self.wine.find(cls="Mirel Launcher", timeout_ms=timeout_ms)

    def cleanup(self):
        for proc in self.procs:
            if proc.poll() is None:
                proc.kill()
                proc.wait(timeout=10)
        # Patchers started by a launcher are not our children: close their windows, also the
        # window of a copy that was still on its way, so that nothing later meets it. Without
        # a process there is no window either.
        def patchers_gone():
            if not self.wine.host_pids("MirelPatcher.exe"):
                return True
            hwnd = self.wine.find(cls="Mirel Patcher")
            if hwnd:
                self.wine.post(hwnd, 0x0010)
                self.wine.gone(cls="Mirel Patcher", timeout_ms=3000)
            return False
        wait_for(patchers_gone, 15, interval=0.2)
        if self.wine.host_pids("MirelLauncher"):
            self.wine.gone(cls="Mirel Launcher", timeout_ms=5000)


class Flow:
    """One launcher run for a game that is not installed, with the stand-in installer; its
    standard output and error go to files in `tmp_path`."""

    def __init__(self, wine, game, launcher, tmp_path, files, install_ms=1500, exe=LAUNCHER):
        self.exe = exe
        self.wine = wine
        self.game = game
        self.launcher = launcher
        self.files = files
        self.out = tmp_path / f"launcher-{len(launcher.procs)}.out"
        self.err = tmp_path / f"launcher-{len(launcher.procs)}.err"
        self.installer_log = wine.drive_c / "installer.log"
        self.window_log = wine.drive_c / "installer-window.log"
        self.env = installer_env(game.key, wine.win_path(game.folder), install_ms, log=wine.win_path(self.installer_log),
                                 version="3.1.4", window_log=wine.win_path(self.window_log))
        self.proc = None

    def start(self):
        if not self.launcher.procs:
            for log in (self.installer_log, self.window_log):
                if log.exists():
                    log.unlink()
        # Files, not pipes: the installer and the patcher inherit the standard handles and
        # would keep a pipe open after the launcher has ended.
        self.proc = self.wine.start(self.exe, self.game.start_string(url=self.files.url("Mirel.ndn")), env=self.env,
                                    stdout=open(self.out, "wb"), stderr=open(self.err, "wb"))
        self.launcher.procs.append(self.proc)
        return self

    def window(self, timeout_ms=20000):
        return self.launcher.window(timeout_ms)

    def stdout(self):
        return self.out.read_bytes().decode("cp949", errors="replace").replace("\r\n", "\n")

    def stderr(self):
        return self.err.read_bytes().decode("cp949", errors="replace").replace("\r\n", "\n")

    def installer_runs(self):
        if not self.installer_log.exists():
            return []
        runs = []
        for line in self.installer_log.read_bytes().decode("utf-8").splitlines():
            pid, size, path = line.split(" ", 2)
            runs.append((int(size), path))
        return runs

    def installer_window(self):
        """What the stand-in installer recorded of its window: "shown", "gone", in order, for
        each of its runs. The record does not depend on looking at the right moment: a window
        that stood for a second while the test was busy elsewhere is in it."""
        if not self.window_log.exists():
            return []
        return [line.split(" ", 1)[1] for line in self.window_log.read_text().splitlines() if " " in line]

    def kill(self):
        self.proc.kill()
        self.proc.wait(timeout=10)
        assert self.wine.gone(cls="Mirel Launcher", timeout_ms=10000)


def finish_flow(flow, dist, timeout=120, folder=None):
    """The rest of a run once the download is under way: the installer from the download folder
    (C:\\Down\\Mirel Online, or `folder`) opened once, its window seen and gone, the patcher copy
    started, exit code 0, and the downloaded file identical to the published one."""
    from seeder import file_sha1
    wine = flow.wine
    folder = Path(folder or wine.download_dir)
    assert wait_for(lambda: "shown" in flow.installer_window(), timeout), \
        f"the installer's window never came: {flow.stdout()!r} {flow.stderr()!r}"
    assert wait_for(lambda: flow.installer_window()[-1:] == ["gone"], 60), "the installer's window never went"
    assert wine.gone(title=INSTALLER_TITLE, timeout_ms=60000)
    starts = flow.game.wait_patcher_starts(1, timeout=60)
    assert len(starts) == 1, starts
    assert wait_exit(flow.proc, timeout=60) == 0
    runs = flow.installer_runs()
    assert runs == [(dist.size, wine.win_path(folder / dist.name))]
    assert file_sha1(folder / dist.name) == dist.sha1()
    cwd, args = starts[0]
    assert args.split("*")[3] == "3.1.4"  # the version the installer recorded


SWARM_KEY = "Software\\MirelSwarm\\Game"


class SwarmLauncher:
    """The launcher in the Wine prefix `prefix`, on `address` (MIREL_LISTEN_INTERFACE), for a
    game that is not installed. Its installer stand-in keeps its window for `install_ms`, then
    installs; start flag 1: the launcher then ends without starting the patcher."""

    def __init__(self, prefix, address, install_ms=1500, exe=LAUNCHER, home=()):
        self.wine = Wine(prefix)
        self.prefix = self.wine.prefix
        self.address = address
        self.exe = exe
        self.home = tuple(home)
        self.download_dir = self.wine.download_dir
        self.installer_log = self.wine.drive_c / "installer.log"
        self.env = installer_env(SWARM_KEY, "C:\\Games\\Mirel", install_ms, log="C:\\installer.log")
        if not self.home:
            self.env["MIREL_LISTEN_INTERFACE"] = address
        self.proc = None
        self.started = None

    def start(self, ndn_url, out=None):
        """`home` (a command prefix such as `ip netns exec NAME`): the launcher runs in that network
        namespace as a player's does (no listen interface given), with a Wine server of its own
        started there (Wine's server makes the sockets of its programs)."""
        if self.home:
            quiet(["wineserver", "-k"], env=self.wine.env(), timeout=30)
            quiet(["wineserver", "-w"], env=self.wine.env(), timeout=30)
        self.started = time.monotonic()
        # Kept beside the prefix when no file is given: a failing test's report shows it.
        out = out or open(self.prefix.parent / f"launcher-{self.prefix.name}.out", "ab")
        self.proc = self.wine.start(self.exe, start_string(SWARM_KEY, ndn_url, "1", "swarm", "swarm", "swarm"),
                                    env=self.env, stdout=out, stderr=out, wrap=self.home)
        return self

    def listen_port(self):
        """The port the launcher listens on at its address; None before it listens."""
        from swarm import listen_ports
        ports = listen_ports(self.address)
        return ports[0] if ports else None

    def wait_listening(self, timeout=60):
        """listen_port() once the launcher listens; None when it ends first or does not
        within `timeout` seconds."""
        port = wait_for(lambda: self.listen_port() or (self.proc.poll() is not None and -1), timeout)
        return port if port and port > 0 else None

    def installer_runs(self):
        """Lines the installer stand-in wrote: one per start."""
        if not self.installer_log.exists():
            return []
        return self.installer_log.read_bytes().decode("utf-8", errors="replace").splitlines()

    def wineserver_pids(self):
        return server_pids(self.prefix)

    def stop(self):
        """Ends the launcher if it still runs, and the prefix's wineserver with everything in it."""
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=10)
        quiet(["wineserver", "-k"], env=self.wine.env(), timeout=30)
