#include "screen/frame.h"

#include "text/utf8.h"

namespace pacpick::screen {

namespace {

/// At most `width` bytes of `text`, ending before any character the limit would
/// split, so the terminal never receives half a character.
std::string_view cut(std::string_view text, Column width) {
    return text.substr(0, text::utf8_prefix_length(text, width.value));
}

void print_line(ScreenWriter& writer, Row row, std::string_view text) {
    writer.move_to(Column{0}, row);
    writer.print(text);
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

}  // namespace

std::array<std::string, 3> details_lines(const FrameContent& content, Column width) {
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
    const Column width = size.columns;
    // Five rows are reserved below the list; a smaller terminal gets no list and
    // the fixed rows are addressed as they are, past its bottom.
    const Row rule = size.rows >= Row{5} ? size.rows - 5 : Row{0};

    writer.clear_all();
    // The list grows upward from the rule: entry 0 sits directly above it, and
    // it ends with the names or with the top row, whichever comes first.
    Row row = rule;
    for (uint64_t k = 0; k < content.matches.size() && row > Row{0}; ++k) {
        row = row - 1;
        std::string line = k == content.selected ? "> " : "  ";
        line += visible(content.matches[k]);
        print_line(writer, row, cut(line, width));
    }

    // Built by appending: GCC 12 at -O3 warns (-Wrestrict, wrongly) on the
    // literal-plus-temporary form of the same concatenation.
    std::string prompt = "[";
    prompt += mode == Mode::Install ? "install" : "uninstall";
    prompt += "] ";
    prompt += visible(content.query);
    print_line(writer, rule, std::string(width.value, '-'));
    const Row prompt_row = rule + 1;
    print_line(writer, prompt_row, cut(prompt, width));
    row = prompt_row;
    for (const std::string& line : details_lines(content, width)) {
        row = row + 1;
        print_line(writer, row, line);
    }

    // The hidden cursor rests after the whole typed text as written, even where
    // the display cut it short. The frame gives every byte a column of its own,
    // whatever the terminal makes of the bytes.
    writer.move_to(Column{static_cast<uint16_t>(prompt.size())}, prompt_row);
    return writer.flush();
}

Result<void> draw_screen(const FrameContent& content, Mode mode) {
    auto size = terminal_size();
    if (!size) {
        return std::move(size).error();
    }
    ScreenWriter writer(standard_output());
    return draw_frame(content, mode, *size, writer);
}

}  // namespace pacpick::screen
