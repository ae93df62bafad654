"""pacpick from start to end: the first frame, the ways to quit, and the fatal
errors of the terminal and of standard output, run in a real pty against the
test world's pacman."""

import os
import select
import subprocess
import time

import pytest

from harness import DEFAULT_TIMEOUT, Exit, Frame

RESTORE = b"\x1b[?25h\x1b[2J\x1b[1;1H"


@pytest.fixture
def logged(world, tmp_path):
    """The shared world with a pacman in front that logs every call (one line
    of arguments each) before handing it on. Returns (env, log path)."""
    bin_dir, log = tmp_path / "logging-bin", tmp_path / "pacman-calls"
    bin_dir.mkdir()
    wrapper = bin_dir / "pacman"
    wrapper.write_text(f"#!/bin/sh\nprintf '%s\\n' \"$*\" >> '{log}'\nexec '{world.bin / 'pacman'}' \"$@\"\n")
    wrapper.chmod(0o755)
    env = world.env()
    env["PATH"] = f"{bin_dir}{os.pathsep}{env['PATH']}"
    return env, log


def calls(log):
    return log.read_text().splitlines() if log.exists() else []


def start_logged(run_in_terminal, pacpick_path, world, logged, **size):
    env, _ = logged
    terminal = run_in_terminal([pacpick_path], env=env, cwd=world.path, **size)
    terminal.wait_for_frame(lambda frame: True, what="the first frame")
    return terminal


def assert_given_back(terminal):
    """The terminal as the program found it: cursor shown at the top-left of a
    cleared screen, and the pty's settings as before the start."""
    assert terminal.raw.endswith(RESTORE)
    assert terminal.text == ""
    assert terminal.cursor == (0, 0) and terminal.cursor_visible
    assert terminal.stty_after() == terminal.stty_before


def settled_frames(terminal, query):
    """Waits for the key frame of `query` and the two frames that follow when
    its search has answered (the list, then the details of entry 0 or their
    absence); returns the last of them."""
    terminal.wait_for(lambda t: sum(f.query == query for f in t.frames()) >= 3,
                      what=f"the search for {query!r} to answer")
    return [f for f in terminal.frames() if f.query == query][-1]


def test_the_first_frame_is_the_empty_install_screen(run_in_terminal, pacpick_path, world, logged):
    terminal = start_logged(run_in_terminal, pacpick_path, world, logged)

    assert terminal.raw.startswith(b"\x1b[?25l\x1b[2J")
    assert not terminal.cursor_visible
    assert terminal.lines[:19] == [" " * 80] * 19
    assert terminal.lines[19] == "-" * 80
    assert terminal.lines[20].rstrip() == "[install]"
    assert terminal.lines[21:] == [" " * 80] * 3
    assert terminal.cursor == (10, 20)
    frame, = terminal.frames()
    assert frame.prompt == "[install] " and frame.entries == [] and frame.details == ["", "", ""]


@pytest.mark.parametrize("key, idle", [("esc", 0), ("ctrl-c", 0.3)])
def test_a_quit_key_gives_the_terminal_back_without_running_pacman(run_in_terminal, pacpick_path, world,
                                                                   logged, key, idle):
    _, log = logged
    terminal = start_logged(run_in_terminal, pacpick_path, world, logged)
    # Idling longer than the search delay shows that nothing is queried on
    # its own before the first key; only the passing of time can show that.
    time.sleep(idle)
    terminal.press(key)

    assert terminal.wait_exit() == Exit(code=0, signal=None)
    assert calls(log) == []
    assert_given_back(terminal)
    assert len(terminal.frames()) == 1, "a quit key draws no frame"


def test_q_and_other_control_letters_are_typed_not_obeyed(run_in_terminal, pacpick_path, world, logged):
    _, log = logged
    terminal = start_logged(run_in_terminal, pacpick_path, world, logged)
    terminal.send("q")
    listed = terminal.wait_for_frame(lambda f: f.query == "q" and f.entries, what="the list for q")
    assert all("q" in name for name in listed.entries)
    assert calls(log)[0] == "-Slq", "the logging pacman sees the program's calls"

    terminal.send("\x01")  # Control-A types an a, as any control letter but c does
    terminal.wait_for_frame(lambda f: f.prompt == "[install] qa")
    terminal.press("esc")
    assert terminal.wait_exit() == Exit(code=0, signal=None)
    assert_given_back(terminal)


