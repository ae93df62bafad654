"""Fixtures of the real-terminal suite.

`display` is one Xvfb for the whole run. `session` is one terminal window per
terminal in TERMINALS, shared by that terminal's tests and closed before the
next terminal opens. When a test fails, a screenshot of the screen as the
failing run left it goes to $PACPICK_TERMINALS_OUT (else a temporary
directory) and its path is printed with the failure.
"""

import os
import shutil
import uuid
from pathlib import Path

import pytest

from terminals import TERMINALS, Session
from xdisplay import XDisplay, adopt_orphans, end_marked_processes, reap_children

REPO_ROOT = Path(__file__).resolve().parents[2]
NEEDED_TOOLS = ["Xvfb", "xdotool", "xmodmap", "xset", "import"]

# Every process this run starts inherits it; whatever still carries it when
# the run ends is ended (see end_marked_processes).
MARKER = f"PACPICK_TERMINALS_RUN={uuid.uuid4().hex}"


def program_under_test():
    binary = Path(os.environ.get("PACPICK_BINARY") or REPO_ROOT / "build" / "pacpick")
    if not binary.is_file():
        pytest.fail(f"no program to test at {binary}: build it, or set PACPICK_BINARY")
    return binary


@pytest.fixture(scope="session")
def artifacts(tmp_path_factory):
    directory = os.environ.get("PACPICK_TERMINALS_OUT")
    if not directory:
        return tmp_path_factory.mktemp("screenshots")
    path = Path(directory)
    shutil.rmtree(path, ignore_errors=True)
    path.mkdir(parents=True)
    return path


@pytest.fixture(scope="session")
def display():
    missing = [tool for tool in NEEDED_TOOLS if not shutil.which(tool)]
    if missing:
        pytest.fail(f"missing {', '.join(missing)}: scripts/bootstrap test installs them")
    name, value = MARKER.split("=", 1)
    adopt_orphans()
    x = XDisplay(dict(os.environ, **{name: value}))
    try:
        x.map_e_acute()
        # A key held past the autorepeat delay, as a stall between xdotool's
        # press and release on a loaded machine does, would repeat.
        x.run("xset", "r", "off")
        yield x
    finally:
        x.close()
        end_marked_processes(MARKER)
        reap_children()


@pytest.fixture(scope="module", params=TERMINALS, ids=[terminal.name for terminal in TERMINALS])
def session(request, display, tmp_path_factory):
    terminal = request.param
    if not shutil.which(terminal.binary):
        if terminal.packaged():
            pytest.fail(f"{terminal.binary} is not installed: scripts/bootstrap test installs it")
        pytest.skip(f"notice: {terminal.name} has no package on this system; its tests are skipped")
    opened = Session(terminal, display, program_under_test(), tmp_path_factory.mktemp(terminal.name), MARKER)
    try:
        yield opened
    finally:
        opened.close()


@pytest.fixture(autouse=True)
def screenshot_directory(artifacts):
    """Where the report hook below puts a failing test's screenshot."""
    return artifacts


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    funcargs = getattr(item, "funcargs", {})
    # A setup that failed may have made the display but not yet the directory.
    x, directory = funcargs.get("display"), funcargs.get("screenshot_directory")
    if report.when not in ("setup", "call") or not report.failed or x is None or directory is None:
        return
    path = directory / f"{item.name}-{report.when}.png"
    if x.screenshot(path):
        report.sections.append(("screenshot", f"the screen as the failing run left it: {path}"))
