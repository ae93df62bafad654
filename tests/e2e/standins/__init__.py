"""Stand-ins for pacman and sudo, and what the hardening tests share: the text a
frame must show for given package data, and a look at the running program's
processes, descriptors and memory through /proc.

`ScriptedPacman` puts the scripted stand-in (standins/pacman) first on PATH as
both `pacman` and `sudo`; `SlowPacman` does the same with the cheap shell
stand-in (standins/slow-pacman) for long runs.
"""

import json
import os
import re
import signal
from pathlib import Path

from conftest import pacpick_binary
from harness import world_environment

STANDINS = Path(__file__).resolve().parent

# The program's own four control sequences; anything else starting with ESC in
# its output came from data it should have made harmless.
OWN_SEQUENCES = re.compile(rb"\x1b\[2J|\x1b\[[0-9]+;[0-9]+H|\x1b\[\?25[lh]")


def carried(data):
    """Bytes or text as a JSON-safe string that the stand-in turns back into
    exactly those bytes."""
    if isinstance(data, str):
        data = data.encode()
    return data.decode("utf-8", "surrogateescape")


class ScriptedPacman:
    """A directory with a bin/ holding the scripted stand-in as `pacman` and
    `sudo`, its scenario and its call log. Rules are tried in the order added."""

    def __init__(self, directory):
        self.dir = Path(directory)
        self.bin = self.dir / "bin"
        self.bin.mkdir(parents=True)
        for program in ("pacman", "sudo"):
            (self.bin / program).symlink_to(STANDINS / "pacman")
        self.scenario = self.dir / "scenario.json"
        self.log = self.dir / "calls.jsonl"
        self._rules = []
        self._save()

    def on(self, op, name=None, *, stdout=b"", stderr=b"", exit=0, hang=False, delay=0.0, prompt=None,
           tell=None, on_term=None, release=None):
        """Adds a rule: the answer to `pacman OP [...] NAME` (any name when None).
        `tell` is written onto the terminal when the call comes; `on_term` when
        SIGTERM does, and the call ends by it once the FIFO `release` (if
        given) is written to."""
        rule = {"op": op, "stdout": carried(stdout), "stderr": carried(stderr), "exit": exit,
                "hang": hang, "delay": delay, "tell": carried(tell or ""), "on_term": carried(on_term or ""),
                "release": str(release or "")}
        if name is not None:
            rule["name"] = carried(name)
        if prompt is not None:
            rule["prompt"] = carried(prompt)
        self._rules.append(rule)
        self._save()
        return self

    def env(self):
        env = world_environment(self.bin)
        env["STANDIN_SCENARIO"] = str(self.scenario)
        return env

    def calls(self, program="pacman"):
        """The logged calls of `program`, oldest first; argv as bytes."""
        if not self.log.exists():
            return []
        calls = []
        for line in self.log.read_text(encoding="utf-8", errors="surrogateescape").splitlines():
            record = json.loads(line)
            if record["program"] == program:
                record["argv"] = [arg.encode("utf-8", "surrogateescape") for arg in record["argv"]]
                calls.append(record)
        return calls

    def end_stragglers(self):
        """Kills, by process id, every logged stand-in still running (those of
        rules that never answer). A pid is signalled only while a process
        descriptor pins it and it still runs the stand-in."""
        for record in self.calls("pacman") + self.calls("sudo"):
            kill_if_running(record["pid"], str(self.bin))

    def _save(self):
        scenario = {"log": str(self.log), "rules": self._rules}
        self.scenario.write_text(json.dumps(scenario), encoding="ascii")


def scripted_pacman(tmp_path):
    """The body of a fixture: a ScriptedPacman for one test; stand-ins still
    running at its end are killed."""
    standin = ScriptedPacman(tmp_path / "standin")
    yield standin
    standin.end_stragglers()


def start_pacpick(run_in_terminal, standin, rows=24, columns=80):
    """The program under test with the stand-in first on PATH, once its first
    frame is drawn."""
    terminal = run_in_terminal([pacpick_binary()], env=standin.env(), cwd=standin.dir,
                               rows=rows, columns=columns)
    return terminal.wait_for_text("[install] ")


