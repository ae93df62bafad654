"""Installing and removing with Enter: pacpick gives the terminal back, runs
`sudo pacman -S|-R NAME` in the foreground through the test world's sudo
stand-in, and reports a failing status. The answers go to pacman's own
confirmation question; each changing test has a world of its own."""

import os
import re
import select
import subprocess
import time

import pytest

from harness import DEFAULT_TIMEOUT, Exit

RESTORE = b"\x1b[?25h\x1b[2J\x1b[1;1H"
NOT_FOUND = b'Error: Os { code: 2, kind: NotFound, message: "No such file or directory" }'


class StandardError:
    """The program's standard error apart from its terminal: a FIFO that the
    test reads. Whatever the program and its children write there (pacman asks
    its question on standard error) is gathered in `data`."""

    def __init__(self, path):
        os.mkfifo(path)
        self.path = path
        self.data = b""
        self._fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)

    def wait_for(self, text, until_end=False):
        """Reads until `text` has come, or with `until_end` until every writer has gone."""
        deadline = time.monotonic() + DEFAULT_TIMEOUT
        while until_end or text not in self.data:
            ready, _, _ = select.select([self._fd], [], [], max(deadline - time.monotonic(), 0))
            assert ready, f"waited in vain for {text!r} on standard error; got {self.data!r}"
            chunk = os.read(self._fd, 65536)
            if not chunk:
                break
            self.data += chunk
        return self.data

    def close(self):
        os.close(self._fd)


@pytest.fixture
def standard_error(tmp_path):
    pipe = StandardError(tmp_path / "stderr")
    yield pipe
    pipe.close()


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
                                                           standard_error, uninstall, name, answer):
    flag = "-R" if uninstall else "-S"
    was_installed = scratch_world.installed(name)
    assert was_installed == uninstall
    terminal = run_in_terminal(["/bin/sh", "-c", 'exec "$0" 2>"$1"', pacpick_path, standard_error.path],
                               env=scratch_world.env(), cwd=scratch_world.path)
    choose(terminal, name, uninstall=uninstall)
    terminal.press("enter")

    standard_error.wait_for(b"[Y/n]")
    running = f"Running pacman {flag} {name}...".encode()
    terminal.wait_for_text(running.decode())
    given_back = terminal.raw[terminal.raw.index(RESTORE):]
    assert given_back.startswith(RESTORE + running + b"\r\n"), "the line stands alone on a cleared screen"
    assert terminal.lines[0].rstrip() == running.decode()
    assert terminal.stty_after() == terminal.stty_before, "pacman asks on a terminal in its normal mode"

    terminal.answer(answer + "\r")  # until the program's end hangs up the pty
    assert terminal.wait_exit() == Exit(code=0, signal=None)
    errors = standard_error.wait_for(None, until_end=True)
    assert scratch_world.installed(name) == (was_installed != (answer == "y"))
    if answer == "y":
        assert b"exited with status" not in errors
    else:
        assert errors.endswith(f"pacman {flag} exited with status: 1\n".encode())
    given_back = terminal.raw[terminal.raw.index(RESTORE):]
    assert b"exited with status" not in given_back and b"Error" not in given_back
    assert given_back.count(b"\x1b[2J") == 1, "nothing drawn after the command"


# A sudo that cannot start, and one that fails half way (as sudo does when it
# cannot fork) with the terminal left in its own raw mode: the user's shell
# takes the modes a job leaves as its own, so they must be the ones found.
SUDO_FAILURES = {
    "missing": (None, Exit(code=1, signal=None), RESTORE + b"Running pacman -S hello...\r\n" + NOT_FOUND),
    "raw and failing": ("#!/bin/sh\nstty raw -echo\nexit 1\n", Exit(code=0, signal=None),
                        b"pacman -S exited with status: 1"),
}


@pytest.mark.parametrize("sudo", SUDO_FAILURES)
def test_a_sudo_that_fails_leaves_the_terminal_as_it_was_found(run_in_terminal, pacpick_path, world, tmp_path,
                                                                sudo):
    script, end, last_line = SUDO_FAILURES[sudo]
    first = tmp_path / "first-on-path"
    first.mkdir()
    (first / "pacman").symlink_to(world.bin / "pacman")
    if script is not None:
        (first / "sudo").write_text(script)
        (first / "sudo").chmod(0o755)
    terminal = run_in_terminal([pacpick_path], env=world.env(PATH=str(first) if script is None else
                                                             f"{first}:{world.env()['PATH']}"), cwd=world.path)
    choose(terminal, "hello")
    terminal.press("enter")

    assert terminal.wait_exit() == end
    assert terminal.raw.endswith(last_line + b"\r\n")
    assert terminal.cursor_visible
    assert terminal.stty_after() == terminal.stty_before
    assert not world.installed("hello")


def test_in_another_language_the_details_show_and_pacman_still_asks_in_it(run_in_terminal, pacpick_path,
                                                                         scratch_world):
    # pacman names its fields in the user's language ("Beschreibung" in German);
    # the details must show all the same, and the install is the user's own.
    locales = subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout.lower().split()
    if "de_de.utf8" not in locales:
        pytest.fail("the de_DE.UTF-8 locale is missing: scripts/bootstrap test generates it")
    env = scratch_world.env(LANG="de_DE.UTF-8", LANGUAGE="de")
    del env["LC_ALL"]
    terminal = run_in_terminal([pacpick_path], env=env, cwd=scratch_world.path)
    terminal.wait_for_frame(lambda frame: True)
    terminal.send("hello")
    frame = terminal.wait_for_frame(lambda f: f.entries[:1] == ["hello"] and f.marker == 0
                                    and f.details[0].startswith("Package: hello "), what="hello's details")
    assert re.fullmatch(r"Package: hello    Version: \S+", frame.details[0]), frame.details
    assert frame.details[2].startswith("Description: Prints a friendly greeting — «bonjour»"), frame.details

    terminal.press("enter")
    terminal.wait_for_text("Installation fortsetzen? [J/n]")
    terminal.answer("n\r")
    assert terminal.wait_exit() == Exit(code=0, signal=None)
    assert "pacman -S exited with status: 1" in terminal.text
    assert not scratch_world.installed("hello")
