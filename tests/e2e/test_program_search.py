"""Searching, moving the selection and switching modes in pacpick, run in a
real pty against the test world's pacman. Frames are read from the raw byte
stream, so every frame the program drew is checked, not only the last one."""

import os
import select
import signal
import time

import pytest

from harness import DEFAULT_TIMEOUT, KEYS, Exit

ROWS, COLUMNS = 24, 80
SHOWN = ROWS - 5  # list rows above the rule


def listing(names, query):
    """What the program should list for `query` out of `names`: the names that
    contain it whatever the case, each once, shortest first, then in byte order."""
    wanted = query.lower()
    kept = {name.strip() for name in names if name.strip() and wanted in name.strip().lower()}
    return sorted(kept, key=lambda name: (len(name.encode()), name.encode()))


@pytest.fixture(scope="module")
def catalogue(world):
    result = world.pacman("-Slq")
    assert result.returncode == 0, result.stderr
    return result.stdout.splitlines()


def described(world, name, width=COLUMNS):
    """The details pane for `name` as the world's pacman describes it: the first
    Version and Description of `pacman -Si`, the status from `pacman -Q`."""
    fields = {}
    for line in world.pacman("-Si", name).stdout.splitlines():
        key, colon, value = line.partition(":")
        if colon and value.strip():
            fields.setdefault(key.strip(), value.strip())
    status = "installed" if world.installed(name) else "not installed"
    lines = [f"Package: {name}    Version: {fields.get('Version', '')}", f"Status: {status}",
             f"Description: {fields.get('Description', '')}"]
    return [line.encode()[:width].decode() for line in lines]


def assert_no_stale_results(frames):
    """A list only changes when a search for the prompt's own query answers,
    and details only change to those of the highlighted entry; a result that
    a newer key made out of date would break one of the two."""
    for before, frame in zip(frames, frames[1:]):
        if frame.entries != before.entries:
            assert all(frame.query.lower() in name.lower() for name in frame.entries), \
                f"list of an older query under the prompt {frame.prompt!r}: {frame.entries}"
        if frame.details != before.details and frame.details[0] and frame.marker is not None:
            assert frame.details[0].startswith(f"Package: {frame.entries[frame.marker]}    "), \
                f"details {frame.details[0]!r} while {frame.entries[frame.marker]!r} is highlighted"


def started(pacpick, **size):
    terminal = pacpick(**size)
    terminal.wait_for_frame(lambda frame: True, what="the first frame")
    return terminal


def type_text(terminal, text):
    """Types `text` one key per write, each key's frame waited for."""
    for character in text:
        count = len(terminal.frames())
        terminal.send(character)
        terminal.wait_for_frame(lambda frame: True, after=count, what=f"the frame of {character!r}")


def quit_cleanly(terminal):
    terminal.press("esc")
    assert terminal.wait_exit() == Exit(code=0, signal=None)
    assert terminal.stty_after() == terminal.stty_before


@pytest.mark.parametrize("typed, query", [("Vim", "vim"), ("tree", "tree")])
def test_typing_lists_the_matches_shortest_first_above_the_rule(pacpick, world, catalogue, typed, query):
    terminal = started(pacpick)
    type_text(terminal, typed)
    expected = listing(catalogue, query)
    assert len(expected) > SHOWN, "the world has more matches than rows"
    details = described(world, query)
    frame = terminal.wait_for_frame(
        lambda f: f.query == typed and f.entries == expected[:SHOWN] and f.details == details,
        what=f"{typed!r} listed and described")

    assert frame.marker == 0
    assert frame.entries.count(query) == 1, "a name that two repositories list shows once"
    # Entry 0 right above the rule, the rest growing upward, the list never scrolled.
    assert terminal.lines[SHOWN - 1].rstrip() == f"> {expected[0]}"
    assert [line.rstrip() for line in terminal.lines[:SHOWN - 1]] == [f"  {n}" for n in expected[SHOWN - 1:0:-1]]
    assert terminal.lines[SHOWN] == "-" * COLUMNS
    assert terminal.lines[SHOWN + 1].rstrip() == f"[install] {typed}"
    assert [line.rstrip() for line in terminal.lines[SHOWN + 2:]] == details
    assert terminal.cursor == (len(f"[install] {typed}"), SHOWN + 1)
    assert_no_stale_results(terminal.frames())
    quit_cleanly(terminal)


