#include "screen/output_stream.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace pacpick::screen {

namespace {

/// Writes `data` to `fd` until every byte is taken, counting in `taken` what
/// went out; a write that takes nothing fails with `zero_message`.
Result<void> write_all(int fd, std::string_view data, size_t& taken, const char* zero_message) {
    while (taken < data.size()) {
        const ssize_t n = ::write(fd, data.data() + taken, data.size() - taken);
        if (n > 0) {
            taken += static_cast<size_t>(n);
        } else if (n == 0) {
            return Error::custom(ErrorKind::WriteZero, zero_message);
        } else if (errno == EAGAIN) {
            // Another program sharing the terminal may have left it non-blocking:
            // a full output queue is then no reason to lose the bytes. Whatever
            // the descriptor's state, the next write tells.
            pollfd writable{fd, POLLOUT, 0};
            if (::poll(&writable, 1, -1) < 0 && errno != EINTR) {
                return Error::last_os_error();
            }
        } else if (errno == EBADF) {
            // A closed standard output swallows everything rather than failing.
            taken = data.size();
        } else if (errno != EINTR) {
            return Error::last_os_error();
        }
    }
    return {};
}

}  // namespace

Result<void> OutputStream::write(std::string_view text) {
    std::lock_guard lock(lock_);
    const size_t last_newline = text.rfind('\n');
    if (last_newline == std::string_view::npos) {
        // A completed line left behind by an earlier failure goes before new text.
        if (length_ > 0 && buffer_[length_ - 1] == '\n') {
            if (auto r = write_out_buffer(); !r) {
                return r;
            }
        }
        return append(text);
    }
    // Completed lines go out at once: straight through when nothing waits,
    // else behind what does.
    const std::string_view lines = text.substr(0, last_newline + 1);
    if (auto r = length_ == 0 ? write_through(lines) : append(lines); !r) {
        return r;
    }
    if (auto r = write_out_buffer(); !r) {
        return r;
    }
    return append(text.substr(last_newline + 1));
}

Result<void> OutputStream::flush() {
    std::lock_guard lock(lock_);
    return write_out_buffer();
}

Result<void> OutputStream::append(std::string_view text) {
    if (text.size() > kCapacity - length_) {
        if (auto r = write_out_buffer(); !r) {
            return r;
        }
        if (text.size() >= kCapacity) {
            return write_through(text);
        }
    }
    std::memcpy(buffer_ + length_, text.data(), text.size());
    length_ += text.size();
    return {};
}

Result<void> OutputStream::write_out_buffer() {
    size_t taken = 0;
    auto written = write_all(fd_, {buffer_, length_}, taken, "failed to write the buffered data");
    std::memmove(buffer_, buffer_ + taken, length_ - taken);
    length_ -= taken;
    return written;
}

Result<void> OutputStream::write_through(std::string_view text) {
    size_t taken = 0;
    return write_all(fd_, text, taken, "failed to write whole buffer");
}

OutputStream& standard_output() {
    static OutputStream* const stream = new OutputStream(STDOUT_FILENO);
    return *stream;
}

void write_to_stderr(std::string_view text) {
    // The stream retries what a terminal refuses for a moment (a signal, a
    // full queue on a descriptor another program left non-blocking): the
    // error line is the last thing the program says. Its failures are dropped.
    OutputStream stream(STDERR_FILENO);
    (void)stream.write(text);
    (void)stream.flush();
}

}  // namespace pacpick::screen
