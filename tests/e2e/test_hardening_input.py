"""The keyboard after the loop, and a keyboard that goes away.

What the user types after Enter belongs to sudo and pacman, even typed ahead of
their prompts in one go with the Enter: once Enter has chosen a package,
nothing of the program may read the terminal again, nor have read past it. A
terminal that ends (hung up, or its other side closed) must end the program
with the terminal given back, never leave it running deaf in raw mode."""

import fcntl
import multiprocessing
import os
import select
import subprocess
import termios
import time
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import pytest

from conftest import pacpick_binary
from harness import DEFAULT_TIMEOUT, Exit, Terminal, world_environment

ROWS, COLUMNS = 24, 80
RESTORE = b"\x1b[?25h\x1b[2J\x1b[1;1H"
END_OF_INPUT = 'Error: Error { kind: Other, message: "end of terminal input" }'

# The password loop: sessions, the processes that run them side by side, and
# the busy loops that keep both processors loaded meanwhile.
SESSIONS = 200
WORKERS = 4
HOGS = 2

PACMAN = r"""#!/bin/sh
# One package; the install asks its question on the terminal and logs the
# answer it read.
case "$1" in
    -Slq) echo pkg ;;
    -Si) read -r _ <"$DETAILS_GATE"; printf 'Version : 1-1\nDescription : a package\n' ;;
    -Q) exit 1 ;;
    -S) printf ':: Proceed with installation? [Y/n] '
        IFS= read -r line
        printf '%s|pacman|%s\n' "$SESSION" "$line" >> "$PASSWORD_LOG" ;;
esac
"""

# Asks for a password on the terminal, as sudo does, and logs the line it read.
SUDO = r"""#!/bin/sh
printf '[sudo] password for %s: ' "$SESSION"
IFS= read -r line
printf '%s|sudo|%s\n' "$SESSION" "$line" >> "$PASSWORD_LOG"
exec "$@"
"""


@pytest.fixture
def password_standin(tmp_path):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "pacman").write_text(PACMAN)
    (bin_dir / "sudo").write_text(SUDO)
    for program in ("pacman", "sudo"):
        (bin_dir / program).chmod(0o755)
    env = world_environment(bin_dir)
    env["PASSWORD_LOG"] = str(tmp_path / "passwords")
    return env, tmp_path


@pytest.fixture
def loaded_processors():
    """Busy loops on every processor, ended by the test's end: the input wait
    thread then often loses its processor at the worst moment."""
    # Each loop also ends when pytest does, however it ends: a test run killed
    # from outside must not leave the machine loaded for whatever runs next.
    hogs = [subprocess.Popen(["/bin/sh", "-c", "while kill -0 $PPID 2>/dev/null; do :; done"],
                             stdin=subprocess.DEVNULL)
            for _ in range(HOGS)]
    try:
        yield
    finally:
        for hog in hogs:
            hog.kill()
            hog.wait()


def password_session(env, cwd, session):
    """One install typed ahead, with the details answer held back until the
    moment of the keys: the search, Left (after which the loop asks the wait
    thread for the next key anew), then in one write Enter, the password line
    and the answer to pacman's question, before sudo has even started; the
    details answer that wakes the main task comes before or after that write.
    Returns what went wrong, or None."""
    secret = f"secret {session} \u00e9t\u00e9"
    gate = Path(cwd) / f"details-{session}"
    os.mkfifo(gate)
    # Held open for writing throughout, so the stand-in's open never waits; a
    # stand-in still waiting when it is closed reads the end and goes.
    gate_fd = os.open(gate, os.O_RDWR | os.O_CLOEXEC)
    env = dict(env, SESSION=str(session), DETAILS_GATE=str(gate))
    terminal = Terminal([str(pacpick_binary().resolve())], env=env, cwd=cwd, rows=ROWS, columns=COLUMNS)

    def release_details():
        os.write(gate_fd, b"\n")

    try:
        terminal.wait_for_text("[install] ")
        terminal.send("p")
        terminal.wait_for_frame(lambda frame: frame.entries[:1] == ["pkg"], what="the list")
        frames = len(terminal.frames())
        terminal.press("left")
        terminal.wait_for_frame(lambda frame: True, after=frames, what="the frame after Left")
        typed_ahead = "\r" + secret + "\nn\n"
        if session % 2:
            release_details()
            terminal.send(typed_ahead)
        else:
            terminal.send(typed_ahead)
            release_details()
        # A line the program took would leave a stand-in waiting for good.
        try:
            ended = terminal.wait_exit(timeout=DEFAULT_TIMEOUT)
        except TimeoutError:
            return f"session {session}: a line typed ahead never reached sudo or pacman"
        if ended != Exit(code=0, signal=None):
            return f"session {session}: ended {ended}\n{terminal.describe()}"
        return None
    except (AssertionError, TimeoutError) as failure:
        return f"session {session}: {failure}"
    finally:
        terminal.close()
        os.close(gate_fd)


