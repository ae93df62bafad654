#pragma once

#include <unistd.h>

#include <cerrno>
#include <string_view>

namespace pacpick::process {

/// What one read from a pipe gave.
enum class ReadOutcome { Data, EndOfFile, WouldBlock, Failed };

// pacman writes 4 KiB at a time and the reader keeps up, so a read rarely
// finds more than this; a fuller pipe takes a few reads.
inline constexpr size_t kReadChunk = 16 * 1024;

/// Reads once from `fd` and hands what arrived to `take(std::string_view)`,
/// which must not keep the view. Interrupted reads are repeated; on `Failed`
/// errno holds the reason. The bytes land in a buffer on the stack: what is
/// kept is a package's details or an error message, a few KiB that a string
/// grows to in a few doublings, and a listing goes to its filter read by read.
/// Growing a string by a whole chunk to read into would zero it every time.
template <typename Take>
ReadOutcome read_once(int fd, const Take& take) {
    char chunk[kReadChunk];
    ssize_t n;
    do {
        n = ::read(fd, chunk, kReadChunk);
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

}  // namespace pacpick::process
