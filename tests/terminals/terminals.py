"""The terminals under test and a session of the program in one of them.

`TERMINALS` says how to start each terminal at 80 x 24 with a command in it.
`Session` starts one with runner.sh inside: every `run()` then starts the
program afresh in the same window and gives a `Run` to drive and read. tmux
and GNU screen run inside xterm; for those two a session can also read the
screen text and resize the multiplexer's own window.
"""

import fcntl
import os
import shlex
import shutil
import signal
import struct
import subprocess
import termios
import uuid
from dataclasses import dataclass
from pathlib import Path

from xdisplay import DEFAULT_TIMEOUT, end_process_group, wait_for

HERE = Path(__file__).resolve().parent
RUNNER = HERE / "runner.sh"
STANDINS = HERE / "standins"
FONT = "DejaVu Sans Mono"
FONT_SIZE = "11"
COLUMNS, ROWS = 80, 24


def xterm(title, command, env):
    return ["xterm", "-title", title, "-geometry", f"{COLUMNS}x{ROWS}", "-fa", FONT, "-fs", FONT_SIZE,
            "-e", *command]


def urxvt(title, command, env):
    return ["urxvt", "-title", title, "-geometry", f"{COLUMNS}x{ROWS}",
            "-fn", f"xft:{FONT}:size={FONT_SIZE}", "-e", *command]


def st(title, command, env):
    return [shutil.which("st") or "stterm", "-t", title, "-g", f"{COLUMNS}x{ROWS}",
            "-f", f"{FONT}:size={FONT_SIZE}", "-e", *command]


def alacritty(title, command, env):
    return ["alacritty", "--title", title,
            "-o", f"window.dimensions.columns={COLUMNS}", "-o", f"window.dimensions.lines={ROWS}",
            "-o", f"font.normal.family={FONT}", "-o", f"font.size={FONT_SIZE}", "-e", *command]


def kitty(title, command, env):
    return ["kitty", "--config", "NONE", "--title", title,
            "-o", f"initial_window_width={COLUMNS}c", "-o", f"initial_window_height={ROWS}c",
            "-o", "remember_window_size=no", "-o", f"font_family={FONT}", "-o", f"font_size={FONT_SIZE}",
            *command]


def tmux(title, command, env):
    config = Path(env["HOME"]) / "tmux.conf"
    # Without a client the session and its server end, so that a killed run
    # leaves nothing behind.
    config.write_text("set -g destroy-unattached on\nset -g status off\n")
    return xterm(title, ["tmux", "-S", env["TMUX_SOCKET"], "-f", str(config),
                         "new-session", "-s", "pacpick", shlex.join(command)], env)


def screen(title, command, env):
    config = Path(env["HOME"]) / "screenrc"
    # When its terminal goes, screen ends its windows rather than detaching.
    config.write_text("autodetach off\nstartup_message off\n")
    return xterm(title, ["screen", "-S", "pacpick", "-c", str(config), *command], env)


@dataclass(frozen=True)
class Terminal:
    name: str
    binary: str
    argv: object  # (title, command, env) -> argv
    # Where a terminal is not packaged (st has no package in Arch's official
    # repositories) its tests are skipped with a notice; elsewhere a missing
    # binary is a missing install, and fails.
    packaged: object = lambda: True
    multiplexer: bool = False


def debian():
    return shutil.which("dpkg-query") is not None


TERMINALS = [
    Terminal("xterm", "xterm", xterm),
    Terminal("urxvt", "urxvt", urxvt),
    Terminal("st", "st", st, packaged=debian),
    Terminal("alacritty", "alacritty", alacritty),
    Terminal("kitty", "kitty", kitty),
    Terminal("tmux", "tmux", tmux, multiplexer=True),
    Terminal("screen", "screen", screen, multiplexer=True),
]