def test_enter_with_nothing_listed_just_quits(run_in_terminal, pacpick_path, world, logged):
    _, log = logged
    terminal = start_logged(run_in_terminal, pacpick_path, world, logged)
    terminal.press("enter")
    assert terminal.wait_exit() == Exit(code=0, signal=None)
    assert calls(log) == []
    assert_given_back(terminal)

    terminal = start_logged(run_in_terminal, pacpick_path, world, logged)
    for character in "zqxj":
        terminal.send(character)
    assert settled_frames(terminal, "zqxj").entries == []
    terminal.press("enter")
    assert terminal.wait_exit() == Exit(code=0, signal=None)
    assert b"Running pacman" not in terminal.raw
    assert set(calls(log)) == {"-Slq"}
    assert_given_back(terminal)


def test_without_pacman_the_list_stays_empty_and_nothing_is_reported(run_in_terminal, pacpick_path, world,
                                                                    tmp_path):
    empty = tmp_path / "empty-bin"
    empty.mkdir()
    terminal = run_in_terminal([pacpick_path], env=world.env(PATH=str(empty)), cwd=world.path)
    terminal.wait_for_frame(lambda frame: True)
    for character in "vim":
        terminal.send(character)
    last = settled_frames(terminal, "vim")
    assert last.entries == [] and last.details == ["", "", ""]
    assert all(frame.entries == [] for frame in terminal.frames())

    terminal.press("esc")
    assert terminal.wait_exit() == Exit(code=0, signal=None)
    assert b"Error" not in terminal.raw
    assert_given_back(terminal)


def test_a_reader_of_standard_output_that_goes_away_ends_the_program(run_in_terminal, pacpick_path, world,
                                                                     tmp_path):
    # Standard output is a FIFO that the test reads and then closes; the
    # terminal (standard input and error) stays the pty.
    fifo = tmp_path / "stdout"
    os.mkfifo(fifo)
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    try:
        terminal = run_in_terminal(["/bin/sh", "-c", 'exec "$0" > "$1"', pacpick_path, fifo],
                                   env=world.env(), cwd=world.path)
        drawn = read_until_first_frame(reader)
    finally:
        os.close(reader)
    assert drawn.startswith(b"\x1b[?25l\x1b[2J")

    terminal.send("v")
    assert terminal.wait_exit() == Exit(code=1, signal=None)
    # Nothing of the screen went to the pty: only the error, after raw mode was left.
    assert bytes(terminal.raw) == b'Error: Os { code: 32, kind: BrokenPipe, message: "Broken pipe" }\r\n'
    assert terminal.stty_after() == terminal.stty_before


def read_until_first_frame(descriptor):
    data = b""
    deadline = time.monotonic() + DEFAULT_TIMEOUT
    while b"\x1b[2J" not in data or Frame.parse(data.split(b"\x1b[2J", 1)[1]) is None:
        remaining = deadline - time.monotonic()
        ready, _, _ = select.select([descriptor], [], [], max(remaining, 0))
        assert ready, f"no first frame on standard output; got {data!r}"
        chunk = os.read(descriptor, 65536)
        assert chunk, f"standard output closed before the first frame: {data!r}"
        data += chunk
    return data


def test_without_any_terminal_the_open_fails_and_nothing_is_written(pacpick_path, world):
    # A new session has no controlling terminal, so /dev/tty cannot be opened.
    result = subprocess.run([pacpick_path], env=world.env(), cwd=world.path, stdin=subprocess.DEVNULL,
                            capture_output=True, start_new_session=True, timeout=DEFAULT_TIMEOUT)
    assert result.returncode == 1
    assert result.stdout == b""
    assert result.stderr == b'Error: Os { code: 6, kind: Uncategorized, message: "No such device or address" }\n'
