#include "screen/output_stream.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>
#include <thread>

#include "base/fd.h"

namespace pacpick::screen {
namespace {

/// A pipe whose reading end never blocks, so a test can ask "what has arrived
/// so far" without waiting.
struct Pipe {
    UniqueFd read_end;
    UniqueFd write_end;

    Pipe() {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) == 0) {
            read_end.reset(ends[0]);
            write_end.reset(ends[1]);
            fcntl(read_end.get(), F_SETFL, O_NONBLOCK);
        }
    }

    std::string arrived() const {
        std::string out;
        char chunk[4096];
        ssize_t n;
        while ((n = ::read(read_end.get(), chunk, sizeof chunk)) > 0) {
            out.append(chunk, static_cast<size_t>(n));
        }
        return out;
    }
};

TEST(OutputStreamPipeTest, HoldsTextUntilFlushOrNewlineAndDiscardsItOnceTheDescriptorIsClosed) {
    Pipe pipe;
    OutputStream stream(pipe.write_end.get());
    ASSERT_TRUE(stream.write("\x1b[2J"));
    ASSERT_TRUE(stream.write("> vim"));
    EXPECT_EQ(pipe.arrived(), "");
    ASSERT_TRUE(stream.flush());
    EXPECT_EQ(pipe.arrived(), "\x1b[2J> vim");

    ASSERT_TRUE(stream.write("Running pacman -S vim...\nrest"));
    EXPECT_EQ(pipe.arrived(), "Running pacman -S vim...\n");
    ASSERT_TRUE(stream.write(" of a line\nnext"));  // completed behind what waits
    EXPECT_EQ(pipe.arrived(), "rest of a line\n");
    ASSERT_TRUE(stream.write(std::string(1000, 'w')));
    ASSERT_TRUE(stream.write(std::string(100, 'v')));  // does not fit: what waits goes first
    EXPECT_EQ(pipe.arrived(), "next" + std::string(1000, 'w'));
    ASSERT_TRUE(stream.write(std::string(1100, 'x')));  // a buffer's worth goes straight on
    EXPECT_EQ(pipe.arrived(), std::string(100, 'v') + std::string(1100, 'x'));

    pipe.write_end.reset();
    EXPECT_TRUE(stream.write("frame"));
    EXPECT_TRUE(stream.flush());
    EXPECT_TRUE(stream.write("line\n"));
    EXPECT_TRUE(stream.write(std::string(3000, 'y')));
}

TEST(OutputStreamPipeTest, ReportsABrokenPipe) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGPIPE, &ignore, &previous), 0);

    Pipe pipe;
    pipe.read_end.reset();
    OutputStream stream(pipe.write_end.get());
    ASSERT_TRUE(stream.write("frame"));
    auto flushed = stream.flush();
    auto line = stream.write("line\n");
    sigaction(SIGPIPE, &previous, nullptr);

    ASSERT_FALSE(flushed);
    EXPECT_EQ(flushed.error().describe(),
              R"(Os { code: 32, kind: BrokenPipe, message: "Broken pipe" })");
    ASSERT_FALSE(line);
    EXPECT_EQ(line.error().kind(), ErrorKind::BrokenPipe);
}

/// Caps the size of files this process may write, and lifts the cap again when
/// the test ends; going past it ignores SIGXFSZ and makes write(2) fail with EFBIG.
class FileSizeCap {
  public:
    explicit FileSizeCap(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved_limit_);
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGXFSZ, &ignore, &saved_action_);
        rlimit capped = saved_limit_;
        capped.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &capped);
    }
    ~FileSizeCap() { lift(); }
    void lift() {
        setrlimit(RLIMIT_FSIZE, &saved_limit_);
        sigaction(SIGXFSZ, &saved_action_, nullptr);
    }

  private:
    rlimit saved_limit_{};
    struct sigaction saved_action_ {};
};

/// An unlinked temporary file and what has been written to it so far.
struct TempFile {
    UniqueFd fd;

