#include "screen/screen_guard.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string_view>
#include <utility>

#include "term/raw_mode.h"

namespace pacpick::screen {

namespace {

// Raised while a guard holds the cursor hidden on standard output.
std::atomic<bool> g_cursor_hidden{false};

}  // namespace

Result<ScreenGuard> ScreenGuard::acquire() {
    auto guard = acquire(ScreenWriter());
    if (guard) {
        g_cursor_hidden.store(true);
    }
    return guard;
}

Result<ScreenGuard> ScreenGuard::acquire(ScreenWriter writer) {
    if (auto r = term::enter_raw_mode(); !r) {
        return std::move(r).error();
    }
    // The caller ends the program with a failure to hide the cursor, and no
    // guard exists yet to undo anything: leave raw mode here, or the user's
    // shell would be left with a terminal that neither echoes nor edits.
    writer.hide_cursor();
    if (auto hidden = writer.flush(); !hidden) {
        (void)term::leave_raw_mode();
        return std::move(hidden).error();
    }
    return ScreenGuard(writer);
}

ScreenGuard::ScreenGuard(ScreenGuard&& other) noexcept
    : writer_(other.writer_), held_(std::exchange(other.held_, false)) {}

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
    writer_.hide_cursor();
    return writer_.flush();
}

void ScreenGuard::restore() {
    if (!std::exchange(held_, false)) {
        return;
    }
    // Nobody can act on a failure here: the terminal is given back as far as it
    // goes, and raw mode is left even when the writes failed. A terminal that
    // refused one call may well take the next (the writer forgets an error once
    // its flush has told it), and a hidden cursor or a raw terminal left to the
    // user's shell is worth that second try; a terminal that is gone fails it at once.
    for (int tries = 0; tries < 2; ++tries) {
        writer_.show_cursor();
        writer_.clear_all();
        writer_.move_to(Column{0}, Row{0});
        if (writer_.flush()) {
            break;
        }
    }
    g_cursor_hidden.store(false);
    if (!term::leave_raw_mode()) {
        (void)term::leave_raw_mode();
    }
}

void give_back_terminal_from_handler() noexcept {
    if (!term::give_back_attributes_from_handler() || !g_cursor_hidden.load()) {
        return;
    }
    const int saved_errno = errno;
    // A terminal that reads nothing (a stalled connection) would hold this
    // write for good, and the process would never go: the commands go out
    // only if there is room for them. Whatever the stream still buffers is
    // lost; the cursor is shown last, so that a write cut short by a full
    // queue still leaves it visible more often than not.
    constexpr std::string_view kLeaveAsAQuitDoes = "\x1b[2J\x1b[1;1H\x1b[?25h";
    const int flags = fcntl(STDOUT_FILENO, F_GETFL);
    const bool blocking = flags != -1 && (flags & O_NONBLOCK) == 0;
    if (blocking) {
        fcntl(STDOUT_FILENO, F_SETFL, flags | O_NONBLOCK);
    }
    [[maybe_unused]] ssize_t n =
        ::write(STDOUT_FILENO, kLeaveAsAQuitDoes.data(), kLeaveAsAQuitDoes.size());
    if (blocking) {
        fcntl(STDOUT_FILENO, F_SETFL, flags);
    }
    errno = saved_errno;
}

bool terminal_held() noexcept {
    return g_cursor_hidden.load();
}

}  // namespace pacpick::screen
