#pragma once

#include <string>

namespace pacpick::process {

/// What one read from a pipe gave.
enum class ReadOutcome { Data, EndOfFile, WouldBlock, Failed };

/// Reads once from `fd`, appending what arrives to `sink`. Interrupted reads
/// are repeated; on `Failed` errno holds the reason.
ReadOutcome read_once_into(int fd, std::string& sink);

}  // namespace pacpick::process
