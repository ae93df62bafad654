#include "queries/filter.h"

#include <algorithm>
#include <cstring>

#include "text/lines.h"
#include "text/unicode.h"
#include "text/utf8.h"

namespace pacpick {
namespace {

// Below this many names the shifting of an insertion sort beats the bookkeeping
// of a merge; it is also the length of the runs the merge starts from.
constexpr size_t k_insertion_sort_limit = 20;

bool comes_before(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return a.size() < b.size();
    }
    return a.size() != 0 && std::memcmp(a.data(), b.data(), a.size()) < 0;
}

void insertion_sort(std::string_view* first, std::string_view* last) {
    for (std::string_view* i = first + 1; i < last; ++i) {
        const std::string_view name = *i;
        std::string_view* hole = i;
        // Strictly before, so an equal name never passes one already placed.
        while (hole > first && comes_before(name, hole[-1])) {
            *hole = hole[-1];
            --hole;
        }
        *hole = name;
    }
}

/// Lower-cases the ASCII letters of `from` into `to` (of the same length).
/// Written without a branch so that the compiler turns it into vector code: it
/// runs over every byte of a catalog.
void lower_ascii(const char* from, size_t length, char* to) {
    for (size_t i = 0; i < length; ++i) {
        const auto c = static_cast<unsigned char>(from[i]);
        to[i] = static_cast<char>(c + (static_cast<unsigned char>(c - 'A') < 26 ? 'a' - 'A' : 0));
    }
}

/// Answers "does the lower-cased name contain the lower-cased query?" for one
/// name after another, reusing one buffer: an ASCII name lower-cases byte by
/// byte in place, and only the rare other name pays for the full mapping.
class NameMatcher {
  public:
    explicit NameMatcher(std::string_view query)
        : needle_(text::to_lower(query)), needle_is_ascii_(text::is_ascii(needle_)) {}

    bool matches_everything() const { return needle_.empty(); }
    std::string_view needle() const { return needle_; }
    bool needle_is_ascii() const { return needle_is_ascii_; }

    bool matches(std::string_view name) {
        lowered_.assign(name);
        unsigned char seen = 0;
        for (char& c : lowered_) {
            seen |= static_cast<unsigned char>(c);
            if (c >= 'A' && c <= 'Z') {
                c = char(c + ('a' - 'A'));
            }
        }
        if (seen >= 0x80) {
            return text::to_lower(name).find(needle_) != std::string::npos;
        }
        // The lower-case form of ASCII is ASCII, so it cannot hold other bytes.
        return needle_is_ascii_ && lowered_.find(needle_) != std::string::npos;
    }

  private:
    std::string needle_;
    bool needle_is_ascii_;
    std::string lowered_;
};

void collect_matches(std::string_view text, NameMatcher& matcher,
                     std::vector<std::string_view>& kept) {
    text::for_each_line(text, [&](std::string_view line) {
        const std::string_view name = text::trim_white_space(line);
        if (!name.empty() && (matcher.matches_everything() || matcher.matches(name))) {
            kept.push_back(name);
        }
    });
}

// Lower-cased a block at a time: big enough that the search runs long
// stretches, small enough to stay in cache and to keep no second copy of the
// whole catalog in memory.
constexpr size_t k_lowering_block = 64 * 1024;

/// The names of `block` (whole lines of ASCII text) that contain the needle,
/// found in `lowered`, the block lower-cased.
void collect_block_matches(std::string_view block, std::string_view lowered,
                           std::string_view needle, std::vector<std::string_view>& kept) {
    size_t pos = lowered.find(needle);
    while (pos != std::string_view::npos) {
        const size_t newline_before = lowered.rfind('\n', pos);
        const size_t start = newline_before == std::string_view::npos ? 0 : newline_before + 1;
        const size_t end = std::min(lowered.find('\n', pos), lowered.size());
        const std::string_view name = text::trim_white_space(block.substr(start, end - start));
        const size_t offset = size_t(name.data() - block.data());
        if (lowered.substr(offset, name.size()).find(needle) != std::string_view::npos) {
            kept.push_back(name);
        }
        if (end == lowered.size()) {
            break;
        }
        pos = lowered.find(needle, end + 1);
    }
}

// The usual case, an ASCII catalog searched for some text, gets by without
// visiting every line: the query is looked for in the lower-cased catalog, and
// only the lines it turns up in are examined. A line counts only if the query
// lies within its trimmed name, just as line by line. Blocks end after a line
// feed, so no line is split between two of them.
void collect_ascii_matches(std::string_view text, const NameMatcher& matcher,
                           std::vector<std::string_view>& kept) {
    const std::string_view needle = matcher.needle();
    // No line holds a newline, and an ASCII name cannot hold other bytes.
    if (!matcher.needle_is_ascii() || needle.find('\n') != std::string_view::npos) {
        return;
    }
    std::string lowered;
    lowered.reserve(std::min(text.size(), k_lowering_block));
    size_t start = 0;
    while (start < text.size()) {
        size_t end = std::min(start + k_lowering_block, text.size());
        if (end < text.size() && text[end - 1] != '\n') {
            const size_t newline = text.find('\n', end);
            end = newline == std::string_view::npos ? text.size() : newline + 1;
        }
        const std::string_view block = text.substr(start, end - start);
        lowered.resize(block.size());
        lower_ascii(block.data(), block.size(), lowered.data());
        collect_block_matches(block, lowered, needle, kept);
        start = end;
    }
}

}  // namespace

void sort_package_names(std::vector<std::string_view>& names) {
    const size_t n = names.size();
    if (n <= k_insertion_sort_limit) {
        insertion_sort(names.data(), names.data() + n);
        return;
    }
    for (size_t lo = 0; lo < n; lo += k_insertion_sort_limit) {
        insertion_sort(names.data() + lo, names.data() + std::min(lo + k_insertion_sort_limit, n));
    }
    // Bottom-up merging, back and forth between the names and a buffer;
    // std::merge takes from the left run on ties, which keeps the sort stable.
    std::vector<std::string_view> buffer(n);
    std::string_view* from = names.data();
    std::string_view* to = buffer.data();
    for (size_t width = k_insertion_sort_limit; width < n; width *= 2) {
        for (size_t lo = 0; lo < n; lo += 2 * width) {
            const size_t mid = std::min(lo + width, n);
            const size_t hi = std::min(lo + 2 * width, n);
            std::merge(from + lo, from + mid, from + mid, from + hi, to + lo, comes_before);
        }
        std::swap(from, to);
    }
    if (from != names.data()) {
        std::copy(from, from + n, names.data());
    }
}

std::vector<std::string> filter_package_names(std::string_view output, std::string_view query) {
    NameMatcher matcher(query);
    // Views into the text until the survivors are known, so the sort moves
    // pointers rather than strings and dropped names are never copied.
    std::vector<std::string_view> kept;
    kept.reserve(4);
    std::string decoded;
    if (!matcher.matches_everything() && text::is_ascii(output)) {
        collect_ascii_matches(output, matcher, kept);
    } else {
        collect_matches(text::decode_lossy_view(output, decoded), matcher, kept);
    }
    sort_package_names(kept);
    kept.erase(std::unique(kept.begin(), kept.end()), kept.end());
    return std::vector<std::string>(kept.begin(), kept.end());
}

}  // namespace pacpick