    TempFile() {
        char path[] = "/tmp/pacpick-stream-XXXXXX";
        fd.reset(mkstemp(path));
        unlink(path);
        fcntl(fd.get(), F_SETFD, FD_CLOEXEC);
    }
    std::string written() const {
        std::string out(static_cast<size_t>(lseek(fd.get(), 0, SEEK_CUR)), '\0');
        EXPECT_EQ(pread(fd.get(), out.data(), out.size(), 0), static_cast<ssize_t>(out.size()));
        return out;
    }
};

TEST(OutputStreamFileTest, KeepsTheUnwrittenRestInFrontAfterAShortWriteFails) {
    TempFile file;
    std::string first;
    for (int i = 0; first.size() < 900; ++i) {
        first += std::to_string(i) + ",";
    }
    OutputStream stream(file.fd.get());
    ASSERT_TRUE(stream.write(first));

    FileSizeCap cap(500);
    auto flushed = stream.flush();  // 500 bytes go, the next write(2) fails
    ASSERT_FALSE(flushed);
    EXPECT_EQ(flushed.error(), Error::os(EFBIG));
    // A line completed meanwhile waits behind the rest, and goes before new text.
    ASSERT_FALSE(stream.write("end\n"));

    cap.lift();
    ASSERT_TRUE(stream.write("more"));
    EXPECT_EQ(file.written(), first + "end\n");
    ASSERT_TRUE(stream.flush());
    EXPECT_EQ(file.written(), first + "end\nmore");
}

TEST(OutputStreamFileTest, LinesFromTwoThreadsNeverInterleave) {
    TempFile file;
    OutputStream stream(file.fd.get());
    auto writer = [&stream](const std::string& line) {
        for (int i = 0; i < 2000; ++i) {
            ASSERT_TRUE(stream.write(line));
        }
    };
    std::thread a(writer, "first thread line\n");
    std::thread b(writer, "other\n");
    a.join();
    b.join();

    // An interleaved line would be neither of the two.
    int firsts = 0;
    int others = 0;
    const std::string out = file.written();
    for (size_t start = 0; start < out.size(); start = out.find('\n', start) + 1) {
        const std::string line = out.substr(start, out.find('\n', start) - start);
        firsts += line == "first thread line";
        others += line == "other";
    }
    EXPECT_EQ(firsts, 2000);
    EXPECT_EQ(others, 2000);
}

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

TEST(OutputStreamPipeTest, TheStreamAndTheErrorLineWaitForRoomWhenTheDescriptorIsNonBlocking) {
    // A terminal shared with other programs (standard error is usually one)
    // may be left non-blocking by one of them. Through a small full pipe, a
    // text many times its size meets EAGAIN again and again while a reader
    // empties it, and still arrives whole after what filled the pipe.
    const std::function<bool(int, const std::string&)> writers[] = {
        [](int fd, const std::string& text) { return OutputStream(fd).write(text).ok(); },
        [](int fd, const std::string& text) {
            StderrRedirect redirect(fd);
            write_to_stderr(text);
            return true;
        },
    };
    for (const auto& write : writers) {
        Pipe pipe;
        ASSERT_GE(fcntl(pipe.write_end.get(), F_SETPIPE_SZ, 4096), 0);
        ASSERT_EQ(fcntl(pipe.write_end.get(), F_SETFL, O_NONBLOCK), 0);
        const std::string filler(4096, 'f');
        size_t filled = 0;
        for (ssize_t n; (n = ::write(pipe.write_end.get(), filler.data(), filler.size())) > 0;) {
            filled += static_cast<size_t>(n);
        }
        ASSERT_EQ(errno, EAGAIN);

        std::string text = "Error: ";
        for (int i = 0; text.size() < 256 * 1024; ++i) {
            text += std::to_string(i) + ";";
        }
        text += "\n";
        std::string arrived;
        std::thread reader([&] {
            pollfd readable{pipe.read_end.get(), POLLIN, 0};
            while (arrived.size() < filled + text.size() && ::poll(&readable, 1, 10'000) > 0) {
                arrived += pipe.arrived();
            }
        });
        const bool written = write(pipe.write_end.get(), text);
        reader.join();
        ASSERT_TRUE(written);
        EXPECT_EQ(arrived.size(), filled + text.size());
        EXPECT_EQ(arrived.substr(filled), text);
    }
}

}  // namespace
}  // namespace pacpick::screen
