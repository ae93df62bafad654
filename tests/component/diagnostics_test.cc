#include "main/diagnostics.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

namespace pacpick {
namespace {

/// Points descriptor 2 at `fd` for the test's duration and back afterwards.
class StderrRedirect {
  public:
    explicit StderrRedirect(int fd) : saved_(fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3)) {
        dup2(fd, STDERR_FILENO);
    }
    ~StderrRedirect() {
        dup2(saved_, STDERR_FILENO);
        close(saved_);
    }
    StderrRedirect(const StderrRedirect&) = delete;
    StderrRedirect& operator=(const StderrRedirect&) = delete;

  private:
    int saved_;
};

TEST(DiagnosticsTest, TheErrorLineWaitsForRoomOnANonBlockingFullStandardError) {
    // Standard error is usually the terminal, which another program may have
    // left non-blocking. A full small pipe stands in for it: the text, many
    // times the pipe's size, meets EAGAIN over and over while a reader empties
    // the pipe, and must still arrive whole after what filled it.
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    ASSERT_GE(fcntl(ends[1], F_SETPIPE_SZ, 4096), 0);
    ASSERT_EQ(fcntl(ends[1], F_SETFL, O_NONBLOCK), 0);
    const std::string filler(4096, 'f');
    size_t filled = 0;
    for (ssize_t n; (n = ::write(ends[1], filler.data(), filler.size())) > 0;) {
        filled += static_cast<size_t>(n);
    }
    ASSERT_EQ(errno, EAGAIN);

    std::string text = "Error: ";
    for (int i = 0; text.size() < 64 * 1024; ++i) {
        text += std::to_string(i) + ";";
    }
    text += "\n";
    std::string arrived;
    std::thread reader([&] {
        pollfd readable{ends[0], POLLIN, 0};
        char chunk[4096];
        while (arrived.size() < filled + text.size() && ::poll(&readable, 1, 10'000) > 0) {
            const ssize_t n = ::read(ends[0], chunk, sizeof chunk);
            if (n <= 0) {
                break;
            }
            arrived.append(chunk, static_cast<size_t>(n));
        }
    });
    {
        StderrRedirect redirect(ends[1]);
        write_to_stderr(text);
    }
    close(ends[1]);
    reader.join();
    close(ends[0]);
    ASSERT_EQ(arrived.size(), filled + text.size());
    EXPECT_EQ(arrived.substr(filled), text);
}

}  // namespace
}  // namespace pacpick
