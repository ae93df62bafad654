#include "screen/terminal_size.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include "base/fd.h"
#include "process/blocking.h"

namespace pacpick::screen {

namespace {

/// The number `tput` prints for `capability` ("cols" or "lines"), 0 when it
/// cannot be run or prints none.
uint16_t tput_value(std::string_view capability) {
    auto output = process::run_captured_blocking({"tput", {std::string(capability)}});
    if (!output) {
        return 0;
    }
    // The exit status is not looked at: digits printed by a failing tput count,
    // and other bytes between them do not end the number.
    uint16_t value = 0;
    for (const char c : output->stdout_data) {
        if (c >= '0' && c <= '9') {
            value = static_cast<uint16_t>(value * 10 + (c - '0'));
        }
    }
    return value;
}

}  // namespace

Result<TerminalSize> terminal_size() {
    UniqueFd tty(::open("/dev/tty", O_RDONLY | O_CLOEXEC));
    winsize size{};
    const bool known = ::ioctl(tty.valid() ? tty.get() : STDOUT_FILENO, TIOCGWINSZ, &size) == 0;
    tty.reset();
    if (known) {
        return TerminalSize{Column{size.ws_col}, Row{size.ws_row}};
    }
    // Both are asked even when the first fails, so the error below is whatever
    // the last attempt left in errno.
    const uint16_t columns = tput_value("cols");
    const uint16_t rows = tput_value("lines");
    if (columns > 0 && rows > 0) {
        return TerminalSize{Column{columns}, Row{rows}};
    }
    return Error::last_os_error();
}

}  // namespace pacpick::screen
