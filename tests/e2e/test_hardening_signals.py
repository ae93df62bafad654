"""The terminal always comes back, whatever ends the program, and the keyboard's
signals during an install or removal belong to the command, not to pacpick.

A run that leaves the terminal raw (no echo, no line editing) or the cursor
hidden breaks the user's shell; these cases end the program from outside or
early and look at the pty's settings and the emulated screen afterwards."""

import contextlib
import os
import re
import signal

import pytest

from conftest import pacpick_binary
from harness import PYTHON, Exit
from standins import STANDINS, ignored_signals, scripted_pacman, shown, signal_bit

ROWS, COLUMNS = 24, 80


@pytest.fixture
def scripted(tmp_path):
    yield from scripted_pacman(tmp_path)


@contextlib.contextmanager
def keyboard_signals_at_default():
    """Children forked meanwhile start with SIGINT and SIGQUIT at their default
    actions, even if this test run was started with them ignored (as a
    background job is): the program keeps ignored signals ignored for its
    commands, and these tests need them to reach the command."""
    saved = {number: signal.getsignal(number) for number in (signal.SIGINT, signal.SIGQUIT)}
    signal.signal(signal.SIGINT, signal.default_int_handler)  # a handler: reset by exec
    signal.signal(signal.SIGQUIT, signal.SIG_DFL)
    try:
        yield
    finally:
        for number, handler in saved.items():
            signal.signal(number, handler)


def start(run_in_terminal, standin, argv=None):
    with keyboard_signals_at_default():
        return run_in_terminal(argv or [pacpick_binary()], env=standin.env(), cwd=standin.dir,
                               rows=ROWS, columns=COLUMNS)


def test_a_cursor_that_cannot_be_hidden_at_start_leaves_raw_mode_before_the_error(scripted, run_in_terminal):
    # Input is the pty, so raw mode is entered; output is a pipe nobody reads,
    # so hiding the cursor is the first write and fails.
    terminal = start(run_in_terminal, scripted, [PYTHON, STANDINS / "dead-stdout", pacpick_binary()])
    assert terminal.wait_exit() == Exit(code=1, signal=None), terminal.describe()
    assert terminal.text == 'Error: Os { code: 32, kind: BrokenPipe, message: "Broken pipe" }'
    assert terminal.stty_after() == terminal.stty_before
    assert scripted.calls() == []


@pytest.mark.parametrize("number", [signal.SIGTERM, signal.SIGHUP], ids=["SIGTERM", "SIGHUP"])
def test_a_termination_signal_gives_the_terminal_back_and_ends_the_program_by_that_signal(
        scripted, run_in_terminal, number):
    # A details query that never ends keeps a child running when the signal comes.
    scripted.on("-Slq", stdout="alpha\nbeta\nalphabet\n").on("-Si", hang=True, tell="(details pending)")
    scripted.on("-Q", exit=1)
    terminal = start(run_in_terminal, scripted)
    terminal.wait_for_text("[install] ").send("alpha")
    terminal.wait_for(lambda t: shown(t)[ROWS - 7:ROWS - 5] == ["  alphabet", "> alpha"], what="the list")
    terminal.wait_for_text("(details pending)")
    assert not terminal.cursor_visible and terminal.stty_after() != terminal.stty_before

    os.kill(terminal.pid, number)
    assert terminal.wait_exit() == Exit(code=None, signal=number), terminal.describe()
    assert terminal.cursor_visible
    assert terminal.text == "" and terminal.cursor == (0, 0)
    assert terminal.stty_after() == terminal.stty_before
    assert terminal.raw.endswith(b"\x1b[?25h\x1b[2J\x1b[1;1H")


@pytest.mark.parametrize("number", [signal.SIGSEGV, signal.SIGABRT], ids=["SIGSEGV", "SIGABRT"])
def test_a_crash_gives_the_terminal_back_and_still_ends_the_program_by_its_signal(
        scripted, run_in_terminal, number):
    scripted.on("-Slq", stdout="alpha\n").on("-Si", hang=True).on("-Q", exit=1)
    # No core file: the signal's default action is what is looked at.
    terminal = start(run_in_terminal, scripted, ["/bin/sh", "-c", 'ulimit -c 0; exec "$0"', pacpick_binary()])
    terminal.wait_for_text("[install] ").send("a")
    terminal.wait_for(lambda t: "> alpha" in shown(t), what="the list")
    assert not terminal.cursor_visible and terminal.stty_after() != terminal.stty_before

    os.kill(terminal.pid, number)
    assert terminal.wait_exit() == Exit(code=None, signal=number), terminal.describe()
    assert terminal.raw.endswith(b"\x1b[?25h")
    assert terminal.stty_after() == terminal.stty_before


