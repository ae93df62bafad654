#pragma once

#include <string_view>

namespace pacpick {

/// Writes all of `text` to standard error at once, unbuffered, ignoring
/// failures: when even this fails there is nowhere left to report it.
void write_to_stderr(std::string_view text);

}  // namespace pacpick
