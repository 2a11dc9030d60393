#!/usr/bin/python3
"""Start-up benchmark of rozidarude against a bare WebKitGTK window, Chromium in app mode and surf.

Each launcher opens a page from a loopback HTTP server; the page's load handler requests /done.
A run is timed from spawning the launcher to that request (the page loaded and its scripts ran);
one second later the proportional set size (PSS) of the launcher's whole process tree is summed.
Runs are interleaved (A B C A B C ...) after a warm-up round, so a busy moment on a shared machine
spreads over every launcher alike. Some runs also sum the tree's CPU time over ten idle seconds,
and rozidarude alone is timed from a refused connection to its "Set Server" dialog.

The figures are reported, never judged: nothing here fails on a number.

Run it with `make bench` (RUNS=n for more rounds). Debian's python3, standard library only.
"""

import argparse
import ctypes
import http.server
import json
import os
import platform
import shutil
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
MIB = 1024 * 1024
DIALOG_TITLE = "Set Server"

# A small application page: some style, some script, and the load handler that ends the timing.
PAGE = """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>Tovel bench page</title>
<style>
  body { font-family: sans-serif; margin: 2em; }
  table { border-collapse: collapse; }
  td, th { border: 1px solid #999; padding: 0.2em 0.6em; }
</style>
<script>
  window.addEventListener("load", function () {
    var rows = "";
    for (var i = 1; i <= 20; i++) rows += "<tr><td>" + i + "</td><td>item " + i + "</td></tr>";
    document.getElementById("items").innerHTML = rows;
    fetch("/done" + location.search, {cache: "no-store"});
  });
</script>
</head>
<body>
<h1>Tovel (Lokal)</h1>
<p>The benchmark's page: it requests /done once loaded.</p>
<table><thead><tr><th>#</th><th>name</th></tr></thead><tbody id="items"></tbody></table>
</body>
</html>
""".encode()


# --- processes ------------------------------------------------------------------------------

def become_subreaper():
    """Orphans of the launchers (double-forked helpers) become this process's children, so they
    are still found, counted and ended."""
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        PR_SET_CHILD_SUBREAPER = 36
        return libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0
    except OSError:
        return False


def process_table():
    """pid -> (ppid, state) for every process, from /proc/*/stat."""
    table = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", "rb") as f:
                stat = f.read()
        except OSError:
            continue
        fields = stat[stat.rindex(b")") + 2:].split()
        table[int(entry)] = (int(fields[1]), fields[0].decode())
    return table


def descendants(roots, table=None):
    """The given pids and every process below them, following ppid links."""
    table = table if table is not None else process_table()
    children = {}
    for pid, (ppid, _) in table.items():
        children.setdefault(ppid, []).append(pid)
    found, stack = [], [pid for pid in roots if pid in table]
    while stack:
        pid = stack.pop()
        found.append(pid)
        stack.extend(children.get(pid, ()))
    return found


def session(pid):
    try:
        return os.getsid(pid)
    except OSError:
        return None


def comm(pid):
    try:
        with open(f"/proc/{pid}/comm") as f:
            return f.read().strip()
    except OSError:
        return "?"


def memory_kib(pid):
    """(PSS, private) of the process in KiB, from /proc/PID/smaps_rollup, or None."""
    pss = private = 0
    try:
        with open(f"/proc/{pid}/smaps_rollup") as f:
            for line in f:
                if line.startswith("Pss:"):
                    pss = int(line.split()[1])
                elif line.startswith(("Private_Clean:", "Private_Dirty:")):
                    private += int(line.split()[1])
    except (OSError, ValueError):
        return None
    return pss, private


# The big shared files of each engine. PSS splits their pages among every process mapping
# them, so another program on the same engine running meanwhile lowers a run's PSS.
ENGINE_FILES = ("libwebkit2gtk-4.1.so", "/usr/lib/chromium/chromium")


