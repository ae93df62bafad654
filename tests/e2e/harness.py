"""The end-to-end harness: a pacman test world and a terminal driver.

`World` wraps a directory built by scripts/make-test-world. `Terminal` runs a
program in a pseudo-terminal of fixed size and reads everything it prints
through a terminal emulator (pyte), so tests look at the screen a user would
see, not at escape sequences.
"""

import json
import os
import re
import select
import shutil
import signal
import subprocess
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

import pexpect
import pyte

REPO_ROOT = Path(__file__).resolve().parents[2]
MAKE_TEST_WORLD = REPO_ROOT / "scripts" / "make-test-world"
PYTHON = "/usr/bin/python3"

# Long enough for a loaded CI machine; a passing wait returns as soon as the
# screen matches, so this only bounds how long a failure takes to show.
DEFAULT_TIMEOUT = 15.0

# What an xterm-like terminal sends for each key in its default modes.
KEYS = {
    "esc": b"\x1b",
    "ctrl-c": b"\x03",
    "enter": b"\r",
    "tab": b"\t",
    "backtab": b"\x1b[Z",
    "up": b"\x1b[A",
    "down": b"\x1b[B",
    "right": b"\x1b[C",
    "left": b"\x1b[D",
    "home": b"\x1b[H",
    "end": b"\x1b[F",
    "pageup": b"\x1b[5~",
    "pagedown": b"\x1b[6~",
    "insert": b"\x1b[2~",
    "delete": b"\x1b[3~",
    "f1": b"\x1bOP",
    "backspace": b"\x7f",
}


def world_environment(bin_dir, base=None):
    """The environment for anything run inside a world: its stand-ins first on
    PATH, and messages in English so that pacman's field names are predictable."""
    env = dict(os.environ if base is None else base)
    env["PATH"] = f"{bin_dir}{os.pathsep}{env.get('PATH', '/usr/bin:/bin')}"
    env["LC_ALL"] = "C.UTF-8"
    env["TERM"] = "xterm"
    env.pop("COLUMNS", None)
    env.pop("LINES", None)
    return env


