#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace pacpick::process {

/// What one read from a pipe gave.
enum class ReadOutcome { Data, EndOfFile, WouldBlock, Failed };

/// Reads once from `fd`, appending what arrives to `sink`. Interrupted reads
/// are repeated; on `Failed` errno holds the reason.
ReadOutcome read_once_into(int fd, std::string& sink);

/// Reads once from `fd` and hands what arrived to `take`, which must not keep
/// the view; nothing is kept here. Otherwise as `read_once_into`.
ReadOutcome read_once_to(int fd, const std::function<void(std::string_view)>& take);

}  // namespace pacpick::process
