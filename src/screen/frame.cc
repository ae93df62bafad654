#include "screen/frame.h"

#include <algorithm>

#include "text/utf8.h"

namespace pacpick::screen {

namespace {

/// At most `width` bytes of `text`, ending before any character the limit would
/// split, so the terminal never receives half a character.
std::string_view cut(std::string_view text, uint16_t width) {
    return text.substr(0, text::utf8_prefix_length(text, width));
}

/// Text from outside the program (package names, versions, descriptions, the
/// typed query) with every control character shown as "?": C0 controls, DEL and
/// the C1 controls U+0080 to U+009F. A repository or a paste can hold escape
/// sequences; written raw, they would retitle, clear or reprogram the terminal.
std::string visible(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte == 0x7F) {
            out.push_back('?');
        } else if (byte == 0xC2 && i + 1 < text.size() &&
                   (static_cast<unsigned char>(text[i + 1]) & 0xE0) == 0x80) {
            out.push_back('?');  // U+0080 to U+009F, encoded as C2 80 to C2 9F
            ++i;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::string_view mode_word(Mode mode) {
    return mode == Mode::Install ? "install" : "uninstall";
}

}  // namespace

std::array<std::string, 3> details_lines(const FrameContent& content, uint16_t width) {
    if (content.details == nullptr) {
        return {};
    }
    const PackageDetails& details = *content.details;
    const std::string package =
        "Package: " + visible(details.name) + "    Version: " + visible(details.version);
    const std::string status =
        std::string("Status: ") + (details.installed ? "installed" : "not installed");
    const std::string description = "Description: " + visible(details.description);
    return {std::string(cut(package, width)), std::string(cut(status, width)),
            std::string(cut(description, width))};
}

Result<void> draw_frame(const FrameContent& content, Mode mode, TerminalSize size,
                        ScreenWriter& writer) {
    const uint16_t width = size.columns;
    // Five rows are reserved below the list; a smaller terminal gets no list and
    // the fixed rows are addressed as they are, past its bottom.
    const uint16_t list_height = size.rows >= 5 ? static_cast<uint16_t>(size.rows - 5) : 0;
    const uint64_t shown = std::min<uint64_t>(list_height, content.matches.size());

    if (auto r = writer.clear_all(); !r) {
        return r;
    }
    // The list grows upward from the rule: entry 0 sits directly above it.
    for (uint64_t k = 0; k < shown; ++k) {
        std::string line = k == content.selected ? "> " : "  ";
        line += visible(content.matches[k]);
        if (auto r = writer.move_to(0, static_cast<uint16_t>(list_height - 1 - k)); !r) {
            return r;
        }
        if (auto r = writer.print(cut(line, width)); !r) {
            return r;
        }
    }

    std::string prompt = "[";
    prompt += mode_word(mode);
    prompt += "] ";
    prompt += visible(content.query);
    if (auto r = writer.move_to(0, list_height); !r) {
        return r;
    }
    if (auto r = writer.print(std::string(width, '-')); !r) {
        return r;
    }
    const uint16_t prompt_row = static_cast<uint16_t>(list_height + 1);
    if (auto r = writer.move_to(0, prompt_row); !r) {
        return r;
    }
    if (auto r = writer.print(cut(prompt, width)); !r) {
        return r;
    }

    const std::array<std::string, 3> details = details_lines(content, width);
    for (uint16_t i = 0; i < details.size(); ++i) {
        if (auto r = writer.move_to(0, static_cast<uint16_t>(list_height + 2 + i)); !r) {
            return r;
        }
        if (auto r = writer.print(details[i]); !r) {
            return r;
        }
    }

    // The hidden cursor rests after the whole typed text as written, even where
    // the display cut it short.
    if (auto r = writer.move_to(static_cast<uint16_t>(prompt.size()), prompt_row); !r) {
        return r;
    }
    return writer.flush();
}

Result<void> draw_screen(const FrameContent& content, Mode mode) {
    auto size = terminal_size();
    if (!size) {
        return std::move(size).error();
    }
    ScreenWriter writer;
    return draw_frame(content, mode, *size, writer);
}

}  // namespace pacpick::screen
