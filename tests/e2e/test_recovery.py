"""The "Set Server" dialog on the real program: the first run, an unreachable server, Cancel,
and a file that cannot be written."""

import os
import stat
import time

from harness import closed_port, wait_for

MAIN = "Tovel (Lokal)"
DIALOG = "Set Server"
DEFAULT_ADDRESS = "http://tovel"


def replace_text_by_keyboard(launcher, window, text):
    display = launcher.display
    display.run("xdotool", "windowactivate", "--sync", str(window))
    wait_for(lambda: launcher.control(DIALOG, "Text1").getState().contains(_focused()),
             what="the focus in the text box")
    display.run("xdotool", "key", "--clearmodifiers", "ctrl+a")
    display.run("xdotool", "type", "--delay", "10", text)
    wait_for(lambda: launcher.text_of(DIALOG, "Text1") == text, what=f"the text box to hold {text!r}")


def press(launcher, button):
    action = launcher.control(DIALOG, button).queryAction()
    assert action.getName(0) == "click"
    action.doAction(0)


def blank_page(launcher):
    document = launcher.document()
    return document is not None and document.childCount == 0 and document.name == ""


def _focused():
    import pyatspi
    return pyatspi.STATE_FOCUSED


def test_first_run_enter_stores_exactly_the_typed_address_and_opens_it(launcher, server):
    launcher.start()
    dialog = launcher.wait_window(DIALOG)
    wait_for(lambda: launcher.control(DIALOG, "Text1") is not None, what="the text box")
    assert launcher.text_of(DIALOG, "Text1") == DEFAULT_ADDRESS

    address = server.url("/tovel/login")
    replace_text_by_keyboard(launcher, dialog, address)
    launcher.display.run("xdotool", "key", "Return")

    wait_for(lambda: "/tovel/login" in server.seen(), what="the server to be asked for the page")
    assert launcher.address_file.read_bytes() == address.encode() + b"\r\n"
    wait_for(lambda: not launcher.windows(DIALOG, visible_only=False), what="the dialog to close")
    launcher.wait_window(MAIN)
    assert not launcher.exited()


def test_unreachable_server_brings_up_the_dialog_and_ok_recovers(launcher, server):
    stored = f"http://127.0.0.1:{closed_port()}/app"
    launcher.address_file.write_bytes(stored.encode() + b"\r\n")
    launcher.start()
    launcher.wait_window(MAIN)
    dialog = launcher.wait_window(DIALOG)
    wait_for(lambda: launcher.control(DIALOG, "Text1") is not None, what="the text box")
    assert launcher.text_of(DIALOG, "Text1") == stored
    wait_for(lambda: blank_page(launcher), what="a blank page in the main window")

    address = server.url("/recovered")
    replace_text_by_keyboard(launcher, dialog, address)
    press(launcher, "OKButton")

    wait_for(lambda: "/recovered" in server.seen(), what="the corrected address to load")
    wait_for(lambda: not launcher.windows(DIALOG, visible_only=False), what="the dialog to close")
    assert launcher.address_file.read_bytes() == address.encode() + b"\r\n"
    wait_for(lambda: launcher.document() is not None and launcher.document().name == "Tovel test page",
             what="the page in the main window")


def test_cancel_ends_the_program_and_leaves_the_file_alone(launcher):
    stored = f"http://127.0.0.1:{closed_port()}/"
    launcher.address_file.write_bytes(stored.encode() + b"\r\n")
    before = os.stat(launcher.address_file)
    launcher.start()
    dialog = launcher.wait_window(DIALOG)
    replace_text_by_keyboard(launcher, dialog, "http://typed.but.cancelled")
    press(launcher, "CancelButton")
    wait_for(launcher.exited, what="the program to end")
    assert launcher.process.returncode == 0
    after = os.stat(launcher.address_file)
    assert launcher.address_file.read_bytes() == stored.encode() + b"\r\n"
    assert (after.st_ino, after.st_mtime_ns) == (before.st_ino, before.st_mtime_ns)


def test_a_failed_write_keeps_the_program_the_dialog_and_the_typed_text(launcher):
    stored = f"http://127.0.0.1:{closed_port()}/"
    launcher.address_file.write_bytes(stored.encode() + b"\r\n")
    os.chmod(launcher.address_file, stat.S_IRUSR | stat.S_IRGRP | stat.S_IROTH)
    launcher.start()
    dialog = launcher.wait_window(DIALOG)
    replace_text_by_keyboard(launcher, dialog, "http://127.0.0.1:9/new")
    launcher.display.run("xdotool", "key", "Return")

    message = wait_for(lambda: _message_box(launcher),
                       what="the message about the failed write")
    text = " ".join(_texts(message))
    assert str(launcher.address_file) in text and "Permission denied" in text, text
    time.sleep(0.5)
    assert not launcher.exited()
    assert launcher.windows(DIALOG), "the dialog stays open"
    assert launcher.text_of(DIALOG, "Text1") == "http://127.0.0.1:9/new"
    assert launcher.address_file.read_bytes() == stored.encode() + b"\r\n"


def _message_box(launcher):
    app = launcher.application()
    for index in range(app.childCount):
        child = app.getChildAtIndex(index)
        if child is not None and child.getRoleName() in ("alert", "dialog") and child.name != DIALOG:
            return child
    return None


def _texts(node, depth=0):
    if node is None or depth > 8:
        return []
    found = [node.name] if node.name else []
    for index in range(node.childCount):
        found += _texts(node.getChildAtIndex(index), depth + 1)
    return found


def test_focus_returns_to_the_text_box_when_the_user_comes_back_from_the_main_window(launcher):
    stored = f"http://127.0.0.1:{closed_port()}/"
    launcher.address_file.write_bytes(stored.encode() + b"\r\n")
    launcher.start()
    main = launcher.wait_window(MAIN)
    dialog = launcher.wait_window(DIALOG)
    run = launcher.display.run
    run("xdotool", "windowactivate", "--sync", str(dialog))
    wait_for(lambda: launcher.control(DIALOG, "Text1").getState().contains(_focused()), what="focus in Text1")
    run("xdotool", "key", "Tab")
    wait_for(lambda: launcher.control(DIALOG, "CancelButton").getState().contains(_focused()),
             what="focus on Cancel")

    run("xdotool", "windowactivate", "--sync", str(main))
    run("xdotool", "windowactivate", "--sync", str(dialog))
    wait_for(lambda: launcher.control(DIALOG, "Text1").getState().contains(_focused()),
             what="the focus back in Text1")


def test_an_untrusted_certificate_is_a_failed_navigation(launcher, tmp_path):
    import http.server
    import ssl
    import subprocess
    import threading

    key, cert = tmp_path / "key.pem", tmp_path / "cert.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                    "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                    "-keyout", str(key), "-out", str(cert)], check=True, capture_output=True)
    seen = []

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            seen.append(self.path)
            self.send_response(200)
            self.end_headers()

        def log_message(self, *args):
            pass

    httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    httpd.socket = context.wrap_socket(httpd.socket, server_side=True)
    threading.Thread(target=httpd.serve_forever, daemon=True).start()
    try:
        address = f"https://127.0.0.1:{httpd.server_address[1]}/secret"
        launcher.address_file.write_bytes(address.encode() + b"\r\n")
        launcher.start()
        launcher.wait_window(DIALOG)
        wait_for(lambda: launcher.control(DIALOG, "Text1") is not None, what="the text box")
        assert launcher.text_of(DIALOG, "Text1") == address
        assert seen == [], "no request may pass over a connection the system does not trust"
    finally:
        httpd.shutdown()
        httpd.server_close()
