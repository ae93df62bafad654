#pragma once

#include <string>
#include <string_view>

namespace pacpick::text {

/// The full Unicode lower-case mapping of UTF-8 text (one character may become
/// several), with the context rule for final capital sigma. ASCII takes a fast path.
std::string to_lower(std::string_view utf8);

/// `utf8` without characters of the White_Space property at either end.
std::string_view trim_white_space(std::string_view utf8);

/// The Uppercase property (A to Z, Ä, and so on).
bool is_uppercase(char32_t ch);

}  // namespace pacpick::text