@pytest.mark.parametrize("key, number", [(b"\x03", signal.SIGINT), (b"\x1c", signal.SIGQUIT)],
                         ids=["control-c", "control-backslash"])
def test_keyboard_signals_during_the_command_end_the_command_and_pacpick_reports_it(
        scripted, run_in_terminal, key, number):
    scripted.on("-Slq", stdout="pkg\n").on("-Si", stdout="Version : 1-1\n").on("-Q", exit=1)
    scripted.on("-S", prompt="Proceed with installation? [Y/n] ")
    terminal = start(run_in_terminal, scripted)
    terminal.wait_for_text("[install] ").send("pkg")
    terminal.wait_for_text("Package: pkg    Version: 1-1").press("enter")
    terminal.wait_for_text("Proceed with installation? [Y/n]")

    keyboard = signal_bit(signal.SIGINT) | signal_bit(signal.SIGQUIT)
    assert ignored_signals(terminal.pid) & keyboard == keyboard, "pacpick ignores them while it waits"
    started = scripted.calls("sudo") + [call for call in scripted.calls() if call["argv"][0] == b"-S"]
    assert len(started) == 2 and all(call["sigign"] & keyboard == 0 for call in started), started

    terminal.send(key)
    assert terminal.wait_exit() == Exit(code=0, signal=None), terminal.describe()
    assert "pacman -S exited with status: unknown" in terminal.text
    assert terminal.stty_after() == terminal.stty_before


def test_control_c_at_the_real_pacman_prompt_ends_pacman_and_pacpick_reports_its_status(
        scratch_world, run_in_terminal):
    name = "hello"
    with keyboard_signals_at_default():
        terminal = run_in_terminal([pacpick_binary()], env=scratch_world.env(), cwd=scratch_world.path,
                                   rows=ROWS, columns=COLUMNS)
    terminal.wait_for_text("[install] ").send(name)
    terminal.wait_for_text(f"Package: {name}    Version:")
    terminal.wait_for(lambda t: shown(t)[ROWS - 6] == f"> {name}", what=f"{name} selected")
    terminal.press("enter")
    terminal.wait_for_text("[Y/n]")
    terminal.send("\x03")
    assert terminal.wait_exit() == Exit(code=0, signal=None), terminal.describe()
    assert re.search(r"^pacman -S exited with status: (\d+|unknown)$", terminal.text, re.MULTILINE), \
        terminal.describe()
    assert terminal.stty_after() == terminal.stty_before
    assert not scratch_world.installed(name)


def test_a_program_started_with_sighup_ignored_survives_a_hang_up_signal_and_sudo_inherits_the_ignore(
        scripted, run_in_terminal):
    # As `nohup pacpick` leaves it: the program must not catch what its user
    # asked it to be immune to, nor hand its commands a different disposition.
    scripted.on("-Slq", stdout="pkg\n").on("-Si", stdout="Version : 1-1\n").on("-Q", exit=1)
    scripted.on("-S", prompt="Proceed with installation? [Y/n] ")
    terminal = start(run_in_terminal, scripted,
                     ["/bin/sh", "-c", 'trap "" HUP; exec "$0"', pacpick_binary()])
    terminal.wait_for_text("[install] ").send("pkg")
    terminal.wait_for_text("Package: pkg    Version: 1-1")
    hang_up = signal_bit(signal.SIGHUP)
    assert ignored_signals(terminal.pid) & hang_up, "the program took over the ignored SIGHUP"

    os.kill(terminal.pid, signal.SIGHUP)
    frames = len(terminal.frames())
    terminal.press("left")  # answered with a frame only by a program still running
    terminal.wait_for_frame(lambda frame: frame.query == "pkg", after=frames, what="a frame after SIGHUP")
    terminal.press("enter")
    terminal.wait_for_text("Proceed with installation? [Y/n]")
    terminal.send("n\r")
    assert terminal.wait_exit() == Exit(code=0, signal=None), terminal.describe()
    started = scripted.calls("sudo") + [call for call in scripted.calls() if call["argv"][0] == b"-S"]
    assert len(started) == 2 and all(call["sigign"] & hang_up for call in started), started
    assert terminal.stty_after() == terminal.stty_before
