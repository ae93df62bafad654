#include "runtime/signal_pipe.h"

#include <fcntl.h>
#include <sys/socket.h>

#include <cerrno>

namespace pacpick::rt {

Result<const SignalPipe*> SignalPipe::create() {
    // Made before the descriptors: memory that runs out leaves none open.
    auto* pipe = new SignalPipe();  // kept for the handlers until the end
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0) {
        const Error error = Error::last_os_error();
        delete pipe;
        return error;
    }
    pipe->read_fd_ = fds[0];
    pipe->write_fd_ = fds[1];
    return pipe;
}

void SignalPipe::notify() const noexcept {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] ssize_t n = send(write_fd_, &byte, 1, MSG_DONTWAIT | MSG_NOSIGNAL);
    errno = saved;
}

void SignalPipe::drain() const {
    char buf[256];
    while (recv(read_fd_, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
}

Result<AsyncFd> SignalPipe::watch() const {
    const int fd = fcntl(read_fd_, F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
        return Error::last_os_error();
    }
    return AsyncFd(UniqueFd(fd));
}

}  // namespace pacpick::rt