def build_world(directory, packages, *, user_env=None):
    """Runs make-test-world on `directory` and returns the World; reuses what is
    already there when it is complete and of the same size."""
    result = subprocess.run([PYTHON, str(MAKE_TEST_WORLD), str(directory), "--packages", str(packages)],
                            env=user_env, stdin=subprocess.DEVNULL, capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError(f"make-test-world failed ({result.returncode}):\n{result.stdout}{result.stderr}")
    return World(Path(directory))


class World:
    """A pacman world built by scripts/make-test-world. Read-only by contract
    when shared between tests; `copy` gives a private one to install into."""

    def __init__(self, path):
        self.path = Path(os.path.abspath(path))
        self.bin = self.path / "bin"
        self.root = self.path / "root"
        self.manifest = json.loads((self.path / "world.json").read_text(encoding="utf-8"))

    @property
    def packages(self):
        return self.manifest["packages"]

    def env(self, **extra):
        env = world_environment(self.bin)
        env.update(extra)
        return env

    def pacman(self, *args):
        """Runs the world's pacman (through PATH, as the program will) with
        standard input closed; returns the CompletedProcess with text output."""
        return subprocess.run(["pacman", *args], env=self.env(), stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, cwd=self.path)

    def installed(self, name):
        return self.pacman("-Q", name).returncode == 0

    def copy(self, destination):
        """A private copy at `destination`, re-pointed at its new directory."""
        shutil.copytree(self.path, destination, symlinks=True)
        return build_world(destination, self.packages)


@dataclass(frozen=True)
class Exit:
    """How a program ended: an exit code, or the number of the signal that ended it."""
    code: int | None
    signal: int | None


_MOVE_TO = re.compile(rb"\x1b\[(\d+);(\d+)H")


@dataclass(frozen=True)
class Frame:
    """One frame of pacpick's own drawing, read from the raw bytes that follow a
    screen clear: every text it placed, with the 0-based (column, row) it was
    placed at, in the order written. Only complete frames exist: the list
    entries, the rule, the prompt, three details lines and the final cursor
    move, as the program draws them whatever the terminal's size."""
    placed: tuple

    @classmethod
    def parse(cls, chunk):
        """The frame in `chunk` (the bytes after one clear), or None when the
        bytes do not hold a whole frame."""
        placed = []
        moves = list(_MOVE_TO.finditer(chunk))
        if not moves or chunk[:moves[0].start()]:
            return None
        for move, following in zip(moves, moves[1:] + [None]):
            end = following.start() if following else len(chunk)
            text = chunk[move.end():end].decode("utf-8", "replace")
            placed.append((int(move[2]) - 1, int(move[1]) - 1, text))
        rules = [i for i, (_, _, text) in enumerate(placed) if text and set(text) == {"-"}]
        if not rules or len(placed) != rules[0] + 6 or placed[-1][2] != "":
            return None
        return cls(tuple(placed))

    @property
    def _rule(self):
        return len(self.placed) - 6

    @property
    def entries(self):
        """The listed names, entry 0 (the lowest row) first, without markers."""
        return [text[2:] for _, _, text in self.placed[:self._rule]]

    @property
    def marker(self):
        """The index of the entry drawn with "> ", or None."""
        marked = [k for k, (_, _, text) in enumerate(self.placed[:self._rule]) if text.startswith("> ")]
        return marked[0] if marked else None

    @property
    def rows(self):
        """Row of each placed text, for layout checks: entries, rule, prompt, details."""
        return [row for _, row, _ in self.placed[:-1]]

    @property
    def rule(self):
        return self.placed[self._rule][2]

    @property
    def prompt(self):
        return self.placed[self._rule + 1][2]

    @property
    def query(self):
        """The search text on the prompt line (after "[mode] ")."""
        return self.prompt.split("] ", 1)[1] if "] " in self.prompt else None

    @property
    def details(self):
        return [text for _, _, text in self.placed[self._rule + 2:self._rule + 5]]

    @property
    def cursor(self):
        column, row, _ = self.placed[-1]
        return column, row


class Terminal:
    """One program in a pseudo-terminal of fixed size, seen through a terminal
    emulator. Every byte the program writes is fed to the emulator and also
    kept raw; all waiting is driven by readiness of the pty and of the process,
    bounded by a deadline, never by fixed sleeps."""

    def __init__(self, argv, *, env, cwd=None, rows=24, columns=80, stderr_path=None):
        """`stderr_path`, when given, receives the program's standard error
        instead of the terminal."""
        self.rows, self.columns = rows, columns
        self.screen = pyte.Screen(columns, rows)
        self._stream = pyte.ByteStream(self.screen)
        self.raw = bytearray()
        self._eof = False
        self._exit = None
        stty = shutil.which("stty") or "/bin/stty"
        handle, before = tempfile.mkstemp(prefix="stty-before-")
        os.close(handle)
        try:
            def record_terminal_settings():
                # Runs in the child once the pty is set up and before the exec;
                # pexpect returns only after the exec, so there is no race with
                # the program. Descriptors are closed by then: hence the path.
                with open(before, "w") as out:
                    subprocess.run([stty, "-g"], stdout=out, check=True)
                if stderr_path is not None:
                    errors = os.open(stderr_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
                    os.dup2(errors, 2)
                    os.close(errors)

            self._child = pexpect.spawn(argv[0], list(argv[1:]), env=env, cwd=cwd,
                                        dimensions=(rows, columns),
                                        preexec_fn=record_terminal_settings)
            self.stty_before = Path(before).read_text().strip()
        finally:
            os.unlink(before)
        # The child is always collected before the pty is closed, so pexpect's
        # grace periods for stubborn children are not needed.
        self._child.ptyproc.delayafterclose = 0
        self._child.ptyproc.delayafterterminate = 0
        self.pid = self._child.pid
        self._fd = self._child.child_fd

    # -- what is on the screen ------------------------------------------------

    @property
    def lines(self):
        """The screen's rows as text, each padded to the full width."""
        return list(self.screen.display)

    @property
    def text(self):
        """The screen as one string, without trailing blanks and empty rows."""
        return "\n".join(line.rstrip() for line in self.lines).rstrip()

    @property
    def cursor(self):
        """(column, row) of the cursor, both 0-based."""
        return self.screen.cursor.x, self.screen.cursor.y

    @property
    def cursor_visible(self):
        return not self.screen.cursor.hidden

    def row_of(self, text):
        """The first row that contains `text`, or None."""
        for number, line in enumerate(self.lines):
            if text in line:
                return number
        return None

    def frames(self):
        """Every complete frame the program has drawn so far, oldest first. The
        terminal is given back with a clear too; what follows it is no frame."""
        frames = []
        for chunk in bytes(self.raw).split(b"\x1b[2J")[1:]:
            frame = Frame.parse(chunk.split(b"\x1b[?25h")[0])
            if frame is not None:
                frames.append(frame)
        return frames

    # -- waiting --------------------------------------------------------------

    def wait_for(self, predicate, timeout=DEFAULT_TIMEOUT, what="the screen to match"):
        """Reads output until predicate(self) holds. Fails at the deadline, or as
        soon as the program's output ends without the predicate holding."""
        deadline = _Deadline(timeout)
        while not predicate(self):
            if self._eof:
                raise AssertionError(f"output ended while waiting for {what}\n{self.describe()}")
            if not self._pump(deadline.remaining()):
                if deadline.passed():
                    raise TimeoutError(f"timed out after {timeout} s waiting for {what}\n{self.describe()}")
        return self

    def wait_for_text(self, text, timeout=DEFAULT_TIMEOUT):
        return self.wait_for(lambda t: t.row_of(text) is not None, timeout, what=repr(text))

    def wait_for_frame(self, predicate, after=0, timeout=DEFAULT_TIMEOUT, what="a frame to match"):
        """Reads output until a frame from number `after` on satisfies
        predicate(frame), and returns the first such frame."""
        found = []

        def seen(terminal):
            found[:] = [frame for frame in terminal.frames()[after:] if predicate(frame)][:1]
            return bool(found)

        self.wait_for(seen, timeout, what)
        return found[0]

    @property
    def output_ended(self):
        """True once every holder of the pty's program side has closed it."""
        return self._eof

    def answer(self, reply, until=None, patience=1.0, attempts=10):
        """Types `reply` to a question on the screen and waits until `until(self)`
        holds (default: the output has ended). pacman discards typeahead just
        before it reads an answer, so a reply sent as soon as its prompt shows
        can be lost; a reply without effect after `patience` seconds is typed
        again, at most `attempts` times."""
        until = until or (lambda t: t.output_ended)
        for _ in range(attempts - 1):
            self.send(reply)
            try:
                return self.wait_for(until, timeout=patience, what=f"the effect of {reply!r}")
            except TimeoutError:
                continue
        self.send(reply)
        return self.wait_for(until, what=f"the effect of {reply!r}")

    def wait_exit(self, timeout=DEFAULT_TIMEOUT):
        """Waits for the program to end, reading its output meanwhile, and
        returns how it ended. Output still in the pty at the end is read too."""
        if self._exit is not None:
            return self._exit
        deadline = _Deadline(timeout)
        try:
            process = os.pidfd_open(self.pid)
        except ProcessLookupError:  # already collected by pexpect
            process = None
        try:
            while process is not None:
                watched = [process] if self._eof else [process, self._fd]
                ready, _, _ = select.select(watched, [], [], deadline.remaining())
                if not ready:
                    raise TimeoutError(f"program still running after {timeout} s\n{self.describe()}")
                if self._fd in ready:
                    self._pump(0)
                if process in ready:
                    break
        finally:
            if process is not None:
                os.close(process)
        while not self._eof and self._pump(0):
            pass
        self._child.wait()
        self._exit = Exit(self._child.exitstatus, self._child.signalstatus)
        return self._exit

    def read_output(self, timeout):
        """Reads whatever the program writes within `timeout` seconds (at least
        one read if output is waiting); False if nothing came."""
        return self._pump(timeout)

    # -- input ----------------------------------------------------------------

    def send(self, text):
        """Types text: its UTF-8 bytes, unchanged."""
        self._write(text.encode() if isinstance(text, str) else bytes(text))

    def press(self, *keys):
        """Presses named keys (see KEYS), each as its own write."""
        for key in keys:
            self._write(KEYS[key])

    def resize(self, rows, columns):
        """Changes the pty's window size (the program gets SIGWINCH) and the
        emulator's screen with it."""
        self.rows, self.columns = rows, columns
        self._child.setwinsize(rows, columns)
        self.screen.resize(rows, columns)

    # -- the terminal's settings ------------------------------------------------

    def stty_after(self):
        """`stty -g` of the pty now. The master side answers for the slave on
        Linux, so this works after the program has closed its end."""
        result = subprocess.run([shutil.which("stty") or "/bin/stty", "-g"], stdin=self._fd,
                                capture_output=True, text=True, check=True)
        return result.stdout.strip()

    # -- ending -----------------------------------------------------------------

    def close(self):
        """Ends the program if it still runs (SIGKILL to its own pid) and closes the pty."""
        if self._exit is None and self._child.isalive():
            os.kill(self.pid, signal.SIGKILL)
            self.wait_exit()
        self._child.close(force=False)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def describe(self):
        """The screen with row numbers and the cursor, for failure messages."""
        body = "\n".join(f"{n:3}|{line.rstrip()}" for n, line in enumerate(self.lines))
        x, y = self.cursor
        tail = bytes(self.raw[-400:])
        return (f"--- screen {self.columns}x{self.rows}, cursor ({x}, {y}) "
                f"{'visible' if self.cursor_visible else 'hidden'} ---\n{body}\n"
                f"--- last raw bytes ---\n{tail!r}")

    def _pump(self, timeout):
        """Reads what the pty has within `timeout` seconds; False if nothing came."""
        ready, _, _ = select.select([self._fd], [], [], max(timeout, 0))
        if not ready:
            return False
        try:
            data = os.read(self._fd, 65536)
        except OSError:  # EIO: every holder of the slave side has closed it
            data = b""
        if not data:
            self._eof = True
            return False
        self.raw += data
        self._stream.feed(data)
        return True

    def _write(self, data):
        view = memoryview(data)
        while view:
            written = os.write(self._fd, view)
            view = view[written:]


class _Deadline:
    def __init__(self, seconds):
        self._end = time.monotonic() + seconds

    def remaining(self):
        return max(self._end - time.monotonic(), 0.0)

    def passed(self):
        return time.monotonic() >= self._end
