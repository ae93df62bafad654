#include "runtime/signal_pipe.h"

#include <sys/socket.h>

#include <cerrno>

namespace pacpick::rt {

Result<SignalPipe> SignalPipe::create() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0) {
        return Error::last_os_error();
    }
    UniqueFd read_end(fds[0]);
    UniqueFd write_end(fds[1]);
    return SignalPipe(AsyncFd(std::move(read_end)), std::move(write_end));
}

void notify_signal_fd(int fd) noexcept {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] ssize_t n = send(fd, &byte, 1, MSG_DONTWAIT | MSG_NOSIGNAL);
    errno = saved;
}

void SignalPipe::notify() const noexcept { notify_signal_fd(write_end_.get()); }

void SignalPipe::drain() const {
    char buf[256];
    while (recv(read_end_.fd(), buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
}

}  // namespace pacpick::rt
