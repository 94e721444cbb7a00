"""The main window as a user meets it: the real window under Xvfb, the real pointer and
keyboard through xdotool, the screen read back from the X server."""
import subprocess
import time

import pytest
from PIL import Image, ImageChops

from conftest import ROOT, TITLE, wait_exit

RES = ROOT / "src" / "res"
EXIT_CONFIRM = "미렐온라인 런처를 종료하시겠습니까?"


def xdo(*args):
    return subprocess.run(["xdotool", *map(str, args)], capture_output=True, text=True, timeout=30)


def screen():
    png = subprocess.run(["import", "-window", "root", "png:-"], capture_output=True, timeout=30).stdout
    import io
    return Image.open(io.BytesIO(png)).convert("RGB")


def client_origin(wine, hwnd):
    x, y, w, h = (int(v) for v in wine.info(hwnd)["client"].split(","))
    return x, y


def window_rect(wine, hwnd):
    return tuple(int(v) for v in wine.info(hwnd)["window"].split(","))


def region_matches(img, box, bitmap_name):
    expected = Image.open(RES / bitmap_name).convert("RGB")
    got = img.crop(box)
    return ImageChops.difference(got, expected).getbbox() is None


def wait_for(pred, timeout=5.0):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if pred():
            return True
        time.sleep(0.05)
    return False


def button_box(wine, hwnd):
    ox, oy = client_origin(wine, hwnd)
    return (ox + 223, oy + 277, ox + 223 + 74, oy + 277 + 25)


def test_button_hover_and_pressed_images_follow_the_pointer(wine, waiting_launcher):
    proc, hwnd = waiting_launcher
    box = button_box(wine, hwnd)
    xdo("mousemove", box[0] - 60, box[1] - 60)
    assert wait_for(lambda: region_matches(screen(), box, "btn_normal.bmp"))

    xdo("mousemove", box[0] + 30, box[1] + 12)
    assert wait_for(lambda: region_matches(screen(), box, "btn_hover.bmp")), "no hover image over the button"
    xdo("mousemove", box[0] + 74, box[1] + 12)  # the right edge is outside
    assert wait_for(lambda: region_matches(screen(), box, "btn_normal.bmp")), "hover image stayed after leaving"

    xdo("mousemove", box[0] + 30, box[1] + 12)
    xdo("mousedown", 1)
    assert wait_for(lambda: region_matches(screen(), box, "btn_pressed.bmp")), "no pressed image while pressed"
    # Releasing outside the button is no click.
    xdo("mousemove", box[0] - 60, box[1] - 60)
    xdo("mouseup", 1)
    time.sleep(0.5)
    assert wine.msgboxes("Check", 0) == []
    assert wait_for(lambda: region_matches(screen(), box, "btn_normal.bmp"))


def test_dragging_the_face_moves_the_window_but_the_button_does_not(wine, waiting_launcher):
    proc, hwnd = waiting_launcher
    x0, y0, w, h = window_rect(wine, hwnd)
    ox, oy = client_origin(wine, hwnd)
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
    time.sleep(0.5)
    assert window_rect(wine, hwnd)[:2] == (x1, y1)


def test_exit_button_cancel_keeps_everything_and_ok_ends_with_code_0(wine, waiting_launcher):
    proc, hwnd = waiting_launcher
    box = button_box(wine, hwnd)
    xdo("mousemove", box[0] + 30, box[1] + 12)
    xdo("click", 1)
    assert wine.msgboxes("Check") == [("Check", EXIT_CONFIRM)]
    wine.answer_msgbox(EXIT_CONFIRM, 2, title="Check")  # Cancel
    assert wine.gone(cls="#32770", title="Check")
    time.sleep(0.5)
    assert proc.poll() is None
    # The timers still run: the hover image still follows the pointer.
    xdo("mousemove", box[0] - 40, box[1] - 40)
    assert wait_for(lambda: region_matches(screen(), box, "btn_normal.bmp"))
    xdo("mousemove", box[0] + 30, box[1] + 12)
    assert wait_for(lambda: region_matches(screen(), box, "btn_hover.bmp"))

    xdo("click", 1)
    wine.answer_msgbox(EXIT_CONFIRM, 1, title="Check")  # OK
    assert wait_exit(proc, timeout=15) == 0


def test_exit_command_ends_with_code_0(wine, waiting_launcher):
    proc, hwnd = waiting_launcher
    assert wine.command(hwnd, 32774)
    assert wait_exit(proc, timeout=15) == 0


def x_window(title):
    out = xdo("search", "--onlyvisible", "--name", f"^{title}$").stdout.split()
    return out


def test_hidden_key_opens_one_peer_window_per_press(wine, waiting_launcher):
    proc, hwnd = waiting_launcher
    [xid] = x_window("Mirel Online Launcher")
    xdo("windowfocus", "--sync", xid)
    time.sleep(0.3)
    for other in ("ctrl+F10", "ctrl+shift+alt+F10"):
        xdo("key", "--clearmodifiers", other)
        time.sleep(0.7)
        assert x_window("Dialog") == [], f"{other} opened the peer window"
    xdo("key", "--clearmodifiers", "ctrl+shift+F10")
    assert wait_for(lambda: len(x_window("Dialog")) == 1), "Ctrl+Shift+F10 did not open the peer window"
    peer = wine.find(cls="#32770", title="Dialog")
    headers = [c for c in wine.children(peer) if c["class"] == "SysListView32"]
    assert len(headers) == 1
    # Pressing again while it exists opens no second one.
    xdo("windowfocus", "--sync", xid)
    xdo("key", "--clearmodifiers", "ctrl+shift+F10")
    time.sleep(1)
    assert len(x_window("Dialog")) == 1
    # Close hides it; command 32773 brings it back; the Close button ends it.
    wine.send(peer, 0x0112, 0xF060)  # the close box (WM_SYSCOMMAND, SC_CLOSE): only hidden
    assert wait_for(lambda: x_window("Dialog") == [])
    assert wine.find(cls="#32770", title="Dialog") == peer
    wine.command(hwnd, 32773)
    assert wait_for(lambda: len(x_window("Dialog")) == 1)
    wine.command(peer, 1005)  # Close button
    assert wine.gone(cls="#32770", title="Dialog")
    wine.command(hwnd, 32773)
    time.sleep(0.5)
    assert x_window("Dialog") == []
    assert proc.poll() is None
