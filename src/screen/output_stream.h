#pragma once

#include <cstddef>
#include <mutex>
#include <string_view>

#include "base/result.h"

namespace pacpick::screen {

/// A line-flushed, 1024-byte buffered writer onto one descriptor, shared by every
/// part of the program that prints. Each `write` and `flush` holds a re-entrant
/// lock for its own duration only; bytes that could not be written after an error
/// stay at the front of the buffer, so a later flush sends them in order.
class OutputStream {
  public:
    static constexpr size_t kCapacity = 1024;

    explicit OutputStream(int fd) : fd_(fd) {}
    OutputStream(const OutputStream&) = delete;
    OutputStream& operator=(const OutputStream&) = delete;

    /// Appends `text`; whatever ends in a newline goes out at once.
    Result<void> write(std::string_view text);
    /// Sends every buffered byte to the descriptor.
    Result<void> flush();

  private:
    Result<void> append(std::string_view text);
    Result<void> write_out_buffer();
    Result<void> write_through(std::string_view text);

    std::recursive_mutex lock_;
    int fd_;
    char buffer_[kCapacity];
    size_t length_ = 0;
};

/// The process-wide stream onto standard output (descriptor 1), created on first
/// use and never destroyed, so late writers during exit still find it.
OutputStream& standard_output();

/// Writes all of `text` to standard error at once, unbuffered, ignoring
/// failures: when even this fails there is nowhere left to report it.
void write_to_stderr(std::string_view text);

}  // namespace pacpick::screen
