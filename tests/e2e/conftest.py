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
