#include "text/utf8.h"

#include <cstdint>
#include <cstring>

namespace pacpick::text {
namespace {

constexpr char32_t k_replacement = 0xFFFD;

/// How the bytes at the start of a buffer read as UTF-8: either one whole
/// character of `length` bytes, or an ill-formed stretch of `length` bytes that
/// is the maximal subpart one U+FFFD stands for.
struct Sequence {
    size_t length;
    bool valid;
};

bool in(unsigned char byte, unsigned char low, unsigned char high) {
    return byte >= low && byte <= high;
}

// The ranges of well-formed sequences: the second byte's range depends on the
// lead (that is what excludes overlongs, surrogates and values past U+10FFFF),
// every later byte is a plain continuation byte.
Sequence scan_sequence(const unsigned char* p, size_t available) {
    const unsigned char lead = p[0];
    if (lead < 0x80) {
        return {1, true};
    }
    size_t trailing = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (in(lead, 0xC2, 0xDF)) {
        trailing = 1;
    } else if (lead == 0xE0) {
        trailing = 2;
        low = 0xA0;
    } else if (in(lead, 0xE1, 0xEC) || in(lead, 0xEE, 0xEF)) {
        trailing = 2;
    } else if (lead == 0xED) {
        trailing = 2;
        high = 0x9F;
    } else if (lead == 0xF0) {
        trailing = 3;
        low = 0x90;
    } else if (in(lead, 0xF1, 0xF3)) {
        trailing = 3;
    } else if (lead == 0xF4) {
        trailing = 3;
        high = 0x8F;
    } else {
        return {1, false};
    }
    if (available < 2 || !in(p[1], low, high)) {
        return {1, false};
    }
    for (size_t k = 2; k <= trailing; ++k) {
        if (available <= k || !in(p[k], 0x80, 0xBF)) {
            return {k, false};
        }
    }
    return {trailing + 1, true};
}

char32_t value_of(const unsigned char* p, size_t length) {
    switch (length) {
        case 1:
            return p[0];
        case 2:
            return (char32_t(p[0] & 0x1F) << 6) | (p[1] & 0x3F);
        case 3:
            return (char32_t(p[0] & 0x0F) << 12) | (char32_t(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
        default:
            return (char32_t(p[0] & 0x07) << 18) | (char32_t(p[1] & 0x3F) << 12) |
                   (char32_t(p[2] & 0x3F) << 6) | (p[3] & 0x3F);
    }
}

// Package lists are almost entirely ASCII, so skipping eight bytes per step is
// what makes validating a megabyte of names cheap.
size_t ascii_run_length(const unsigned char* p, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t word;
        std::memcpy(&word, p + i, sizeof word);
        if (word & 0x8080808080808080ULL) {
            break;
        }
    }
    while (i < n && p[i] < 0x80) {
        ++i;
    }
    return i;
}

const unsigned char* bytes_of(std::string_view s) {
    return reinterpret_cast<const unsigned char*>(s.data());
}

}  // namespace

std::string decode_lossy(std::string_view bytes) {
    const unsigned char* p = bytes_of(bytes);
    const size_t n = bytes.size();
    std::string out;
    out.reserve(n);
    size_t i = 0;
    while (i < n) {
        const size_t ascii = ascii_run_length(p + i, n - i);
        out.append(bytes.data() + i, ascii);
        i += ascii;
        if (i == n) {
            break;
        }
        const Sequence seq = scan_sequence(p + i, n - i);
        if (seq.valid) {
            out.append(bytes.data() + i, seq.length);
        } else {
            append_utf8(out, k_replacement);
        }
        i += seq.length;
    }
    return out;
}

std::string_view decode_lossy_view(std::string_view bytes, std::string& storage) {
    if (is_valid_utf8(bytes)) {
        return bytes;
    }
    storage = decode_lossy(bytes);
    return storage;
}

size_t ascii_prefix_length(std::string_view bytes) {
    return ascii_run_length(bytes_of(bytes), bytes.size());
}

bool is_valid_utf8(std::string_view bytes) {
    const unsigned char* p = bytes_of(bytes);
    const size_t n = bytes.size();
    size_t i = 0;
    while (i < n) {
        i += ascii_run_length(p + i, n - i);
        if (i == n) {
            break;
        }
        const Sequence seq = scan_sequence(p + i, n - i);
        if (!seq.valid) {
            return false;
        }
        i += seq.length;
    }
    return true;
}

std::optional<DecodedChar> decode_first(std::string_view bytes) {
    if (bytes.empty()) {
        return std::nullopt;
    }
    const Sequence seq = scan_sequence(bytes_of(bytes), bytes.size());
    if (!seq.valid) {
        return std::nullopt;
    }
    return DecodedChar{value_of(bytes_of(bytes), seq.length), seq.length};
}

void append_utf8(std::string& out, char32_t ch) {
    // Surrogates and values past U+10FFFF have no UTF-8 form; writing their bit
    // patterns anyway would hand ill-formed text to everything downstream.
    if ((ch >= 0xD800 && ch <= 0xDFFF) || ch > 0x10FFFF) {
        ch = k_replacement;
    }
    if (ch < 0x80) {
        out.push_back(char(ch));
    } else if (ch < 0x800) {
        const char bytes[] = {char(0xC0 | (ch >> 6)), char(0x80 | (ch & 0x3F))};
        out.append(bytes, sizeof bytes);
    } else if (ch < 0x10000) {
        const char bytes[] = {char(0xE0 | (ch >> 12)), char(0x80 | ((ch >> 6) & 0x3F)),
                              char(0x80 | (ch & 0x3F))};
        out.append(bytes, sizeof bytes);
    } else {
        const char bytes[] = {char(0xF0 | (ch >> 18)), char(0x80 | ((ch >> 12) & 0x3F)),
                              char(0x80 | ((ch >> 6) & 0x3F)), char(0x80 | (ch & 0x3F))};
        out.append(bytes, sizeof bytes);
    }
}

size_t utf8_prefix_length(std::string_view bytes, size_t max_bytes) {
    // A cut in front of a continuation byte would split its character.
    return max_bytes >= bytes.size() ? bytes.size() : char_start(bytes, max_bytes);
}

size_t char_start(std::string_view bytes, size_t pos) {
    while (pos > 0 && (static_cast<unsigned char>(bytes[pos]) & 0xC0) == 0x80) {
        --pos;
    }
    return pos;
}

}  // namespace pacpick::text