def engine_sharers(tree):
    """Processes outside the tree that map an engine file one of the tree's processes maps."""
    def engines(pid):
        try:
            with open(f"/proc/{pid}/maps") as f:
                text = f.read()
        except OSError:
            return set()
        return {name for name in ENGINE_FILES if name in text}
    ours = set()
    for pid in tree:
        ours |= engines(pid)
    if not ours:
        return 0
    inside = set(tree)
    return sum(1 for pid in process_table() if pid not in inside and engines(pid) & ours)


def cpu_ticks(pid):
    """utime + stime of the process (all its threads, dead ones included), in clock ticks."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            stat = f.read()
    except OSError:
        return None
    fields = stat[stat.rindex(b")") + 2:].split()
    return int(fields[11]) + int(fields[12])


def thread_runtimes(pid):
    """tid -> time on the CPU in ns, from the scheduler's own account (finer than ticks)."""
    runtimes = {}
    try:
        tids = os.listdir(f"/proc/{pid}/task")
    except OSError:
        return runtimes
    for tid in tids:
        try:
            with open(f"/proc/{pid}/task/{tid}/schedstat") as f:
                runtimes[int(tid)] = int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            pass
    return runtimes


def alive(pid, table):
    return pid in table and table[pid][1] != "Z"


# --- the loopback web server ----------------------------------------------------------------

class WebServer:
    """Serves the page at / and records when /done?run=ID arrives."""

    def __init__(self):
        self.done = {}
        self.cond = threading.Condition()
        server = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_GET(self):
                arrived = time.monotonic_ns()
                url = urllib.parse.urlsplit(self.path)
                if url.path == "/done":
                    run = urllib.parse.parse_qs(url.query).get("run", [""])[0]
                    with server.cond:
                        server.done.setdefault(run, arrived)
                        server.cond.notify_all()
                    self.reply(204, b"")
                elif url.path == "/":
                    self.reply(200, PAGE, "text/html; charset=utf-8")
                else:
                    self.reply(404, b"not here\n", "text/plain")

            def reply(self, status, body, kind=None):
                self.send_response(status)
                if kind:
                    self.send_header("Content-Type", kind)
                self.send_header("Content-Length", str(len(body)))
                # Every run loads the page from the server, never from a cache.
                self.send_header("Cache-Control", "no-store")
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def url(self, run):
        return f"http://127.0.0.1:{self.port}/?run={run}"

    def wait_done(self, run, timeout):
        with self.cond:
            self.cond.wait_for(lambda: run in self.done, timeout=timeout)
            return self.done.get(run)

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()


# --- refused connections, seen on the loopback interface ------------------------------------

class RefusalWatch:
    """Watches the loopback interface for connections to a closed port and the kernel's refusals
    (RST). Needs CAP_NET_RAW; `available` says whether it got it."""

    def __init__(self, port):
        self.port = port
        self.syns, self.rsts = [], []
        self.stopping = False
        try:
            self.sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(0x0003))
            self.sock.bind(("lo", 0))
            self.sock.settimeout(0.1)
        except (OSError, AttributeError):
            self.sock = None
            return
        self.thread = threading.Thread(target=self.read, daemon=True)
        self.thread.start()

    @property
    def available(self):
        return self.sock is not None

    def read(self):
        while not self.stopping:
            try:
                packet, address = self.sock.recvfrom(256)
            except socket.timeout:
                continue
            except OSError:
                return
            seen = time.monotonic_ns()
            # The loopback device shows every packet twice: once sent, once received.
            if address[2] == socket.PACKET_OUTGOING or packet[12:14] != b"\x08\x00":
                continue
            ip = packet[14:]
            if len(ip) < 20 or ip[9] != 6:
                continue
            tcp = ip[(ip[0] & 0x0F) * 4:]
            if len(tcp) < 14:
                continue
            source, destination = struct.unpack("!HH", tcp[:4])
            flags = tcp[13]
            if destination == self.port and flags & 0x02:
                self.syns.append(seen)
            elif source == self.port and flags & 0x04:
                self.rsts.append(seen)

    def stop(self):
        self.stopping = True
        if self.sock is not None:
            self.thread.join()
            self.sock.close()


