#include "text/unicode.h"

#include <algorithm>

#include "text/unicode_tables.h"
#include "text/utf8.h"

namespace pacpick::text {
namespace {

constexpr char32_t k_capital_sigma = 0x03A3;
constexpr char32_t k_small_sigma = 0x03C3;
constexpr char32_t k_final_sigma = 0x03C2;

/// The entry of a table sorted by `first` that is the only one whose span can
/// hold `ch`: the last to start at or before it. Null when none does.
template <typename Entry>
const Entry* last_starting_by(std::span<const Entry> table, char32_t ch) {
    auto after = std::upper_bound(table.begin(), table.end(), ch,
                                  [](char32_t c, const Entry& e) { return c < e.first; });
    return after == table.begin() ? nullptr : &*std::prev(after);
}

bool in_ranges(std::span<const tables::CodePointRange> ranges, char32_t ch) {
    const tables::CodePointRange* range = last_starting_by(ranges, ch);
    return range != nullptr && ch <= range->last;
}

char ascii_lower(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c + ('a' - 'A')) : c;
}

char32_t simple_lower(char32_t ch) {
    const tables::LowerRun* run = last_starting_by(tables::lower_runs, ch);
    if (run == nullptr || ch > run->last || (ch - run->first) % run->stride != 0) {
        return ch;
    }
    return char32_t(int32_t(ch) + run->delta);
}

const tables::SpecialLower* special_lower(char32_t ch) {
    const auto table = tables::special_lower;
    auto it = std::lower_bound(table.begin(), table.end(), ch,
                               [](const tables::SpecialLower& s, char32_t c) { return s.ch < c; });
    return (it != table.end() && it->ch == ch) ? &*it : nullptr;
}

/// The character that ends just before byte `end`; nothing when the bytes
/// from the lead byte before it up to `end` are no one character.
std::optional<DecodedChar> decode_before(std::string_view text, size_t end) {
    const size_t start = char_start(text, end - 1);
    const auto c = decode_first(text.substr(start, end - start));
    return c && c->length == end - start ? c : std::nullopt;
}

// A capital sigma is final when a cased letter comes before it, with only
// case-ignorable characters in between, and no cased letter comes after it in
// the same way. A character that is both cased and case-ignorable (U+0345, for
// one) may serve as the cased letter, so the cased test comes first.
bool is_final_sigma(std::string_view text, size_t start, size_t end) {
    bool cased_before = false;
    for (size_t pos = start; pos > 0;) {
        const DecodedChar c = *decode_before(text, pos);
        if (in_ranges(tables::cased, c.ch)) {
            cased_before = true;
            break;
        }
        if (!in_ranges(tables::case_ignorable, c.ch)) {
            break;
        }
        pos -= c.length;
    }
    if (!cased_before) {
        return false;
    }
    for (size_t pos = end; pos < text.size();) {
        const DecodedChar c = *decode_first(text.substr(pos));
        if (in_ranges(tables::cased, c.ch)) {
            return false;
        }
        if (!in_ranges(tables::case_ignorable, c.ch)) {
            break;
        }
        pos += c.length;
    }
    return true;
}

std::string lower_valid(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            out.push_back(ascii_lower(text[i]));
            ++i;
            continue;
        }
        const DecodedChar c = *decode_first(text.substr(i));
        if (c.ch == k_capital_sigma) {
            append_utf8(out, is_final_sigma(text, i, i + c.length) ? k_final_sigma : k_small_sigma);
        } else if (const tables::SpecialLower* special = special_lower(c.ch)) {
            for (uint32_t k = 0; k < special->length; ++k) {
                append_utf8(out, special->mapping[k]);
            }
        } else {
            append_utf8(out, simple_lower(c.ch));
        }
        i += c.length;
    }
    return out;
}

}  // namespace

std::string to_lower(std::string_view utf8) {
    if (is_ascii(utf8)) {
        std::string out(utf8);
        std::transform(out.begin(), out.end(), out.begin(), ascii_lower);
        return out;
    }
    // Ill-formed input is lowered as the text it decodes to, so the result is
    // always well-formed and matches how the package lists themselves are read.
    std::string decoded;
    return lower_valid(decode_lossy_view(utf8, decoded));
}

namespace {

/// The White_Space property.
bool is_white_space(char32_t ch) {
    if (ch < 0x80) {
        return ch == ' ' || (ch >= '\t' && ch <= '\r');
    }
    return in_ranges(tables::white_space, ch);
}

}  // namespace

std::string_view trim_white_space(std::string_view utf8) {
    // ASCII is taken byte by byte without decoding: pacman pads its keys with
    // runs of spaces. A stray continuation byte or a broken sequence is not
    // white space and ends the trim.
    size_t start = 0;
    while (start < utf8.size()) {
        const auto byte = static_cast<unsigned char>(utf8[start]);
        const auto c = byte < 0x80 ? DecodedChar{byte, 1} : decode_first(utf8.substr(start));
        if (!c || !is_white_space(c->ch)) {
            break;
        }
        start += c->length;
    }
    size_t end = utf8.size();
    while (end > start) {
        const auto byte = static_cast<unsigned char>(utf8[end - 1]);
        const auto c = byte < 0x80 ? DecodedChar{byte, 1} : decode_before(utf8, end);
        if (!c || !is_white_space(c->ch)) {
            break;
        }
        end -= c->length;
    }
    return utf8.substr(start, end - start);
}

bool is_uppercase(char32_t ch) {
    if (ch < 0x80) {
        return ch >= 'A' && ch <= 'Z';
    }
    return in_ranges(tables::uppercase, ch);
}

}  // namespace pacpick::text
