"""pacpick in a sandbox whose seccomp filter refuses epoll_pwait2 with EPERM, as
older container profiles and service managers' system call filters do. The
program must search as anywhere else, and sleep while a search waits out its
delay rather than retry the refused call in a loop."""

import ctypes
import os
import select
import time
from pathlib import Path

import pytest

from harness import DEFAULT_TIMEOUT, PYTHON
from test_program_search import COLUMNS, ROWS, SHOWN, listing, quit_cleanly

REFUSE_CALLS = Path(__file__).resolve().parent / "refuse_calls.py"

pytestmark = pytest.mark.skipif(os.uname().machine not in ("x86_64", "aarch64"),
                                reason="the seccomp filter knows the call numbers of x86_64 and aarch64 only")


def cpu_ns(pid):
    """CPU time of every thread of process `pid` so far, in nanoseconds, read
    through its process CPU-time clock (what clock_getcpuclockid gives)."""
    clock = ctypes.c_int(((~pid) << 3) | 2).value
    return time.clock_gettime_ns(clock)


class ReportingPacman:
    """A pacman first on PATH that reports each call's first argument on a FIFO,
    then runs the world's own: the report of `-Slq` marks the moment a search's
    delay has run out."""

    def __init__(self, directory, world):
        self.bin = directory / "bin"
        self.bin.mkdir(parents=True)
        fifo = directory / "calls"
        os.mkfifo(fifo)
        # Opened for reading and writing, the FIFO never blocks either side,
        # not even a call made after the test stopped listening.
        self._calls = os.open(fifo, os.O_RDWR | os.O_NONBLOCK | os.O_CLOEXEC)
        self._buffer = b""
        script = self.bin / "pacman"
        script.write_text(f"#!/bin/sh\necho \"$1\" 1<>'{fifo}'\nexec '{world.bin / 'pacman'}' \"$@\"\n")
        script.chmod(0o755)
        self.world = world

    def env(self):
        env = self.world.env()
        env["PATH"] = f"{self.bin}{os.pathsep}{env['PATH']}"
        return env

    def forget_calls(self):
        """Drops the reports of every call made so far."""
        self._buffer = b""
        try:
            while os.read(self._calls, 4096):
                pass
        except BlockingIOError:
            pass

    def wait_for_call(self, flag):
        deadline = time.monotonic() + DEFAULT_TIMEOUT
        while True:
            while b"\n" in self._buffer:
                line, self._buffer = self._buffer.split(b"\n", 1)
                if line.decode() == flag:
                    return
            ready, _, _ = select.select([self._calls], [], [], max(deadline - time.monotonic(), 0))
            if not ready:
                raise TimeoutError(f"pacman {flag} was never called")
            self._buffer += os.read(self._calls, 4096)

    def close(self):
        os.close(self._calls)


@pytest.fixture
def reporting_pacman(world, tmp_path):
    pacman = ReportingPacman(tmp_path, world)
    yield pacman
    pacman.close()


@pytest.fixture(scope="module")
def catalogue(world):
    result = world.pacman("-Slq")
    assert result.returncode == 0, result.stderr
    return result.stdout.splitlines()


def test_with_epoll_pwait2_refused_searches_work_and_their_delay_costs_no_cpu(run_in_terminal, pacpick_path,
                                                                               reporting_pacman, world, catalogue):
    terminal = run_in_terminal([PYTHON, REFUSE_CALLS, "epoll_pwait2", pacpick_path], env=reporting_pacman.env(),
                               rows=ROWS, columns=COLUMNS, cwd=world.path)
    terminal.wait_for_frame(lambda frame: True, what="the first frame")
    status = Path(f"/proc/{terminal.pid}/status").read_text()
    assert "Seccomp:\t2" in status, "the program runs without the filter"

    cpu = wall = 0
    for query in ["t", "tr", "tre", "tree"]:
        count = len(terminal.frames())
        reporting_pacman.forget_calls()
        terminal.send(query[-1])
        terminal.wait_for_frame(lambda f: f.query == query, after=count, what=f"the prompt showing {query!r}")
        # From the key's frame until the search calls pacman, nothing runs but
        # the search's timer.
        cpu_before, wall_before = cpu_ns(terminal.pid), time.monotonic_ns()
        reporting_pacman.wait_for_call("-Slq")
        cpu += cpu_ns(terminal.pid) - cpu_before
        wall += time.monotonic_ns() - wall_before

        expected = listing(catalogue, query)[:SHOWN]
        terminal.wait_for_frame(lambda f: f.query == query and f.entries == expected and f.details[0],
                                after=count, what=f"the matches of {query!r}, described")
    assert wall >= 4 * 100_000_000, "each search waited out its delay"
    assert cpu * 10 < wall, f"{cpu / 1e6:.1f} ms of CPU time in {wall / 1e6:.1f} ms of searches' delays"
    quit_cleanly(terminal)
