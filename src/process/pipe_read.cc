#include "process/pipe_read.h"

#include <unistd.h>

#include <cerrno>

namespace pacpick::process {

namespace {
// pacman writes 4 KiB at a time and the reader keeps up, so a read rarely
// finds more than this; a fuller pipe takes a few reads.
constexpr size_t kChunk = 16 * 1024;

// Reads into a buffer on the stack: what is kept is a package's details or an
// error message, a few KiB that a string grows to in a few doublings, and a
// listing goes to its filter read by read. Growing the sink by a whole chunk
// and reading into it would zero that chunk on every read.
template <typename Take>
ReadOutcome read_once(int fd, const Take& take) {
    char chunk[kChunk];
    ssize_t n;
    do {
        n = ::read(fd, chunk, kChunk);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        take(std::string_view(chunk, static_cast<size_t>(n)));
        return ReadOutcome::Data;
    }
    if (n == 0) {
        return ReadOutcome::EndOfFile;
    }
    return errno == EAGAIN ? ReadOutcome::WouldBlock : ReadOutcome::Failed;
}

}  // namespace

ReadOutcome read_once_into(int fd, std::string& sink) {
    return read_once(fd, [&sink](std::string_view bytes) { sink.append(bytes); });
}

ReadOutcome read_once_to(int fd, const std::function<void(std::string_view)>& take) {
    return read_once(fd, take);
}

}  // namespace pacpick::process
