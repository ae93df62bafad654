"""Installing and removing with Enter: pacpick gives the terminal back, runs
`sudo pacman -S|-R NAME` in the foreground through the test world's sudo
stand-in, and reports a failing status. The answers go to pacman's own
confirmation question; each changing test has a world of its own."""

import shutil

import pytest

from harness import Exit

RESTORE = b"\x1b[?25h\x1b[2J\x1b[1;1H"
NOT_FOUND = b'Error: Os { code: 2, kind: NotFound, message: "No such file or directory" }'


def start_with_stderr_copied(run_in_terminal, pacpick_path, world, stderr_copy, env=None):
    """The program in a pty whose standard error also goes, through tee, into
    `stderr_copy`; the pty still shows everything, pacman's questions too."""
    tee = shutil.which("tee")  # by its full path: PATH may be the program's own test subject
    return run_in_terminal(["/bin/bash", "-c", 'exec "$0" 2> >(exec "$2" "$1" >&2)', pacpick_path, stderr_copy, tee],
                           env=env or world.env(), cwd=world.path)


def choose(terminal, name, *, uninstall=False):
    """Brings `name` to the highlighted entry 0 with its details shown."""
    terminal.wait_for_frame(lambda frame: True)
    if uninstall:
        terminal.press("tab")
    terminal.send(name)
    terminal.wait_for_frame(lambda f: f.query == name and f.entries[:1] == [name] and f.marker == 0
                            and f.details[0].startswith(f"Package: {name} "), what=f"{name} highlighted")


@pytest.mark.parametrize("uninstall, name, answer", [
    (False, "hello", "y"), (False, "hello", "n"), (True, "cowsay", "y"), (True, "cowsay", "n")])
def test_enter_runs_sudo_pacman_on_the_given_back_terminal(run_in_terminal, pacpick_path, scratch_world,
                                                           tmp_path, uninstall, name, answer):
    flag = "-R" if uninstall else "-S"
    was_installed = scratch_world.installed(name)
    assert was_installed == uninstall
    stderr_copy = tmp_path / "stderr"
    terminal = start_with_stderr_copied(run_in_terminal, pacpick_path, scratch_world, stderr_copy)
    choose(terminal, name, uninstall=uninstall)
    terminal.press("enter")

    terminal.wait_for_text("[Y/n]")
    running = f"Running pacman {flag} {name}...".encode()
    given_back = terminal.raw[terminal.raw.index(RESTORE):]
    assert given_back.startswith(RESTORE + running + b"\r\n"), "the line stands alone on a cleared screen"
    assert terminal.lines[0].rstrip() == running.decode()
    assert terminal.stty_after() == terminal.stty_before, "pacman asks on a terminal in its normal mode"

    terminal.answer(answer + "\r")
    assert terminal.wait_exit() == Exit(code=0, signal=None)
    terminal.wait_for(lambda t: t.output_ended, what="tee to finish")
    given_back = terminal.raw[terminal.raw.index(RESTORE):]
    assert scratch_world.installed(name) == (was_installed != (answer == "y"))
    status_line = f"pacman {flag} exited with status: 1\n"
    if answer == "y":
        assert "exited with status" not in stderr_copy.read_text()
        assert b"exited with status" not in terminal.raw and b"Error" not in terminal.raw
    else:
        assert stderr_copy.read_text().endswith(status_line)
        assert terminal.raw.endswith(status_line.replace("\n", "\r\n").encode())
    assert given_back.count(b"\x1b[2J") == 1, "nothing drawn after the command"


def test_without_sudo_enter_fails_with_the_error_and_the_terminal_given_back(run_in_terminal, pacpick_path,
                                                                           world, tmp_path):
    only_pacman = tmp_path / "only-pacman"
    only_pacman.mkdir()
    (only_pacman / "pacman").symlink_to(world.bin / "pacman")
    stderr_copy = tmp_path / "stderr"
    terminal = start_with_stderr_copied(run_in_terminal, pacpick_path, world, stderr_copy,
                                        env=world.env(PATH=str(only_pacman)))
    choose(terminal, "hello")
    terminal.press("enter")

    assert terminal.wait_exit() == Exit(code=1, signal=None)
    terminal.wait_for(lambda t: t.output_ended, what="tee to finish")
    assert stderr_copy.read_bytes() == NOT_FOUND + b"\n"
    assert terminal.raw.endswith(RESTORE + b"Running pacman -S hello...\r\n" + NOT_FOUND + b"\r\n")
    assert terminal.cursor_visible
    assert terminal.stty_after() == terminal.stty_before
    assert not world.installed("hello")
