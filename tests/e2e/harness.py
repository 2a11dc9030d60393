"""What the end-to-end tests share: an X display with a window manager, a loopback web server,
the program started from a program folder of its own, and ways to read its windows as a user
or a screen reader would (X properties, xdotool, the accessibility tree)."""

import http.server
import os
import shutil
import signal
import socket
import subprocess
import threading
import time

import pyatspi

TWIPS_PER_INCH = 1440


def wait_for(predicate, timeout=15.0, interval=0.05, what="condition"):
    """Polls until the predicate holds. The accessibility tree changes under a reader while
    windows come and go, so an error from one poll only means "not yet"."""
    deadline = time.monotonic() + timeout
    last_error = None
    while True:
        try:
            value = predicate()
        except Exception as error:  # noqa: BLE001 - reported if it never clears
            value, last_error = None, error
        if value:
            return value
        if time.monotonic() > deadline:
            detail = f" (last error: {last_error})" if last_error else ""
            raise AssertionError(f"timed out after {timeout} s waiting for {what}{detail}")
        time.sleep(interval)


class Display:
    """Xvfb on a display number it picks itself, with openbox managing the windows."""

    def __init__(self, width=1280, height=1024):
        self.width, self.height = width, height
        read_end, write_end = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", f"{width}x{height}x24",
             "-nolisten", "tcp", "-noreset"],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as numbers:
            number = numbers.readline().strip()
        if not number:
            raise RuntimeError("Xvfb did not start")
        self.name = f":{number}"
        self.env = dict(os.environ, DISPLAY=self.name)
        self.env.pop("WAYLAND_DISPLAY", None)
        self.wm = subprocess.Popen(["openbox", "--sm-disable"], env=self.env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(lambda: self.run("xprop", "-root", "_NET_SUPPORTING_WM_CHECK",
                                  check=False).find("window id") >= 0, what="openbox")

    def run(self, *argv, check=True):
        result = subprocess.run(argv, env=self.env, capture_output=True, text=True)
        if check and result.returncode != 0:
            raise RuntimeError(f"{argv} failed: {result.stderr}")
        return result.stdout

    def stop(self):
        for process in (self.wm, self.xvfb):
            process.terminate()
            try:
                process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()

    def screenshot(self, path):
        self.run("import", "-window", "root", str(path))


class WebServer:
    """A loopback HTTP server on a port picked at run time. Every request's path and headers are
    recorded. A route gives a path its own answer (status, headers, body); pages gives a path a
    title, documents a whole HTML document; other paths get a small page. It can stop listening
    and listen again on the same port."""

    def __init__(self, pages=None, documents=None):
        self.requests = []  # (path, headers) in arrival order
        self.routes = {}
        self.pages = dict(pages or {})
        self.documents = dict(documents or {})
        self.lock = threading.Lock()
        server = self

        # HTTP/1.0: one request a connection, so a stopped server answers nothing more.
        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                with server.lock:
                    server.requests.append((self.path, dict(self.headers.items())))
                path = self.path.split("?")[0]
                route = server.routes.get(path)
                if route is not None:
                    status, headers, body = route(self)
                elif path in server.documents:
                    status, headers, body = 200, {"Cache-Control": "no-store"}, server.documents[path].encode()
                else:
                    title = server.pages.get(path, "Tovel test page")
                    status, headers, body = 200, {"Cache-Control": "no-store"}, page(title, f"<p>{self.path}</p>")
                if "Content-Length" in headers:
                    # A route that promises more than it sends: only under HTTP/1.1 does the
                    # early close make the body short rather than complete.
                    self.protocol_version = "HTTP/1.1"
                    self.close_connection = True
                self.send_response(status)
                headers = {"Content-Type": "text/html; charset=utf-8", **headers}
                for name, value in headers.items():
                    self.send_header(name, value)
                if "Content-Length" not in headers:
                    self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.handler = Handler
        self.port = 0
        self.start()

    def start(self):
        """Listens, on the port of the first start when there was one."""
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", self.port), self.handler)
        self.httpd.daemon_threads = True
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def url(self, path="/"):
        return f"http://127.0.0.1:{self.port}{path}"

    def seen(self):
        """The paths requested so far."""
        with self.lock:
            return [path for path, _ in self.requests]

    def headers_of(self, path):
        """The headers of every request for this path, oldest first."""
        with self.lock:
            return [headers for seen, headers in self.requests if seen == path]

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()


def page(title, body=""):
    return (f"<!DOCTYPE html><html><head><meta charset='utf-8'><title>{title}</title></head>"
            f"<body><h1>{title}</h1>{body}</body></html>").encode()


def closed_port():
    """A loopback port that nothing listens on: connections to it are refused."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Launcher:
    """The real program, started from a temporary program folder of its own."""

    def __init__(self, binary, folder, display):
        self.folder = folder
        self.display = display
        # Website data (cookies, cache) of this test alone, kept across restarts of the program.
        self.env = dict(display.env, XDG_DATA_HOME=str(folder / "data"), XDG_CACHE_HOME=str(folder / "cache"),
                        XDG_CONFIG_HOME=str(folder / "config"))
        self.executable = folder / "rozidarude"
        shutil.copy2(binary, self.executable)
        self.process = None
        self.log = folder / "stderr.log"

    @property
    def address_file(self):
        return self.folder / "srvset.con"

    def start(self, wrapper=()):
        """wrapper: a command that ends by executing the program in its own process."""
        self.stderr = open(self.log, "wb")
        self.process = subprocess.Popen([*wrapper, str(self.executable)], env=self.env, cwd="/",
                                        stdout=subprocess.DEVNULL, stderr=self.stderr)
        return self

    def tree(self):
        """The program's process and all its descendants (the engine's processes), by pid."""
        return process_tree(self.process.pid)

    def exited(self):
        return self.process.poll() is not None

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self.process:
            self.stderr.close()

    # --- X windows ---------------------------------------------------------------------------

    def windows(self, title, visible_only=True):
        """The ids of this program's windows with exactly this title."""
        argv = ["xdotool", "search", "--all"]
        if visible_only:
            argv.append("--onlyvisible")
        argv += ["--pid", str(self.process.pid), "--name", "^" + _regex_escape(title) + "$"]
        return [int(line) for line in self.display.run(*argv, check=False).split()]

    def wait_window(self, title, timeout=20):
        return wait_for(lambda: self.windows(title), timeout=timeout, what=f"window {title!r}")[0]

    def frame_extents(self, window):
        text = self.display.run("xprop", "-id", str(window), "_NET_FRAME_EXTENTS")
        left, right, top, bottom = (int(part) for part in text.split("=")[1].split(","))
        return left, right, top, bottom

    def client_geometry(self, window):
        """x, y, width and height of the client area on the screen."""
        info = self.display.run("xwininfo", "-id", str(window))
        fields = {}
        for line in info.splitlines():
            if ":" in line:
                key, _, value = line.strip().partition(":")
                fields[key.strip()] = value.strip()
        return (int(fields["Absolute upper-left X"]), int(fields["Absolute upper-left Y"]),
                int(fields["Width"]), int(fields["Height"]))

    def outer_geometry(self, window):
        x, y, width, height = self.client_geometry(window)
        left, right, top, bottom = self.frame_extents(window)
        return x - left, y - top, width + left + right, height + top + bottom

    # --- accessibility tree ------------------------------------------------------------------

    def application(self):
        def find():
            desktop = pyatspi.Registry.getDesktop(0)
            for index in range(desktop.childCount):
                app = desktop.getChildAtIndex(index)
                try:
                    if app is not None and app.get_process_id() == self.process.pid:
                        return app
                except Exception:
                    continue
            return None
        return wait_for(find, what="the program on the accessibility bus")

    def frame(self, title):
        app = self.application()
        for index in range(app.childCount):
            child = app.getChildAtIndex(index)
            if child is not None and child.name == title and child.getRoleName() == "frame":
                return child
        return None

    def control(self, title, accessible_id):
        frame = self.frame(title)
        if frame is None:
            return None
        return find_node(frame, lambda node: _accessible_id(node) == accessible_id)

    def text_of(self, title, accessible_id):
        control = self.control(title, accessible_id)
        text = control.queryText()
        return text.getText(0, text.characterCount)

    def document(self, title="Tovel (Lokal)"):
        frame = self.frame(title)
        if frame is None:
            return None
        return find_node(frame, lambda node: node.getRoleName() == "document web")


