"""The program driven through real terminal emulators with real X key events.

Each terminal sends keys its own way (see docs/terminal-input.md). What the
program understood shows in the calls its pacman and sudo stand-ins log: after
every search the shortest match gets `pacman -Si`, and after every move the
newly highlighted entry does, so each key is checked by the name that comes
next. The stand-ins' catalogue (standins/pacman) holds, shortest first:
sync vim, gvim, café, neovim, cafés, cafeteria, café-crème; installed zsh,
bash, café-crème.
"""

import pytest

NAVIGATION_AND_FUNCTION_KEYS = ["Home", "End", "Prior", "Next", "Insert", "Delete", "Left", "Right",
                                "F1", "F5", "F12"]


def details(name, size=None):
    """Matches the -Si call for `name` (and, if given, in a terminal of `size`)."""
    prefix = f"pacman -Si {name} size="

    def matches(call):
        return call.startswith(prefix) and (size is None or call == prefix + size)

    matches.__doc__ = f"pacman -Si {name}" + (f" in a terminal of {size}" if size else "")
    return matches


def searched_then_shown(run, after, search, name):
    """Waits for a `search` call after index `after` and then the details of
    `name`; returns the index of the details call."""
    return run.wait_for_call(details(name), after=run.wait_for_call(search, after=after) + 1)


def moved_to(run, after, name):
    return run.wait_for_call(details(name), after=after)


def details_calls(run, since):
    return [call for call in run.calls()[since:] if call.startswith(("pacman -Si", "pacman -Slq", "pacman -Qq"))]


def actions(run):
    """The install and remove calls, through sudo and as sudo passed them on."""
    return [call for call in run.calls() if call.startswith(("sudo ", "pacman -S ", "pacman -R "))]


def assert_terminal_restored(run):
    before, after = run.stty()
    assert before == after, "the terminal's modes changed across the run"


def frame_is_drawn(lines, rows, columns):
    """Whether the screen text is a frame for a terminal of this size: the rule
    of dashes across the whole width, fifth line from the bottom."""
    return len(lines) >= rows and lines[rows - 5] == "-" * columns


def resize_and_check(session, run, after):
    """Makes the terminal bigger and shows that the frame drawn after the next
    key takes the new size: the stand-in run by that key's search sees it, and
    in tmux and screen the frame is drawn at it. A resize by itself draws
    nothing. Returns the index of that search's details call."""
    if session.terminal.name == "tmux":
        session.resize_multiplexer(100, 30)
    else:
        width, height = session.display.window_size(session.window)
        session.resize_window(width * 5 // 4, height * 5 // 4)
    rows, columns = session.wait_for_resize()
    assert rows > 24 and columns > 80, f"the terminal only became {rows}x{columns}"
    session.keys("BackSpace")
    search = run.wait_for_call("pacman -Slq", after=after)
    index = run.wait_for_call(details("café", f"{rows}x{columns}"), after=search + 1)
    if session.terminal.multiplexer:
        session.wait_for_screen(lambda lines: frame_is_drawn(lines, rows, columns) and "> café" in lines,
                                f"a frame of {rows}x{columns}")
    return index


def test_typing_moving_and_removing(session):
    run = session.run()
    # é arrives whole: of all the names only "cafés" holds what was typed.
    session.type("cafés")
    index = searched_then_shown(run, 0, "pacman -Slq", "cafés")
    if session.terminal.multiplexer:
        session.wait_for_screen(lambda lines: "[install] cafés" in lines and "> cafés" in lines,
                                "the typed text and its match on the screen")

    # Backspace deletes (an erase read as Ctrl+H would type an h and match nothing).
    session.keys("BackSpace")
    index = searched_then_shown(run, index + 1, "pacman -Slq", "café")

    # café, cafés, café-crème from the rule upward: Up climbs, Down comes back.
    session.keys("Up")
    index = moved_to(run, index + 1, "cafés")
    session.keys("Up")
    index = moved_to(run, index + 1, "café-crème")
    session.keys("Down")
    index = moved_to(run, index + 1, "cafés")

    # These keys change nothing: afterwards Up still moves from cafés to the
    # entry above it, no search has run, and the text still ends in "café".
    session.keys(*NAVIGATION_AND_FUNCTION_KEYS)
    session.keys("Up")
    moved = moved_to(run, index + 1, "café-crème")
    assert details_calls(run, index + 1) == [run.calls()[moved]]
    session.type("-")
    index = searched_then_shown(run, moved + 1, "pacman -Slq", "café-crème")

    index = resize_and_check(session, run, index + 1)

    # Tab lists the installed packages: zsh, bash, café-crème.
    session.keys("Tab")
    index = searched_then_shown(run, index + 1, "pacman -Qq", "zsh")
    if session.terminal.multiplexer:
        session.wait_for_screen(lambda lines: "[uninstall]" in lines, "the uninstall prompt")
    # One key at a time: a move that the next one overtakes may never ask pacman.
    session.keys("Up")
    index = moved_to(run, index + 1, "bash")
    session.keys("Up")
    index = moved_to(run, index + 1, "café-crème")
    session.keys("Return")

    assert run.status() == 0
    assert actions(run) == ["sudo pacman -R café-crème", "pacman -R café-crème"]
    assert_terminal_restored(run)


@pytest.mark.parametrize("key", ["Escape", "ctrl+c"])
def test_quitting(session, key):
    run = session.run()
    session.type("gv")
    searched_then_shown(run, 0, "pacman -Slq", "gvim")
    session.keys(key)
    assert run.status() == 0
    assert actions(run) == []
    assert_terminal_restored(run)
    if session.terminal.multiplexer:
        session.wait_for_screen(lambda lines: not any(line.strip() for line in lines),
                                "the screen to be cleared")
