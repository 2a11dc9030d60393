"""Start-up of the real program: the stored address is opened in a window as wide as the screen
and 1000 twips less tall, filled by the view; without the file the dialog comes first."""

from harness import extents, wait_for

MAIN = "Tovel (Lokal)"
DIALOG = "Set Server"


def test_opens_exactly_the_stored_address_in_a_screen_sized_window(launcher, server, display):
    path = "/app/start?user=a%20b&x=1"
    launcher.address_file.write_bytes(server.url(path).encode() + b"\r\n")
    launcher.start()
    window = launcher.wait_window(MAIN)
    wait_for(lambda: path in server.seen(), what="the server to receive the stored path")
    assert server.seen() == [path]

    # 1000 twips at the screen's 96 pixels to the inch.
    expected_height = display.height - round(1000 * 96 / 1440)
    wait_for(lambda: launcher.outer_geometry(window)[2:] == (display.width, expected_height),
             what=f"the outer size {display.width}x{expected_height}, "
                  f"not {launcher.outer_geometry(window)[2:]}")
    x, y, width, height = launcher.outer_geometry(window)
    assert x == 0 and y == (display.height - expected_height) // 2, "centred on the screen"

    # The page fills the client area, and follows it when the window is resized.
    client = launcher.client_geometry(window)
    wait_for(lambda: launcher.document() is not None and extents(launcher.document()) == client,
             what=f"the page to fill the client area {client}")
    assert launcher.windows(DIALOG, visible_only=False) == []

    display.run("xdotool", "windowsize", str(window), "700", "500")
    wait_for(lambda: launcher.client_geometry(window)[2:] == (700, 500), what="the resize")
    client = launcher.client_geometry(window)
    wait_for(lambda: extents(launcher.document()) == client,
             what=f"the page to follow the resize to {client}, not {extents(launcher.document())}")


def test_first_run_shows_the_dialog_before_the_main_window(launcher):
    launcher.start()
    launcher.wait_window(DIALOG)
    assert launcher.windows(MAIN) == [], "the main window must not be shown before the dialog"
    assert not launcher.address_file.exists()


def test_an_unreadable_file_is_reported_and_ends_the_program_with_status_1(launcher):
    # A file the system lists as regular whose every read fails, even for root.
    launcher.address_file.symlink_to("/proc/self/mem")
    launcher.start()
    message = launcher.wait_window("rozidarude")
    expected = f"cannot read {launcher.address_file}: Input/output error"
    wait_for(lambda: expected in launcher.log.read_text(), what="the report on stderr")
    assert launcher.windows(MAIN) == [] and launcher.windows(DIALOG) == []
    launcher.display.run("xdotool", "windowactivate", "--sync", str(message))
    launcher.display.run("xdotool", "key", "Return")
    wait_for(launcher.exited, what="the program to end after the report")
    assert launcher.process.returncode == 1
