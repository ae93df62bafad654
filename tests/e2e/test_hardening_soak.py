"""A long, fast run: thousands of keystrokes against a pacman that answers
late, so that searches and details queries are started, cancelled and
abandoned by the hundred. Afterwards nothing may be left behind: no zombie
child, no descriptor more than at the start, no memory growth worth the
name, and a screen that shows exactly the last query's answer."""

import os
import random
import select
import time

from conftest import pacpick_binary
from harness import KEYS
from standins import (SlowPacman, children_of, expected_screen, open_descriptors, resident_kib, shown,
                      sorted_names)

ROWS, COLUMNS = 24, 80
KEY_INTERVAL = 0.001
WARM_UP_KEYS = 300
SOAK_KEYS = 2000
RSS_GROWTH_LIMIT_KIB = 1024
WORDS = ("alpha beta gamma delta kappa lambda sigma omega river stone cloud ember frost "
         "maple cedar raven otter lynx quartz amber").split()


def catalogue():
    """Some 300 names such as lib-amber-frost, and every tenth one installed."""
    rng = random.Random("soak-catalogue")
    names = set()
    while len(names) < 300:
        parts = rng.sample(WORDS, rng.choice([1, 2, 2, 3]))
        names.add(rng.choice(["", "lib", "python-", "x"]) + "-".join(parts))
    names = sorted(names)
    return names, names[::10]


class Typist:
    """Makes a deterministic stream of keys and follows what they do to the
    mode and the query. Edits type the next letter of a chosen package name,
    so the query is always the start of a name, or take one back with
    Backspace; between edits come runs of Up and Down long enough for answers
    to land, so that details queries start and are abandoned; Tab switches
    the mode now and then."""

    def __init__(self, seed, sync, installed):
        self.rng = random.Random(seed)
        self.lists = {"install": sync, "uninstall": installed}
        self.mode, self.query, self.target = "install", "", ""

    def keys(self, count):
        out = []

        def add(make, times=1):
            # Stops short of `count`: a key is only made, and followed, if sent.
            for _ in range(min(times, count - 1 - len(out))):
                out.append(make())

        while len(out) < count - 1:
            if self.rng.random() < 0.02:
                add(self._tab)
            add(self.edit, self.rng.randint(1, 4))
            # Mostly a few moves, now and then enough of them for the search
            # (120 ms debounce, 50 ms pacman) to land meanwhile.
            moves = self.rng.randint(150, 250) if self.rng.random() < 0.015 else self.rng.randint(0, 4)
            add(lambda: self.rng.choice(["up", "up", "down"]), moves)
        out.append(self.edit())  # an edit last, so the final screen is known
        return out

    def _tab(self):
        self.mode = "uninstall" if self.mode == "install" else "install"
        self.query = ""
        return "tab"

    def edit(self):
        if self.query and (self.query == self.target or self.rng.random() < 0.25):
            self.query = self.query[:-1]
            return "backspace"
        if not self.query:
            self.target = self.rng.choice(self.lists[self.mode])
        letter = self.target[len(self.query)]
        self.query += letter
        return letter

    def expected(self, standin):
        matches = sorted_names(name for name in self.lists[self.mode] if self.query.lower() in name.lower())
        details = standin.details_lines(matches[0]) if matches else None
        return expected_screen(ROWS, COLUMNS, mode=self.mode, query=self.query, matches=matches, details=details)


def type_paced(terminal, keys):
    """Sends `keys` about KEY_INTERVAL apart, reading the program's output in
    between so that it never waits on a full pty."""
    next_at = time.monotonic()
    for key in keys:
        while (left := next_at - time.monotonic()) > 0:
            terminal.read_output(left)
        data = KEYS.get(key, key.encode() if isinstance(key, str) else key)
        terminal.send(data)
        next_at += KEY_INTERVAL


def wait_for_children_to_end(pid, deadline):
    """Waits, on process descriptors, until every current child of `pid` has
    ended (it may not yet be reaped). No new child can start meanwhile: the
    program is idle."""
    descriptors = []
    try:
        for child in children_of(pid):
            try:
                descriptors.append(os.pidfd_open(child))
            except ProcessLookupError:
                pass
        while descriptors:
            ready, _, _ = select.select(descriptors, [], [], max(deadline - time.monotonic(), 0))
            if not ready:
                raise TimeoutError(f"children of {pid} still running: {children_of(pid)}")
            for fd in ready:
                descriptors.remove(fd)
                os.close(fd)
    finally:
        for fd in descriptors:
            os.close(fd)


