#pragma once

#include <compare>
#include <cstdint>

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

}  // namespace pacpick::screen
