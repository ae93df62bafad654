#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>

#include "base/fd.h"

namespace pacpick::testing {

/// A pseudo-terminal pair of a given size; both ends close-on-exec so that
/// children started by the code under test do not hold them open.
struct Pty {
    UniqueFd master;
    UniqueFd slave;

    static Pty open(uint16_t columns = 80, uint16_t rows = 24) {
        int master = -1;
        int slave = -1;
        winsize size{};
        size.ws_col = columns;
        size.ws_row = rows;
        if (openpty(&master, &slave, nullptr, nullptr, &size) != 0) {
            return {};
        }
        fcntl(master, F_SETFD, FD_CLOEXEC);
        fcntl(slave, F_SETFD, FD_CLOEXEC);
        return {UniqueFd(master), UniqueFd(slave)};
    }

    /// Everything the slave side wrote, read until every slave descriptor is closed.
    std::string drain_master() const {
        std::string out;
        char chunk[4096];
        for (;;) {
            const ssize_t n = ::read(master.get(), chunk, sizeof chunk);
            if (n > 0) {
                out.append(chunk, static_cast<size_t>(n));
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                return out;  // EIO: the last slave descriptor is gone
            }
        }
    }
};

/// Runs a scenario in a forked child, where it may change its session, terminal
/// and standard descriptors without disturbing the test process. The child tells
/// what it saw through a pipe; the parent compares. The child never returns into
/// the test framework: it ends with `_exit`.
class ForkedChild {
  public:
    /// `body` gets the reporting descriptor and returns the child's final report.
    explicit ForkedChild(const std::function<std::string(int report_fd)>& body) {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0) {
            return;
        }
        UniqueFd read_end(ends[0]);
        UniqueFd write_end(ends[1]);
        pid_ = fork();
        if (pid_ == 0) {
            // A scenario may end by a signal on purpose (the last resort's
            // SIGABRT): no core file, whatever limit the test was started with.
            const rlimit no_core{0, 0};
            setrlimit(RLIMIT_CORE, &no_core);
            read_end.reset();
            const std::string report = body(write_end.get());
            send(write_end.get(), report);
            _exit(0);
        }
        report_ = std::move(read_end);
    }
    ForkedChild(const ForkedChild&) = delete;
    ForkedChild& operator=(const ForkedChild&) = delete;
    ~ForkedChild() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);  // only reached when a test gave up on its own child
            waitpid(pid_, nullptr, 0);
        }
    }

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    /// For scenarios that talk with the parent half-way through.
    static void send(int report_fd, const std::string& text) {
        size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::write(report_fd, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return;
            }
            done += static_cast<size_t>(n);
        }
    }

    /// The next line the child sent, without its newline.
    std::string read_line() {
        std::string line;
        char c;
        while (::read(report_.get(), &c, 1) == 1 && c != '\n') {
            line.push_back(c);
        }
        return line;
    }

    /// Waits for the child and returns the rest of its report.
    std::string finish() {
        std::string out;
        char chunk[1024];
        ssize_t n;
        while ((n = ::read(report_.get(), chunk, sizeof chunk)) != 0) {
            if (n > 0) {
                out.append(chunk, static_cast<size_t>(n));
            } else if (errno != EINTR) {
                break;
            }
        }
        while (waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
        }
        reaped_ = true;
        return out;
    }

    /// The wait status collected by `finish`.
    int status() const { return status_; }

  private:
    pid_t pid_ = -1;
    UniqueFd report_;
    bool reaped_ = false;
    int status_ = -1;
};

/// In a forked child: start a new session without a controlling terminal.
inline bool detach_from_terminal() {
    return setsid() >= 0;
}

/// In a forked child: start a new session whose controlling terminal is `slave`.
inline bool take_controlling_terminal(int slave) {
    return setsid() >= 0 && ioctl(slave, TIOCSCTTY, 0) == 0;
}

/// In a forked child: point descriptor `target` at `fd`.
inline bool redirect(int fd, int target) {
    return dup2(fd, target) == target;
}

/// In a forked child: point descriptor `target` at /dev/null.
inline bool redirect_to_null(int target) {
    const int fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool ok = redirect(fd, target);
    ::close(fd);
    return ok;
}

}  // namespace pacpick::testing
