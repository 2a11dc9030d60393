"""How the two windows look to the window manager, to a screen reader and on the keyboard."""

import re

import pyatspi

from harness import closed_port, extents, wait_for

MAIN = "Tovel (Lokal)"
DIALOG = "Set Server"
PIXELS_PER_TWIP = 96 / 1440


def px(twips):
    return round(twips * PIXELS_PER_TWIP)


def xprop(launcher, window, *names):
    return launcher.display.run("xprop", "-id", str(window), *names)


def icon_sizes(launcher, window):
    text = xprop(launcher, window, "_NET_WM_ICON")
    return {(int(w), int(h)) for w, h in re.findall(r"Icon \((\d+) x (\d+)\)", text)}


def motif_functions(launcher, window):
    """The functions of _MOTIF_WM_HINTS when the window restricts them, else None."""
    text = xprop(launcher, window, "_MOTIF_WM_HINTS")
    if "=" not in text:
        return None
    values = text.split("=")[1].split(",")
    flags, functions = int(values[0], 16), int(values[1], 16)
    return functions if flags & 1 else None


def focused(launcher, control):
    return launcher.control(DIALOG, control).getState().contains(pyatspi.STATE_FOCUSED)


def test_main_window_is_a_sizable_window_with_a_taskbar_button_and_the_application_icon(launcher, server):
    launcher.address_file.write_bytes(server.url("/").encode() + b"\r\n")
    launcher.start()
    window = launcher.wait_window(MAIN)
    assert "_NET_WM_WINDOW_TYPE_NORMAL" in xprop(launcher, window, "_NET_WM_WINDOW_TYPE")
    assert "SKIP_TASKBAR" not in xprop(launcher, window, "_NET_WM_STATE")
    actions = xprop(launcher, window, "_NET_WM_ALLOWED_ACTIONS")
    for action in ("MINIMIZE", "MAXIMIZE_HORZ", "MAXIMIZE_VERT", "RESIZE", "CLOSE"):
        assert f"_NET_WM_ACTION_{action}" in actions, action
    assert motif_functions(launcher, window) is None
    assert icon_sizes(launcher, window) == {(16, 16), (32, 32)}


def test_dialog_is_fixed_centred_without_taskbar_button_and_laid_out_as_designed(launcher, display):
    launcher.start()
    window = launcher.wait_window(DIALOG)
    assert "_NET_WM_WINDOW_TYPE_DIALOG" in xprop(launcher, window, "_NET_WM_WINDOW_TYPE")
    assert "_NET_WM_STATE_SKIP_TASKBAR" in xprop(launcher, window, "_NET_WM_STATE")
    # Only move and close: no resizing, minimizing or maximizing.
    assert motif_functions(launcher, window) == 0x04 | 0x20
    assert "_NET_WM_ACTION_RESIZE" not in xprop(launcher, window, "_NET_WM_ALLOWED_ACTIONS")
    assert icon_sizes(launcher, window) == {(16, 16), (32, 32)}

    client = (px(6030), px(1455))
    hints = xprop(launcher, window, "WM_NORMAL_HINTS")
    assert f"minimum size: {client[0]} by {client[1]}" in hints
    assert f"maximum size: {client[0]} by {client[1]}" in hints
    x, y, width, height = launcher.client_geometry(window)
    assert (width, height) == client

    # Centred on the screen, frame included.
    def centred():
        ox, oy, ow, oh = launcher.outer_geometry(window)
        return abs(ox - (display.width - ow) // 2) <= 1 and abs(oy - (display.height - oh) // 2) <= 1
    wait_for(centred, what=f"the dialog centred, not at {launcher.outer_geometry(window)}")
    x, y, _, _ = launcher.client_geometry(window)

    # Controls where the design puts them, relative to the client area.
    design = {"Text1": (360, 240, 3735, 375), "OKButton": (4440, 240, 1215, 375),
              "CancelButton": (4440, 720, 1215, 375)}
    for name, (left, top, w, h) in design.items():
        cx, cy, cw, ch = extents(launcher.control(DIALOG, name))
        assert (cx - x, cy - y, cw, ch) == (px(left), px(top), px(w), px(h)), name
    assert launcher.control(DIALOG, "OKButton").name == "OK"
    assert launcher.control(DIALOG, "CancelButton").name == "Cancel"

    # The user cannot resize it.
    display.run("xdotool", "windowsize", str(window), "800", "400")
    display.run("xdotool", "sync", check=False)
    assert launcher.client_geometry(window)[2:] == client


def test_tab_order_escape_and_a_focused_button_on_the_keyboard(launcher, server):
    stored = f"http://127.0.0.1:{closed_port()}/"
    launcher.address_file.write_bytes(stored.encode() + b"\r\n")
    launcher.start()
    window = launcher.wait_window(DIALOG)
    run = launcher.display.run
    run("xdotool", "windowactivate", "--sync", str(window))
    wait_for(lambda: focused(launcher, "Text1"), what="the focus in the text box")

    for expected in ("CancelButton", "OKButton", "Text1"):
        run("xdotool", "key", "Tab")
        wait_for(lambda: focused(launcher, expected), what=f"Tab to move the focus to {expected}")

    run("xdotool", "key", "Escape")
    run("xdotool", "sync", check=False)
    assert not launcher.exited() and launcher.windows(DIALOG), "Escape does nothing"

    # Space on the focused OK button commits what the text box holds.
    run("xdotool", "key", "ctrl+a")
    run("xdotool", "type", server.url("/by-space"))
    wait_for(lambda: launcher.text_of(DIALOG, "Text1") == server.url("/by-space"), what="the typed text")
    run("xdotool", "key", "Tab", "Tab")
    wait_for(lambda: focused(launcher, "OKButton"), what="the focus on OK")
    run("xdotool", "key", "space")
    wait_for(lambda: "/by-space" in server.seen(), what="the commit to open the page")
    assert launcher.address_file.read_bytes() == server.url("/by-space").encode() + b"\r\n"
