#include "screen/screen_writer.h"

#include <charconv>
#include <iterator>

namespace pacpick::screen {

void ScreenWriter::move_to(Column column, Row row) {
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
    print(std::string_view(sequence, static_cast<size_t>(end - sequence)));
}

}  // namespace pacpick::screen