class Run:
    """One start of the program in the session's terminal, from `Session.run`."""

    def __init__(self, session, directory):
        self.session = session
        self.directory = directory

    def calls(self):
        """The stand-ins' log so far: one string per call, in order."""
        try:
            return (self.directory / "calls").read_text(encoding="utf-8").splitlines()
        except FileNotFoundError:
            return []

    def wait_for_call(self, expected, after=0, timeout=DEFAULT_TIMEOUT):
        """Waits until the log has a call at index `after` or later for which
        `expected` (a string to equal, or a predicate) holds; returns its index."""
        matches = expected if callable(expected) else (lambda call: call == expected)

        def found():
            calls = self.calls()
            return next((index + 1 for index in range(after, len(calls)) if matches(calls[index])), 0)

        what = expected if isinstance(expected, str) else expected.__doc__
        try:
            return wait_for(found, f"the call {what}", timeout) - 1
        except AssertionError as failure:
            raise AssertionError(f"{failure}; the calls from index {after} on: {self.calls()[after:]}") from None

    def status(self, timeout=DEFAULT_TIMEOUT):
        """The program's exit status, once it has ended."""
        path = self.directory / "status"
        wait_for(path.exists, "the program to end", timeout)
        return int(path.read_text())

    def stty(self):
        """`stty -g` in the terminal before and after the program, once both exist."""
        return ((self.directory / "stty-before").read_text().strip(),
                (self.directory / "stty-after").read_text().strip())


