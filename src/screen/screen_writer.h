#pragma once

#include <string_view>
#include <utility>

#include "base/result.h"
#include "screen/cells.h"
#include "screen/output_stream.h"

namespace pacpick::screen {

// Commands that a signal handler, which may not use a writer, writes too.
inline constexpr std::string_view kShowCursor = "\x1b[?25h";
inline constexpr std::string_view kClearAll = "\x1b[2J";
inline constexpr std::string_view kHome = "\x1b[1;1H";  // what move_to(0, 0) writes

/// The terminal commands the program draws with, each encoded at once and
/// appended to an `OutputStream`; nothing reaches the terminal before that stream
/// writes its buffer out. As a stdio stream does, the writer keeps the first error
/// its stream reports, does nothing more until `flush`, and reports it there once;
/// writers on one stream share its buffer. Positions are 0-based.
class ScreenWriter {
  public:
    explicit ScreenWriter(OutputStream& stream) : stream_(&stream) {}

    void clear_all() { print(kClearAll); }
    void move_to(Column column, Row row);
    void print(std::string_view text) {
        // Stored only on failure: moving every success in made a frame 7% slower.
        if (outcome_) {
            if (auto written = stream_->write(text); !written) {
                outcome_ = std::move(written);
            }
        }
    }
    void hide_cursor() { print("\x1b[?25l"); }
    void show_cursor() { print(kShowCursor); }
    /// Sends every buffered byte out, unless a command failed since the last
    /// flush: that first error is the answer, and the writer is usable again.
    Result<void> flush() { return outcome_ ? stream_->flush() : std::exchange(outcome_, {}); }

  private:
    OutputStream* stream_;
    Result<void> outcome_;  // of the commands since the last flush
};

}  // namespace pacpick::screen