# --- the desktop: X server, window manager, session bus, map events -------------------------

class Desktop:
    def __init__(self, map_watch, screen, work):
        self.infra = []  # processes of the desktop itself, never counted and ended last
        self.env = dict(os.environ)
        # Every launcher takes the same road to the screen: X11.
        self.env.pop("WAYLAND_DISPLAY", None)
        self.env["GDK_BACKEND"] = "x11"
        self.xvfb = None
        self.screen = screen
        if not self.env.get("DISPLAY"):
            self.start_xvfb(screen)
        if not self.env.get("DBUS_SESSION_BUS_ADDRESS"):
            self.start_session_bus()
        if not self.env.get("XDG_RUNTIME_DIR") or not os.path.isdir(self.env["XDG_RUNTIME_DIR"]):
            runtime = os.path.join(work, "runtime")
            os.makedirs(runtime, mode=0o700)
            self.env["XDG_RUNTIME_DIR"] = runtime
        self.maps = []
        self.maps_cond = threading.Condition()
        self.watcher = subprocess.Popen([map_watch], env=self.env, stdout=subprocess.PIPE, text=True)
        self.infra.append(self.watcher)
        if self.watcher.stdout.readline().strip() != "ready":
            raise RuntimeError("map_watch did not start")
        threading.Thread(target=self.read_maps, daemon=True).start()

    def start_xvfb(self, screen):
        read_end, write_end = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", f"{screen}x24", "-nolisten", "tcp",
             "-noreset"], pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.infra.append(self.xvfb)
        os.close(write_end)
        with os.fdopen(read_end) as numbers:
            number = numbers.readline().strip()
        if not number:
            raise RuntimeError("Xvfb did not start")
        self.env["DISPLAY"] = f":{number}"
        self.infra.append(subprocess.Popen(["openbox", "--sm-disable"], env=self.env,
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        deadline = time.monotonic() + 15
        while time.monotonic() < deadline:
            probe = subprocess.run(["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], env=self.env,
                                   capture_output=True, text=True)
            if "window id" in probe.stdout:
                return
            time.sleep(0.05)
        raise RuntimeError("openbox did not start")

    def start_session_bus(self):
        bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=1"],
                               env=self.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.infra.append(bus)
        address = bus.stdout.readline().strip()
        if not address:
            raise RuntimeError("dbus-daemon did not start")
        self.env["DBUS_SESSION_BUS_ADDRESS"] = address

    def read_maps(self):
        for line in self.watcher.stdout:
            parts = line.rstrip("\n").split(" ", 4)
            if len(parts) == 5 and parts[0] == "map":
                with self.maps_cond:
                    self.maps.append((int(parts[1]), parts[3], parts[4]))
                    self.maps_cond.notify_all()

    def wait_map(self, after_ns, timeout, title=None):
        """The first window mapped after after_ns (with this title, if given): (ns, size, title)."""
        def find():
            for event in self.maps:
                if event[0] >= after_ns and (title is None or event[2] == title):
                    return event
            return None
        with self.maps_cond:
            self.maps_cond.wait_for(find, timeout=timeout)
            return find()

    def stop(self):
        for process in reversed(self.infra):
            if process.poll() is None:
                process.terminate()
        for process in reversed(self.infra):
            try:
                process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


# --- launchers ------------------------------------------------------------------------------

class Launcher:
    """How to start one launcher on a page. Each run gets fresh XDG folders (and Chromium a fresh
    profile), so every launcher starts as on a first run, without caches from the run before."""

    def __init__(self, name, kind, program):
        self.name, self.kind, self.program = name, kind, program
        self.env = {}

    def prepare(self, folder, url):
        """argv and extra environment for one run whose files live in folder."""
        if self.kind == "rozidarude":
            # A program folder of its own, with the server address file beside the program.
            program_folder = os.path.join(folder, "program")
            os.makedirs(program_folder)
            executable = os.path.join(program_folder, "rozidarude")
            shutil.copy2(self.program, executable)
            with open(os.path.join(program_folder, "srvset.con"), "wb") as f:
                f.write(url.encode() + b"\r\n")
            return [executable]
        if self.kind == "bare":
            return [self.program, url]
        if self.kind == "chromium":
            argv = [self.program, f"--app={url}", f"--user-data-dir={os.path.join(folder, 'profile')}",
                    "--no-first-run", "--disable-background-networking", "--disable-component-update",
                    "--disable-sync"]
            if os.geteuid() == 0:
                argv.append("--no-sandbox")
            return argv
        if self.kind == "surf":
            return [self.program, url]
        raise ValueError(self.kind)


def launcher_env(desktop, folder):
    env = dict(desktop.env)
    for name in ("XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME"):
        path = os.path.join(folder, name.lower())
        os.makedirs(path)
        env[name] = path
    return env


class Bench:
    def __init__(self, args, desktop, server, work):
        self.args, self.desktop, self.server, self.work = args, desktop, server, work
        self.me = os.getpid()
        self.session = os.getsid(0)
        self.infra_pids = {p.pid for p in desktop.infra}
        self.run_number = 0

    def tree(self, pid, table=None):
        """The launcher's processes: below its pid, and orphans of it that came to this process.
        Services the session bus started (accessibility bus, portals) are orphans too, but they
        stay in this process's session and serve every launcher, as on a desktop: not counted."""
        table = table if table is not None else process_table()
        orphans = [p for p, (ppid, _) in table.items()
                   if ppid == self.me and p != pid and p not in self.infra_pids and session(p) != self.session]
        return [p for p in descendants([pid] + orphans, table) if p != self.me]

    def spawn(self, launcher, url, folder, stderr):
        argv = launcher.prepare(folder, url)
        env = launcher_env(self.desktop, folder)
        env.update(launcher.env)
        started = time.monotonic_ns()
        process = subprocess.Popen(argv, env=env, cwd=folder, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=stderr, start_new_session=True)
        return process, started

    def stop(self, process):
        """Ends the launcher's whole tree: a polite SIGTERM first, then SIGKILL."""
        for sig, patience in ((signal.SIGTERM, 5.0), (signal.SIGKILL, 5.0)):
            table = process_table()
            pids = [p for p in self.tree(process.pid, table) if alive(p, table)]
            if not pids:
                break
            try:
                os.killpg(process.pid, sig)
            except OSError:
                pass
            for pid in pids:
                try:
                    os.kill(pid, sig)
                except OSError:
                    pass
            deadline = time.monotonic() + patience
            while time.monotonic() < deadline:
                process.poll()
                self.reap_orphans()
                table = process_table()
                if not any(alive(p, table) for p in self.tree(process.pid, table)):
                    break
                time.sleep(0.05)
        process.wait()
        self.reap_orphans()

    def reap_orphans(self):
        """Collects the exit of orphans this process adopted as subreaper."""
        for pid, (ppid, state) in process_table().items():
            if ppid == self.me and pid not in self.infra_pids and state == "Z":
                try:
                    os.waitpid(pid, os.WNOHANG)
                except ChildProcessError:
                    pass

    def measure(self, launcher, idle):
        self.run_number += 1
        run = f"{self.run_number}"
        folder = os.path.join(self.work, f"run-{run}-{launcher.name}")
        os.makedirs(folder)
        result = {"launcher": launcher.name, "run": self.run_number}
        with open(os.path.join(folder, "stderr.log"), "wb") as stderr:
            process, started = self.spawn(launcher, self.server.url(run), folder, stderr)
            try:
                done = self.server.wait_done(run, timeout=self.args.timeout)
                if done is None:
                    result["error"] = f"no /done within {self.args.timeout} s"
                    return result
                result["load_s"] = (done - started) / 1e9
                window = self.desktop.wait_map(started, timeout=0)
                if window is not None:
                    result["window_s"] = (window[0] - started) / 1e9
                    result["window_size"] = window[1]
                # One second after the page loaded: the whole tree's proportional set size.
                time.sleep(max(0.0, (done + 1_000_000_000 - time.monotonic_ns()) / 1e9))
                processes = {}
                tree = self.tree(process.pid)
                for pid in tree:
                    memory = memory_kib(pid)
                    if memory is not None:
                        processes[pid] = (comm(pid), memory[0], memory[1])
                result["pss_mib"] = sum(pss for _, pss, _ in processes.values()) / 1024
                result["private_mib"] = sum(private for _, _, private in processes.values()) / 1024
                result["sharers"] = engine_sharers(tree)
                result["processes"] = sorted(((name, round(pss / 1024, 1)) for name, pss, _ in processes.values()),
                                             key=lambda item: -item[1])
                if idle:
                    result.update(self.idle_cpu(process.pid))
            finally:
                self.stop(process)
        shutil.rmtree(folder, ignore_errors=True)
        return result

    def idle_cpu(self, pid):
        """CPU time the tree spends over IDLE seconds with the page loaded and nothing to do."""
        def snapshot():
            ticks, runtimes = {}, {}
            for p in self.tree(pid):
                t = cpu_ticks(p)
                if t is not None:
                    ticks[p] = t
                runtimes.update(thread_runtimes(p))
            return ticks, runtimes
        ticks0, runtimes0 = snapshot()
        time.sleep(self.args.idle_seconds)
        ticks1, runtimes1 = snapshot()
        ticks = sum(t - ticks0.get(p, 0) for p, t in ticks1.items())
        runtime = sum(ns - runtimes0.get(tid, 0) for tid, ns in runtimes1.items())
        return {"idle_ticks_ms": ticks * 1000 / CLOCK_TICKS, "idle_runtime_ms": runtime / 1e6,
                "idle_lost_processes": len(set(ticks0) - set(ticks1))}

    def failure(self, launcher):
        """rozidarude on a closed loopback port: from the refused connection to the dialog."""
        self.run_number += 1
        folder = os.path.join(self.work, f"run-{self.run_number}-failure")
        os.makedirs(folder)
        # Bound but not listening: connections to it are refused, and nothing else takes it.
        closed = socket.socket()
        closed.bind(("127.0.0.1", 0))
        port = closed.getsockname()[1]
        watch = RefusalWatch(port)
        result = {"launcher": launcher.name + " (closed port)", "run": self.run_number}
        try:
            with open(os.path.join(folder, "stderr.log"), "wb") as stderr:
                process, started = self.spawn(launcher, f"http://127.0.0.1:{port}/", folder, stderr)
                try:
                    dialog = self.desktop.wait_map(started, self.args.timeout, DIALOG_TITLE)
                    if dialog is None:
                        result["error"] = f"no {DIALOG_TITLE!r} window within {self.args.timeout} s"
                        return result
                    result["spawn_to_dialog_ms"] = (dialog[0] - started) / 1e6
                    main = self.desktop.wait_map(started, 0, "Tovel (Lokal)")
                    if main is not None:
                        result["spawn_to_window_ms"] = (main[0] - started) / 1e6
                    if watch.available:
                        refusals = [ns for ns in watch.rsts if started <= ns <= dialog[0]]
                        result["refusals"] = len(refusals)
                        result["syn_ms"] = [round((ns - started) / 1e6, 2) for ns in watch.syns]
                        result["rst_ms"] = [round((ns - started) / 1e6, 2) for ns in watch.rsts]
                        if refusals:
                            # The engine opens a connection ahead of the navigation (a preconnect),
                            # then the navigation's own one: the last refusal is what fails it.
                            result["spawn_to_refusal_ms"] = (refusals[-1] - started) / 1e6
                            result["refusal_to_dialog_ms"] = (dialog[0] - refusals[-1]) / 1e6
                            result["first_refusal_to_dialog_ms"] = (dialog[0] - refusals[0]) / 1e6
                finally:
                    self.stop(process)
        finally:
            watch.stop()
            closed.close()
        shutil.rmtree(folder, ignore_errors=True)
        return result


# --- report ---------------------------------------------------------------------------------

def spread(values, scale=1.0, digits=2):
    values = [v * scale for v in values if v is not None]
    if not values:
        return "-", None
    median = statistics.median(values)
    return f"{median:.{digits}f} [{min(values):.{digits}f}-{max(values):.{digits}f}]", median


def report(results, launchers, args):
    lines = []
    by_name = {l.name: [r for r in results if r["launcher"] == l.name and "error" not in r] for l in launchers}
    bare_runs = by_name.get("bare", [])
    bare_by_round = {r["round"]: r for r in bare_runs}

    def alone(runs):
        # PSS shares a page among all its mappers: runs during which another program on the
        # same engine ran (another user's launcher, a test) read low. These did not.
        return [r["pss_mib"] for r in runs if r.get("sharers") == 0]

    floor_load = statistics.median(r["load_s"] for r in bare_runs) if bare_runs else None
    floor_pss = statistics.median(alone(bare_runs)) if alone(bare_runs) else None
    lines.append(f"{'launcher':<16} {'runs':>4}  {'page loaded, s':<21} {'x bare':>6} {'paired':>6}  "
                 f"{'PSS alone, MiB':<19} {'x bare':>6}  {'PSS all runs, MiB':<17}  {'window mapped, s':<21} "
                 f"idle {args.idle_seconds:g} s, ms")
    for launcher in launchers:
        runs = by_name[launcher.name]
        failed = sum(1 for r in results if r["launcher"] == launcher.name and "error" in r)
        load, load_median = spread([r["load_s"] for r in runs], digits=3)
        quiet = alone(runs)
        pss_alone, pss_median = spread(quiet, digits=0)
        if quiet and len(quiet) != len(runs):
            pss_alone += f" n={len(quiet)}"
        pss_all, _ = spread([r["pss_mib"] for r in runs], digits=0)
        window, _ = spread([r.get("window_s") for r in runs], digits=3)
        idle_runs = [r for r in runs if "idle_ticks_ms" in r]
        idle = "-"
        if idle_runs:
            idle = (f"{statistics.median(r['idle_ticks_ms'] for r in idle_runs):.0f} / "
                    f"{statistics.median(r['idle_runtime_ms'] for r in idle_runs):.1f}")
        ratio_load = f"{load_median / floor_load:.2f}" if load_median and floor_load else "-"
        pairs = [r["load_s"] / bare_by_round[r["round"]]["load_s"] for r in runs if r["round"] in bare_by_round]
        paired = f"{statistics.median(pairs):.2f}" if pairs else "-"
        if pss_median and floor_pss:
            ratio_pss = f"{pss_median / floor_pss:.2f}"
        elif runs and bare_runs:
            # No quiet run on one side: compare every run, marked as such.
            ratio_pss = "{:.2f}*".format(statistics.median(r["pss_mib"] for r in runs)
                                         / statistics.median(r["pss_mib"] for r in bare_runs))
        else:
            ratio_pss = "-"
        count = f"{len(runs)}" + (f"+{failed}!" if failed else "")
        lines.append(f"{launcher.name:<16} {count:>4}  {load:<21} {ratio_load:>6} {paired:>6}  "
                     f"{pss_alone:<19} {ratio_pss:>6}  {pss_all:<17}  {window:<21} {idle:<13}")
    lines.append("")
    lines.append("medians [min-max]. page loaded: spawn to the page's /done request. x bare: ratio of the medians; "
                 "paired: median of each round's ratio to that round's bare run.")
    lines.append("PSS alone: the tree's PSS one second after the page loaded, over the runs during which no "
                 "other program mapped the engine's libraries (n= when not all); all runs: every run; "
                 "x bare marked * compares all runs, for want of quiet ones.")
    lines.append(f"idle: CPU time of the tree over {args.idle_seconds:g} s with the page loaded, median of the "
                 f"runs that measured it: utime+stime (ticks of {1000 // CLOCK_TICKS} ms) / the scheduler's "
                 "run time of the live threads (ns resolution).")
    lines.append("")
    for launcher in launchers:
        runs = by_name[launcher.name]
        if runs:
            last = runs[-1]
            parts = " + ".join(f"{name} {pss:.0f}" for name, pss in last["processes"])
            lines.append(f"{launcher.name}: last run's tree, MiB: {parts}; window {last.get('window_size', '?')}")
    for launcher in launchers:
        failures = [r for r in results if r["launcher"] == launcher.name + " (closed port)"]
        if not failures:
            continue
        ok = [r for r in failures if "error" not in r]
        lines.append("")
        lines.append(f"{launcher.name} on a closed loopback port, {len(ok)} runs"
                     + (f" ({len(failures) - len(ok)} failed)" if len(ok) != len(failures) else "") + ", ms:")
        text, _ = spread([r.get("refusal_to_dialog_ms") for r in ok], digits=1)
        lines.append(f"  navigation's connection refused (RST on lo) -> 'Set Server' mapped: {text}")
        text, _ = spread([r.get("first_refusal_to_dialog_ms") for r in ok], digits=1)
        lines.append(f"  first refusal (the engine's preconnect) -> 'Set Server' mapped: {text}")
        text, _ = spread([r.get("spawn_to_refusal_ms") for r in ok], digits=1)
        lines.append(f"  spawn -> navigation's connection refused: {text}")
        text, _ = spread([r.get("spawn_to_window_ms") for r in ok], digits=1)
        lines.append(f"  spawn -> main window mapped: {text}")
        text, _ = spread([r.get("spawn_to_dialog_ms") for r in ok], digits=1)
        lines.append(f"  spawn -> 'Set Server' mapped: {text}")
        counts = sorted({r.get("refusals") for r in ok if r.get("refusals") is not None})
        if counts:
            lines.append(f"  refused connections before the dialog: {counts}")
        elif ok:
            lines.append("  (no raw socket on lo: run as root to see the refusal itself)")
    errors = [r for r in results if "error" in r]
    if errors:
        lines.append("")
        for r in errors:
            lines.append(f"run {r['run']} of {r['launcher']}: {r['error']}")
    return "\n".join(lines)


def machine_facts(desktop, args):
    facts = []
    model = "?"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    facts.append(f"machine: {os.cpu_count()} cores ({model}), Linux {platform.release()}, "
                 f"{'no GPU (/dev/dri absent)' if not os.path.exists('/dev/dri') else 'DRM devices present'}")
    display = f"Xvfb {args.screen} + openbox" if desktop.xvfb else f"display {desktop.env['DISPLAY']}"
    facts.append(f"display: {display}")
    versions = []
    probe = subprocess.run(["pkg-config", "--modversion", "webkit2gtk-4.1"], capture_output=True, text=True)
    if probe.returncode == 0:
        versions.append(f"WebKitGTK {probe.stdout.strip()}")
    if shutil.which("chromium"):
        probe = subprocess.run(["chromium", "--version"], capture_output=True, text=True, env=desktop.env)
        versions.append(probe.stdout.strip().split(" built")[0])
    facts.append("versions: " + ", ".join(versions))
    return facts


def load_average():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(os.path.dirname(HERE), "build-bench"),
                        help="folder holding rozidarude, bare_webview and map_watch")
    parser.add_argument("--runs", type=int, default=5, help="measured rounds, each launcher once per round")
    parser.add_argument("--warmup", type=int, default=1, help="rounds run first and not counted")
    parser.add_argument("--idle-runs", type=int, default=2, help="rounds that also measure idle CPU")
    parser.add_argument("--idle-seconds", type=float, default=10.0)
    parser.add_argument("--fail-runs", type=int, default=None,
                        help="rounds that also time the 'Set Server' dialog (default: all)")
    parser.add_argument("--dialog-only", action="store_true", help="time only the 'Set Server' dialog")
    parser.add_argument("--only", default=None, help="comma-separated launchers to run")
    parser.add_argument("--variant", action="append", default=[], metavar="NAME=PROGRAM[,VAR=VALUE...]",
                        help="another build of rozidarude to compare, run like rozidarude, with these "
                        "environment variables")
    parser.add_argument("--screen", default="1920x1080", help="Xvfb's screen size, when it is started")
    parser.add_argument("--timeout", type=float, default=30.0)
    parser.add_argument("--json", default=None, help="also write every run's figures here")
    args = parser.parse_args()
    if args.fail_runs is None:
        args.fail_runs = args.runs

    build = os.path.abspath(args.build)
    launchers = [Launcher("rozidarude", "rozidarude", os.path.join(build, "rozidarude"))]
    for variant in args.variant:
        name, _, rest = variant.partition("=")
        program, *assignments = rest.split(",")
        launcher = Launcher(name, "rozidarude", os.path.abspath(program))
        launcher.env = dict(assignment.split("=", 1) for assignment in assignments)
        launchers.append(launcher)
    launchers.append(Launcher("bare", "bare", os.path.join(build, "bare_webview")))
    skipped = []
    for name in ("chromium", "surf"):
        program = shutil.which(name)
        if program:
            launchers.append(Launcher(name if name != "chromium" else "chromium --app", name, program))
        else:
            skipped.append(name)
    if args.only:
        wanted = set(args.only.split(","))
        launchers = [l for l in launchers if l.name in wanted or l.kind in wanted]
    for launcher in launchers:
        if not os.access(launcher.program, os.X_OK):
            sys.exit(f"bench.py: {launcher.program} is missing; build with `cmake --preset bench` first")

    subreaper = become_subreaper()
    work = tempfile.mkdtemp(prefix="rozidarude-bench-")
    desktop = server = None
    results = []

    def interrupted(signum, frame):
        raise KeyboardInterrupt
    signal.signal(signal.SIGTERM, interrupted)
    try:
        desktop = Desktop(os.path.join(build, "map_watch"), args.screen, work)
        server = WebServer()
        bench = Bench(args, desktop, server, work)
        print("\n".join(machine_facts(desktop, args)))
        if skipped:
            print(f"not installed, left out: {', '.join(skipped)}")
        if not subreaper:
            print("note: could not become a subreaper; double-forked helpers may be missed")
        print(f"load average before: {load_average()}")
        print(f"rounds: {args.warmup} warm-up + {args.runs} measured, order "
              + " ".join(l.name for l in launchers), flush=True)
        for round_number in range(-args.warmup, args.runs):
            for launcher in launchers if not args.dialog_only else ():
                result = bench.measure(launcher, idle=0 <= round_number < args.idle_runs)
                result["round"] = round_number
                if round_number >= 0:
                    results.append(result)
                print(f"  round {round_number + 1:>2} {launcher.name:<16} "
                      + (result.get("error") or f"{result['load_s']:.3f} s {result['pss_mib']:.0f} MiB"
                         + (f" idle {result['idle_ticks_ms']:.0f}/{result['idle_runtime_ms']:.1f} ms"
                            if "idle_ticks_ms" in result else "")), flush=True)
            for launcher in launchers:
                if launcher.kind != "rozidarude" or not 0 <= round_number < args.fail_runs:
                    continue
                result = bench.failure(launcher)
                result["round"] = round_number
                results.append(result)
                print(f"  round {round_number + 1:>2} {launcher.name + ', closed port':<16} "
                      + (result.get("error") or f"dialog {result.get('refusal_to_dialog_ms', float('nan')):.1f} "
                         f"ms after the refusal"), flush=True)
        print(f"load average after: {load_average()}")
        print()
        print(report(results, launchers, args))
        if args.json:
            with open(args.json, "w") as f:
                json.dump(results, f, indent=1)
    finally:
        if server:
            server.stop()
        if desktop:
            desktop.stop()
        # Whatever is still below this process (a service the session bus started, say).
        for pid in descendants([os.getpid()]):
            if pid != os.getpid():
                try:
                    os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass
        for pid in descendants([os.getpid()]):
            if pid != os.getpid():
                try:
                    os.waitpid(pid, 0)
                except ChildProcessError:
                    pass
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
