#!/usr/bin/python3
"""The fault sweep: fail the program's system calls one at a time.

A scripted session runs the program in a pseudo-terminal against the cheap
stand-ins in standins/, first with the preload library (inject.cc) only
counting: every call of a watched function is logged with the address it came
from, so each call site is known with the number of its calls. Then the
session runs again once per (site, call number, errno) with that one call
failing, and every run must keep the program's promises (see `Session.check`):
it ends soon after its last key, with status 0, 1 or 101 and never by a
signal, says why in exactly one line when it fails, gives the terminal back as
it found it with the cursor shown, leaves no zombie and no child running on
the terminal, and writes nothing outside its frames but the lines it documents.

    sweep.py --sampled     every site once with its most likely errno, plus the
                           cases that once broke a promise (the test suite's run)
    sweep.py --full        every call of every site with every errno
    sweep.py --case esc:read:pacpick:0x1a2b:3:5   one run, described in full
"""

import argparse
import collections
import ctypes
import errno
import multiprocessing
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import traceback
from dataclasses import dataclass, field
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO_ROOT = HERE.parents[1]
sys.path.insert(0, str(REPO_ROOT / "tests" / "e2e"))

from harness import KEYS, Terminal, world_environment  # noqa: E402

STANDINS = HERE / "standins"

# What the pacman stand-in lists for -Slq and -Qq (and answers -Q for).
SYNC_NAMES = ["bash", "zsh", "fish", "nano", "samba", "vala", "alpha", "python", "sbcl"]
INSTALLED_NAMES = ["bash", "nano", "sed", "zsh"]

# The errors each call can really meet, most likely first. "short" lets a read
# or write move a single byte instead of failing, "eof" makes a read find the
# end of input.
ERRNOS = {
    "read": ["EINTR", "EAGAIN", "EIO", "short"],
    "write": ["EINTR", "EAGAIN", "EIO", "short"],
    "open": ["EINTR", "EMFILE", "EACCES"],
    "close": ["EINTR", "EIO"],
    "poll": ["EINTR", "ENOMEM"],
    "recv": ["EINTR", "EAGAIN"],
    "send": ["EINTR", "EAGAIN", "ENOBUFS"],
    "sigaction": ["EINVAL"],
    "waitpid": ["EINTR", "ECHILD"],
    "epoll_create1": ["EMFILE", "ENOMEM"],
    "epoll_ctl": ["ENOMEM", "ENOSPC"],
    "epoll_wait": ["EINTR"],
    "epoll_pwait2": ["EINTR", "ENOSYS", "EPERM"],
    "eventfd": ["EMFILE", "ENOMEM"],
    "eventfd_read": ["EAGAIN", "EINTR"],
    "eventfd_write": ["EAGAIN", "EINTR"],
    "pipe2": ["EMFILE", "ENFILE"],
    "socketpair": ["EMFILE", "ENOMEM"],
    "posix_spawnp": ["EAGAIN", "ENOMEM", "ENOENT"],
    "posix_spawn_file_actions_adddup2": ["ENOMEM"],
    "pidfd_open": ["EMFILE", "ENOSYS"],
    "tcgetattr": ["EIO", "ENOTTY"],
    "tcsetattr": ["EINTR", "EIO"],
    "ioctl": ["EIO", "EINTR"],
    "isatty": ["EIO"],
    "pthread_create": ["EAGAIN"],
}

# Sites whose descriptor changes what the call can meet: a terminal can reach
# the end of input; an eventfd takes no short write and reports no I/O error,
# and its EAGAIN means "already woken", which a failure made up here is not.
SITE_ERRNOS = [
    ("read", "read_terminal", ["EINTR", "EAGAIN", "EIO", "short", "eof"]),
    ("write", "Reactor::interrupt", ["EINTR"]),
    ("read", "Reactor::run", ["EINTR", "EAGAIN"]),
]


