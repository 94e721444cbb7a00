"""The main window as a user meets it: the real window under Xvfb, the real pointer and
keyboard through xdotool, the screen read back from the X server."""
import subprocess
import time

from PIL import Image, ImageChops

from harness import ROOT, wait_for
from harness.launcher import ID_MENU_EXIT, ID_MENU_OPEN, IDC_BTN_CLOSE, IDCANCEL, IDOK, WM_COMMAND, screenshot, wait_exit

RES = ROOT / "src" / "res"
EXIT_CONFIRM = "미렐온라인 런처를 종료하시겠습니까?"


def xdo(*args):
    return subprocess.run(["xdotool", *map(str, args)], capture_output=True, text=True, timeout=30)


def window_rect(wine, hwnd):
    return tuple(int(v) for v in wine.info(hwnd)["window"].split(","))


def region_matches(img, box, bitmap_name):
    expected = Image.open(RES / bitmap_name).convert("RGB")
    got = img.crop(box)
    return ImageChops.difference(got, expected).getbbox() is None


def button_box(wine, hwnd):
    ox, oy = wine.client_origin(hwnd)
    return (ox + 223, oy + 277, ox + 223 + 74, oy + 277 + 25)


_barrier_presses = 0


def input_barrier(box):
    """Presses the button and waits for its pressed image, then lets go outside it (no click):
    mouse and keyboard input reach the window in order, so everything sent before has been
    handled by then. Each press lands on another spot than the one before, as two presses on
    one spot in quick succession make a double click, which does not press the button."""
    global _barrier_presses
    _barrier_presses += 1
    xdo("mousemove", box[0] + (10 if _barrier_presses % 2 else 55), box[1] + 8)
    xdo("mousedown", 1)
    pressed = wait_for(lambda: region_matches(screenshot(), box, "btn_pressed.bmp"))
    xdo("mousemove", box[0] - 60, box[1] - 60)
    xdo("mouseup", 1)
    assert pressed, "the window does not take input"


def test_button_hover_and_pressed_images_follow_the_pointer(wine, waiting_launcher):
    proc, hwnd = waiting_launcher
    box = button_box(wine, hwnd)
    xdo("mousemove", box[0] - 60, box[1] - 60)
    assert wait_for(lambda: region_matches(screenshot(), box, "btn_normal.bmp"))

    xdo("mousemove", box[0] + 30, box[1] + 12)
    assert wait_for(lambda: region_matches(screenshot(), box, "btn_hover.bmp")), "no hover image over the button"
    xdo("mousemove", box[0] + 74, box[1] + 12)  # the right edge is outside
    assert wait_for(lambda: region_matches(screenshot(), box, "btn_normal.bmp")), "hover image stayed after leaving"

    xdo("mousemove", box[0] + 30, box[1] + 12)
    xdo("mousedown", 1)
    assert wait_for(lambda: region_matches(screenshot(), box, "btn_pressed.bmp")), "no pressed image while pressed"
    # Releasing outside the button is no click: after the next press has been taken, no
    # confirmation has come.
    xdo("mousemove", box[0] - 60, box[1] - 60)
    xdo("mouseup", 1)
    input_barrier(box)
    assert wine.msgboxes("Check", 0) == []
    assert wait_for(lambda: region_matches(screenshot(), box, "btn_normal.bmp"))


def test_dragging_the_face_moves_the_window_but_the_button_does_not(wine, waiting_launcher):
    proc, hwnd = waiting_launcher
    x0, y0, w, h = window_rect(wine, hwnd)
    ox, oy = wine.client_origin(hwnd)
    xdo("mousemove", ox + 120, oy + 40)
    xdo("mousedown", 1)
    for step in range(1, 11):
        xdo("mousemove", ox + 120 + 6 * step, oy + 40 + 4 * step)
        time.sleep(0.03)
    xdo("mouseup", 1)
    assert wait_for(lambda: window_rect(wine, hwnd)[:2] == (x0 + 60, y0 + 40)), window_rect(wine, hwnd)

    x1, y1, _, _ = window_rect(wine, hwnd)
    box = button_box(wine, hwnd)
    xdo("mousemove", box[0] + 30, box[1] + 12)
    xdo("mousedown", 1)
    for step in range(1, 11):
        xdo("mousemove", box[0] + 30 + 6 * step, box[1] + 12 + 4 * step)
        time.sleep(0.03)
    xdo("mouseup", 1)
    input_barrier(box)
    assert window_rect(wine, hwnd)[:2] == (x1, y1)


