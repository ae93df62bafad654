"""An X server of the suite's own (Xvfb) and the X tools that drive it.

`XDisplay` starts Xvfb on a display number the server picks itself, so that
several runs on one machine never collide, gives the keyboard an é of its own
(see `map_e_acute`), and types with xdotool through the XTEST extension, as a
person's keyboard would: terminals ignore the synthetic events that are sent to
a window directly. Every process the suite starts carries a marker in its
environment, and `end_marked_processes` ends those that outlive their test,
such as the tmux and screen servers that detach themselves.
"""

import ctypes
import os
import signal
import subprocess
import time
from pathlib import Path

# Bounds how long a failure takes to show on a loaded machine; a passing wait
# returns as soon as its condition holds.
DEFAULT_TIMEOUT = 20.0
POLL_INTERVAL = 0.02

PR_SET_PDEATHSIG = 1
PR_SET_CHILD_SUBREAPER = 36
_libc = ctypes.CDLL(None, use_errno=True)


def adopt_orphans():
    """Makes this process the parent of the processes that its descendants
    leave behind, such as the tmux and screen servers once they detach, so
    that `reap_children` can collect them rather than leave them to init."""
    _libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)


def reap_children(timeout=10.0):
    """Collects every child that has ended; fails if some are still running
    after `timeout` seconds."""

    def all_reaped():
        while True:
            try:
                pid, _ = os.waitpid(-1, os.WNOHANG)
            except ChildProcessError:
                return True
            if pid == 0:
                return False

    wait_for(all_reaped, "the suite's processes to end", timeout)


def die_with_parent():
    """For preexec_fn: the child gets SIGKILL when the test process ends, even
    by a signal it cannot catch, so no X server outlives a killed run."""
    _libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)


def wait_for(condition, what, timeout=DEFAULT_TIMEOUT):
    """Returns condition()'s first true value, checking it until `timeout`
    seconds have passed; then fails, naming `what` was awaited."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise AssertionError(f"timed out after {timeout:.0f} s waiting for {what}")
        time.sleep(POLL_INTERVAL)


def end_process_group(process, grace=5.0):
    """SIGTERM to the process's group, SIGKILL to it if the leader is still
    there after `grace` seconds, then reaps the leader."""
    for sig in (signal.SIGTERM, signal.SIGKILL):
        try:
            os.killpg(process.pid, sig)
        except ProcessLookupError:
            break
        try:
            process.wait(timeout=grace)
            break
        except subprocess.TimeoutExpired:
            continue
    process.wait()


def end_marked_processes(marker):
    """SIGKILL to every process whose environment holds `marker` (NAME=VALUE),
    other than this one; returns how many there were."""
    needle = marker.encode() + b"\0"
    ended = 0
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit() or int(entry.name) == os.getpid():
            continue
        try:
            environment = (entry / "environ").read_bytes()
        except OSError:
            continue  # gone already, or not ours to read
        if environment.startswith(needle) or b"\0" + needle in environment:
            try:
                os.kill(int(entry.name), signal.SIGKILL)
                ended += 1
            except ProcessLookupError:
                pass
    return ended


class XDisplay:
    """A running Xvfb of `width` x `height` pixels. `env` is the environment
    for its clients; `close` ends the server."""

    def __init__(self, env, width=1280, height=1024):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", f"{width}x{height}x24",
             "-nolisten", "tcp", "-noreset"],
            pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE, env=env, start_new_session=True, preexec_fn=die_with_parent)
        os.close(write_end)
        # Xvfb writes the display number once it accepts clients; end of file
        # before that means it failed to start.
        with os.fdopen(read_end, "rb") as numbers:
            number = numbers.readline().strip()
        if not number:
            error = self.process.stderr.read().decode(errors="replace")
            self.process.wait()
            raise RuntimeError(f"Xvfb did not start:\n{error}")
        self.name = f":{number.decode()}"
        self.env = dict(env, DISPLAY=self.name)

    def run(self, *argv, timeout=DEFAULT_TIMEOUT):
        """Runs an X tool against this display; returns its standard output."""
        result = subprocess.run(list(argv), env=self.env, stdin=subprocess.DEVNULL,
                                capture_output=True, text=True, timeout=timeout)
        if result.returncode != 0:
            raise AssertionError(f"{' '.join(argv)} failed ({result.returncode}): {result.stderr}")
        return result.stdout

    def map_e_acute(self):
        """Puts é on an unused key. xdotool can type a character the keyboard
        lacks only by remapping a key for that moment, which terminals built on
        xkbcommon do not notice; a key that is there from the start they see."""
        unused = [int(line.split()[1]) for line in self.run("xmodmap", "-pke").splitlines()
                  if line.startswith("keycode") and line.rstrip().endswith("=")]
        if not unused:
            raise RuntimeError("no unused keycode to put é on")
        self.run("xmodmap", "-e", f"keycode {unused[-1]} = eacute Eacute")

    def find_window(self, title, timeout=DEFAULT_TIMEOUT):
        """The id of the window named `title`, once it exists."""
        output = self.run("xdotool", "search", "--sync", "--name", f"^{title}$", timeout=timeout)
        return output.split()[0]

    def focus(self, window):
        self.run("xdotool", "windowfocus", "--sync", window)

    def keys(self, *names):
        """Presses and releases each named key (X keysym names, with modifiers
        as in ctrl+c) on the focused window."""
        self.run("xdotool", "key", "--delay", "20", *names)

    def type(self, text):
        self.run("xdotool", "type", "--delay", "20", text)

    def window_size(self, window):
        """(width, height) of the window in pixels."""
        fields = dict(line.split("=", 1) for line in
                      self.run("xdotool", "getwindowgeometry", "--shell", window).split())
        return int(fields["WIDTH"]), int(fields["HEIGHT"])

    def resize(self, window, width, height):
        self.run("xdotool", "windowsize", window, str(width), str(height))

    def screenshot(self, path):
        """The whole screen as a PNG; returns whether it was written."""
        result = subprocess.run(["import", "-window", "root", str(path)], env=self.env,
                                stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
        return result.returncode == 0

    def close(self):
        end_process_group(self.process)
        self.process.stderr.close()