class SlowPacman:
    """A directory with a bin/ holding the shell stand-in as `pacman`, and the
    two name lists it answers from."""

    def __init__(self, directory, sync, installed):
        self.dir = Path(directory)
        self.bin = self.dir / "bin"
        self.bin.mkdir(parents=True)
        (self.bin / "pacman").symlink_to(STANDINS / "slow-pacman")
        self.sync, self.installed = list(sync), list(installed)
        (self.dir / "sync").write_text("".join(f"{name}\n" for name in self.sync))
        (self.dir / "installed").write_text("".join(f"{name}\n" for name in self.installed))

    def env(self):
        env = world_environment(self.bin)
        env["STANDIN_DIR"] = str(self.dir)
        return env

    def calls(self):
        """The operations of all calls so far, oldest first."""
        path = self.dir / "calls"
        return path.read_text().split() if path.exists() else []

    def details_lines(self, name):
        """The three details lines the program must show for `name`."""
        status = "installed" if name in self.installed else "not installed"
        return [f"Package: {name}    Version: {len(name.encode())}.0-1", f"Status: {status}",
                f"Description: soak package {name}"]


def kill_if_running(pid, marker):
    """SIGKILL to `pid` if it still runs a command line that contains `marker`."""
    try:
        pidfd = os.pidfd_open(pid)
    except ProcessLookupError:
        return
    try:
        cmdline = Path(f"/proc/{pid}/cmdline").read_bytes()
        if marker.encode() in cmdline:
            signal.pidfd_send_signal(pidfd, signal.SIGKILL)
    except (FileNotFoundError, ProcessLookupError):
        pass
    finally:
        os.close(pidfd)


# -- what a frame must show ------------------------------------------------------

def visible(data):
    """Package data as the program must draw it: UTF-8 decoded with U+FFFD for
    what is not, and every C0 control, DEL and C1 control shown as "?"."""
    if isinstance(data, bytes):
        data = data.decode("utf-8", "replace")
    return "".join("?" if ord(ch) < 0x20 or 0x7F <= ord(ch) <= 0x9F else ch for ch in data)


def cut(text, width):
    """The longest prefix of `text` of at most `width` UTF-8 bytes that splits
    no character."""
    out, used = [], 0
    for ch in text:
        size = len(ch.encode())
        if used + size > width:
            break
        out.append(ch)
        used += size
    return "".join(out)


def sorted_names(names):
    """Names as the list orders them: fewer bytes first, then byte order, once each."""
    encoded = sorted({name.encode() for name in names}, key=lambda b: (len(b), b))
    return [name.decode() for name in encoded]


def expected_screen(rows, columns, *, mode="install", query="", matches=(), selected=0, details=None):
    """Every row of the frame for this state, trailing blanks removed. `matches`
    and `details` (three lines or None) are text as the program shows it."""
    list_height = max(rows - 5, 0)
    screen = [""] * max(rows, 5)
    for k, name in enumerate(list(matches)[:list_height]):
        screen[list_height - 1 - k] = cut(("> " if k == selected else "  ") + name, columns)
    screen[list_height] = "-" * columns
    screen[list_height + 1] = cut(f"[{mode}] {query}", columns)
    for i, line in enumerate(details or ["", "", ""]):
        screen[list_height + 2 + i] = cut(line, columns)
    return [line.rstrip() for line in screen[:rows]]


def shown(terminal):
    """The screen's rows with trailing blanks removed."""
    return [line.rstrip() for line in terminal.lines]


def foreign_controls(raw):
    """The control bytes and C1 characters in the program's output once its own
    four sequences are taken out, as a list of (offset, text around it)."""
    rest = OWN_SEQUENCES.sub(b"", bytes(raw))
    found = []
    for match in re.finditer(rb"[\x00-\x1f\x7f]|\xc2[\x80-\x9f]", rest):
        found.append((match.start(), rest[max(match.start() - 20, 0):match.end() + 20]))
    return found


# -- the running program, seen through /proc --------------------------------------

def children_of(pid):
    """Process ids of `pid`'s children, zombies included."""
    children = []
    for task in Path(f"/proc/{pid}/task").iterdir():
        children += [int(child) for child in (task / "children").read_text().split()]
    return children


def process_state(pid):
    """The one-letter state of a process (R, S, Z, ...), or None if it is gone."""
    try:
        stat = Path(f"/proc/{pid}/stat").read_text()
    except FileNotFoundError:
        return None
    return stat[stat.rindex(")") + 2]


def open_descriptors(pid):
    """{descriptor: what it refers to} of a process."""
    result = {}
    for entry in Path(f"/proc/{pid}/fd").iterdir():
        try:
            result[int(entry.name)] = os.readlink(entry)
        except FileNotFoundError:  # closed while being listed
            pass
    return result


def status_field(pid, field):
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith(field + ":"):
            return line.split(":", 1)[1].split()
    raise KeyError(field)


def resident_kib(pid):
    return int(status_field(pid, "VmRSS")[0])


def ignored_signals(pid):
    return int(status_field(pid, "SigIgn")[0], 16)


def caught_signals(pid):
    return int(status_field(pid, "SigCgt")[0], 16)


def signal_bit(number):
    return 1 << (number - 1)
