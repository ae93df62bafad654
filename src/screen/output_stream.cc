#include "screen/output_stream.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace pacpick::screen {

namespace {

/// Waits until `fd` takes bytes again after a write answered EAGAIN. A
/// terminal is shared with other programs, and one of them may leave it
/// non-blocking: a full output queue then answers EAGAIN instead of waiting,
/// which is no reason to lose what was to be written. False, with errno set,
/// only when the wait itself fails.
bool wait_until_writable(int fd) {
    pollfd writable{fd, POLLOUT, 0};
    for (;;) {
        // Any answer will do: an error condition shows at the next write.
        if (::poll(&writable, 1, -1) >= 0) {
            return true;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

enum class WriteOutcome { Done, WroteZero, Failed };

/// Pushes `data` through `call` until every byte is taken. `taken` tells how much
/// went out before a failure; errno still holds the failure's code on return.
WriteOutcome write_all(const OutputStream::WriteCall& call, int fd, const char* data, size_t size,
                       size_t& taken) {
    taken = 0;
    while (taken < size) {
        const ssize_t n = call(fd, data + taken, size - taken);
        if (n > 0) {
            taken += static_cast<size_t>(n);
        } else if (n == 0) {
            return WriteOutcome::WroteZero;
        } else if (errno == EINTR) {
            continue;
        } else if (errno == EAGAIN) {
            if (!wait_until_writable(fd)) {
                return WriteOutcome::Failed;
            }
        } else if (errno == EBADF) {
            // A closed standard output swallows everything rather than failing.
            taken = size;
        } else {
            return WriteOutcome::Failed;
        }
    }
    return WriteOutcome::Done;
}

}  // namespace

OutputStream::OutputStream(int fd) : OutputStream(fd, ::write) {}

OutputStream::OutputStream(int fd, WriteCall write_call)
    : fd_(fd), write_call_(std::move(write_call)) {}

Result<void> OutputStream::write(std::string_view text) {
    std::lock_guard lock(lock_);
    const size_t last_newline = text.rfind('\n');
    if (last_newline != std::string_view::npos) {
        const std::string_view lines = text.substr(0, last_newline + 1);
        if (length_ == 0) {
            if (auto r = write_through(lines); !r) {
                return r;
            }
        } else {
            if (auto r = append(lines); !r) {
                return r;
            }
            if (auto r = write_out_buffer(); !r) {
                return r;
            }
        }
        return append(text.substr(last_newline + 1));
    }
    // A completed line left behind by an earlier failure goes before new text.
    if (length_ > 0 && buffer_[length_ - 1] == '\n') {
        if (auto r = write_out_buffer(); !r) {
            return r;
        }
    }
    return append(text);
}

Result<void> OutputStream::flush() {
    std::lock_guard lock(lock_);
    return write_out_buffer();
}

size_t OutputStream::buffered() const {
    std::lock_guard lock(lock_);
    return length_;
}

Result<void> OutputStream::append(std::string_view text) {
    if (text.size() <= kCapacity - length_) {
        std::memcpy(buffer_ + length_, text.data(), text.size());
        length_ += text.size();
        return {};
    }
    if (auto r = write_out_buffer(); !r) {
        return r;
    }
    if (text.size() >= kCapacity) {
        return write_through(text);
    }
    std::memcpy(buffer_, text.data(), text.size());
    length_ = text.size();
    return {};
}

Result<void> OutputStream::write_out_buffer() {
    size_t taken = 0;
    const WriteOutcome outcome = write_all(write_call_, fd_, buffer_, length_, taken);
    const int code = errno;
    std::memmove(buffer_, buffer_ + taken, length_ - taken);
    length_ -= taken;
    switch (outcome) {
        case WriteOutcome::Done:
            return {};
        case WriteOutcome::WroteZero:
            return Error::custom(ErrorKind::WriteZero, "failed to write the buffered data");
        case WriteOutcome::Failed:
            return Error::os(code);
    }
    return {};
}

Result<void> OutputStream::write_through(std::string_view text) {
    size_t taken = 0;
    switch (write_all(write_call_, fd_, text.data(), text.size(), taken)) {
        case WriteOutcome::Done:
            return {};
        case WriteOutcome::WroteZero:
            return Error::custom(ErrorKind::WriteZero, "failed to write whole buffer");
        case WriteOutcome::Failed:
            return Error::last_os_error();
    }
    return {};
}

OutputStream& standard_output() {
    static OutputStream* const stream = new OutputStream(STDOUT_FILENO);
    return *stream;
}

}  // namespace pacpick::screen
