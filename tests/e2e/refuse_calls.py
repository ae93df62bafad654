"""Runs a program in a sandbox that refuses some system calls with EPERM, as the
seccomp profiles of containers and service managers do, or with another error
named after the call (pidfd_open=ENOSYS answers as a kernel without the call):

    refuse_calls.py CALL[=ERROR][,CALL[=ERROR]...] PROGRAM [ARGUMENT...]

It installs a seccomp filter on itself (after PR_SET_NO_NEW_PRIVS, so no
privilege is needed), then execs PROGRAM, which keeps the filter, as does
everything it starts. Exits 2 if the filter cannot be installed."""

import ctypes
import errno
import os
import platform
import struct
import sys

# The calls this suite refuses, by architecture: pidfd_open has the same
# number everywhere, epoll_wait exists only where the old calls do.
NUMBERS = {
    "x86_64": {"pidfd_open": 434, "epoll_wait": 232},
    "aarch64": {"pidfd_open": 434},
}
AUDIT_ARCH = {"x86_64": 0xC000003E, "aarch64": 0xC00000B7}

PR_SET_NO_NEW_PRIVS = 38
PR_SET_SECCOMP = 22
SECCOMP_MODE_FILTER = 2
SECCOMP_RET_ALLOW = 0x7FFF0000
SECCOMP_RET_ERRNO = 0x00050000

# Classic BPF opcodes.
LD_W_ABS = 0x20
JEQ_K = 0x15
RET_K = 0x06
ARCH_OFFSET = 4  # struct seccomp_data: int nr; __u32 arch; ...
NR_OFFSET = 0


def supported():
    return platform.machine() in NUMBERS


def instruction(code, jt, jf, k):
    return struct.pack("HBBI", code, jt, jf, k)


def filter_program(calls):
    machine = platform.machine()
    program = [
        instruction(LD_W_ABS, 0, 0, ARCH_OFFSET),
        instruction(JEQ_K, 1, 0, AUDIT_ARCH[machine]),
        instruction(RET_K, 0, 0, SECCOMP_RET_ALLOW),
        instruction(LD_W_ABS, 0, 0, NR_OFFSET),
    ]
    for call in calls:
        name, _, error = call.partition("=")
        program.append(instruction(JEQ_K, 0, 1, NUMBERS[machine][name]))
        program.append(instruction(RET_K, 0, 0, SECCOMP_RET_ERRNO | getattr(errno, error or "EPERM")))
    program.append(instruction(RET_K, 0, 0, SECCOMP_RET_ALLOW))
    return program


def refuse(calls):
    program = filter_program(calls)
    code = ctypes.create_string_buffer(b"".join(program))

    class SockFprog(ctypes.Structure):
        _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.c_void_p)]

    fprog = SockFprog(len(program), ctypes.cast(code, ctypes.c_void_p))
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl.argtypes = [ctypes.c_int, ctypes.c_ulong, ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong]
    if libc.prctl(PR_SET_NO_NEW_PRIVS, 1, None, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "PR_SET_NO_NEW_PRIVS")
    if libc.prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, ctypes.addressof(fprog), 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "PR_SET_SECCOMP")


def main(argv):
    if len(argv) < 3 or not supported():
        print(__doc__, file=sys.stderr)
        return 2
    try:
        refuse(argv[1].split(","))
    except (OSError, KeyError, AttributeError) as error:
        print(f"refuse_calls: {error}", file=sys.stderr)
        return 2
    os.execvp(argv[2], argv[2:])


if __name__ == "__main__":
    sys.exit(main(sys.argv))
