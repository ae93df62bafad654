#include "queries/filter.h"

#include <algorithm>

#include "text/lines.h"
#include "text/unicode.h"
#include "text/utf8.h"

namespace pacpick {
namespace {

// Lines are searched a block at a time: big enough that the search runs long
// stretches, small enough to stay in cache and keep the lower-cased copy small
// when a whole listing is handed over at once.
constexpr size_t kBlock = 64 * 1024;

/// Lower-cases the ASCII letters of `from` into `to` (of the same length).
/// Written without a branch so that the compiler turns it into vector code: it
/// runs over every byte of a catalog.
void lower_ascii(const char* from, size_t length, char* to) {
    for (size_t i = 0; i < length; ++i) {
        const auto c = static_cast<unsigned char>(from[i]);
        to[i] = static_cast<char>(c + (static_cast<unsigned char>(c - 'A') < 26 ? 'a' - 'A' : 0));
    }
}

/// Adds to `kept` the names of `lines` (whole lines of ASCII text) that contain
/// the needle, found in `lowered`, the same lines lower-cased. Only the lines
/// the needle turns up in are looked at, and one counts only if the needle lies
/// within its trimmed name, just as line by line.
void keep_ascii_matches(std::string_view lines, std::string_view lowered, std::string_view needle,
                        DisplayOrderBuilder& kept) {
    size_t pos = lowered.find(needle);
    while (pos != std::string_view::npos) {
        const size_t newline_before = lowered.rfind('\n', pos);
        const size_t start = newline_before == std::string_view::npos ? 0 : newline_before + 1;
        const size_t end = std::min(lowered.find('\n', pos), lowered.size());
        const std::string_view name = text::trim_white_space(lines.substr(start, end - start));
        const size_t offset = size_t(name.data() - lines.data());
        const bool found_inside = pos >= offset && pos + needle.size() <= offset + name.size();
        if (found_inside ||
            lowered.substr(offset, name.size()).find(needle) != std::string_view::npos) {
            kept.add(name);
        }
        if (end == lowered.size()) {
            break;
        }
        pos = lowered.find(needle, end + 1);
    }
}

}  // namespace

NameFilter::NameFilter(std::string_view query) : needle_(text::to_lower(query)) {}

void NameFilter::feed(std::string_view piece) {
    if (!partial_.empty()) {
        const size_t newline = piece.find('\n');
        if (newline == std::string_view::npos) {
            partial_.append(piece);
            return;
        }
        partial_.append(piece.substr(0, newline + 1));
        take_lines(partial_);
        partial_.clear();
        piece.remove_prefix(newline + 1);
    }
    const size_t last_newline = piece.rfind('\n');
    if (last_newline == std::string_view::npos) {
        partial_.assign(piece);
        return;
    }
    take_lines(piece.substr(0, last_newline + 1));
    partial_.assign(piece.substr(last_newline + 1));
}

NameList NameFilter::finish() {
    take_lines(partial_);
    return kept_.take();
}

// Splitting at line feeds cannot change how the bytes decode: a line feed is
// never part of a multi-byte character nor of an ill-formed stretch, so each
// line reads alone exactly as it reads within the whole listing.
void NameFilter::take_lines(std::string_view lines) {
    while (!lines.empty()) {
        size_t end = lines.size();
        if (end > kBlock) {
            const size_t newline = lines.rfind('\n', kBlock - 1);
            if (newline != std::string_view::npos) {
                end = newline + 1;
            } else if (const size_t next = lines.find('\n', kBlock); next != lines.npos) {
                end = next + 1;
            }
        }
        std::string_view block = lines.substr(0, end);
        lines.remove_prefix(end);
        // Package lists are nearly all ASCII: only a line holding another byte
        // leaves the fast road, and only that line.
        while (!block.empty()) {
            const size_t ascii = text::ascii_prefix_length(block);
            if (ascii == block.size()) {
                take_ascii_lines(block);
                break;
            }
            const size_t newline_before = block.rfind('\n', ascii);
            const size_t line_start =
                newline_before == std::string_view::npos ? 0 : newline_before + 1;
            const size_t newline_after = block.find('\n', ascii);
            const size_t line_end =
                newline_after == std::string_view::npos ? block.size() : newline_after + 1;
            take_ascii_lines(block.substr(0, line_start));
            take_other_lines(block.substr(line_start, line_end - line_start));
            block.remove_prefix(line_end);
        }
    }
}

void NameFilter::take_ascii_lines(std::string_view lines) {
    if (lines.empty()) {
        return;
    }
    if (needle_.empty()) {
        text::for_each_line(
            lines, [this](std::string_view line) { kept_.add(text::trim_white_space(line)); });
        return;
    }
    // The lower-case form of ASCII is ASCII and no line holds a line feed.
    if (!text::is_ascii(needle_) || needle_.find('\n') != std::string::npos) {
        return;
    }
    lowered_.resize(lines.size());
    lower_ascii(lines.data(), lines.size(), lowered_.data());
    keep_ascii_matches(lines, lowered_, needle_, kept_);
}

void NameFilter::take_other_lines(std::string_view lines) {
    const std::string_view text = text::decode_lossy_view(lines, decoded_);
    text::for_each_line(text, [this](std::string_view line) {
        const std::string_view name = text::trim_white_space(line);
        if (needle_.empty() || text::to_lower(name).find(needle_) != std::string::npos) {
            kept_.add(name);
        }
    });
}

}  // namespace pacpick
