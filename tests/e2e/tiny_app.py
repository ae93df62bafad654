#!/usr/bin/python3
"""A tiny full-screen program that the harness's own tests drive.

It enters raw mode, hides the cursor and draws what it sees of its world: the
terminal size and where `pacman` resolves. Each key read is shown as hex on
row 5. Keys: q restores the terminal and exits with the code given as its
argument (default 0); k kills it with SIGKILL while the terminal is still raw;
u and v write the two halves of one UTF-8 character in separate writes.
"""

import os
import shutil
import signal
import sys
import termios
import tty

PARKED = b"\x1b[%d;5H"  # the cursor rests on the last row, column 4 (0-based)


def main():
    exit_code = int(sys.argv[1]) if len(sys.argv) > 1 else 0
    saved = termios.tcgetattr(0)
    tty.setraw(0)
    columns, rows = os.get_terminal_size(0)
    park = PARKED % rows
    os.write(1, b"\x1b[?25l\x1b[2J\x1b[1;1Htiny app ready" +
             b"\x1b[2;1Hsize %dx%d" % (columns, rows) +
             b"\x1b[3;1Hpacman " + (shutil.which("pacman") or "none").encode() + park)
    while True:
        key = os.read(0, 64)
        if not key or key == b"q":
            break
        if key == b"k":
            os.kill(os.getpid(), signal.SIGKILL)
        if key == b"u":
            os.write(1, b"\x1b[4;1Hsplit gr" + "ü".encode()[:1])
        elif key == b"v":
            os.write(1, "ü".encode()[1:] + b"\xc3\x9f" + park)
        else:
            os.write(1, b"\x1b[5;1H\x1b[2Kgot " + key.hex().encode() + park)
    os.write(1, b"\x1b[?25h\x1b[2J\x1b[1;1H")
    termios.tcsetattr(0, termios.TCSANOW, saved)
    return exit_code


if __name__ == "__main__":
    sys.exit(main())
