"""The terminal always comes back, whatever ends the program, and the keyboard's
signals during an install or removal belong to the command, not to pacpick.

A run that leaves the terminal raw (no echo, no line editing) or the cursor
hidden breaks the user's shell; these cases end the program from outside or
early and look at the pty's settings and the emulated screen afterwards."""

import contextlib
import os
import re
import select
import signal
import time
from pathlib import Path

import pytest

from conftest import pacpick_binary
from harness import PYTHON, Exit
from standins import (STANDINS, caught_signals, children_of, ignored_signals, process_state, scripted_pacman,
                      shown, signal_bit)

ROWS, COLUMNS = 24, 80

# Every signal whose default action ends a process, as one can come from
# outside (kill, timeout -s, a supervisor), but SIGPIPE, which the program
# ignores.
FATAL = [signal.SIGTERM, signal.SIGHUP, signal.SIGINT, signal.SIGQUIT, signal.SIGUSR1, signal.SIGUSR2, signal.SIGALRM, signal.SIGVTALRM,
         signal.SIGPROF, signal.SIGXCPU, signal.SIGXFSZ, signal.SIGTRAP, signal.SIGSYS, signal.SIGPWR,
         signal.SIGSTKFLT, signal.SIGIO, signal.SIGSEGV, signal.SIGABRT, signal.SIGILL, signal.SIGBUS,
         signal.SIGFPE]
REAL_TIME = list(range(signal.SIGRTMIN, signal.SIGRTMAX + 1))
# What giving the terminal back writes: the cursor first, then the screen as a quit leaves it.
GIVE_BACK = b"\x1b[?25h\x1b[2J\x1b[1;1H"
# The signals a test needs to reach the program, whatever this test run was
# started with ignored.
NEEDED = (signal.SIGINT, signal.SIGQUIT, signal.SIGHUP, signal.SIGTERM, signal.SIGTSTP, signal.SIGTTIN,
          signal.SIGTTOU)


def signal_name(number):
    return signal.Signals(number).name if number < signal.SIGRTMIN else f"SIGRTMIN+{number - signal.SIGRTMIN}"


@pytest.fixture
def scripted(tmp_path):
    yield from scripted_pacman(tmp_path)


@contextlib.contextmanager
def at_default_in_children(numbers=NEEDED):
    """Children forked meanwhile start with these signals at their default
    actions, even if this test run was started with some ignored (as a
    background job is, as nohup leaves SIGHUP and Python SIGXFSZ): the program
    keeps ignored signals ignored, for itself and its commands, and these tests
    need them to reach it. A handler, unlike an ignore, is reset by exec."""
    saved = {number: signal.getsignal(number) for number in numbers}
    for number in numbers:
        signal.signal(number, lambda *_: None)
    try:
        yield
    finally:
        for number, handler in saved.items():
            signal.signal(number, handler)


def start(run_in_terminal, standin, argv=None, defaults=NEEDED):
    with at_default_in_children(defaults):
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


@pytest.mark.parametrize("number", FATAL + REAL_TIME[:2] + REAL_TIME[-1:], ids=signal_name)
def test_every_signal_that_ends_the_program_gives_the_terminal_back_first(scripted, run_in_terminal, number):
    # A details query that never ends keeps a child running when the signal comes.
    scripted.on("-Slq", stdout="alpha\n").on("-Si", hang=True, tell="(details pending)").on("-Q", exit=1)
    # No core file: the signal's default action is what is looked at.
    terminal = start(run_in_terminal, scripted, ["/bin/sh", "-c", 'ulimit -c 0; exec "$0"', pacpick_binary()],
                     defaults=NEEDED + tuple(FATAL + REAL_TIME))
    terminal.wait_for_text("[install] ").send("a")
    terminal.wait_for(lambda t: "> alpha" in shown(t), what="the list")
    terminal.wait_for_text("(details pending)")
    assert not terminal.cursor_visible and terminal.stty_after() != terminal.stty_before
    every = sum(signal_bit(n) for n in FATAL + REAL_TIME)
    assert caught_signals(terminal.pid) & every == every, "some signal would end the program unseen"

    os.kill(terminal.pid, number)
    assert terminal.wait_exit() == Exit(code=None, signal=number), terminal.describe()
    assert terminal.raw.endswith(GIVE_BACK)
    assert terminal.stty_after() == terminal.stty_before
    assert terminal.text == "" and terminal.cursor == (0, 0), "the screen is left as a quit leaves it"


