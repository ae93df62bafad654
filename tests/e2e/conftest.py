"""Fixtures of the end-to-end suite.

`world` is built once per run (and reused between runs when PACPICK_TEST_WORLD
names a directory, as CTest does); tests that install or remove packages take
`scratch_world`, a private copy. `pacpick` starts the program under test
(PACPICK_BINARY, else build/pacpick) in a pty with a world's bin first on PATH.
"""

import os
import resource
from pathlib import Path

import pytest

from harness import REPO_ROOT, Terminal, build_world

WORLD_PACKAGES = int(os.environ.get("PACPICK_TEST_WORLD_PACKAGES", "15000"))

# Tests end the program by signals that dump core: with an inherited limit
# each would leave a core file in a world, or wait on a system's collector.
resource.setrlimit(resource.RLIMIT_CORE, (0, resource.getrlimit(resource.RLIMIT_CORE)[1]))


@pytest.fixture(scope="session")
def world(tmp_path_factory):
    directory = os.environ.get("PACPICK_TEST_WORLD") or tmp_path_factory.mktemp("world")
    return build_world(directory, WORLD_PACKAGES)


@pytest.fixture
def scratch_world(world, tmp_path):
    return world.copy(tmp_path / "world")


@pytest.fixture
def run_in_terminal():
    """start(argv, env=..., rows=24, columns=80, cwd=None) -> Terminal; every
    terminal started is closed (its program killed if still running) afterwards."""
    started = []

    def start(argv, *, env, rows=24, columns=80, cwd=None):
        terminal = Terminal([str(arg) for arg in argv], env=env, rows=rows, columns=columns, cwd=cwd)
        started.append(terminal)
        return terminal

    yield start
    for terminal in started:
        terminal.close()


def pacpick_binary():
    binary = Path(os.environ.get("PACPICK_BINARY") or REPO_ROOT / "build" / "pacpick")
    if not binary.is_file():
        pytest.fail(f"no program to test at {binary}: build it, or set PACPICK_BINARY")
    return binary


@pytest.fixture
def pacpick_path():
    """The program under test, for tests that start it in their own way."""
    return pacpick_binary()


@pytest.fixture
def pacpick(run_in_terminal, world):
    """start(in_world=None, rows=24, columns=80, binary=None) -> Terminal running
    the program in `in_world` (default: the shared world)."""

    def start(in_world=None, *, rows=24, columns=80, binary=None):
        target = in_world or world
        return run_in_terminal([binary or pacpick_binary()], env=target.env(),
                               rows=rows, columns=columns, cwd=target.path)

    return start
