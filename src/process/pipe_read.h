#pragma once

#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>
#include <string_view>

#include "base/result.h"
#include "runtime/async_fd.h"
#include "runtime/poll.h"

namespace pacpick::process {

/// What one read from a pipe gave.
enum class ReadOutcome { Data, EndOfFile, WouldBlock, Failed };

// pacman writes 4 KiB at a time and the reader keeps up, so a read rarely
// finds more than this; a fuller pipe takes a few reads.
inline constexpr size_t kReadChunk = 16 * 1024;

/// Reads once from `fd` and hands what arrived to `take(std::string_view)`,
/// which must not keep the view. Interrupted reads are repeated; on `Failed`
/// errno holds the reason. The bytes land on the stack: a string grown by a
/// chunk to read into would zero it every time, for the few KiB that are kept.
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

/// Receives a child's output one read at a time, as it arrives. The view is
/// valid only during the call.
using OutputSink = std::function<void(std::string_view)>;

/// One pipe from a child, read to end of file on the reactor's word only:
/// a read happens after a readiness report, and a read that would block waits
/// for the next one. Closed as soon as the end of file is seen. What is read
/// is kept whole, or handed to a sink read by read and not kept.
class PipeCapture {
  public:
    PipeCapture() = default;
    /// Takes a non-blocking reading end; needs a running runtime.
    explicit PipeCapture(UniqueFd fd, OutputSink sink = {})
        : fd_(std::move(fd)), sink_(std::move(sink)) {}

    /// Ready once the end of file has been read, or with a read error.
    rt::Poll<Result<void>> poll_drain(const rt::Waker& waker);
    bool finished() const { return !fd_.valid(); }
    std::string take() { return std::move(data_); }
    void close() { fd_.reset(); }

  private:
    rt::AsyncFd fd_;
    std::string data_;
    OutputSink sink_;
    bool readable_ = false;  // reported readable and not yet read dry
};

}  // namespace pacpick::process
