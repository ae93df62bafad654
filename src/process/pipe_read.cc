#include "process/pipe_read.h"

#include <unistd.h>

#include <cerrno>

namespace pacpick::process {

namespace {
// pacman writes its lists 4 KiB at a time and the reader keeps up, so a read
// rarely finds more than this; a fuller pipe takes a few reads.
constexpr size_t kChunk = 16 * 1024;

// Output that grows past this is a package list, most likely a megabyte or
// more. Room for a large one is reserved at once: the allocator maps blocks
// this big lazily, so only the pages written are ever touched, where growth
// by doubling would copy into three ever larger fresh blocks (some 450 page
// faults for a megabyte instead of 250) and hold two of them at once.
constexpr size_t kListingSize = 64 * 1024;
constexpr size_t kListingRoom = 4 * 1024 * 1024;
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
        const size_t size = sink.size() + static_cast<size_t>(n);
        if (size > kListingSize && sink.capacity() < kListingRoom) {
            sink.reserve(kListingRoom);
        }
        sink.append(chunk, static_cast<size_t>(n));
        return ReadOutcome::Data;
    }
    if (n == 0) {
        return ReadOutcome::EndOfFile;
    }
    return errno == EAGAIN ? ReadOutcome::WouldBlock : ReadOutcome::Failed;
}

}  // namespace pacpick::process