@pytest.mark.parametrize("number", [signal.SIGTSTP, signal.SIGTTIN, signal.SIGTTOU], ids=signal_name)
def test_a_stop_from_outside_gives_the_terminal_back_and_a_continue_takes_it_again(
        scripted, run_in_terminal, number):
    scripted.on("-Slq", stdout="alpha\n").on("-Si", stdout="Version : 1-1\n").on("-Q", exit=1)
    terminal = start(run_in_terminal, scripted, [PYTHON, STANDINS / "foreground-job", pacpick_binary()])
    terminal.wait_for_text("[install] ").send("a")
    terminal.wait_for_text("Package: alpha    Version: 1-1")
    [program] = children_of(terminal.pid)
    raw = terminal.stty_after()
    assert raw != terminal.stty_before and not terminal.cursor_visible

    os.kill(program, number)
    terminal.wait_for_text(f"stopped by {signal.Signals(number).name}")
    assert terminal.stty_after() == terminal.stty_before and terminal.cursor_visible
    # Cleared, the cursor at the top-left, before the shell's line came.
    assert shown(terminal) == [f"stopped by {signal.Signals(number).name}"] + [""] * (ROWS - 1)

    frames = len(terminal.frames())
    os.kill(program, signal.SIGCONT)
    terminal.wait_for_frame(lambda frame: frame.query == "a" and frame.entries == ["alpha"], after=frames,
                            what="the frame drawn again")
    assert terminal.stty_after() == raw and not terminal.cursor_visible
    # Held again, the terminal is given back again by whatever ends the program.
    os.kill(program, signal.SIGTERM)
    assert terminal.wait_exit() == Exit(code=None, signal=signal.SIGTERM), terminal.describe()
    assert terminal.stty_after() == terminal.stty_before and terminal.raw.endswith(GIVE_BACK)


def wait_until(condition, what, timeout=15):
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, f"waited in vain for {what}"
        time.sleep(0.01)


@pytest.mark.parametrize("how", ["started in the background", "stopped from outside, then bg"])
def test_kill_of_a_job_ends_it_in_whatever_state_the_shell_left_it(scripted, run_in_terminal, tmp_path, how):
    # Under a real interactive shell: a program in the background stops as it
    # wants the terminal, and `kill %1` sends SIGTERM, then SIGCONT.
    scripted.on("-Slq", stdout="alpha\n").on("-Si", stdout="Version : 1-1\n").on("-Q", exit=1)
    env = dict(scripted.env(), PS1="$ ", HISTFILE="/dev/null")
    with at_default_in_children():
        shell = run_in_terminal(["bash", "--norc", "--noprofile", "-i"], env=env, cwd=scripted.dir,
                                rows=ROWS, columns=COLUMNS)
    shell.wait_for_text("$ ")
    shell.send(f"stty -g > {tmp_path}/before\r")
    shell.send(f"{pacpick_binary()}{' &' if how.startswith('started') else ''}\r")
    wait_until(lambda: jobs_of(shell.pid), "the job")
    [program] = jobs_of(shell.pid)
    if how.startswith("stopped"):
        shell.wait_for_text("[install] ")
        os.kill(program, signal.SIGTSTP)
        shell.wait_for_text("Stopped")
        # Continued in the background, it wants the terminal back and stops again.
        shell.send("bg\r")

    process = os.pidfd_open(program)
    try:
        # As a user would, once the shell knows the job is stopped: only then
        # does `kill` continue it after the SIGTERM. The shell then waits for
        # it as long as it takes, and says how it ended.
        shell.send("until [ -n \"$(jobs -s)\" ]; do sleep 0.01; done; kill %1; "
                   "while [ -n \"$(jobs -s)\" ]; do sleep 0.01; done; wait %1 2>/dev/null; echo ended by $?\r")
        ended, _, _ = select.select([process], [], [], 15)
    finally:
        os.close(process)
    assert ended, "still running after kill %1"
    # Told by the shell's notice, or by `wait` if the notice has not come.
    shell.wait_for(lambda t: re.search(rf"^(\[1\]\+ +Terminated .*|ended by {128 + signal.SIGTERM})$",
                                       "\n".join(line.rstrip() for line in t.lines), re.MULTILINE),
                   what="the shell to tell of SIGTERM")
    shell.send(f"stty -g > {tmp_path}/after; echo sa''ved\r")
    shell.wait_for(lambda t: "saved" in t.lines[t.cursor[1] - 1], what="the modes saved")
    assert (tmp_path / "after").read_text() == (tmp_path / "before").read_text(), "the shell's modes changed"
    flags = int(status_field_of(f"/proc/{shell.pid}/fdinfo/0", "flags"), 8)
    assert flags & os.O_NONBLOCK == 0, "the shell's terminal was left non-blocking"