def held_for_children(pid):
    """The descriptors a program holds only for its children: pipes and
    process descriptors, closed a moment after the child is reaped."""
    return [target for target in open_descriptors(pid).values()
            if target.startswith("pipe:") or target == "anon_inode:[pidfd]"]


def settle(terminal, typist, standin, timeout=20.0):
    """Waits for the last query's answer, for the children to end, and for the
    program to have reaped them all and closed what it held for them. That is
    looked at after each frame that a harmless key (Left) makes the program
    draw. An older answer may have listed what the last query lists, and its
    screen shows before the last search has run; so a key that matches
    nothing and its Backspace come first: each screen then shows only once
    the search of its own key has answered, and the details theirs."""
    deadline = time.monotonic() + timeout
    for key in ("~", "backspace"):
        typist.query = typist.query + "~" if key == "~" else typist.query[:-1]
        expected = typist.expected(standin)
        terminal.send(KEYS.get(key, key))
        terminal.wait_for(lambda t: shown(t) == expected, timeout=max(deadline - time.monotonic(), 0),
                          what=f"the answer for {typist.query!r}")
    wait_for_children_to_end(terminal.pid, deadline)
    frame_end = f"\x1b[{ROWS - 3};{len(f'[{typist.mode}] {typist.query}') + 1}H".encode()
    while children_of(terminal.pid) or held_for_children(terminal.pid):
        if time.monotonic() > deadline:
            raise AssertionError(f"children never reaped: {children_of(terminal.pid)}, "
                                 f"or their descriptors never closed: {held_for_children(terminal.pid)}")
        mark = len(terminal.raw)
        terminal.press("left")
        terminal.wait_for(lambda t: frame_end in t.raw[mark:], timeout=max(deadline - time.monotonic(), 0),
                          what="the frame after Left")
    return expected


def test_thousands_of_keystrokes_against_a_slow_pacman_leave_nothing_behind(run_in_terminal, tmp_path):
    sync, installed = catalogue()
    standin = SlowPacman(tmp_path / "standin", sync, installed)
    terminal = run_in_terminal([pacpick_binary()], env=standin.env(), cwd=standin.dir, rows=ROWS, columns=COLUMNS)
    terminal.wait_for_text("[install] ")
    typist = Typist("soak-keys", sync, installed)

    # The warm-up reaches every lazily made thing (worker threads, allocator
    # arenas, the orphan list) before anything is measured. It ends with a
    # run of moves long enough for the list to land midway, so that the rest
    # abandon details queries whose pacman still runs.
    type_paced(terminal, typist.keys(WARM_UP_KEYS) + ["up", "down"] * 200 + [typist.edit()])
    settle(terminal, typist, standin)
    descriptors_before = open_descriptors(terminal.pid)
    rss_before = resident_kib(terminal.pid)
    calls_before = len(standin.calls())

    started = time.monotonic()
    keys = typist.keys(SOAK_KEYS)
    type_paced(terminal, keys)
    typed = time.monotonic() - started
    settle(terminal, typist, standin)
    settled = time.monotonic() - started

    descriptors_after = open_descriptors(terminal.pid)
    rss_after = resident_kib(terminal.pid)
    calls = standin.calls()[calls_before:]
    print(f"\nsoak: {len(keys)} keys ({sum(k in ('up', 'down') for k in keys)} moves, {keys.count('tab')} tabs, "
          f"{keys.count('backspace')} backspaces) typed in {typed:.2f} s, settled after {settled:.2f} s; "
          f"{len(calls)} pacman runs ({calls.count('-Si')} -Si, {calls.count('-Slq') + calls.count('-Qq')} "
          f"listings); {len(descriptors_after)} descriptors (before {len(descriptors_before)}); "
          f"VmRSS {rss_before} -> {rss_after} kB")

    assert children_of(terminal.pid) == []
    assert sorted(descriptors_after.items()) == sorted(descriptors_before.items())
    assert rss_after - rss_before < RSS_GROWTH_LIMIT_KIB
    # Moves that arrive together cancel each other's details queries before
    # pacman starts, the more so on a loaded machine: far fewer than the
    # moves, but enough to have abandoned some while their pacman ran.
    assert calls.count("-Si") > 20, "enough details queries to have abandoned some"

    terminal.press("esc")
    assert terminal.wait_exit().code == 0
