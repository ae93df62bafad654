"""The terminal driver, checked against a tiny stand-in program whose
behaviour is known, so that a failing end-to-end test points at the program
under test and not at the harness."""

from pathlib import Path

import pytest

from harness import KEYS, Exit

TINY_APP = Path(__file__).with_name("tiny_app.py")


def started(pacpick, *args, **kwargs):
    terminal = pacpick(*args, binary=TINY_APP, **kwargs)
    return terminal.wait_for_text("tiny app ready")


def test_screen_cursor_keys_and_a_clean_exit(pacpick, world):
    terminal = started(pacpick, rows=12, columns=50)

    assert terminal.lines[1].rstrip() == "size 50x12"
    # A long world path would be cut at the screen's edge; the raw bytes are whole.
    assert f"pacman {world.bin / 'pacman'}\x1b".encode() in terminal.raw
    assert len(terminal.lines) == 12 and all(len(line) == 50 for line in terminal.lines)
    assert terminal.cursor == (4, 11)
    assert not terminal.cursor_visible
    assert terminal.stty_after() != terminal.stty_before, "raw mode should show in the pty's settings"

    # What a terminal sends for each key, written out independently of KEYS.
    expected = {"esc": "1b", "ctrl-c": "03", "enter": "0d", "tab": "09", "backtab": "1b5b5a",
                "up": "1b5b41", "down": "1b5b42", "right": "1b5b43", "left": "1b5b44",
                "home": "1b5b48", "end": "1b5b46", "pageup": "1b5b357e", "pagedown": "1b5b367e",
                "insert": "1b5b327e", "delete": "1b5b337e", "f1": "1b4f50", "backspace": "7f"}
    assert set(expected) == set(KEYS)
    for name, hex_bytes in expected.items():
        terminal.press(name)
        terminal.wait_for(lambda t: t.lines[4].rstrip() == f"got {hex_bytes}", what=f"key {name}")
    terminal.send("é")
    terminal.wait_for_text("got c3a9")

    terminal.send("q")
    assert terminal.wait_exit() == Exit(code=0, signal=None)
    assert terminal.cursor_visible
    assert terminal.text == ""
    assert terminal.cursor == (0, 0)
    assert terminal.stty_after() == terminal.stty_before
    assert b"\x1b[?25l" in terminal.raw and terminal.raw.endswith(b"\x1b[?25h\x1b[2J\x1b[1;1H")


def test_exit_code_is_reported(run_in_terminal, world):
    terminal = run_in_terminal([TINY_APP, "7"], env=world.env())
    terminal.wait_for_text("tiny app ready").send("q")
    assert terminal.wait_exit() == Exit(code=7, signal=None)


def test_a_killed_program_shows_its_signal_and_the_raw_terminal_it_left(pacpick):
    terminal = started(pacpick)
    terminal.send("k")
    assert terminal.wait_exit() == Exit(code=None, signal=9)
    assert not terminal.cursor_visible
    assert terminal.stty_after() != terminal.stty_before


def test_a_character_split_across_reads_is_rendered_whole(pacpick):
    terminal = started(pacpick)
    terminal.send("u")
    terminal.wait_for(lambda t: t.raw.endswith("ü".encode()[:1]), what="the first half of ü")
    terminal.send("v")
    terminal.wait_for_text("split grüß")


def test_a_failed_wait_shows_the_screen(pacpick):
    terminal = started(pacpick)
    with pytest.raises(TimeoutError) as timeout:
        terminal.wait_for_text("never drawn", timeout=0.3)
    assert "tiny app ready" in str(timeout.value)
    assert "hidden" in str(timeout.value)


def test_a_wait_ends_when_the_output_ends(pacpick):
    terminal = started(pacpick)
    terminal.send("q")
    with pytest.raises(AssertionError, match="output ended"):
        terminal.wait_for_text("never drawn", timeout=60)