# Failures that only ask for the call to be made again: a program that gives
# up on one of them has lost something it did not have to (a frame, a key, the
# user's terminal), so a run with such a fault must end as a healthy one does.
# EAGAIN of a spawn or a thread is a limit reached, not a call to repeat.
TRANSIENT = {"EINTR", "short"}
TRANSIENT_EAGAIN = {"read", "write", "recv", "send", "eventfd_read", "eventfd_write"}


def is_transient(fault):
    return fault.what in TRANSIENT or (fault.what == "EAGAIN" and fault.function in TRANSIENT_EAGAIN)


def errnos_for(site):
    for function, part, errnos in SITE_ERRNOS:
        if site.function == function and part in site.name:
            return errnos
    return ERRNOS[site.function]


# Runs that once broke a promise, kept in the sampled sweep so that they stay
# mended: (script, function, part of the calling site's name, call number or
# "last", errno). Every site matching the name is failed.
REGRESSIONS = [
    # An interrupted tcsetattr left the terminal raw; a refused one is tried again.
    ("esc", "tcsetattr", "leave_raw_mode", 1, "EINTR"),
    ("esc", "tcsetattr", "leave_raw_mode", 1, "EIO"),
    ("enter", "tcsetattr", "leave_raw_mode", 1, "EIO"),
    # A terminal left non-blocking by another program lost a frame and ended
    # the program; a refused restore left the cursor hidden.
    ("esc", "write", "write_all", 5, "EAGAIN"),
    ("esc", "write", "write_all", "last", "EAGAIN"),
    ("esc", "write", "write_all", "last", "EIO"),
    # An interrupted wake of the reactor at shutdown left the program hanging.
    ("esc", "write", "Reactor::stop", 1, "EINTR"),
    # A terminal that failed a read or reached its end left the program
    # running deaf, with the screen held and the terminal raw.
    ("esc", "read", "read_terminal", 1, "EIO"),
    ("esc", "read", "read_terminal", 3, "EIO"),
    ("esc", "read", "read_terminal", 2, "eof"),
    ("enter", "read", "read_terminal", 1, "EIO"),
]

ROWS, COLUMNS = 24, 80
# How long a healthy step may take on a loaded machine before the script moves
# on regardless; after one step has missed, the rest wait only briefly.
STEP_PATIENCE, STEP_PATIENCE_AFTER_MISS = 3.0, 0.5
EXIT_BOUND = 10.0       # seconds from the last key to the program's end
ZOMBIE_BOUND = 5.0      # how long an ended child may stay unreaped
STRAY_BOUND = 10.0      # how long a child may outlive the program


def set_child_subreaper():
    """Orphaned descendants of the program become this process's children, so
    that those that outlive it can be seen and collected."""
    libc = ctypes.CDLL(None, use_errno=True)
    PR_SET_CHILD_SUBREAPER = 36
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER)")


def children_of(pid):
    """The children of every thread of `pid` ("self" for this process); a
    process or thread that ends while it is read has none."""
    children = []
    try:
        tasks = list(Path(f"/proc/{pid}/task").iterdir())
    except (FileNotFoundError, ProcessLookupError):
        return children
    for task in tasks:
        try:
            children += [int(child) for child in (task / "children").read_text().split()]
        except (FileNotFoundError, ProcessLookupError):
            pass
    return children


def process_state(pid):
    try:
        stat = Path(f"/proc/{pid}/stat").read_text()
    except (FileNotFoundError, ProcessLookupError):  # gone, or going while read
        return None
    return stat[stat.rindex(")") + 2]


@dataclass(frozen=True)
class Fault:
    """One call to fail: the `nth` call of `function` from `site` (an object's
    file name and an offset in it) fails with `what` (an errno name or "short")."""
    function: str
    obj: str
    offset: int
    nth: int
    what: str

    def env_value(self):
        what = self.what if self.what in ("short", "eof") else str(getattr(errno, self.what))
        return f"{self.function}:{self.obj}:{self.offset:#x}:{self.nth}:{what}"