def jobs_of(shell):
    """The shell's children that run the program."""
    def runs_it(pid):
        try:
            return os.readlink(f"/proc/{pid}/exe") == str(pacpick_binary())
        except FileNotFoundError:
            return False
    return [child for child in children_of(shell) if runs_it(child)]


def status_field_of(path, name):
    for line in Path(path).read_text().splitlines():
        if line.startswith(name + ":"):
            return line.split()[1]
    raise AssertionError(f"no {name} in {path}")


# How the program may be started: as a shell starts it; by a launcher that
# ignores SIGCHLD (a daemon) or SIGALRM, which exec passes on; and from a
# thread that had every signal blocked, which exec passes on too.
LAUNCHERS = {
    "as usual": [],
    "SIGCHLD ignored": ["/bin/sh", "-c", 'trap "" CHLD; exec "$0"'],
    "SIGALRM ignored": ["/bin/sh", "-c", 'trap "" ALRM; exec "$0"'],
    "every signal blocked": [PYTHON, "-c", "import os, signal, sys; "
                             "signal.pthread_sigmask(signal.SIG_BLOCK, signal.valid_signals()); "
                             "os.execv(sys.argv[1], sys.argv[1:])"],
}


def blocked_writing_to_the_terminal(pid):
    """Whether the program's main thread waits in a write to standard output."""
    fields = Path(f"/proc/{pid}/syscall").read_text().split()
    return fields[:2] == ["1", "0x1"]


@pytest.mark.parametrize("launcher", ["as usual", "SIGALRM ignored"], ids=lambda value: value.replace(" ", "-"))
def test_a_termination_signal_ends_the_program_while_the_terminal_reads_nothing(
        scripted, run_in_terminal, launcher):
    scripted.on("-Slq", stdout="").on("-Si", exit=1).on("-Q", exit=1)
    terminal = start(run_in_terminal, scripted, LAUNCHERS[launcher] + [pacpick_binary()])
    terminal.wait_for_text("[install] ")
    # From here on nothing reads what the program writes: a frame per key
    # fills the terminal's queue until a write waits for room for good.
    process = os.pidfd_open(terminal.pid)
    try:
        deadline = time.monotonic() + 15
        while not blocked_writing_to_the_terminal(terminal.pid):
            assert time.monotonic() < deadline, "the program's writes never waited"
            os.write(terminal._fd, b"x" * 50)
            select.select([process], [], [], 0.05)
        os.kill(terminal.pid, signal.SIGTERM)
        ended, _, _ = select.select([process], [], [], 15)
    finally:
        os.close(process)
    assert ended, "still running 15 s after SIGTERM"
    assert terminal.wait_exit() == Exit(code=None, signal=signal.SIGTERM)
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
    with at_default_in_children():
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


