#include "screen/screen_guard.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <utility>

#include "screen/screen_writer.h"
#include "term/raw_mode.h"

namespace pacpick::screen {

namespace {

// Raised while the cursor is, or is being, hidden on standard output.
std::atomic<bool> g_cursor_hidden{false};

}  // namespace

Result<ScreenGuard> ScreenGuard::acquire() {
    if (auto r = term::enter_raw_mode(); !r) {
        return std::move(r).error();
    }
    // Raised before the command goes out, so that a handler that runs
    // meanwhile shows the cursor again.
    g_cursor_hidden.store(true);
    ScreenWriter writer(standard_output());
    writer.hide_cursor();
    if (auto hidden = writer.flush(); !hidden) {
        // The caller ends the program with this error, and no guard exists
        // yet to undo anything: leave raw mode here, or the user's shell would
        // be left with a terminal that neither echoes nor edits.
        g_cursor_hidden.store(false);
        (void)term::leave_raw_mode();
        return std::move(hidden).error();
    }
    return ScreenGuard();
}

ScreenGuard::ScreenGuard(ScreenGuard&& other) noexcept : held_(std::exchange(other.held_, false)) {}

ScreenGuard::~ScreenGuard() {
    restore();
}

void ScreenGuard::release() && {
    restore();
}

Result<void> ScreenGuard::retake() {
    if (!held_) {
        return {};
    }
    if (auto r = term::reenter_raw_mode(); !r) {
        return r;
    }
    ScreenWriter writer(standard_output());
    writer.hide_cursor();
    return writer.flush();
}

void ScreenGuard::restore() {
    if (!std::exchange(held_, false)) {
        return;
    }
    // Nobody can act on a failure here: the terminal is given back as far as it
    // goes, and raw mode is left even when the writes failed. A refused call is
    // worth a second try (the writer forgets an error its flush has told), for
    // a hidden cursor or a raw terminal is left to the user's shell.
    ScreenWriter writer(standard_output());
    for (int tries = 0; tries < 2; ++tries) {
        writer.show_cursor();
        writer.clear_all();
        writer.move_to(Column{0}, Row{0});
        if (writer.flush()) {
            break;
        }
    }
    g_cursor_hidden.store(false);
    if (!term::leave_raw_mode()) {
        (void)term::leave_raw_mode();
    }
}

namespace {

/// A descriptor of its own onto what standard output is, that never waits:
/// O_NONBLOCK set on standard output's own description would be set for the
/// user's shell too, which shares it. -1 for a regular file (a file shows no
/// cursor, and a description of its own would write over it from the start),
/// a socket, or when neither /proc nor the controlling terminal can be opened.
int open_output_without_waiting() noexcept {
    struct stat output {};
    if (fstat(STDOUT_FILENO, &output) != 0 || S_ISREG(output.st_mode)) {
        return -1;
    }
    constexpr int kFlags = O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    int fd = ::open("/proc/self/fd/1", kFlags);
    if (fd < 0 && S_ISCHR(output.st_mode)) {
        // Without /proc (a sandbox): the controlling terminal, if that is it.
        fd = ::open("/dev/tty", kFlags);
        struct stat terminal {};
        if (fd >= 0 && (fstat(fd, &terminal) != 0 || terminal.st_rdev != output.st_rdev)) {
            ::close(fd);
            fd = -1;
        }
    }
    return fd;
}

}  // namespace

void give_back_terminal_from_handler() noexcept {
    if (!term::give_back_attributes_from_handler() || !g_cursor_hidden.load()) {
        return;
    }
    const int saved_errno = errno;
    // What a release writes, the cursor first, so that a terminal that reads
    // nothing and takes only a little still shows it. Whatever the stream
    // still buffers is lost.
    if (const int fd = open_output_without_waiting(); fd >= 0) {
        for (const std::string_view command : {kShowCursor, kClearAll, kHome}) {
            if (::write(fd, command.data(), command.size()) !=
                static_cast<ssize_t>(command.size())) {
                break;
            }
        }
        ::close(fd);
    }
    errno = saved_errno;
}

}  // namespace pacpick::screen
