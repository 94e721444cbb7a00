"""The scenario harness: the real launcher under Wine, driven like a user would, with stand-ins
for the starter and the patcher. Runs inside scripts/sandbox (private network, own X display,
own Wine prefix)."""
import os
import re
import shutil
import subprocess
import time
from pathlib import Path

import pytest

ROOT = Path(os.environ.get("MIREL_ROOT", Path(__file__).resolve().parents[2]))
BUILD = ROOT / "build"
LAUNCHER = BUILD / "MirelLauncher.exe"
STANDINS = BUILD / "standins"
PREFIX = Path(os.environ["WINEPREFIX"]) if "WINEPREFIX" in os.environ else None
DRIVE_C = PREFIX / "drive_c" if PREFIX else None
DOWNLOAD_DIR = DRIVE_C / "Down" / "Mirel Online" if DRIVE_C else None

TITLE = "MirelLauncher"  # the application's title: the executable's name
NOT_INSTALLED = "게임이 설치되지 않았습니다. \n기존버전을 삭제한 후 다시 설치해주세요."
ALREADY_RUNNING = "이미 실행 중인 프로세스가 있습니다."


def pytest_configure(config):
    if PREFIX is None:
        raise pytest.UsageError("run the scenario tests through scripts/test (they need the sandbox)")


def win_path(p: Path) -> str:
    """The Windows path of a file in the prefix's C: drive."""
    rel = Path(p).relative_to(DRIVE_C)
    return "C:\\" + str(rel).replace("/", "\\")


class Wine:
    def run(self, exe, *args, timeout=60, env=None, check=False):
        proc = subprocess.run(["wine", str(exe), *map(str, args)], capture_output=True, timeout=timeout,
                              env=self._env(env))
        if check and proc.returncode != 0:
            raise AssertionError(f"{exe} {args} -> {proc.returncode}: {proc.stderr.decode(errors='replace')}")
        return proc

    def start(self, exe, *args, env=None):
        return subprocess.Popen(["wine", str(exe), *map(str, args)], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=self._env(env))

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

    def find(self, cls=None, title=None, timeout_ms=0):
        args = ["find"]
        if cls:
            args += ["--class", cls]
        if title is not None:
            args += ["--title", title]
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

    def msgbox(self, title=TITLE, timeout_ms=10000):
        """Caption and text of a message box with the given caption, or None."""
        rc, out = self.helper("msgbox", "--title", title, "--timeout", str(timeout_ms), timeout=timeout_ms / 1000 + 30)
        if rc != 0:
            return None
        caption, _, text = out.partition("\n")
        return caption, text[:-1] if text.endswith("\n") else text

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
        if not self.args_log.exists():
            return []
        starts = []
        for line in self.args_log.read_bytes().decode("cp949").splitlines():
            pid, _, rest = line.partition(" ")
            cwd, _, args = rest.partition("|")
            starts.append((cwd, args))
        return starts

    def wait_patcher_starts(self, count, timeout=15):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if len(self.patcher_starts()) >= count:
                return self.patcher_starts()
            time.sleep(0.05)
        return self.patcher_starts()


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
        # Patchers started by a launcher are not our children: close their windows.
        while True:
            hwnd = self.wine.find(cls="Mirel Patcher")
            if not hwnd:
                break
            self.wine.post(hwnd, 0x0010)
            self.wine.gone(cls="Mirel Patcher", timeout_ms=3000)
        self.wine.gone(cls="Mirel Launcher", timeout_ms=5000)


@pytest.fixture
def launcher(wine):
    l = Launcher(wine)
    yield l
    l.cleanup()


@pytest.fixture(autouse=True)
def clean_download_dir():
    if DOWNLOAD_DIR and DOWNLOAD_DIR.exists():
        shutil.rmtree(DOWNLOAD_DIR)
    yield


def wait_exit(proc, timeout=20):
    try:
        return proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(timeout=10)
        raise AssertionError(f"process did not end within {timeout} s")