@pytest.mark.parametrize("number", [signal.SIGHUP, signal.SIGUSR1], ids=signal_name)
def test_a_signal_ignored_at_start_stays_ignored_by_the_program_and_by_sudo(scripted, run_in_terminal, number):
    # As `nohup pacpick` leaves SIGHUP: the program must not catch what its
    # user asked it to be immune to, nor hand its commands a different one.
    scripted.on("-Slq", stdout="pkg\n").on("-Si", stdout="Version : 1-1\n").on("-Q", exit=1)
    scripted.on("-S", prompt="Proceed with installation? [Y/n] ")
    terminal = start(run_in_terminal, scripted,
                     ["/bin/sh", "-c", f'trap "" {number}; exec "$0"', pacpick_binary()])
    terminal.wait_for_text("[install] ").send("pkg")
    terminal.wait_for_text("Package: pkg    Version: 1-1")
    bit = signal_bit(number)
    assert ignored_signals(terminal.pid) & bit, "the program took over the ignored signal"

    os.kill(terminal.pid, number)
    frames = len(terminal.frames())
    terminal.press("left")  # answered with a frame only by a program still running
    terminal.wait_for_frame(lambda frame: frame.query == "pkg", after=frames, what="a frame after the signal")
    terminal.press("enter")
    terminal.wait_for_text("Proceed with installation? [Y/n]")
    terminal.send("n\r")
    assert terminal.wait_exit() == Exit(code=0, signal=None), terminal.describe()
    started = scripted.calls("sudo") + [call for call in scripted.calls() if call["argv"][0] == b"-S"]
    assert len(started) == 2 and all(call["sigign"] & bit for call in started), started
    assert terminal.stty_after() == terminal.stty_before


@pytest.mark.parametrize("launcher, when", [("as usual", "command"), ("SIGCHLD ignored", "command"),
                                            ("every signal blocked", "command"),
                                            ("every signal blocked", "list")],
                         ids=lambda value: value.replace(" ", "-"))
def test_whatever_signals_it_inherits_the_program_hears_its_children_and_its_end(
        scripted, run_in_terminal, launcher, when):
    # A search takes 0.4 s, so a letter typed as soon as the search before
    # has started its pacman leaves that one running; only the last answers.
    scripted.on("-Slq", stdout="packages\npackagesx\n", delay=0.4)
    scripted.on("-Si", stdout="Version : 1-1\n").on("-Q", exit=1)
    release = scripted.dir / "release"
    os.mkfifo(release)
    scripted.on("-S", prompt="Proceed with installation? [Y/n] ", on_term="(command got SIGTERM)", release=release)
    terminal = start(run_in_terminal, scripted, LAUNCHERS[launcher] + [pacpick_binary()])
    listed = ["  packagesx", "> packages"]
    terminal.wait_for_text("[install] ").send("packages")
    terminal.wait_for(lambda t: shown(t)[ROWS - 7:ROWS - 5] == listed, what="the list")
    terminal.wait_for_text("Package: packages    Version: 1-1")
    searches = lambda: [call["pid"] for call in scripted.calls() if call["argv"][0] == b"-Slq"]
    for _ in range(8):
        started = len(searches())
        terminal.send("x")
        wait_until(lambda: len(searches()) > started, "the search's pacman")
    # Each abandoned search ends on its own and must be reaped, not left a zombie.
    wait_until(lambda: not set(searches()) & set(children_of(terminal.pid)), "every search reaped")
    frames = len(terminal.frames())
    terminal.press(*["backspace"] * 8)
    terminal.wait_for_frame(lambda frame: frame.query == "packages" and frame.entries == ["packages", "packagesx"],
                            after=frames, what="the list again")

    if when == "list":
        os.kill(terminal.pid, signal.SIGTERM)
        assert terminal.wait_exit() == Exit(code=None, signal=signal.SIGTERM), terminal.describe()
        assert terminal.text == "" and terminal.cursor == (0, 0)
        assert terminal.stty_after() == terminal.stty_before
        return
    terminal.press("enter")
    terminal.wait_for_text("Proceed with installation? [Y/n]")
    started = scripted.calls("sudo") + [call for call in scripted.calls() if call["argv"][0] == b"-S"]
    assert len(started) == 2 and all(call["sigblk"] == 0 for call in started), started

    # Passed on to the command, which ends by it; then the program does.
    os.kill(terminal.pid, signal.SIGTERM)
    terminal.wait_for_text("(command got SIGTERM)")
    assert process_state(terminal.pid) not in (None, "Z"), "the program ended before its command"
    with open(release, "wb"):
        pass
    assert terminal.wait_exit() == Exit(code=None, signal=signal.SIGTERM), terminal.describe()
    assert terminal.stty_after() == terminal.stty_before
