#include "screen/screen_writer.h"

#include <charconv>
#include <iterator>

namespace pacpick::screen {

ScreenWriter::ScreenWriter() : stream_(&standard_output()) {}

Result<void> ScreenWriter::clear_all() {
    return stream_->write("\x1b[2J");
}

Result<void> ScreenWriter::move_to(Column column, Row row) {
    // The terminal counts from 1; widened first so the last row does not wrap
    // to 0. Made on the stack: giving the terminal back moves the cursor from
    // a destructor, where an allocation must not fail.
    char sequence[2 + 5 + 1 + 5 + 1];
    char* end = sequence;
    *end++ = '\x1b';
    *end++ = '[';
    end = std::to_chars(end, std::end(sequence), uint32_t{row.value} + 1).ptr;
    *end++ = ';';
    end = std::to_chars(end, std::end(sequence), uint32_t{column.value} + 1).ptr;
    *end++ = 'H';
    return stream_->write(std::string_view(sequence, static_cast<size_t>(end - sequence)));
}

Result<void> ScreenWriter::print(std::string_view text) {
    return stream_->write(text);
}

Result<void> ScreenWriter::hide_cursor() {
    return stream_->write("\x1b[?25l");
}

Result<void> ScreenWriter::show_cursor() {
    return stream_->write(kShowCursor);
}

Result<void> ScreenWriter::flush() {
    return stream_->flush();
}

}  // namespace pacpick::screen
