#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <utility>

#include "base/fd.h"
#include "screen/output_stream.h"

namespace pacpick::screen {

inline std::atomic<int> g_refused_writes{0};  // counted by the SIGPIPE of each

inline std::pair<UniqueFd, UniqueFd> socket_pair(int type) {
    int ends[2] = {-1, -1};
    socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, ends);
    return {UniqueFd(ends[0]), UniqueFd(ends[1])};
}

/// An output stream whose writes arrive as records, so tests see both what
/// was written and in how many writes. While it refuses, the stream's
/// descriptor is a socket whose other end is gone: each write fails with
/// EPIPE, and is counted in `g_refused_writes`.
struct MemorySink {
    ~MemorySink() { accept(); }

    /// Everything written so far.
    const std::string& bytes() {
        char record[64 * 1024];
        for (ssize_t n; (n = recv(ends.first.get(), record, sizeof record, MSG_DONTWAIT)) > 0;) {
            received.append(record, static_cast<size_t>(n));
            ++records;
        }
        return received;
    }
    /// How many writes carried it.
    int writes() {
        bytes();
        return records;
    }

    void refuse() {
        dup3(socket_pair(SOCK_STREAM).second.get(), stream_fd.get(), O_CLOEXEC);
        struct sigaction count {};
        count.sa_handler = [](int) { ++g_refused_writes; };
        sigaction(SIGPIPE, &count, &saved);
        refusing = true;
    }
    void accept() {
        if (std::exchange(refusing, false)) {
            dup3(ends.second.get(), stream_fd.get(), O_CLOEXEC);
            sigaction(SIGPIPE, &saved, nullptr);
        }
    }

    std::pair<UniqueFd, UniqueFd> ends = socket_pair(SOCK_SEQPACKET);  // a record per write
    UniqueFd stream_fd{fcntl(ends.second.get(), F_DUPFD_CLOEXEC, 0)};
    std::string received;
    int records = 0;
    bool refusing = false;
    struct sigaction saved {};
    OutputStream stream{stream_fd.get()};
};

}  // namespace pacpick::screen
