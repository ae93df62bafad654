#pragma once

#include "base/result.h"
#include "screen/cells.h"

namespace pacpick::screen {

/// The terminal's size in character cells, columns first. Zero is a possible
/// value: it is what the kernel reports for a window nobody has sized.
struct TerminalSize {
    Column columns;
    Row rows;

    friend bool operator==(TerminalSize, TerminalSize) = default;
};

/// The size of the controlling terminal, else of standard output, as the kernel
/// reports it. When neither is a terminal, `tput cols` and `tput lines` are asked
/// (blocking until each has ended): every decimal digit either prints counts,
/// joined into one number that wraps past 65535, and it must come to more than 0.
/// Fails with the errno current at that moment when no size can be had.
Result<TerminalSize> terminal_size();

}  // namespace pacpick::screen
