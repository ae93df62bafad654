#include "main/diagnostics.h"

#include <unistd.h>

#include <cerrno>

namespace pacpick {

void write_to_stderr(std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(STDERR_FILENO, text.data(), text.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        text.remove_prefix(static_cast<size_t>(n));
    }
}

}  // namespace pacpick
