#pragma once

#include <string_view>

namespace pacpick::text {

/// Calls `on_line` with each line of `text`, without its ending. A line ends at
/// "\n", and a "\r" just before that "\n" is part of the ending, so "\r\n" text
/// reads like "\n" text. A "\n" at the very end opens no further, empty line.
template <typename OnLine>
void for_each_line(std::string_view text, OnLine&& on_line) {
    size_t start = 0;
    while (start < text.size()) {
        const size_t newline = text.find('\n', start);
        if (newline == std::string_view::npos) {
            on_line(text.substr(start));
            return;
        }
        size_t end = newline;
        if (end > start && text[end - 1] == '\r') {
            --end;
        }
        on_line(text.substr(start, end - start));
        start = newline + 1;
    }
}

}  // namespace pacpick::text
