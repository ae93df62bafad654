#include "term/raw_mode.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <utility>

namespace pacpick::term {

namespace {

/// The process-wide record of raw mode: whether it is in force, and the
/// attributes the terminal had before the entry that put it in force. Every
/// operation holds the lock from start to end.
struct RawModeGuard {
    std::mutex lock;
    bool active = false;
    bool entered = false;  // `saved` holds the attributes found when raw mode was entered
    termios saved{};
};

RawModeGuard& raw_mode_guard() {
    static RawModeGuard guard;  // never destroyed before exit's last user
    return guard;
}

// Raised while a signal handler may read the saved attributes without the
// lock: they are written before it is raised and not again until it is
// lowered, which happens before the terminal is given back the normal way.
std::atomic<bool> g_handler_may_restore{false};

/// Sets the terminal's attributes, asking again when a signal interrupted the
/// call: the change may not have been made, and giving up would leave the
/// user's terminal raw (or the program's cooked).
int set_attributes(int fd, const termios& attributes) {
    int result;
    do {
        result = tcsetattr(fd, TCSANOW, &attributes);
    } while (result == -1 && errno == EINTR);
    return result;
}

/// Switches `fd` to the raw form of `original`.
int set_raw_attributes(int fd, const termios& original) {
    termios raw = original;
    cfmakeraw(&raw);
    return set_attributes(fd, raw);
}

}  // namespace

Result<TerminalHandle> open_input_terminal() {
    if (isatty(STDIN_FILENO) == 1) {
        return TerminalHandle::borrowed(STDIN_FILENO);
    }
    int fd;
    do {
        fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return Error::last_os_error();
    }
    return TerminalHandle(UniqueFd(fd));
}

Result<void> enter_raw_mode() {
    RawModeGuard& guard = raw_mode_guard();
    std::lock_guard lock(guard.lock);
    if (guard.active) {
        return {};
    }
    auto terminal = open_input_terminal();
    if (!terminal) {
        return std::move(terminal).error();
    }
    termios original{};
    if (tcgetattr(terminal->fd(), &original) == -1) {
        return Error::last_os_error();
    }
    // Kept, and handed to the handlers, before the switch: a signal that comes
    // while the terminal takes the raw attributes (or while a program in the
    // background is stopped in that very call) still finds what to put back.
    guard.saved = original;
    guard.entered = true;
    g_handler_may_restore.store(true);
    if (set_raw_attributes(terminal->fd(), original) == -1) {
        const Error error = Error::last_os_error();
        g_handler_may_restore.store(false);
        return error;
    }
    guard.active = true;
    return {};
}

namespace {

/// Runs `change(guard, fd)` on the input terminal while raw mode is in force,
/// holding the lock throughout; without raw mode in force it touches nothing.
template <typename Change>
Result<void> change_while_raw(const Change& change) {
    RawModeGuard& guard = raw_mode_guard();
    std::lock_guard lock(guard.lock);
    if (!guard.active) {
        return {};
    }
    auto terminal = open_input_terminal();
    if (!terminal) {
        return std::move(terminal).error();
    }
    return change(guard, terminal->fd());
}

}  // namespace

Result<void> reenter_raw_mode() {
    return change_while_raw([](RawModeGuard& guard, int fd) -> Result<void> {
        if (set_raw_attributes(fd, guard.saved) == -1) {
            return Error::last_os_error();
        }
        return {};
    });
}

Result<void> leave_raw_mode() {
    return change_while_raw([](RawModeGuard& guard, int fd) -> Result<void> {
        g_handler_may_restore.store(false);
        if (set_attributes(fd, guard.saved) == -1) {
            const Error error = Error::last_os_error();
            g_handler_may_restore.store(true);  // still raw: a crash must still restore it
            return error;
        }
        guard.active = false;
        return {};
    });
}

namespace {

/// Puts `attributes` on the input terminal if it is ours (null: only looks):
/// a terminal that is not the controlling one has no foreground group
/// (ENOTTY) and is ours; the controlling one only while the program is in its
/// foreground, for it is the shell's otherwise. Async-signal-safe, and
/// answers whether it was ours.
bool put_back_if_ours(const termios* attributes) noexcept {
    const int saved_errno = errno;
    // As `open_input_terminal`, from calls a signal handler may make.
    termios probe;
    const bool input_is_terminal = tcgetattr(STDIN_FILENO, &probe) == 0;
    const int fd = input_is_terminal ? STDIN_FILENO : ::open("/dev/tty", O_RDWR | O_CLOEXEC);
    bool ours = false;
    if (fd >= 0) {
        const pid_t foreground = tcgetpgrp(fd);
        ours = foreground == -1 || foreground == getpgrp();
        if (ours && attributes != nullptr) {
            set_attributes(fd, *attributes);
        }
        if (!input_is_terminal) {
            ::close(fd);
        }
    }
    errno = saved_errno;
    return ours;
}

}  // namespace

bool give_back_attributes_from_handler() noexcept {
    return g_handler_may_restore.load() && put_back_if_ours(&raw_mode_guard().saved);
}

void put_back_attributes_found_at_start() {
    RawModeGuard& guard = raw_mode_guard();
    std::lock_guard lock(guard.lock);
    if (guard.entered) {
        put_back_if_ours(&guard.saved);
    }
}

bool in_foreground_from_handler() noexcept {
    return put_back_if_ours(nullptr);
}

bool raw_mode_active() {
    RawModeGuard& guard = raw_mode_guard();
    std::lock_guard lock(guard.lock);
    return guard.active;
}

}  // namespace pacpick::term