def test_up_and_down_move_the_marker_and_the_details_follow(pacpick, world, catalogue):
    terminal = started(pacpick)
    type_text(terminal, "vim")
    expected = listing(catalogue, "vim")
    assert expected[:3] == ["vim", "gvim", "neovim"]
    details = {name: described(world, name) for name in expected[:3]}
    terminal.wait_for_frame(
        lambda f: f.query == "vim" and f.entries == expected[:SHOWN] and f.details == details["vim"])

    for key, index in [("up", 1), ("up", 2), ("down", 1), ("down", 0)]:
        count = len(terminal.frames())
        terminal.press(key)
        terminal.wait_for_frame(lambda f: f.marker == index and f.details == details[expected[index]],
                                after=count, what=f"{key} to highlight {expected[index]}")
        assert terminal.lines[SHOWN - 1 - index].startswith(f"> {expected[index]} ")

    count = len(terminal.frames())
    terminal.press("down")  # at entry 0 it stays there
    held = terminal.wait_for_frame(lambda f: True, after=count)
    assert held.marker == 0 and held.entries == expected[:SHOWN]
    terminal.press("up")
    terminal.wait_for_frame(lambda f: f.marker == 1 and f.details == details["gvim"], after=count)
    assert_no_stale_results(terminal.frames())
    quit_cleanly(terminal)


def test_the_selection_can_move_past_the_visible_rows(pacpick, world, catalogue):
    terminal = started(pacpick, rows=8)  # three list rows
    type_text(terminal, "vim")
    expected = listing(catalogue, "vim")
    terminal.wait_for_frame(lambda f: f.query == "vim" and f.entries == expected[:3] and f.details[0])
    for _ in range(3):
        terminal.press("up")
    fourth = described(world, expected[3])
    frame = terminal.wait_for_frame(lambda f: f.details == fourth)
    assert frame.entries == expected[:3] and frame.marker is None
    assert [line.rstrip() for line in terminal.lines[:3]] == [f"  {n}" for n in reversed(expected[:3])]
    quit_cleanly(terminal)


def test_tab_lists_the_installed_packages_for_removal(pacpick, world):
    terminal = started(pacpick)
    count = len(terminal.frames())
    terminal.press("tab")
    switched = terminal.wait_for_frame(lambda f: True, after=count)
    assert switched.prompt == "[uninstall] " and switched.cursor == (12, SHOWN + 1)
    assert switched.entries == [] and switched.details == ["", "", ""]

    installed = ["cowsay", "figlet", "dotfiles-local"]
    assert sorted(installed) == sorted(world.manifest["installed"])
    frame = terminal.wait_for_frame(lambda f: f.prompt == "[uninstall] " and f.entries and f.details[0],
                                    what="the installed packages")
    assert frame.entries == installed and frame.marker == 0
    assert frame.details == described(world, "cowsay")
    assert frame.details[1] == "Status: installed"

    # The package no sync repository carries: no version, no description.
    terminal.press("up", "up")
    foreign = terminal.wait_for_frame(lambda f: f.marker == 2 and f.details[0].startswith("Package: dotfiles"))
    assert foreign.details == ["Package: dotfiles-local    Version: ", "Status: installed", "Description: "]
    assert terminal.lines[SHOWN + 2].rstrip() == "Package: dotfiles-local    Version:"

    count = len(terminal.frames())
    terminal.press("up")  # at the top entry it stays there
    assert terminal.wait_for_frame(lambda f: True, after=count).marker == 2

    count = len(terminal.frames())
    terminal.press("tab")
    back = terminal.wait_for_frame(lambda f: f.prompt == "[install] ", after=count)
    assert back.cursor == (10, SHOWN + 1)
    assert back.entries == [] and back.details == ["", "", ""]
    assert_no_stale_results(terminal.frames())
    quit_cleanly(terminal)


