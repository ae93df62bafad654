#pragma once

#include <string>

#include "screen/output_stream.h"

namespace pacpick::screen {

/// An output stream whose bytes land in memory, with a count of the writes that
/// carried them, so tests can see both what a frame wrote and how often.
struct MemorySink {
    std::string bytes;
    int writes = 0;
    OutputStream stream{-1, [this](int, const void* data, size_t size) -> ssize_t {
                            bytes.append(static_cast<const char*>(data), size);
                            ++writes;
                            return static_cast<ssize_t>(size);
                        }};
};

}  // namespace pacpick::screen
