"""pacman misbehaving, a listing too large for the memory allowed, and a
terminal shrunk to nothing: the program keeps running, keeps drawing what it
was given as well as it can, and quits when asked.

Each case runs the program against the scripted pacman stand-in, whose every
answer is fixed by the test."""

import random
import resource
import time

import pytest

from conftest import pacpick_binary
from harness import Exit, world_environment
from standins import (expected_screen, foreign_controls, process_state, scripted_pacman, shown, sorted_names,
                      start_pacpick, status_field, visible)

ROWS, COLUMNS = 24, 80
LIST_END = ROWS - 5  # the rule's row: list rows are above it


@pytest.fixture
def scripted(tmp_path):
    yield from scripted_pacman(tmp_path)


def start(run_in_terminal, standin):
    return start_pacpick(run_in_terminal, standin, ROWS, COLUMNS)


def garbage(seed, size, avoid=b""):
    """Random bytes of every value but those in `avoid`; newlines among them make
    lines of random length."""
    rng = random.Random(seed)
    alphabet = bytes(value for value in range(256) if value not in avoid)
    return bytes(rng.choice(alphabet) for _ in range(size))


def test_a_failing_pacman_that_prints_garbage_changes_nothing_but_what_is_listed(scripted, run_in_terminal):
    # Only these lines contain the query; the rest of the garbage cannot (no q or Q).
    planted = [b"qqq\x1b[2J\xff\x9b\x07tail", b"\xc2\x85qqq\xe2\x82", b"qqq"]
    noise = garbage("stdout", 6000, avoid=b"qQ")
    listing = noise[:2000] + b"\n" + b"\n".join(planted) + b"\n" + noise[2000:]
    stderr = b"STDERR-SHOULD-NOT-SHOW " + garbage("stderr", 3000) + b" STDERR-SHOULD-NOT-SHOW"
    scripted.on("-Slq", stdout=listing, stderr=stderr, exit=1)
    scripted.on("-Si", stdout=garbage("details", 3000, avoid=b":"), stderr=stderr, exit=1)
    scripted.on("-Q", stdout=garbage("query", 500), stderr=stderr, exit=1)
    terminal = start(run_in_terminal, scripted)

    terminal.send("qqq")
    names = [visible(name) for name in sorted_names(name.decode("utf-8", "replace").strip() for name in planted)]
    details = [f"Package: {names[0]}    Version: ", "Status: not installed", "Description: "]
    expected = expected_screen(ROWS, COLUMNS, query="qqq", matches=names, details=details)
    terminal.wait_for(lambda t: shown(t) == expected, what="the planted names and empty details")

    terminal.press("esc")
    assert terminal.wait_exit() == Exit(code=0, signal=None)
    assert b"STDERR-SHOULD-NOT-SHOW" not in terminal.raw
    assert foreign_controls(terminal.raw) == []


def test_a_details_query_that_never_ends_leaves_the_program_responsive(scripted, run_in_terminal):
    # Each hanging -Si says so on the top row, which the short list leaves
    # empty, and puts the cursor back where the frame left it.
    note = b"(details pending)"
    scripted.on("-Slq", stdout="aa\nab\nac\nbb\n").on("-Q", exit=1)
    scripted.on("-Si", hang=True, tell=b"\x1b7\x1b[1;1H" + note + b"\x1b8")
    terminal = start(run_in_terminal, scripted)

    def then_details_pending(count, rows, what):
        terminal.wait_for(lambda t: t.raw.count(note) == count and shown(t)[LIST_END - 3:LIST_END + 2] == rows,
                          what=what)

    terminal.send("a")
    then_details_pending(1, ["  ac", "  ab", "> aa", "-" * COLUMNS, "[install] a"],
                         "the list and its first details query")
    # Moving and searching go on while every -Si hangs; each move asks again.
    for count, key, rows in [(2, "up", ["  ac", "> ab", "  aa"]), (3, "up", ["> ac", "  ab", "  aa"]),
                             (4, "up", ["> ac", "  ab", "  aa"]), (5, "down", ["  ac", "> ab", "  aa"])]:
        terminal.press(key)
        then_details_pending(count, rows + ["-" * COLUMNS, "[install] a"], f"the marker after {key}")
    terminal.send("c")
    then_details_pending(6, ["", "", "> ac", "-" * COLUMNS, "[install] ac"], "the search for ac")
    assert shown(terminal)[LIST_END + 2:] == ["", "", ""], "no details ever came"

    hung = [call["pid"] for call in scripted.calls() if call["argv"][0] == b"-Si"]
    assert len(hung) == 6
    started = time.monotonic()
    terminal.press("esc")
    assert terminal.wait_exit() == Exit(code=0, signal=None)
    print(f"exit {time.monotonic() - started:.3f} s after Esc with {len(hung)} details queries hanging")
    # Not killed, not waited for: the stand-ins are still there after the program.
    assert all(process_state(pid) not in (None, "Z") for pid in hung)


def test_output_that_is_not_utf8_is_shown_with_replacement_characters(scripted, run_in_terminal):
    raw_names = [b"x-caf\xe9", b"x-bad\xff\xfe", b"x-over\xc0\xafz", b"x-cut\xe2\x82",
                 b"x-sur\xed\xa0\x80z", b"x-ok-\xc3\xa9"]
    info = b"Version : 1.0\xff-1\nDescription : d\xc3\xa9j\xe0 vu \xe2\x82\n"
    scripted.on("-Slq", stdout=b"\n".join(raw_names) + b"\n").on("-Si", stdout=info).on("-Q", exit=1)
    terminal = start(run_in_terminal, scripted)

    terminal.send("x")
    names = sorted_names(name.decode("utf-8", "replace") for name in raw_names)
    assert names[-1] == "x-sur\ufffd\ufffd\ufffdz" and "x-cut\ufffd" in names  # maximal subparts
    for selected, name in enumerate(names):
        if selected:
            terminal.press("up")
        details = [f"Package: {name}    Version: 1.0\ufffd-1", "Status: not installed",
                   "Description: d\u00e9j\ufffd vu \ufffd"]
        expected = expected_screen(ROWS, COLUMNS, query="x", matches=names, selected=selected, details=details)
        terminal.wait_for(lambda t: shown(t) == expected, what=f"the details of {name!r}")
    terminal.press("esc")
    assert terminal.wait_exit() == Exit(code=0, signal=None)


