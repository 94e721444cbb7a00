"""Wine: the prefix, its server, Windows paths, running programs and the window helper."""
import os
import shutil
import subprocess
import tempfile
from pathlib import Path

from harness import ROOT, STANDINS, TITLE, wait_for

WINE_ENV = ROOT / "scripts" / "wine-env"


def quiet(args, **kw):
    return subprocess.run(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kw)


def new_prefix(dest, env=None):
    """A Wine prefix at `dest`, made as scripts/wine-env makes the sandbox's (from the cached
    template, Korean locale, fonts), with its own wineserver running."""
    quiet(["bash", "-c", 'source "$0" "$1"', str(WINE_ENV), str(dest)], check=True, env=env)
    return Path(dest)


def end_server():
    """Ends the current prefix's wineserver with every program in it, and waits for its end."""
    quiet(["wineserver", "-k"])
    quiet(["wineserver", "-w"])


def restart_server():
    """A fresh persistent wineserver for the current prefix, and Wine's background services
    started with nothing to inherit."""
    end_server()
    quiet(["wineserver", "-p"])
    start_services()


def start_services():
    """Wine's background services, started with no standard streams they could inherit."""
    quiet(["wine", "cmd", "/c", "exit"])


def own_desktop(parent):
    """An X display (Xvfb) and a Wine prefix of their own in a new folder under `parent`, made
    the current ones (DISPLAY, WINEPREFIX). Returns a function that ends both."""
    work = Path(tempfile.mkdtemp(prefix="desktop-", dir=parent))
    for n in range(141, 240):
        if display_taken(n):
            continue
        display = f":{n}"
        xvfb = subprocess.Popen(["Xvfb", display, "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if wait_for(lambda: xvfb.poll() is not None or subprocess.run(["xdpyinfo", "-display", display],
                                                                         capture_output=True).returncode == 0, 10) \
                and xvfb.poll() is None:
            break
        xvfb.kill()  # another process took this display first
    else:
        raise RuntimeError("no free X display")
    prefix = new_prefix(work / "wineprefix", env=dict(os.environ, DISPLAY=display))
    os.environ.update(WINEPREFIX=str(prefix), DISPLAY=display)

    def end():
        quiet(["wineserver", "-k"])
        xvfb.terminate()  # not killed: it removes its lock file and socket as it ends
        try:
            xvfb.wait(timeout=10)
        except subprocess.TimeoutExpired:
            xvfb.kill()
        shutil.rmtree(work, ignore_errors=True)
    return end


def display_taken(n):
    """Whether an X server runs as display :n. A lock file left by a server that is gone does
    not count: a new server takes it over."""
    try:
        pid = int(Path(f"/tmp/.X{n}-lock").read_text().strip())
    except (OSError, ValueError):
        return Path(f"/tmp/.X11-unix/X{n}").exists()
    return Path(f"/proc/{pid}").exists()


def drive_c(prefix=None):
    return Path(prefix or os.environ["WINEPREFIX"]) / "drive_c"


def download_dir(prefix=None):
    """The launcher's download folder, C:\\Down\\Mirel Online."""
    return drive_c(prefix) / "Down" / "Mirel Online"


def win_path(p, prefix=None) -> str:
    """The Windows path of a file: in the prefix's C: drive, else through Wine's Z: drive."""
    p = Path(p)
    c = drive_c(prefix) if prefix or "WINEPREFIX" in os.environ else None
    if c and p.is_relative_to(c):
        return "C:\\" + str(p.relative_to(c)).replace("/", "\\")
    return "Z:" + str(p.resolve()).replace("/", "\\")


TICK = os.sysconf("SC_CLK_TCK")


def proc_cpu(path):
    """utime + stime in seconds from a /proc stat file (or of a pid), None when it is gone."""
    if isinstance(path, int):
        path = f"/proc/{path}/stat"
    try:
        with open(path) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / TICK
    except (OSError, IndexError, ValueError):
        return None