def password_sessions(env, cwd, sessions):
    return [problem for problem in (password_session(env, cwd, s) for s in sessions) if problem]


def test_every_line_typed_ahead_of_sudo_reaches_sudo_and_pacman_whole_on_a_loaded_machine(
        password_standin, loaded_processors):
    env, cwd = password_standin
    # Separate processes, each started before any of them opens a terminal:
    # the terminal driver forks, which threads of one process would make unsafe.
    shares = [range(worker, SESSIONS, WORKERS) for worker in range(WORKERS)]
    with ProcessPoolExecutor(WORKERS, mp_context=multiprocessing.get_context("fork")) as pool:
        problems = [p for found in pool.map(password_sessions, [env] * WORKERS, [cwd] * WORKERS, shares)
                    for p in found]
    log_file = Path(env["PASSWORD_LOG"])
    log = log_file.read_text(encoding="utf-8").splitlines() if log_file.exists() else []
    expected = sorted([f"{s}|sudo|secret {s} \u00e9t\u00e9" for s in range(SESSIONS)]
                      + [f"{s}|pacman|n" for s in range(SESSIONS)])
    lost = sorted(set(expected) - set(log))
    assert problems == [] and sorted(log) == expected, (
        f"{len(lost)} of {len(expected)} lines lost or cut, e.g. {lost[:3]}; "
        f"logged otherwise: {sorted(set(log) - set(expected))[:5]}\n" + "\n".join(problems[:3]))


# -- a keyboard that goes away -------------------------------------------------------

def test_a_keyboard_whose_terminal_ends_ends_the_program_with_the_screen_given_back(run_in_terminal, tmp_path):
    # The keys come from a second terminal, the screen is the first: when the
    # keyboard's terminal goes, the screen still shows how the program ended.
    keyboard, keyboard_side = os.openpty()
    try:
        keyboard_path = os.ttyname(keyboard_side)
        os.close(keyboard_side)
        env = world_environment(tmp_path)
        terminal = run_in_terminal(["/bin/sh", "-c", 'exec "$0" <"$1"', pacpick_binary(), keyboard_path],
                                   env=env, rows=ROWS, columns=COLUMNS)
        terminal.wait_for_text("[install] ")
        os.write(keyboard, b"ab")
        terminal.wait_for_text("[install] ab")
    finally:
        os.close(keyboard)  # the keyboard's terminal hangs up

    assert terminal.wait_exit() == Exit(code=1, signal=None), terminal.describe()
    assert terminal.raw.endswith(RESTORE + END_OF_INPUT.encode() + b"\r\n")
    assert terminal.cursor_visible


def test_a_hang_up_the_program_was_told_to_ignore_ends_it_once_its_terminal_is_gone(tmp_path):
    # As `nohup pacpick` in a terminal window that is then closed: SIGHUP is
    # ignored, so the program learns of the hang-up from its reads alone.
    errors = tmp_path / "stderr"
    master, slave = os.openpty()
    termios.tcsetwinsize(slave, (ROWS, COLUMNS))
    program = subprocess.Popen(
        ["/bin/sh", "-c", 'trap "" HUP; exec "$0" 2>"$1"', str(pacpick_binary()), str(errors)],
        stdin=slave, stdout=slave, stderr=slave, env=world_environment(tmp_path), start_new_session=True,
        preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0))
    os.close(slave)
    try:
        shown = b""
        deadline = time.monotonic() + DEFAULT_TIMEOUT
        while b"[install] " not in shown:
            ready, _, _ = select.select([master], [], [], max(deadline - time.monotonic(), 0))
            assert ready, f"no first frame: {shown!r}"
            shown += os.read(master, 4096)
    finally:
        os.close(master)
    try:
        code = program.wait(timeout=DEFAULT_TIMEOUT)
    except subprocess.TimeoutExpired:
        program.kill()
        program.wait()
        pytest.fail("the program still runs, deaf, after its terminal hung up")
    assert code == 1
    assert errors.read_text() == END_OF_INPUT + "\n"

