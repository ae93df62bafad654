#include "main/diagnostics.h"

#include <unistd.h>

#include "screen/output_stream.h"

namespace pacpick {

void write_to_stderr(std::string_view text) {
    // The stream retries what a terminal refuses for a moment (a signal, a
    // full queue on a descriptor another program left non-blocking): the
    // error line is the last thing the program says. Its failures are dropped.
    screen::OutputStream stream(STDERR_FILENO);
    (void)stream.write(text);
    (void)stream.flush();
}

}  // namespace pacpick