def server_pids(prefix=None):
    """The wineserver processes of a prefix (other prefixes may have their own)."""
    mark = ("WINEPREFIX=" + str(prefix or os.environ["WINEPREFIX"])).encode()
    pids = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            if Path(f"/proc/{entry}/comm").read_text().startswith("wineserver") and \
                    mark in Path(f"/proc/{entry}/environ").read_bytes().split(b"\0"):
                pids.append(int(entry))
        except OSError:
            pass
    return pids


class Wine:
    """Programs in one prefix (the current one unless given) and the window helper."""

    def __init__(self, prefix=None):
        self.prefix = Path(prefix or os.environ["WINEPREFIX"])
        self.drive_c = self.prefix / "drive_c"
        self.download_dir = self.drive_c / "Down" / "Mirel Online"

    def win_path(self, p):
        return win_path(p, self.prefix)

    def env(self, extra=None):
        env = dict(os.environ, WINEPREFIX=str(self.prefix))
        if extra:
            env.update(extra)
        return env

    def run(self, exe, *args, timeout=60, env=None, check=False):
        # Output goes through files, not pipes: Wine's background processes may inherit a pipe
        # and keep it open long after the program itself has ended.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            proc = subprocess.Popen(["wine", str(exe), *map(str, args)], stdout=out, stderr=err,
                                    stdin=subprocess.DEVNULL, env=self.env(env))
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

    def start(self, exe, *args, env=None, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, wrap=()):
        """`wrap`: a command the start goes through (e.g. `ip netns exec NAME`)."""
        return subprocess.Popen([*wrap, "wine", str(exe), *map(str, args)], stdout=stdout, stderr=stderr,
                                stdin=subprocess.DEVNULL, env=self.env(env))

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

    def visible(self, hwnd):
        return self.info(hwnd).get("visible") == "1"

    def client_origin(self, hwnd):
        """The screen position of a window's client area."""
        x, y, _, _ = (int(v) for v in self.info(hwnd)["client"].split(","))
        return x, y

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

    def move(self, hwnd, x, y):
        """Moves a window where Wine, too, knows it (a move made on the X window alone is not
        taken by Wine for a window no window manager manages)."""
        return self.helper("move", hwnd, x, y)[0] == 0

    def command(self, hwnd, cmd_id):
        return self.helper("command", hwnd, cmd_id)[0] == 0

    def host_pids(self, prefix_of_name):
        """Pids of the prefix's Windows programs whose executable's name starts with
        `prefix_of_name` (any case), read from /proc: no Wine program is started for it."""
        mark = ("WINEPREFIX=" + str(self.prefix)).encode()
        want = prefix_of_name.lower()
        pids = []
        for entry in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{entry}/cmdline", "rb") as f:
                    exe = f.read().split(b"\0", 1)[0].decode(errors="replace")
                if not exe.replace("\\", "/").rsplit("/", 1)[-1].lower().startswith(want):
                    continue
                with open(f"/proc/{entry}/environ", "rb") as f:
                    if mark in f.read().split(b"\0"):
                        pids.append(int(entry))
            except OSError:
                pass
        return pids

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

    def close_all(self, cls, timeout_ms=5000):
        """Asks every window of a class to close (WM_CLOSE), one at a time, until none is left."""
        while True:
            hwnd = self.find(cls=cls)
            if not hwnd:
                return
            self.post(hwnd, 0x0010)
            self.gone(cls=cls, timeout_ms=timeout_ms)

    # -- registry (HKEY_LOCAL_MACHINE)
    def reg_add(self, key, name, data, kind="REG_SZ"):
        self.run("reg", "add", f"HKLM\\{key}", "/v", name, "/t", kind, "/d", data, "/f", check=True)

    def reg_delete(self, key):
        self.run("reg", "delete", f"HKLM\\{key}", "/f")
