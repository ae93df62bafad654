#pragma once

#include <cstdint>
#include <span>

// The character tables behind unicode.h, generated from the Unicode Character
// Database by scripts/gen-unicode-tables into unicode_tables.cc. Every table is
// sorted by its first code point so lookups can binary-search it.
namespace pacpick::text::tables {

/// The code points first..last, both included.
struct CodePointRange {
    char32_t first;
    char32_t last;
};

/// Code points first, first + stride, ... last each lower-case to themselves plus
/// `delta`. Stride 2 covers the alternating capital/small pairs of many blocks.
struct LowerRun {
    char32_t first;
    char32_t last;
    int32_t delta;
    uint32_t stride;
};

/// A character whose full lower-case form is not its simple mapping, such as
/// U+0130, which becomes "i" followed by a combining dot.
struct SpecialLower {
    char32_t ch;
    uint32_t length;
    char32_t mapping[3];
};

extern const std::span<const CodePointRange> white_space;
extern const std::span<const CodePointRange> uppercase;
extern const std::span<const CodePointRange> cased;
extern const std::span<const CodePointRange> case_ignorable;
extern const std::span<const LowerRun> lower_runs;
extern const std::span<const SpecialLower> special_lower;

}  // namespace pacpick::text::tables
