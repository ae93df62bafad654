#include "term/raw_mode.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <optional>
#include <utility>

namespace pacpick::term {

namespace {

/// The process-wide record of raw mode: the attributes the terminal had before
/// the first successful entry, present exactly while raw mode is in force. Every
/// operation holds the lock from start to end.
struct RawModeGuard {
    std::mutex lock;
    std::optional<termios> saved;
};

RawModeGuard& raw_mode_guard() {
    static RawModeGuard guard;  // never destroyed before exit's last user
    return guard;
}

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

}  // namespace

TerminalHandle::TerminalHandle(TerminalHandle&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      close_when_done_(std::exchange(other.close_when_done_, false)) {}

TerminalHandle::~TerminalHandle() {
    if (close_when_done_ && fd_ >= 0) {
        ::close(fd_);  // a failed close changes nothing for the caller
    }
}

Result<TerminalHandle> open_input_terminal() {
    if (isatty(STDIN_FILENO) == 1) {
        return TerminalHandle(STDIN_FILENO, false);
    }
    int fd;
    do {
        fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return Error::last_os_error();
    }
    return TerminalHandle(fd, true);
}

Result<void> enter_raw_mode() {
    RawModeGuard& guard = raw_mode_guard();
    std::lock_guard lock(guard.lock);
    if (guard.saved) {
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
    termios raw = original;
    cfmakeraw(&raw);
    if (set_attributes(terminal->fd(), raw) == -1) {
        return Error::last_os_error();
    }
    guard.saved = original;
    return {};
}

Result<void> leave_raw_mode() {
    RawModeGuard& guard = raw_mode_guard();
    std::lock_guard lock(guard.lock);
    if (!guard.saved) {
        return {};
    }
    auto terminal = open_input_terminal();
    if (!terminal) {
        return std::move(terminal).error();
    }
    if (set_attributes(terminal->fd(), *guard.saved) == -1) {
        return Error::last_os_error();
    }
    guard.saved.reset();
    return {};
}

bool raw_mode_active() {
    RawModeGuard& guard = raw_mode_guard();
    std::lock_guard lock(guard.lock);
    return guard.saved.has_value();
}

}  // namespace pacpick::term
