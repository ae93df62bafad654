#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/result.h"
#include "queries/package.h"
#include "screen/screen_writer.h"
#include "screen/terminal_size.h"

namespace pacpick::screen {

/// What one frame shows, borrowed from the application state for the length of
/// one draw. The drawing code reads it and changes nothing.
struct FrameContent {
    std::string_view query;
    const NameList& matches;
    uint64_t selected = 0;
    const PackageDetails* details = nullptr;  // null: nothing known yet
};

/// The details pane: package line, status line, description line, each cut to
/// `width` bytes; three empty lines when there are no details.
std::array<std::string, 3> details_lines(const FrameContent& content, Column width);

/// Writes one whole frame for a terminal of `size` through `writer`: a clear, every
/// element placed by its own cursor move, one flush. Nothing is written after the
/// first error, and that error is the answer.
Result<void> draw_frame(const FrameContent& content, Mode mode, TerminalSize size,
                        ScreenWriter& writer);

/// Asks for the terminal size, then draws a frame on standard output. When the
/// size cannot be had, nothing is written.
Result<void> draw_screen(const FrameContent& content, Mode mode);

}  // namespace pacpick::screen
