#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string_view>

#include "runtime/result.h"

namespace pacpick::screen {

/// A position or extent on the screen along one axis, in cells from the top-left
/// corner: `Column` across, `Row` down. Each axis is its own type, so neither can be
/// passed as the other nor a plain count as either; moving wraps as uint16_t does.
template <typename Axis>
struct Cells {
    uint16_t value = 0;
    Cells operator+(uint16_t cells) const { return Cells{static_cast<uint16_t>(value + cells)}; }
    Cells operator-(uint16_t cells) const { return Cells{static_cast<uint16_t>(value - cells)}; }
    friend auto operator<=>(Cells, Cells) = default;
};
using Column = Cells<struct ColumnAxis>;
using Row = Cells<struct RowAxis>;

/// The terminal's size in character cells, columns first. Zero is a possible
/// value: it is what the kernel reports for a window nobody has sized.
struct TerminalSize {
    Column columns;
    Row rows;

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
