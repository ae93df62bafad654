#include "process/pipe_read.h"

#include <unistd.h>

#include <cerrno>

namespace pacpick::process {

namespace {
// A pipe holds 64 KiB by default; one read can empty it.
constexpr size_t kChunk = 64 * 1024;
}  // namespace

ReadOutcome read_once_into(int fd, std::string& sink) {
    const size_t old_size = sink.size();
    sink.resize(old_size + kChunk);
    ssize_t n;
    do {
        n = ::read(fd, sink.data() + old_size, kChunk);
    } while (n < 0 && errno == EINTR);
    const int saved = errno;
    sink.resize(old_size + (n > 0 ? static_cast<size_t>(n) : 0));
    if (n > 0) {
        return ReadOutcome::Data;
    }
    if (n == 0) {
        return ReadOutcome::EndOfFile;
    }
    errno = saved;
    return saved == EAGAIN ? ReadOutcome::WouldBlock : ReadOutcome::Failed;
}

}  // namespace pacpick::process
