"""The process entry: standard descriptors made safe, and a runtime that cannot
be built."""

from conftest import pacpick_binary
from harness import Exit


def test_closed_standard_output_is_discarded_and_the_program_still_runs(run_in_terminal, world):
    # Descriptor 1 closed at start is opened on /dev/null: frames vanish, keys
    # still come from the terminal, and nothing fails.
    terminal = run_in_terminal(["sh", "-c", 'exec "$0" 1>&-', pacpick_binary()], env=world.env())
    terminal.send("vim")
    terminal.press("esc")
    assert terminal.wait_exit() == Exit(code=0, signal=None), terminal.describe()
    assert b"\x1b[" not in terminal.raw
    assert terminal.stty_after() == terminal.stty_before


def test_a_runtime_that_cannot_be_built_ends_with_101_before_touching_the_terminal(
        run_in_terminal, world):
    # With one descriptor beyond 0 to 2 allowed (the loader needs it), the runtime
    # cannot make both its epoll instance and its wake-up counter.
    terminal = run_in_terminal(["sh", "-c", 'ulimit -n 4; exec "$0"', pacpick_binary()], env=world.env())
    assert terminal.wait_exit() == Exit(code=101, signal=None), terminal.describe()
    text = terminal.raw.decode()
    assert text.startswith("Failed building the Runtime: Os { code: 24, kind: Uncategorized, "
                           'message: "Too many open files" }'), text
    assert "\x1b[" not in text
    assert terminal.stty_after() == terminal.stty_before
