#include "main/diagnostics.h"

#include <unistd.h>

#include <cerrno>

#include "screen/output_stream.h"

namespace pacpick {

void write_to_stderr(std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        // The error line is the last thing the program says: worth waiting for
        // room on a terminal another program left non-blocking.
        if (n < 0 && errno == EAGAIN && screen::wait_until_writable(STDERR_FILENO)) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        text.remove_prefix(static_cast<size_t>(n));
    }
}

}  // namespace pacpick
