#include "process/pipe_read.h"

#include <unistd.h>

#include <cerrno>

namespace pacpick::process {

namespace {
// pacman writes its lists 4 KiB at a time and the reader keeps up, so a read
// rarely finds more than this; a fuller pipe takes a few reads.
constexpr size_t kChunk = 16 * 1024;
}  // namespace

ReadOutcome read_once_into(int fd, std::string& sink) {
    // Read beside the sink and append what came: growing the sink by a whole
    // chunk first would zero that chunk on every read, which for a catalog's
    // few hundred small reads was megabytes of memset.
    char chunk[kChunk];
    ssize_t n;
    do {
        n = ::read(fd, chunk, kChunk);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        sink.append(chunk, static_cast<size_t>(n));
        return ReadOutcome::Data;
    }
    if (n == 0) {
        return ReadOutcome::EndOfFile;
    }
    return errno == EAGAIN ? ReadOutcome::WouldBlock : ReadOutcome::Failed;
}

}  // namespace pacpick::process
