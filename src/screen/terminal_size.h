#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "runtime/result.h"

namespace pacpick::screen {

/// The terminal's size in character cells, columns first. Zero is a possible
/// value: it is what the kernel reports for a window nobody has sized.
struct TerminalSize {
    uint16_t columns = 0;
    uint16_t rows = 0;

    friend bool operator==(TerminalSize, TerminalSize) = default;
};

/// The size of the controlling terminal, else of standard output, as the kernel
/// reports it; when neither is a terminal, `tput cols` and `tput lines` are asked.
/// Fails with the errno current at that moment when no size can be had.
Result<TerminalSize> terminal_size();

/// The number `tput` prints for a capability ("cols" or "lines"), or nothing when
/// it cannot be run or prints no positive number. Blocks until `tput` has ended.
std::optional<uint16_t> tput_value(std::string_view capability);

/// Every decimal digit in `output` joined into one 16-bit number (wrapping past
/// 65535); other bytes are skipped without ending it. Nothing unless positive.
std::optional<uint16_t> parse_tput_number(std::string_view output);

}  // namespace pacpick::screen