def test_editing_the_query_character_by_character(pacpick, catalogue):
    terminal = started(pacpick)
    type_text(terminal, "vi")
    vi = listing(catalogue, "vi")[:SHOWN]
    terminal.wait_for_frame(lambda f: f.query == "vi" and f.entries == vi)

    # A two-byte character: the cursor column counts bytes; one Backspace takes it all.
    terminal.send("é")
    typed = terminal.wait_for_frame(lambda f: f.query == "vié")
    assert typed.cursor == (len("[install] vié".encode()), SHOWN + 1) == (14, SHOWN + 1)
    terminal.wait_for_frame(lambda f: f.query == "vié" and f.entries == [], what="nothing matching vié")
    assert terminal.lines[SHOWN + 1].rstrip() == "[install] vié"

    # Answers to the query being left may still come in; the key's own frame is
    # the first to show the shorter query.
    count = len(terminal.frames())
    terminal.press("backspace")
    erased = terminal.wait_for_frame(lambda f: f.prompt == "[install] vi", after=count)
    assert erased.cursor == (12, SHOWN + 1)
    terminal.wait_for_frame(lambda f: f.query == "vi" and f.entries == vi, after=count)

    # Back to an empty query: in install mode that lists nothing at all.
    terminal.press("backspace", "backspace")
    empty = terminal.wait_for_frame(lambda f: f.prompt == "[install] " and f.entries == [] and not f.details[0],
                                    after=count, what="the list emptied")
    assert empty.cursor == (10, SHOWN + 1)
    count = len(terminal.frames())
    terminal.press("backspace")  # on an empty query it still draws, and the list stays empty
    assert terminal.wait_for_frame(lambda f: True, after=count).prompt == "[install] "
    assert_no_stale_results(terminal.frames())
    quit_cleanly(terminal)


def test_two_keys_in_one_write_both_act(pacpick, world, catalogue):
    terminal = started(pacpick)
    terminal.send("vi")
    terminal.wait_for_frame(lambda f: f.query == "vi")
    assert [f.query for f in terminal.frames()[1:3]] == ["v", "vi"], "one frame for each key"

    expected = listing(catalogue, "vi")
    terminal.wait_for_frame(lambda f: f.query == "vi" and f.entries == expected[:SHOWN] and f.details[0])
    terminal.send(b"\x1b[A\x1b[A")
    third = described(world, expected[2])
    frame = terminal.wait_for_frame(lambda f: f.marker == 2 and f.details == third)
    assert frame.entries == expected[:SHOWN]
    quit_cleanly(terminal)


def test_a_resize_alone_draws_nothing_and_the_next_key_draws_at_the_new_size(pacpick):
    terminal = started(pacpick)
    terminal.resize(12, 40)
    terminal.press("left")  # a key that changes nothing but still draws
    frame = terminal.wait_for_frame(lambda f: f.rule == "-" * 40)
    assert frame.rows == [7, 8, 9, 10, 11] and frame.cursor == (10, 8)
    assert terminal.lines[7] == "-" * 40 and terminal.lines[8].rstrip() == "[install]"
    quit_cleanly(terminal)
    # The resize came before the key and the quit: had it drawn, it would show here.
    assert len(terminal.frames()) == 2


def test_the_frame_bytes_of_a_small_terminal(run_in_terminal, pacpick_path, tmp_path):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    stand_in = bin_dir / "pacman"
    # Knows two packages and nothing about either.
    stand_in.write_text("#!/bin/sh\n[ \"$1\" = -Slq ] && printf 'vim\\nvi\\n' && exit 0\nexit 1\n")
    stand_in.chmod(0o755)
    env = {"PATH": f"{bin_dir}:/usr/bin:/bin", "LC_ALL": "C.UTF-8", "TERM": "xterm"}
    terminal = run_in_terminal([pacpick_path], env=env, rows=10, columns=20, cwd=tmp_path)
    terminal.wait_for_frame(lambda frame: True)
    terminal.send("vi")
    terminal.wait_for_frame(lambda f: f.query == "vi" and f.entries)

    listed = [b"\x1b[2J" + chunk for chunk in bytes(terminal.raw).split(b"\x1b[2J")
              if b"[install] vi\x1b" in chunk and b"vim" in chunk][0]
    assert listed == (b"\x1b[2J\x1b[5;1H> vi\x1b[4;1H  vim\x1b[6;1H" + b"-" * 20 + b"\x1b[7;1H[install] vi"
                      b"\x1b[8;1H\x1b[9;1H\x1b[10;1H\x1b[7;13H")

    # Details arrive in a later frame, each line cut to the width in bytes.
    described_frame = terminal.wait_for_frame(lambda f: f.details[0])
    assert described_frame.details == ["Package: vi    Versi", "Status: not installe", "Description: "]
    quit_cleanly(terminal)