class Session:
    """One terminal window running runner.sh, on `display`. `work` is a fresh
    directory; `program` the binary under test."""

    def __init__(self, terminal, display, program, work, marker):
        self.terminal = terminal
        self.display = display
        self.work = work
        self.title = f"pacpick-{terminal.name}-{uuid.uuid4().hex[:8]}"
        home = work / "home"
        home.mkdir()
        (work / "screens").mkdir(mode=0o700)
        name, value = marker.split("=", 1)
        self.env = dict(display.env, HOME=str(home), XDG_CONFIG_HOME=str(home / ".config"),
                        XDG_CACHE_HOME=str(home / ".cache"), XDG_RUNTIME_DIR=str(work / "screens"),
                        SCREENDIR=str(work / "screens"), TMUX_SOCKET=str(work / "tmux.sock"),
                        LANG="C.UTF-8", LC_ALL="C.UTF-8", LIBGL_ALWAYS_SOFTWARE="1")
        self.env[name] = value
        for variable in ("TMUX", "STY", "WINDOWID", "COLUMNS", "LINES"):
            self.env.pop(variable, None)
        os.mkfifo(work / "control")
        self.runs = 0
        command = ["/bin/sh", str(RUNNER), str(work), str(program), str(STANDINS)]
        with open(work / "terminal.log", "wb") as log:
            self.process = subprocess.Popen(terminal.argv(self.title, command, self.env), env=self.env, cwd=work,
                                            stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                                            start_new_session=True)
        self.tty = None
        try:
            # Software OpenGL makes the first window of some terminals slow.
            self.window = display.find_window(self.title, timeout=60)
            tty_path = wait_for(lambda: self._read(work / "tty"), "the runner in the terminal", 60)
            self.tty = os.open(tty_path, os.O_RDONLY | os.O_NOCTTY | os.O_NONBLOCK | os.O_CLOEXEC)
            # Some terminals size the device only once their window is mapped.
            try:
                wait_for(lambda: self.size() == (ROWS, COLUMNS), f"{terminal.name} at {ROWS}x{COLUMNS}")
            except AssertionError as failure:
                raise AssertionError(f"{failure}; it is at {self.size()}") from None
            display.focus(self.window)
        except BaseException:
            self.close()
            raise

    @staticmethod
    def _read(path):
        try:
            return path.read_text().strip()
        except FileNotFoundError:
            return ""

    def size(self):
        """(rows, columns) of the terminal device the program runs on."""
        rows, columns, _, _ = struct.unpack("HHHH", fcntl.ioctl(self.tty, termios.TIOCGWINSZ, bytes(8)))
        return rows, columns

    def wait_for_resize(self):
        """The terminal's (rows, columns) once they are no longer 24 x 80."""
        return wait_for(lambda: self.size() != (ROWS, COLUMNS) and self.size(), "the terminal to take a new size")

    def raw(self):
        return not termios.tcgetattr(self.tty)[3] & termios.ICANON

    def run(self):
        """Starts the program and waits until it has put the terminal in raw
        mode, so that keys from then on reach it as it will see them."""
        if self.runs and not (self.work / f"run{self.runs}" / "status").exists():
            self.end_program()
            wait_for((self.work / f"run{self.runs}" / "status").exists, "the runner to see the program end")
        self.runs += 1
        directory = self.work / f"run{self.runs}"
        directory.mkdir()

        def send_to_runner():
            # Opening a FIFO without blocking succeeds only once the runner
            # waits on it, that is once any earlier run has ended.
            try:
                fd = os.open(self.work / "control", os.O_WRONLY | os.O_NONBLOCK | os.O_CLOEXEC)
            except OSError:
                return False
            try:
                os.write(fd, f"{directory.name}\n".encode())
            finally:
                os.close(fd)
            return True

        wait_for(send_to_runner, "the runner to take another run")
        wait_for(self.raw, "the program to put the terminal in raw mode")
        return Run(self, directory)

    def end_program(self):
        """Ends with SIGTERM the program that a failed test left running, so
        that the terminal's next test starts afresh."""
        runner = (self.work / "runner.pid").read_text().strip()
        children = Path(f"/proc/{runner}/task/{runner}/children").read_text().split()
        for pid in children:
            try:
                os.kill(int(pid), signal.SIGTERM)
            except ProcessLookupError:
                pass

    def keys(self, *names):
        self.display.keys(*names)

    def type(self, text):
        self.display.type(text)

    def resize_window(self, width, height):
        self.display.resize(self.window, width, height)

    def screen_text(self):
        """The multiplexer's screen as lines of text (tmux and screen only)."""
        if self.terminal.name == "tmux":
            lines = subprocess.run(["tmux", "-S", self.env["TMUX_SOCKET"], "capture-pane", "-p", "-t", "pacpick"],
                                  env=self.env, capture_output=True, text=True, timeout=10).stdout.splitlines()
            return [line.rstrip() for line in lines]
        copy = self.work / f"hardcopy-{uuid.uuid4().hex[:8]}"
        subprocess.run(["screen", "-S", "pacpick", "-p", "0", "-X", "hardcopy", str(copy)], env=self.env,
                       capture_output=True, timeout=10)
        # screen writes the copy after the command returns, one byte for each
        # cell: the character's low eight bits, which is Latin-1 for the
        # characters up to U+00FF that the tests use.
        wait_for(lambda: copy.exists() and copy.read_bytes().endswith(b"\n"), "screen's hardcopy", 10)
        return [line.rstrip() for line in copy.read_text(encoding="latin-1").splitlines()]

    def wait_for_screen(self, condition, what, timeout=DEFAULT_TIMEOUT):
        """Waits until condition(lines) holds for the screen text; returns the lines."""
        lines = []

        def check():
            lines[:] = self.screen_text()
            return condition(lines)

        try:
            wait_for(check, what, timeout)
        except AssertionError as failure:
            raise AssertionError(f"{failure}; the screen:\n" + "\n".join(lines)) from None
        return lines

    def resize_multiplexer(self, columns, rows):
        """Gives the tmux window a size of its own, whatever its client's."""
        subprocess.run(["tmux", "-S", self.env["TMUX_SOCKET"], "resize-window", "-t", "pacpick",
                        "-x", str(columns), "-y", str(rows)], env=self.env, check=True, timeout=10)

    def close(self):
        if self.tty is not None:
            os.close(self.tty)
            self.tty = None
        if self.terminal.name == "tmux":
            subprocess.run(["tmux", "-S", self.env["TMUX_SOCKET"], "kill-server"], env=self.env,
                           capture_output=True, timeout=10)
        elif self.terminal.name == "screen":
            subprocess.run(["screen", "-S", "pacpick", "-X", "quit"], env=self.env, capture_output=True,
                           timeout=10)
        end_process_group(self.process)