def test_exit_button_cancel_keeps_everything_and_ok_ends_with_code_0(wine, waiting_launcher):
    proc, hwnd = waiting_launcher
    box = button_box(wine, hwnd)
    xdo("mousemove", box[0] + 30, box[1] + 12)
    xdo("click", 1)
    assert wine.msgboxes("Check") == [("Check", EXIT_CONFIRM)]
    wine.answer_msgbox(EXIT_CONFIRM, IDCANCEL, title="Check")
    assert wine.gone(cls="#32770", title="Check")
    # The timers still run: the hover image still follows the pointer.
    xdo("mousemove", box[0] - 40, box[1] - 40)
    assert wait_for(lambda: region_matches(screenshot(), box, "btn_normal.bmp"))
    xdo("mousemove", box[0] + 30, box[1] + 12)
    assert wait_for(lambda: region_matches(screenshot(), box, "btn_hover.bmp"))
    assert proc.poll() is None

    xdo("click", 1)
    wine.answer_msgbox(EXIT_CONFIRM, IDOK, title="Check")
    assert wait_exit(proc, timeout=15) == 0


def test_exit_command_ends_with_code_0(wine, waiting_launcher):
    proc, hwnd = waiting_launcher
    assert wine.command(hwnd, ID_MENU_EXIT)
    assert wait_exit(proc, timeout=15) == 0


def x_window(title):
    out = xdo("search", "--onlyvisible", "--name", f"^{title}$").stdout.split()
    return out


def test_hidden_key_opens_one_peer_window_per_press(wine, waiting_launcher):
    proc, hwnd = waiting_launcher
    box = button_box(wine, hwnd)
    [xid] = x_window("Mirel Online Launcher")
    xdo("windowfocus", "--sync", xid)
    for other in ("ctrl+F10", "ctrl+shift+alt+F10"):
        xdo("key", "--clearmodifiers", other)
        input_barrier(box)
        assert not wine.find(cls="#32770", title="Dialog"), f"{other} opened the peer window"
    xdo("key", "--clearmodifiers", "ctrl+shift+F10")
    assert wait_for(lambda: len(x_window("Dialog")) == 1), "Ctrl+Shift+F10 did not open the peer window"
    peer = wine.find(cls="#32770", title="Dialog")
    headers = [c for c in wine.children(peer) if c["class"] == "SysListView32"]
    assert len(headers) == 1
    # Pressing again while it exists opens no second one (the peer window is moved off the
    # button first, so that the press after the key reaches the launcher).
    # (By Wine: an X window moved behind its back is put back where Wine knows it, over the
    # button, at the window's next show.)
    assert wine.move(peer, 0, 0)
    assert window_rect(wine, peer)[:2] == (0, 0), window_rect(wine, peer)
    assert wait_for(lambda: region_matches(screenshot(), box, "btn_normal.bmp")), "the peer window covers the button"
    xdo("windowfocus", "--sync", xid)
    xdo("key", "--clearmodifiers", "ctrl+shift+F10")
    input_barrier(box)
    assert len(x_window("Dialog")) == 1
    # Close hides it; the open command brings it back; the Close button ends it.
    wine.send(peer, 0x0112, 0xF060)  # the close box (WM_SYSCOMMAND, SC_CLOSE): only hidden
    assert wait_for(lambda: x_window("Dialog") == [])
    assert wine.find(cls="#32770", title="Dialog") == peer
    wine.command(hwnd, ID_MENU_OPEN)
    assert wait_for(lambda: len(x_window("Dialog")) == 1)
    wine.command(peer, IDC_BTN_CLOSE)
    assert wine.gone(cls="#32770", title="Dialog")
    # Handled before the send returns: nothing is left to show.
    wine.send(hwnd, WM_COMMAND, ID_MENU_OPEN)
    assert not wine.find(cls="#32770", title="Dialog")
    assert proc.poll() is None