# -- queries held at a gate -------------------------------------------------


class GatedPacman:
    """A pacman in front of the world's own that holds every call whose first
    argument is in `held` (by default the searches, -Slq and -Qq) at a gate of
    its own until the test opens it, and reports on a FIFO when a call has
    arrived at its gate ("PID started ARGS") and when it has finished ("PID
    done ARGS"). With `names`, -Slq prints those instead of asking the world.
    Other calls pass straight through."""

    def __init__(self, directory, world, names=None, held=("-Slq", "-Qq")):
        self.directory = directory
        self.world = world
        self.bin = directory / "bin"
        self.bin.mkdir(parents=True)
        events = directory / "events"
        os.mkfifo(events)
        # The test's own writer keeps the FIFO from ever reporting its end.
        self._events = os.open(events, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
        self._keep_open = os.open(events, os.O_WRONLY | os.O_CLOEXEC)
        self._buffer = b""
        self._gates = {}
        self._finished = set()
        listed = ""
        if names is not None:
            (directory / "names").write_text("".join(f"{name}\n" for name in names))
            listed = f"[ \"$1\" = -Slq ] && exec cat '{directory}/names'\n"
        script = self.bin / "pacman"
        script.write_text(f"""#!/bin/sh
case "$1" in
{"|".join(held)})
    gate='{directory}'/gate.$$
    mkfifo "$gate"
    echo "$$ started $*" > '{events}'
    read word < "$gate"
    (
    {listed}exec '{world.bin / 'pacman'}' "$@"
    )
    status=$?
    echo "$$ done $*" > '{events}'
    exit $status
    ;;
esac
exec '{world.bin / 'pacman'}' "$@"
""")
        script.chmod(0o755)

    def env(self):
        env = self.world.env()
        env["PATH"] = f"{self.bin}{os.pathsep}{env['PATH']}"
        return env

    def _next(self, also=None):
        """The next report as (pid, word), or None when `also` (a descriptor)
        became readable first."""
        deadline = time.monotonic() + DEFAULT_TIMEOUT
        watched = [self._events] + ([also] if also is not None else [])
        while b"\n" not in self._buffer:
            ready, _, _ = select.select(watched, [], [], max(deadline - time.monotonic(), 0))
            if not ready:
                raise TimeoutError("no word from the gated pacman")
            if self._events not in ready:
                return None
            self._buffer += os.read(self._events, 4096)
        line, self._buffer = self._buffer.split(b"\n", 1)
        pid, word, _ = line.decode().split(" ", 2)
        return int(pid), word

    def wait_started(self):
        """The pid of the next search to arrive at its gate."""
        while True:
            pid, word = self._next()
            if word == "done":
                self._finished.add(pid)
            else:
                return pid

    def release(self, pid):
        # Opened for reading and writing, the gate never blocks the test, and
        # the word stays in it until the search reads it.
        gate = os.open(self.directory / f"gate.{pid}", os.O_RDWR | os.O_CLOEXEC)
        os.write(gate, b"go\n")
        self._gates[pid] = gate

    def wait_done(self, pid):
        while pid not in self._finished:
            pid_done, word = self._next()
            if word == "done":
                self._finished.add(pid_done)
        os.close(self._gates.pop(pid))

    def close(self):
        """Lets every search still held go and waits until each has finished or
        is gone (the end of the program's session hangs up on those that are
        still running), then closes the FIFOs."""
        for gate in self.directory.glob("gate.*"):
            pid = int(gate.suffix[1:])
            if pid not in self._gates and pid not in self._finished:
                self.release(pid)
        for pid, gate in self._gates.items():
            try:
                process = os.pidfd_open(pid)
            except ProcessLookupError:
                process = None
            try:
                while process is not None and pid not in self._finished:
                    report = self._next(also=process)
                    if report is None:
                        break
                    if report[1] == "done":
                        self._finished.add(report[0])
            finally:
                if process is not None:
                    os.close(process)
                os.close(gate)
        self._gates.clear()
        os.close(self._events)
        os.close(self._keep_open)


@pytest.fixture
def gated(world, tmp_path):
    made = []

    def make(names=None, held=("-Slq", "-Qq")):
        made.append(GatedPacman(tmp_path / f"gated-{len(made)}", world, names, held))
        return made[-1]

    yield make
    for pacman in made:
        pacman.close()


def test_each_key_shows_on_the_prompt_at_once_while_the_search_is_held(run_in_terminal, pacpick_path,
                                                                       world, catalogue, gated):
    pacman = gated()
    terminal = run_in_terminal([pacpick_path], env=pacman.env(), cwd=world.path)
    terminal.wait_for_frame(lambda frame: True)

    held = []
    for query in ["v", "vi", "vim"]:
        terminal.send(query[-1])
        frame = terminal.wait_for_frame(lambda f: f.query == query)
        assert frame.entries == [] and frame.cursor == (10 + len(query), SHOWN + 1)
        held.append(pacman.wait_started())  # the search has reached pacman, which has not answered

    for pid in held:
        pacman.release(pid)
    expected = listing(catalogue, "vim")[:SHOWN]
    terminal.wait_for_frame(lambda f: f.query == "vim" and f.entries == expected)
    assert all(frame.entries in ([], expected) for frame in terminal.frames())
    assert_no_stale_results(terminal.frames())
    quit_cleanly(terminal)


def answer_while_stopped(terminal, pacman, call, next_key=None):
    """Stops the program, lets the held pacman `call` answer and the next key
    (if any) arrive while it is stopped, then lets it go on: both wait for it
    together, so the loop has to choose between them."""
    os.kill(terminal.pid, signal.SIGSTOP)
    os.waitid(os.P_PID, terminal.pid, os.WSTOPPED)
    try:
        pacman.release(call)
        pacman.wait_done(call)
        if next_key is not None:
            terminal.send(next_key)
    finally:
        os.kill(terminal.pid, signal.SIGCONT)


def test_a_search_answered_just_as_the_query_changes_never_shows(run_in_terminal, pacpick_path, world, gated):
    # Each search is held until the program has been stopped; then its answer
    # is given and the next key typed, so that both are waiting when the
    # program continues. Which it takes first varies from run to run (the
    # answer, or the key that makes it out of date); either way a list for the
    # older query must never appear under the newer prompt. The filler makes
    # every answer take a little filtering, within one pipe's capacity.
    word = "pacpickwordchain"
    names = [word[:length] for length in range(1, len(word) + 1)] + [f"filler{i:07d}" for i in range(2000)]
    pacman = gated(names)
    terminal = run_in_terminal([pacpick_path], env=pacman.env(), cwd=world.path)
    terminal.wait_for_frame(lambda frame: True)

    terminal.send(word[0])
    for length in range(1, len(word) + 1):
        terminal.wait_for_frame(lambda f: f.query == word[:length])
        answer_while_stopped(terminal, pacman, pacman.wait_started(),
                             word[length] if length < len(word) else None)

    terminal.wait_for_frame(lambda f: f.query == word and f.entries == [word])
    assert_no_stale_results(terminal.frames())
    quit_cleanly(terminal)


def test_details_answered_just_as_the_selection_moves_never_show(run_in_terminal, pacpick_path, world,
                                                                 catalogue, gated):
    # The same race for the details: each `pacman -Si` is held until the
    # program has been stopped, then answered while the next Up waits too.
    pacman = gated(held=("-Si",))
    terminal = run_in_terminal([pacpick_path], env=pacman.env(), cwd=world.path)
    terminal.wait_for_frame(lambda frame: True)
    expected = listing(catalogue, "vim")[:SHOWN]
    terminal.send("vim")
    terminal.wait_for_frame(lambda f: f.query == "vim" and f.entries == expected)

    moves = 12
    for index in range(moves + 1):
        answer_while_stopped(terminal, pacman, pacman.wait_started(),
                             KEYS["up"] if index < moves else None)
        terminal.wait_for_frame(lambda f: f.marker == min(index + 1, moves))

    last = f"Package: {expected[moves]}    "
    terminal.wait_for_frame(lambda f: f.marker == moves and f.details[0].startswith(last))
    assert_no_stale_results(terminal.frames())
    quit_cleanly(terminal)
