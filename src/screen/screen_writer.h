#pragma once

#include <string_view>

#include "runtime/result.h"
#include "screen/cells.h"
#include "screen/output_stream.h"

namespace pacpick::screen {

/// The command that shows the cursor again.
inline constexpr std::string_view kShowCursor = "\x1b[?25h";

/// The terminal commands the program draws with, each encoded at once and
/// appended to an `OutputStream`; nothing reaches the terminal before that stream
/// writes its buffer out. Holds no state of its own: any number of writers on the
/// same stream share one buffer. Positions are 0-based.
class ScreenWriter {
  public:
    /// A writer on the process-wide standard output.
    ScreenWriter() : stream_(&standard_output()) {}
    explicit ScreenWriter(OutputStream& stream) : stream_(&stream) {}

    Result<void> clear_all() { return stream_->write("\x1b[2J"); }
    Result<void> move_to(Column column, Row row);
    Result<void> print(std::string_view text) { return stream_->write(text); }
    Result<void> hide_cursor() { return stream_->write("\x1b[?25l"); }
    Result<void> show_cursor() { return stream_->write(kShowCursor); }
    Result<void> flush() { return stream_->flush(); }

  private:
    OutputStream* stream_;
};

}  // namespace pacpick::screen
