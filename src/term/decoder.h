#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "term/event.h"

namespace pacpick::term {

/// Whether raw mode is in force: it decides whether a line feed is Ctrl+J or
/// Enter. The program asks `raw_mode_active`; tests can answer for themselves.
using RawModeQuery = bool (*)();

/// Turns terminal input, in the chunks in which it was read, into decoded items.
/// It keeps the bytes of an unfinished sequence until a later byte completes it
/// or proves it undecodable (then it is dropped silently); no timer is involved.
class InputDecoder {
  public:
    explicit InputDecoder(RawModeQuery raw_mode);

    /// `more_waiting` is true when more input is known or likely to be waiting
    /// behind the chunk (an ESC at its end then waits for it).
    void feed(std::string_view chunk, bool more_waiting);
    /// No more input is waiting for now: an ESC left alone is the Esc key.
    /// Bytes fed one at a time with `more_waiting` set, then this once none
    /// are left, decode exactly as the same bytes fed as one chunk.
    void input_paused();
    /// The oldest decoded item, if any.
    std::optional<DecodedItem> next_item();

  private:
    void decode_pending(bool more_input);

    RawModeQuery raw_mode_;
    std::string pending_;
    // Emptied whenever all of it is taken, so its room, reserved once, is
    // reused and a steady flow of keys allocates nothing.
    std::vector<DecodedItem> decoded_;
    size_t taken_ = 0;  // items at the front already handed out
};

}  // namespace pacpick::term
