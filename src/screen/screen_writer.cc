#include "screen/screen_writer.h"

#include <string>

namespace pacpick::screen {

ScreenWriter::ScreenWriter() : stream_(&standard_output()) {}

Result<void> ScreenWriter::clear_all() {
    return stream_->write("\x1b[2J");
}

Result<void> ScreenWriter::move_to(Column column, Row row) {
    // The terminal counts from 1; widened first so the last row does not wrap to 0.
    const std::string sequence = "\x1b[" + std::to_string(uint32_t{row.value} + 1) + ";" +
                                 std::to_string(uint32_t{column.value} + 1) + "H";
    return stream_->write(sequence);
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