def process_tree(root):
    """This process and every process below it."""
    children = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as stat:
                # The name in parentheses may hold spaces; the parent follows the state after it.
                fields = stat.read().rpartition(")")[2].split()
        except OSError:
            continue
        children.setdefault(int(fields[1]), []).append(int(entry))
    found, pending = [], [root]
    while pending:
        pid = pending.pop()
        found.append(pid)
        pending.extend(children.get(pid, []))
    return found


def extents(node):
    box = node.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    return box.x, box.y, box.width, box.height


def _accessible_id(node):
    try:
        return node.accessibleId
    except Exception:
        return None


def find_node(node, predicate, depth=0):
    """The first node below this one, depth first, for which the predicate holds."""
    if node is None or depth > 14:
        return None
    try:
        if predicate(node):
            return node
        children = [node.getChildAtIndex(index) for index in range(node.childCount)]
    except Exception:  # noqa: BLE001 - a window closing under the reader; its nodes are gone
        return None
    for child in children:
        found = find_node(child, predicate, depth + 1)
        if found is not None:
            return found
    return None


def _regex_escape(text):
    return "".join("\\" + c if c in ".^$*+?()[]{}|\\" else c for c in text)


def descendants(pid):
    """The pids of every process below this one."""
    return process_tree(pid)[1:]


def process_name(pid):
    try:
        with open(f"/proc/{pid}/comm") as comm:
            return comm.read().strip()
    except OSError:
        return ""
