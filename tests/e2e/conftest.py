import os
import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).parent))

from harness import Display, Launcher, WebServer  # noqa: E402


@pytest.fixture(scope="session")
def display():
    screen = Display()
    yield screen
    screen.stop()


@pytest.fixture(scope="session")
def binary():
    path = os.environ.get("ROZIDARUDE_BINARY")
    if not path or not os.path.exists(path):
        pytest.fail("ROZIDARUDE_BINARY must name the built program")
    return path


@pytest.fixture
def launcher(binary, display, tmp_path):
    program = Launcher(binary, tmp_path, display)
    yield program
    program.stop()


@pytest.fixture
def server():
    web = WebServer()
    yield web
    web.stop()


@pytest.fixture(scope="session", autouse=True)
def warm_start(binary, display, tmp_path_factory):
    """The first start on a fresh machine builds the font and media caches and starts the
    accessibility bus, which can take far longer than any later start. One start up front, with
    time to spare, keeps that out of the tests' own waits."""
    from harness import wait_for

    web = WebServer()
    program = Launcher(binary, tmp_path_factory.mktemp("warm-start"), display)
    try:
        program.address_file.write_bytes(web.url("/warm").encode() + b"\r\n")
        program.start()
        wait_for(lambda: "/warm" in web.seen(), timeout=120, what="the first start to load a page")
        program.application()
    finally:
        program.stop()
        web.stop()
