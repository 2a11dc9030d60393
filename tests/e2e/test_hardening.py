"""What a page from the server may not do: read local files, or run outside the engine's
sandbox where the system has one; and without a usable sandbox the program still works."""

import os
import subprocess
import urllib.parse

import pytest

from harness import wait_for

MAIN = "Tovel (Lokal)"

# Tries to read a local file by fetch and by XMLHttpRequest, and reads a page of its own
# server to show that the script ran and can report; then reports all three to /result.
PROBE = """<!DOCTYPE html><html><head><title>Probe</title></head><body><script>
async function attempt(read) {
  try { return "read:" + (await read()); } catch (error) { return "failed"; }
}
function byRequest(url) {
  return new Promise((resolve, reject) => {
    const request = new XMLHttpRequest();
    request.onload = () => resolve(request.responseText);
    request.onerror = () => reject(new Error("error"));
    request.open("GET", url);
    request.send();
  });
}
(async () => {
  const local = "FILE_URL";
  const results = new URLSearchParams({
    fetch: await attempt(async () => (await fetch(local)).text()),
    xhr: await attempt(() => byRequest(local)),
    own: await attempt(async () => (await fetch("/own")).text()),
  });
  fetch("/result?" + results.toString());
})();
</script></body></html>"""


def test_a_page_from_loopback_cannot_read_a_local_file(launcher, server, tmp_path):
    secret = tmp_path / "secret.txt"
    secret.write_text("local-secret-4711")
    server.documents["/probe"] = PROBE.replace("FILE_URL", secret.as_uri())
    launcher.address_file.write_bytes(server.url("/probe").encode() + b"\r\n")
    launcher.start()

    report = wait_for(lambda: next((p for p in server.seen() if p.startswith("/result?")), None),
                      what="the page's report")
    results = dict(urllib.parse.parse_qsl(report.partition("?")[2]))
    assert results["own"].startswith("read:"), f"the script must be able to read its own server: {results}"
    assert results["fetch"] == "failed", results
    assert results["xhr"] == "failed", results
    assert not any("4711" in path for path in server.seen())


def _bubblewrap_runs():
    trial = ["/usr/bin/bwrap", "--die-with-parent", "--unshare-pid", "--unshare-ipc", "--unshare-uts",
             "--unshare-net", "--ro-bind", "/", "/", "--proc", "/proc", "--dev", "/dev", "--", "/bin/true"]
    try:
        return subprocess.run(trial, capture_output=True).returncode == 0
    except OSError:
        return False


# The namespaces the engine's sandbox gives a web process of its own. It keeps the IPC one on
# X11, where the display's shared memory needs it.
KINDS = ("pid", "net", "uts", "mnt")


def _namespace(pid, kind):
    return os.readlink(f"/proc/{pid}/ns/{kind}")


def _web_processes(launcher):
    found = []
    for pid in launcher.tree():
        try:
            with open(f"/proc/{pid}/comm") as comm:
                if comm.read().strip().startswith("WebKitWebProces"):
                    found.append(pid)
        except OSError:
            continue
    return found


def test_pages_run_in_the_engine_sandbox_where_bubblewrap_runs(launcher, server):
    if not _bubblewrap_runs():
        pytest.skip("bubblewrap cannot make its namespaces on this machine")
    launcher.address_file.write_bytes(server.url("/sandboxed").encode() + b"\r\n")
    launcher.start()
    wait_for(lambda: "/sandboxed" in server.seen(), what="the page to load")
    web = wait_for(lambda: _web_processes(launcher), what="the engine's web process")
    program = launcher.process.pid
    for pid in web:
        for kind in KINDS:
            assert _namespace(pid, kind) != _namespace(program, kind), f"web process {pid} shares {kind}"
    assert b"sandbox" not in launcher.log.read_bytes()


def test_without_bubblewrap_the_program_still_works_and_says_so_once(launcher, server):
    # bubblewrap replaced by a program that always fails, in a mount namespace of the program's own.
    wrapper = ["unshare", "--mount", "sh", "-c", 'mount --bind /bin/false /usr/bin/bwrap && exec "$0"']
    if subprocess.run(wrapper[:2] + ["true"], capture_output=True).returncode != 0:
        pytest.skip("no private mount namespace here to take bubblewrap away")
    launcher.address_file.write_bytes(server.url("/unsandboxed").encode() + b"\r\n")
    launcher.start(wrapper=wrapper)
    wait_for(lambda: "/unsandboxed" in server.seen(), what="the page to load without the sandbox")
    wait_for(lambda: launcher.document() is not None and launcher.document().name == "Tovel test page",
             what="the page in the main window")
    log = launcher.log.read_text(errors="replace")
    assert log.count("sandbox cannot run here") == 1, log
    assert "/usr/bin/bwrap" in log, log
