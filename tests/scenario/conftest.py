"""The scenario harness: the real launcher under Wine, driven like a user would, with stand-ins
for the starter and the patcher. Runs inside scripts/sandbox (private network, own X display,
own Wine prefix)."""
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(os.environ.get("MIREL_ROOT", Path(__file__).resolve().parents[2]))


def _own_desktop_for_this_worker():
    """Under pytest-xdist every worker gets a Wine prefix and an X display of its own (the
    sandbox's own are left to the unit tests that run at the same time): windows are found by
    class, the download folder and the single-instance mutex are the prefix's, and screenshots
    read the whole display. Both go when the worker ends."""
    worker = os.environ.get("PYTEST_XDIST_WORKER")
    if not worker or "MIREL_SANDBOX_DIR" not in os.environ:
        return
    import atexit
    import tempfile
    work = Path(tempfile.mkdtemp(prefix=f"{worker}-", dir=os.environ["MIREL_SANDBOX_DIR"]))
    for n in range(141, 240):
        if Path(f"/tmp/.X11-unix/X{n}").exists() or Path(f"/tmp/.X{n}-lock").exists():
            continue
        display = f":{n}"
        xvfb = subprocess.Popen(["Xvfb", display, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if wait_for(lambda: xvfb.poll() is not None or subprocess.run(["xdpyinfo", "-display", display],
                                                                         capture_output=True).returncode == 0, 10) \
                and xvfb.poll() is None:
            break
        xvfb.kill()  # another worker took this display first
    else:
        raise RuntimeError("no free X display")
    prefix = work / "wineprefix"
    subprocess.run(["bash", "-c", 'source "$0" "$1" >/dev/null 2>&1', str(ROOT / "scripts" / "wine-env"),
                    str(prefix)], check=True, env=dict(os.environ, DISPLAY=display))
    os.environ.update(WINEPREFIX=str(prefix), DISPLAY=display)

    def end():
        subprocess.run(["wineserver", "-k"], capture_output=True)
        xvfb.kill()
        shutil.rmtree(work, ignore_errors=True)
    atexit.register(end)


sys.path.insert(0, str(ROOT / "tests" / "servers"))
from polling import wait_for  # noqa: E402,F401  (shared with the servers)
from seeder import FileServer  # noqa: E402
_own_desktop_for_this_worker()
BUILD = ROOT / "build"
LAUNCHER = BUILD / "MirelLauncher.exe"
STANDINS = BUILD / "standins"
PREFIX = Path(os.environ["WINEPREFIX"]) if "WINEPREFIX" in os.environ else None
DRIVE_C = PREFIX / "drive_c" if PREFIX else None
DOWNLOAD_DIR = DRIVE_C / "Down" / "Mirel Online" if DRIVE_C else None

TITLE = "MirelLauncher"  # the application's title: the executable's name
NOT_INSTALLED = "게임이 설치되지 않았습니다. \n기존버전을 삭제한 후 다시 설치해주세요."
ALREADY_RUNNING = "이미 실행 중인 프로세스가 있습니다."
FOLDER_REFUSED = "다운로드 폴더를 안전하게 사용할 수 없습니다. \n다운로드 폴더를 삭제한 후 다시 실행해주세요."

# The launcher's command ids (src/res/resource.h) and the starter's message.
ID_MENU_OPEN = 32773       # shows the windows again
ID_MENU_EXIT = 32774       # the exit without confirmation
ID_SHOW_PEER_INFO = 32775  # what Ctrl+Shift+F10 sends
IDC_BTN_CLOSE = 1005       # the peer window's Close button
IDC_BTN_EXIT = 1003        # the main window's exit button
IDC_STATIC_SIZE = 1001     # the size label
WM_START_PARAM = 2
FOLDER_LOCK = "MirelLauncher.lock"  # held in the download folder while a launcher uses it
WM_COMMAND = 0x0111
IDOK = 1
IDCANCEL = 2


def pytest_configure(config):
    if PREFIX is None:
        raise pytest.UsageError("run the scenario tests through scripts/test (they need the sandbox)")


def win_path(p: Path) -> str:
    """The Windows path of a file: in the prefix's C: drive, else through Wine's Z: drive."""
    p = Path(p)
    if DRIVE_C and p.is_relative_to(DRIVE_C):
        return "C:\\" + str(p.relative_to(DRIVE_C)).replace("/", "\\")
    return "Z:" + str(p.resolve()).replace("/", "\\")


class Wine:
    def run(self, exe, *args, timeout=60, env=None, check=False):
        # Output goes through files, not pipes: Wine's background processes may inherit a pipe
        # and keep it open long after the program itself has ended.
        import tempfile
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            proc = subprocess.Popen(["wine", str(exe), *map(str, args)], stdout=out, stderr=err,
                                    stdin=subprocess.DEVNULL, env=self._env(env))
            try:
                rc = proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
                raise
            out.seek(0)
            err.seek(0)
            result = subprocess.CompletedProcess(proc.args, rc, out.read(), err.read())
        if check and result.returncode != 0:
            raise AssertionError(f"{exe} {args} -> {result.returncode}: {result.stderr.decode(errors='replace')}")
        return result

    def start(self, exe, *args, env=None, stdout=subprocess.DEVNULL):
        return subprocess.Popen(["wine", str(exe), *map(str, args)], stdout=stdout, stderr=subprocess.DEVNULL,
                                stdin=subprocess.DEVNULL, env=self._env(env))

    @staticmethod
    def _env(extra):
        env = dict(os.environ)
        if extra:
            env.update(extra)
        return env

    # -- windows
    def helper(self, *args, timeout=60, env=None):
        proc = self.run(STANDINS / "winhelper.exe", *args, timeout=timeout, env=env)
        return proc.returncode, proc.stdout.decode("cp949", errors="replace").replace("\r\n", "\n")

    def find(self, cls=None, title=None, text=None, timeout_ms=0):
        args = ["find"]
        if cls:
            args += ["--class", cls]
        if title is not None:
            args += ["--title", title]
        if text is not None:
            args += ["--text", text]
        args += ["--timeout", str(timeout_ms)]
        rc, out = self.helper(*args, timeout=timeout_ms / 1000 + 30)
        return out.strip() if rc == 0 else None

    def gone(self, cls=None, title=None, timeout_ms=5000):
        args = ["gone"]
        if cls:
            args += ["--class", cls]
        if title is not None:
            args += ["--title", title]
        rc, _ = self.helper(*args, "--timeout", str(timeout_ms), timeout=timeout_ms / 1000 + 30)
        return rc == 0

    def msgboxes(self, title=TITLE, timeout_ms=10000):
        """(caption, text) of every message box with the given caption; waits for the first."""
        rc, out = self.helper("msgbox", "--title", title, "--timeout", str(timeout_ms), timeout=timeout_ms / 1000 + 30)
        if rc != 0:
            return []
        boxes = []
        for line in out.splitlines():
            caption, _, text = line.partition("\t")
            boxes.append((caption, text.replace("\\n", "\n")))
        return boxes

    def msgbox(self, title=TITLE, timeout_ms=10000):
        boxes = self.msgboxes(title, timeout_ms)
        return boxes[0] if boxes else None

    def wait_msgbox(self, text, title=TITLE, timeout_ms=10000):
        """The handle of the message box with this caption and text, or None."""
        return self.find(cls="#32770", title=title, text=text, timeout_ms=timeout_ms)

    def answer_msgbox(self, text, button_id=1, title=TITLE, timeout_ms=10000):
        hwnd = self.wait_msgbox(text, title, timeout_ms)
        assert hwnd, f"no message box {text!r}; boxes: {self.msgboxes(title, 0)}"
        assert self.command(hwnd, button_id)
        return hwnd

    def text(self, hwnd):
        rc, out = self.helper("text", hwnd)
        return out[:-1] if out.endswith("\n") else out

    def info(self, hwnd):
        rc, out = self.helper("info", hwnd)
        return dict(line.split("=", 1) for line in out.splitlines() if "=" in line)

    def children(self, hwnd):
        rc, out = self.helper("children", hwnd)
        rows = []
        for line in out.splitlines():
            parts = line.split("\t")
            if len(parts) >= 5:
                rows.append({"id": int(parts[0]), "class": parts[1], "visible": parts[2] == "1",
                             "rect": tuple(int(v) for v in parts[3].split(",")), "text": parts[4]})
        return rows

    def post(self, hwnd, msg, wparam=0, lparam=0):
        return self.helper("post", hwnd, msg, wparam, lparam)[0] == 0

    def send(self, hwnd, msg, wparam=0, lparam=0):
        return self.helper("send", hwnd, msg, wparam, lparam)

    def command(self, hwnd, cmd_id):
        return self.helper("command", hwnd, cmd_id)[0] == 0

    def processes(self, exe=None):
        """(pid, executable name) of the prefix's processes, only those of `exe` if given."""
        rc, out = self.helper("procs")
        assert rc == 0, out
        rows = [(int(pid), name) for pid, _, name in (line.partition("\t") for line in out.splitlines())]
        return [r for r in rows if exe is None or r[1].lower() == exe.lower()]

    def run_cmdline(self, cmdline, timeout_ms=30000):
        """Starts an exact Windows command line (quotes and all); returns its exit code."""
        rc, out = self.helper("run", "--timeout", str(timeout_ms), env={"STANDIN_CMDLINE": cmdline},
                              timeout=timeout_ms / 1000 + 30)
        return rc

    def click_msgbox(self, title, button_id, timeout_ms=10000):
        hwnd = self.find(cls="#32770", title=title, timeout_ms=timeout_ms)
        assert hwnd, f"no message box titled {title!r}"
        assert self.command(hwnd, button_id)
        return hwnd

    # -- registry
    def reg_add(self, key, name, data, kind="REG_SZ"):
        self.run("reg", "add", f"HKLM\\{key}", "/v", name, "/t", kind, "/d", data, "/f", check=True)

    def reg_delete(self, key):
        self.run("reg", "delete", f"HKLM\\{key}", "/f")


@pytest.fixture(scope="session")
def wine():
    return Wine()


class Game:
    """An installed game: an installation record and a game folder holding a Patcher.exe."""

    def __init__(self, wine, name):
        self.wine = wine
        self.key = f"Software\\MirelTest\\{name}"
        self.folder = DRIVE_C / "Games" / name
        self.args_log = self.folder / "patcher-args.log"

    def install(self, patcher="standin_patcher.exe", version="1.2.3", install_path=None, with_version=True):
        self.folder.mkdir(parents=True, exist_ok=True)
        if patcher:
            shutil.copy(STANDINS / patcher, self.folder / "Patcher.exe")
        self.wine.reg_add(self.key, "InstallPath", install_path or win_path(self.folder))
        if with_version:
            self.wine.reg_add(self.key, "Version", version)
        return self

    def start_string(self, f1="user", f2="token", f4="server", url="http://127.0.0.1:9/Mirel.ndn", flag="0"):
        fields = [f1, f2, self.key, f4, url] + ([flag] if flag is not None else [])
        return "*".join(fields)

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


@pytest.fixture
def game(wine, request):
    name = re.sub(r"[^A-Za-z0-9]", "_", request.node.name)[:60]
    g = Game(wine, name)
    if g.folder.exists():
        shutil.rmtree(g.folder)
    yield g
    wine.reg_delete(g.key)


class Launcher:
    def __init__(self, wine):
        self.wine = wine
        self.procs = []

    def start(self, start_string=None, env=None):
        args = [start_string] if start_string is not None else []
        proc = self.wine.start(LAUNCHER, *args, env=env)
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
        # window of a copy that was still on its way, so that no later test meets it.
        def patchers_gone():
            hwnd = self.wine.find(cls="Mirel Patcher")
            if hwnd:
                self.wine.post(hwnd, 0x0010)
                self.wine.gone(cls="Mirel Patcher", timeout_ms=3000)
            return not hwnd and not self.wine.processes("MirelPatcher.exe")
        wait_for(patchers_gone, 15, interval=0.2)
        self.wine.gone(cls="Mirel Launcher", timeout_ms=5000)


@pytest.fixture
def launcher(wine):
    l = Launcher(wine)
    yield l
    l.cleanup()


@pytest.fixture(autouse=True)
def clean_download_dir():
    if DOWNLOAD_DIR and DOWNLOAD_DIR.is_symlink():
        DOWNLOAD_DIR.unlink()
    if DOWNLOAD_DIR and DOWNLOAD_DIR.exists():
        shutil.rmtree(DOWNLOAD_DIR)
    yield


def folder_names(path):
    """The sorted names in a folder; none when it does not exist."""
    path = Path(path)
    return sorted(p.name for p in path.iterdir()) if path.is_dir() else []


def posted_barrier(wine, hwnd):
    """Posts a command that opens the peer window and waits for it: the window's posted
    messages are taken in order, so everything posted before has been handled by then, and
    the launch sequence has got as far as taking messages (its wait for the installer, the
    message loop, or a message box that would be up now)."""
    assert wine.post(hwnd, WM_COMMAND, ID_SHOW_PEER_INFO)
    assert wine.find(cls="#32770", title="Dialog", timeout_ms=20000), "the window took no posted command"


def wait_exit(proc, timeout=20):
    try:
        return proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(timeout=10)
        raise AssertionError(f"process did not end within {timeout} s")


def pack(plain: bytes) -> bytes:
    """The packed download form: unpacked size, packed size (little-endian), zlib stream."""
    import struct
    import zlib
    stream = zlib.compress(plain, 9)
    return struct.pack("<II", len(plain), len(stream)) + stream


@pytest.fixture
def file_server(tmp_path):
    """A plain HTTP server on 127.0.0.1 serving the folder `root`."""
    root = tmp_path / "www"
    root.mkdir()
    server = FileServer(root).start()
    yield server
    server.stop()


@pytest.fixture
def waiting_launcher(launcher, file_server, wine):
    """A launcher for a game that is not installed, fetched its description and now waits for
    an installer that never comes: a running launcher that stays until it is closed."""
    plain = b"d8:announce0:4:infod6:lengthi1e4:name4:none12:piece lengthi16384e6:pieces0:ee"
    (file_server.root / "Mirel.ndn").write_bytes(pack(plain))
    proc = launcher.start(f"u*t*Software\\MirelTest\\NoSuchGame*s*{file_server.url('Mirel.ndn')}*0")
    hwnd = launcher.window()
    assert hwnd, "the launcher's window did not appear"
    # Unpacked in place: the plain description is there once the wait has begun.
    ndn = DOWNLOAD_DIR / "Mirel.ndn"
    assert wait_for(lambda: ndn.exists() and ndn.read_bytes() == plain, 60), "the description was not unpacked"
    return proc, hwnd
