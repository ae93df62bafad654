#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pacpick::text {

/// The bytes as valid UTF-8: each maximal invalid subpart replaced by U+FFFD
/// (the substitution the Unicode Standard recommends). Valid input is copied.
std::string decode_lossy(std::string_view bytes);

/// `bytes` itself when it is well-formed, otherwise its lossy decoding, kept in
/// `storage`. Package lists are nearly always valid, and this spares them a copy.
std::string_view decode_lossy_view(std::string_view bytes, std::string& storage);

/// How many bytes at the start are below 0x80.
size_t ascii_prefix_length(std::string_view bytes);
/// Whether every byte is below 0x80 (ASCII text is always well-formed UTF-8).
inline bool is_ascii(std::string_view bytes) {
    return ascii_prefix_length(bytes) == bytes.size();
}

/// Whether the bytes are well-formed UTF-8 (no overlongs, surrogates or values
/// past U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

/// The first character of well-formed UTF-8 and its length in bytes.
struct DecodedChar {
    char32_t ch;
    size_t length;
};
std::optional<DecodedChar> decode_first(std::string_view bytes);

/// Appends the UTF-8 encoding of a scalar value.
void append_utf8(std::string& out, char32_t ch);

/// The length of the longest prefix of valid UTF-8 `bytes` that is at most
/// `max_bytes` long and does not split a character.
size_t utf8_prefix_length(std::string_view bytes, size_t max_bytes);

/// Where the character holding byte `pos` of `bytes` starts: `pos` itself
/// unless that is a continuation byte, else the nearest byte before it that is
/// none (0 when every byte up to `pos` is one). `pos` must be inside `bytes`.
size_t char_start(std::string_view bytes, size_t pos);

}  // namespace pacpick::text