@dataclass
class Case:
    script: str
    fault: Fault | None = None
    label: str = ""

    def describe(self):
        if self.fault is None:
            return f"{self.script}: counting run"
        f = self.fault
        return f"{self.script}: {f.function} call {f.nth} from {self.label or f'{f.obj}+{f.offset:#x}'} -> {f.what}"


@dataclass
class Outcome:
    case: Case
    problems: list = field(default_factory=list)
    fired: bool = False
    calls: list = field(default_factory=list)   # (function, object, offset) in order
    exit: tuple = (None, None)
    stderr: str = ""
    screen: str = ""
    seconds: float = 0.0


# -- one session --------------------------------------------------------------------------

class Session:
    """One run of the program under a script, with or without a fault, and the
    check of every promise afterwards."""

    def __init__(self, case, binary, preload, workdir):
        self.case = case
        self.workdir = Path(workdir)
        self.standin_log = self.workdir / "standins.log"
        self.call_log = self.workdir / "calls.log"
        self.stderr_path = self.workdir / "stderr"
        env = world_environment(STANDINS)
        env["FAULT_STANDIN_LOG"] = str(self.standin_log)
        env["FAULT_STANDIN_SYNC"] = " ".join(SYNC_NAMES)
        env["FAULT_STANDIN_INSTALLED"] = " ".join(INSTALLED_NAMES)
        env["LD_PRELOAD"] = str(preload)
        env["PACPICK_FAULT_LOG"] = str(self.call_log)
        if case.fault is not None:
            env["PACPICK_FAULT"] = case.fault.env_value()
        self.patience = STEP_PATIENCE
        self.problems = []
        self.typed = []
        self.terminal = Terminal([str(binary)], env=env, cwd=self.workdir, rows=ROWS, columns=COLUMNS,
                                 stderr_path=self.stderr_path)

    # -- steps of a script --

    def frames_so_far(self):
        return len(self.terminal.frames())

    def settle(self, predicate, after):
        """Waits for a frame from number `after` on that satisfies `predicate`;
        gives up quietly at the step's deadline or when the program ends (a
        fault may rightly keep a list or details from ever coming)."""
        try:
            self.terminal.wait_for_frame(predicate, after=after, timeout=self.patience)
            return True
        except (TimeoutError, AssertionError):
            self.patience = STEP_PATIENCE_AFTER_MISS
            return False

    def running(self):
        return not self.terminal.output_ended and process_state(self.terminal.pid) not in (None, "Z")

    def type(self, data):
        """Types bytes, unless the program has given the terminal back. It may
        still do so before it reads them, and then the terminal echoes them:
        the keys sent are remembered, so that an echo is not taken for output."""
        if not self.running() or RESTORE in self.terminal.raw:
            return False
        self.typed.append(data)
        try:
            self.terminal.send(data)
        except OSError:
            return False  # the program is gone
        return True

    def key(self, predicate, key=None, text=None):
        before = self.frames_so_far()
        if self.type(text.encode() if text is not None else KEYS[key]):
            self.settle(predicate, before)

    def resize(self):
        """A wider window: the program hears of it by SIGWINCH and draws its next
        frame to the new width. Nothing is drawn at once, so nothing is waited for."""
        if self.running() and RESTORE not in self.terminal.raw:
            self.terminal.resize(ROWS, COLUMNS + 20)

    def check_no_lasting_zombie(self):
        """Before the last key: every child that has ended is reaped soon."""
        deadline = time.monotonic() + ZOMBIE_BOUND
        while True:
            zombies = [pid for pid in children_of(self.terminal.pid) if process_state(pid) == "Z"]
            if not zombies:
                return
            if time.monotonic() >= deadline:
                self.problems.append(f"zombie children {zombies} still unreaped after {ZOMBIE_BOUND} s")
                return
            # Nothing tells another process's parent has reaped a child, so
            # look again after the program's next output or a moment.
            self.terminal.read_output(0.05)

    def finish(self, last_key):
        self.check_no_lasting_zombie()
        self.type(KEYS[last_key])
        try:
            return self.terminal.wait_exit(timeout=EXIT_BOUND)
        except TimeoutError:
            self.problems.append(f"still running {EXIT_BOUND} s after its last key")
            try:
                os.kill(self.terminal.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass  # it ended at the last moment
            return self.terminal.wait_exit()

    def run(self):
        t = self.terminal
        self.settle(lambda f: True, 0)
        self.key(listed("install", "a", 0), text="a")
        if self.case.script == "esc":
            self.key(listed("install", "a", 1), key="up")
            self.key(listed("install", "a", 0), key="down")
            self.resize()
            self.key(listed("uninstall", "", 0), key="tab")
            self.key(listed("uninstall", "s", 0), text="s")
            self.key(listed("uninstall", "", 0), key="backspace")
            end = self.finish("esc")
        else:
            end = self.finish("enter")
        self.exit = end
        self.stray = self.collect_descendants()
        self.stty_after = t.stty_after()
        return end

    # -- after the end --

    def foreground_pids(self):
        """Stand-ins that ran on the terminal in the foreground: sudo and the
        pacman it starts with -S or -R."""
        pids = set()
        for line in read_text(self.standin_log).splitlines():
            pid, program, *arguments = line.split()
            if program == "sudo" or (arguments and arguments[0] in ("-S", "-R")):
                pids.add(int(pid))
        return pids

    def collect_descendants(self):
        """Waits for every descendant that outlived the program (they are this
        process's children now) and returns those that were still running on
        the terminal when it ended, and those that did not end in time."""
        problems = []
        foreground = self.foreground_pids()
        left = {pid: process_state(pid) for pid in children_of("self")}
        running_foreground = [pid for pid, state in left.items()
                              if pid in foreground and state not in (None, "Z")]
        if running_foreground:
            problems.append(f"the foreground command {running_foreground} still ran after the program ended")
        deadline = time.monotonic() + STRAY_BOUND
        pidfds = {}
        for pid in left:
            try:
                pidfds[os.pidfd_open(pid)] = pid
            except ProcessLookupError:
                pass
        try:
            while pidfds:
                ready, _, _ = select.select(list(pidfds), [], [], max(deadline - time.monotonic(), 0))
                if not ready:
                    problems.append(f"children {sorted(pidfds.values())} still ran {STRAY_BOUND} s after the end")
                    for fd, pid in pidfds.items():
                        signal.pidfd_send_signal(fd, signal.SIGKILL)
                    for fd, pid in pidfds.items():
                        os.waitpid(pid, 0)
                    break
                for fd in ready:
                    os.waitpid(pidfds.pop(fd), 0)
                    os.close(fd)
        finally:
            for fd in pidfds:
                os.close(fd)
        return problems

    def check(self):
        """Every promise a run must keep, as a list of what was broken."""
        problems = list(self.problems) + list(self.stray)
        code, sig = self.exit.code, self.exit.signal
        if sig is not None:
            problems.append(f"ended by signal {sig} ({signal.Signals(sig).name})")
        elif code not in (0, 1, 101):
            problems.append(f"exit status {code}")
        stderr = read_text(self.stderr_path)
        lines = stderr.splitlines()
        if code in (1, 101) and self.case.fault is not None and is_transient(self.case.fault):
            problems.append(f"gave up with status {code} on a failure that only asks for another try")
        if code in (1, 101):
            if len(lines) != 1 or not re.fullmatch(r"(Error|Failed building the Runtime): .+", lines[0]) \
                    or not stderr.endswith("\n"):
                problems.append(f"standard error is not one error line: {stderr!r}")
        elif stderr:
            problems.append(f"standard error holds {stderr!r} after status {code}")
        if self.stty_after != self.terminal.stty_before:
            problems.append("the terminal's settings differ from those it had before")
        if not self.terminal.cursor_visible:
            problems.append("the cursor is left hidden")
        problems += stray_output(bytes(self.terminal.raw), self.case.script, self.typed)
        return problems


def listed(mode, query, marker):
    """A predicate for the frame that shows the whole answer to `query` in
    `mode`, entry `marker` marked and its details below."""
    names = SYNC_NAMES if mode == "install" else INSTALLED_NAMES
    matches = sorted({name for name in names if query in name}, key=lambda name: (len(name), name))

    def shown(frame):
        return (frame.prompt == f"[{mode}] {query}" and frame.entries == matches and frame.marker == marker
                and frame.details[0].startswith(f"Package: {matches[marker]} "))
    return shown


def read_text(path):
    try:
        return Path(path).read_text(encoding="utf-8", errors="replace")
    except FileNotFoundError:
        return ""


OWN = re.compile(rb"\x1b\[2J|\x1b\[[0-9]+;[0-9]+H|\x1b\[\?25[lh]")
RESTORE = b"\x1b[?25h\x1b[2J\x1b[1;1H"
AFTER_RESTORE = {
    "esc": rb"",
    # The line before the command is given up when the terminal refuses it,
    # so that the command still runs.
    "enter": rb"(Running pacman -S [^\r\n]+\.\.\.\r\n)?(stand-in pacman -S [^\r\n]+ done\r\n)?",
}
# What the terminal echoes, once the program has given it back, for a key
# typed just before that the program never read.
ECHOES = {b"\x1b": [b"^["], b"\x1b[A": [b"^[[A"], b"\x1b[B": [b"^[[B"], b"\t": [b"\t"], b"\r": [b"\r\n"],
          b"\x7f": [b"", b"\b \b", b"\b\b  \b\b", b"^?"]}


def echo_pattern(typed):
    """A regular expression for the echo of any last few of the keys typed."""
    options = [b""]
    for start in range(len(typed)):
        parts = [b"(?:" + b"|".join(re.escape(e) for e in ECHOES.get(k, [k])) + b")" for k in typed[start:]]
        options.append(b"".join(parts))
    return b"(?:" + b"|".join(options) + b")"


def stray_output(raw, script, typed=()):
    """What the program wrote outside its frames beyond the lines it documents:
    the cursor is hidden first, then come only frames (a clear, then text
    placed by cursor moves, no other control), then the terminal is given back
    and only the action's own lines follow (and the terminal's echo of keys
    the program never read)."""
    if not raw:
        return []
    problems = []
    if not raw.startswith(b"\x1b[?25l"):
        problems.append(f"output before the screen was taken: {raw[:60]!r}")
    restored = raw.rfind(b"\x1b[?25h")
    body = raw[len(b"\x1b[?25l"):restored if restored >= 0 else len(raw)]
    chunks = body.split(b"\x1b[2J")
    if chunks[0]:
        problems.append(f"output outside a frame: {chunks[0][:60]!r}")
    for chunk in chunks[1:]:
        if chunk and not re.match(rb"\x1b\[[0-9]+;[0-9]+H", chunk):
            problems.append(f"a frame that does not start with a cursor move: {chunk[:60]!r}")
        rest = OWN.sub(b"", chunk)
        if re.search(rb"[\x00-\x1f\x7f]", rest):
            problems.append(f"a control character inside a frame: {chunk[:80]!r}")
    if restored >= 0:
        tail = raw[restored:]
        if not tail.startswith(RESTORE):
            problems.append(f"the terminal was not given back whole: {tail[:60]!r}")
        elif not re.fullmatch(echo_pattern(list(typed)) + AFTER_RESTORE[script], tail[len(RESTORE):]):
            problems.append(f"output after the terminal was given back: {tail[len(RESTORE):][:120]!r}")
    return problems


def parse_call_log(path):
    calls, fired = [], False
    for line in read_text(path).splitlines():
        kind, function, obj, offset, *_ = line.split("\t")
        if kind == "fired":
            fired = True
        calls.append((function, obj, int(offset, 16)))
    return calls, fired


def run_case(job):
    """One session in a fresh directory; returns its Outcome. Runs in a pool
    worker, which is the subreaper for everything the program leaves."""
    case, binary, preload = job
    started = time.monotonic()
    workdir = tempfile.mkdtemp(prefix="pacpick-fault-")
    outcome = Outcome(case)
    session = None
    try:
        session = Session(case, binary, preload, workdir)
        session.run()
        outcome.problems = session.check()
        outcome.exit = (session.exit.code, session.exit.signal)
        outcome.stderr = read_text(session.stderr_path)
        outcome.screen = session.terminal.describe()
        outcome.calls, outcome.fired = parse_call_log(session.call_log)
    except Exception:  # a broken harness must show, not pass
        outcome.problems.append("the driver failed: " + traceback.format_exc(limit=-3))
    finally:
        if session is not None:
            session.terminal.close()
        shutil.rmtree(workdir, ignore_errors=True)
    outcome.seconds = time.monotonic() - started
    return outcome


# -- call sites ----------------------------------------------------------------------------

@dataclass(frozen=True)
class Site:
    function: str
    obj: str
    offset: int
    name: str       # the calling function, innermost inlined one first
    where: str      # file:line of the call

    def label(self):
        return f"{self.name} ({self.where})"


def object_paths(binary):
    """File name -> path of the program and the libraries it loads."""
    paths = {Path(binary).name: str(binary)}
    listing = subprocess.run(["ldd", str(binary)], capture_output=True, text=True).stdout
    for line in listing.splitlines():
        match = re.match(r"\s*(\S+) => (\S+)", line)
        if match:
            paths[match[1]] = match[2]
    return paths


def name_sites(binary, keys):
    """Site for each (function, object, offset): the caller's name and line from
    the debug information, or the nearest exported symbol where there is none."""
    paths = object_paths(binary)
    names = {}
    by_object = collections.defaultdict(list)
    for key in keys:
        by_object[key[1]].append(key)
    for obj, group in by_object.items():
        path = paths.get(obj)
        resolved = {}
        if path:
            addresses = [f"{key[2] - 1:#x}" for key in group]
            out = subprocess.run(["addr2line", "-f", "-C", "-i", "-a", "-e", path, *addresses],
                                 capture_output=True, text=True).stdout.splitlines()
            blocks, current = [], None
            for line in out:
                if re.fullmatch(r"0x[0-9a-f]+", line):
                    current = []
                    blocks.append(current)
                elif current is not None:
                    current.append(line)
            for key, block in zip(group, blocks):
                # Pairs of lines, the inlined function first and the one that
                # holds the code last: name both when they differ.
                inner = short_function(block[0]) if block else "??"
                outer = short_function(block[-2]) if len(block) >= 2 else inner
                where = Path(block[1].split(" ")[0]).name if len(block) > 1 else "?"
                resolved[key] = (inner if inner == outer else f"{inner} in {outer}", where)
            if any(name == "??" for name, _ in resolved.values()):
                symbols = exported_symbols(path)
                for key, (name, where) in list(resolved.items()):
                    if name == "??":
                        resolved[key] = (nearest_symbol(symbols, key[2] - 1), where)
        for key in group:
            name, where = resolved.get(key, ("??", "?"))
            names[key] = Site(key[0], obj, key[2], name, where)
    return names


def short_function(text):
    """A demangled name without its parameter list."""
    text = text.replace("(anonymous namespace)::", "")
    depth, end = 0, len(text)
    for i, ch in enumerate(text):
        if ch == "(" and depth == 0 and i > 0:
            end = i
            break
        if ch == "<":
            depth += 1
        elif ch == ">":
            depth -= 1
    return text[:end]


def exported_symbols(path):
    out = subprocess.run(["nm", "-D", "-C", "--defined-only", path], capture_output=True, text=True).stdout
    symbols = []
    for line in out.splitlines():
        parts = line.split(" ", 2)
        if len(parts) == 3 and parts[1] in "TtWw":
            symbols.append((int(parts[0], 16), short_function(parts[2])))
    return sorted(symbols)


def nearest_symbol(symbols, address):
    best = "??"
    for start, name in symbols:
        if start > address:
            break
        best = name
    return best


def count_sites(outcome, binary):
    """(site, calls) for every site the counting run met, in order of first call."""
    counts = collections.Counter(outcome.calls)
    order = list(dict.fromkeys(outcome.calls))
    named = name_sites(binary, order)
    return [(named[key], counts[key]) for key in order]


# -- the sweeps ----------------------------------------------------------------------------

def counting_runs(binary, preload, pool):
    results = {}
    for outcome in pool.imap(run_case, [(Case(script), binary, preload) for script in ("esc", "enter")]):
        if outcome.problems:
            raise SystemExit(f"the counting run of {outcome.case.script} broke a promise:\n"
                             + "\n".join(outcome.problems) + "\n" + outcome.screen)
        results[outcome.case.script] = count_sites(outcome, binary)
    return results


def sampled_cases(sites_by_script):
    """Every site once, in the first script that meets it, with its most likely
    errno; then the regressions."""
    cases, seen = [], set()
    for script, sites in sites_by_script.items():
        for site, _ in sites:
            key = (site.function, site.obj, site.offset)
            if key in seen:
                continue
            seen.add(key)
            what = errnos_for(site)[0]
            cases.append(Case(script, Fault(site.function, site.obj, site.offset, 1, what), site.label()))
    sampled = {(case.script, case.fault) for case in cases}
    for script, function, part, nth, what in REGRESSIONS:
        matching = [(site, count if nth == "last" else nth) for site, count in sites_by_script[script]
                    if site.function == function and part in site.name and (nth == "last" or count >= nth)]
        if not matching:
            raise SystemExit(f"no site of {function} in {part!r} is called {nth} times in {script}: "
                             "the regression list needs updating")
        for site, number in matching:
            fault = Fault(function, site.obj, site.offset, number, what)
            if (script, fault) not in sampled:
                sampled.add((script, fault))
                cases.append(Case(script, fault, site.label()))
    return cases


def full_cases(sites_by_script):
    cases = []
    for script, sites in sites_by_script.items():
        for site, count in sites:
            for nth in range(1, count + 1):
                for what in errnos_for(site):
                    cases.append(Case(script, Fault(site.function, site.obj, site.offset, nth, what),
                                      site.label()))
    return cases


def report_failure(outcome):
    print(f"FAILED {outcome.case.describe()}")
    if outcome.case.fault is not None:
        print(f"  replay: {sys.argv[0]} --case {outcome.case.script}:{outcome.case.fault.env_value()}")
    for problem in outcome.problems:
        print(f"  - {problem}")
    print(f"  exit {outcome.exit}, stderr {outcome.stderr!r}")
    print("  " + outcome.screen.replace("\n", "\n  "))


def table(sites_by_script, outcomes):
    """Function, call sites, runs, runs that fired, failures."""
    sites = collections.defaultdict(set)
    for script_sites in sites_by_script.values():
        for site, _ in script_sites:
            sites[site.function].add((site.obj, site.offset))
    runs = collections.Counter(o.case.fault.function for o in outcomes)
    fired = collections.Counter(o.case.fault.function for o in outcomes if o.fired)
    failed = collections.Counter(o.case.fault.function for o in outcomes if o.problems)
    rows = [("function", "call sites", "runs", "fired", "failures")]
    for function in ERRNOS:
        if sites[function] or runs[function]:
            rows.append((function, len(sites[function]), runs[function], fired[function], failed[function]))
    rows.append(("total", sum(len(s) for s in sites.values()), sum(runs.values()), sum(fired.values()),
                 sum(failed.values())))
    widths = [max(len(str(row[i])) for row in rows) for i in range(5)]
    lines = []
    for n, row in enumerate(rows):
        lines.append("| " + " | ".join(str(v).ljust(widths[i]) if i == 0 else str(v).rjust(widths[i])
                                       for i, v in enumerate(row)) + " |")
        if n == 0:
            lines.append("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    return "\n".join(lines)


def sweep(binary, preload, jobs, full, table_path, transient_only=False):
    started = time.monotonic()
    with multiprocessing.Pool(jobs, initializer=set_child_subreaper) as pool:
        sites_by_script = counting_runs(binary, preload, pool)
        cases = full_cases(sites_by_script) if full else sampled_cases(sites_by_script)
        if transient_only:
            cases = [case for case in cases if is_transient(case.fault)]
        print(f"{len(cases)} runs over {sum(len(s) for s in sites_by_script.values())} sites "
              f"({', '.join(f'{k}: {len(v)}' for k, v in sites_by_script.items())})", flush=True)
        outcomes = []
        for outcome in pool.imap_unordered(run_case, [(case, binary, preload) for case in cases]):
            outcomes.append(outcome)
            if len(outcomes) % 100 == 0:
                print(f"... {len(outcomes)} of {len(cases)} runs, {time.monotonic() - started:.0f} s", flush=True)
            if outcome.problems:
                report_failure(outcome)
                sys.stdout.flush()
    elapsed = time.monotonic() - started
    text = table(sites_by_script, outcomes)
    print(text)
    failed = sum(1 for o in outcomes if o.problems)
    print(f"{len(outcomes)} runs in {elapsed:.0f} s with {jobs} jobs")
    if table_path:
        Path(table_path).write_text(
            "# The last full fault sweep\n\n"
            f"`make fault-sweep`: {len(outcomes)} runs in {elapsed:.0f} s with {jobs} jobs, "
            f"{failed} of them broke a promise.\n\n{text}\n")
    fired = sum(1 for o in outcomes if o.fired)
    if fired < 0.8 * len(outcomes):
        # A site met in the counting run can be missed when timing differs,
        # but not most of them: the preload is not failing what it is asked to.
        print(f"only {fired} of {len(outcomes)} faults were reached")
        failed = max(failed, 1)
    print(f"{len(outcomes) - failed} passed, {failed} failed")
    return 1 if failed else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    mode = parser.add_mutually_exclusive_group(required=True)
    mode.add_argument("--sampled", action="store_true")
    mode.add_argument("--full", action="store_true")
    mode.add_argument("--case", help="script:function:object:offset:nth:errno-number, short or eof")
    mode.add_argument("--sites", choices=["esc", "enter"], help="list the call sites a script meets")
    parser.add_argument("--binary", default=str(REPO_ROOT / "build" / "pacpick"))
    parser.add_argument("--preload", default=str(REPO_ROOT / "build" / "tests" / "faults" / "fault_inject.so"))
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--table", help="also write the table to this file")
    parser.add_argument("--transient-only", action="store_true",
                        help="only the failures that ask for another try (EINTR, short, EAGAIN of I/O)")
    args = parser.parse_args()
    binary, preload = Path(args.binary).resolve(), Path(args.preload).resolve()
    for path in (binary, preload):
        if not path.is_file():
            raise SystemExit(f"missing {path}: build first")

    if args.sites:
        set_child_subreaper()
        for site, count in count_sites(run_case((Case(args.sites), binary, preload)), binary):
            print(f"{site.function:34} {count:4}  {site.obj}+{site.offset:#x}  {site.label()}")
        return 0
    if args.case:
        script, function, obj, offset, nth, what = args.case.split(":")
        what = what if what in ("short", "eof") else errno.errorcode[int(what)]
        set_child_subreaper()
        outcome = run_case((Case(script, Fault(function, obj, int(offset, 16), int(nth), what)), binary, preload))
        print(f"fired: {outcome.fired}, exit {outcome.exit}, {outcome.seconds:.1f} s")
        print(f"stderr: {outcome.stderr!r}")
        print(outcome.screen)
        for problem in outcome.problems:
            print(f"- {problem}")
        return 1 if outcome.problems else 0
    return sweep(binary, preload, args.jobs, args.full, args.table, args.transient_only)


if __name__ == "__main__":
    sys.exit(main())