def test_a_two_mebibyte_line_is_listed_cut_to_the_width(scripted, run_in_terminal):
    huge = "huge-" + "x" * (2 * 1024 * 1024 - 5)
    scripted.on("-Slq", stdout=f"alpha\n{huge}\nhuge-small\nzeta\n")
    scripted.on("-Si", stdout="Version : 2-1\nDescription : small\n").on("-Q", exit=1)
    terminal = start(run_in_terminal, scripted)

    terminal.send("huge")
    small_details = ["Package: huge-small    Version: 2-1", "Status: not installed", "Description: small"]
    expected = expected_screen(ROWS, COLUMNS, query="huge", matches=["huge-small", huge], details=small_details)
    terminal.wait_for(lambda t: shown(t) == expected, what="both names, the long one cut")
    assert len(huge.encode()) == 2 * 1024 * 1024

    # Its name is too long for an argument: pacman cannot even be started for
    # it, so the pane is emptied; the program goes on.
    terminal.press("up")
    expected = expected_screen(ROWS, COLUMNS, query="huge", matches=["huge-small", huge], selected=1)
    terminal.wait_for(lambda t: shown(t) == expected, what="the long name selected, no details")
    terminal.press("down")
    terminal.wait_for_text(small_details[0])
    terminal.press("esc")
    assert terminal.wait_exit() == Exit(code=0, signal=None)


def test_a_listing_too_large_for_the_memory_allowed_lists_nothing_and_the_program_goes_on(
        run_in_terminal, tmp_path):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "pacman").write_text(
        "#!/bin/sh\ncase \"$1\" in\n"
        "  -Slq) exec awk 'BEGIN { for (i = 0; i < 5000000; i++) printf \"pkg-a-%07d\\n\", i }' ;;\n"
        "  *) exit 1 ;;\nesac\n")
    (bin_dir / "pacman").chmod(0o755)
    terminal = run_in_terminal([pacpick_binary()], env=world_environment(bin_dir), cwd=tmp_path,
                               rows=ROWS, columns=COLUMNS)
    terminal.wait_for_text("[install] ")
    # Address space: what the program holds once started (its threads' stacks
    # depend on the machine's processors and RLIMIT_STACK), and room to run,
    # not for five million matches.
    limit = (int(status_field(terminal.pid, "VmSize")[0]) << 10) + (32 << 20)
    resource.prlimit(terminal.pid, resource.RLIMIT_AS, (limit, limit))
    key_frame = len(terminal.frames())
    terminal.send("a")
    # Every line matches; the search gives up for memory, and its answer,
    # drawn like any other (after the key's own frame), lists nothing.
    terminal.wait_for_frame(lambda f: f.query == "a", after=key_frame + 1, what="the search's answer")
    assert all(frame.entries == [] for frame in terminal.frames())
    # The same listing under the same limit, with one line matching: the empty
    # answer came from memory, not from a listing that never came.
    terminal.send("-4999999")
    terminal.wait_for_frame(lambda f: f.query == "a-4999999" and f.entries == ["pkg-a-4999999"],
                            what="the one match of the whole listing")
    terminal.press("esc")
    assert terminal.wait_exit() == Exit(code=0, signal=None), terminal.describe()
    assert terminal.cursor_visible and terminal.stty_after() == terminal.stty_before


def test_a_terminal_resized_to_one_cell_and_back(scripted, run_in_terminal):
    scripted.on("-Slq", stdout="ant\nbee\nanteater\n").on("-Si", stdout="Version : 3-1\nDescription : d\n")
    scripted.on("-Q", exit=0)
    terminal = start(run_in_terminal, scripted)
    terminal.send("ant")
    details = ["Package: ant    Version: 3-1", "Status: installed", "Description: d"]
    expected = expected_screen(ROWS, COLUMNS, query="ant", matches=["ant", "anteater"], details=details)
    terminal.wait_for(lambda t: shown(t) == expected, what="the list at full size")

    terminal.resize(1, 1)
    # One cell: no list, every line cut to one byte, the five fixed rows
    # addressed past the bottom all the same, the cursor after the whole prompt.
    for key, query in [("left", "ant"), ("backspace", "an")]:
        mark = len(terminal.raw)
        terminal.press(key)
        frame = (b"\x1b[2J\x1b[1;1H-\x1b[2;1H[\x1b[3;1HP\x1b[4;1HS\x1b[5;1HD\x1b[2;%dH"
                 % (len(f"[install] {query}") + 1))
        terminal.wait_for(lambda t: frame in t.raw[mark:], what=f"a one-cell frame after {key}")

    terminal.resize(ROWS, COLUMNS)
    terminal.send("t")
    expected = expected_screen(ROWS, COLUMNS, query="ant", matches=["ant", "anteater"], details=details)
    terminal.wait_for(lambda t: shown(t) == expected and t.cursor == (len("[install] ant"), ROWS - 4),
                      what="the full frame again")
    terminal.press("esc")
    assert terminal.wait_exit() == Exit(code=0, signal=None)
