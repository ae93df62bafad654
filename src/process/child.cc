#include "process/child.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <new>
#include <utility>

#include "process/wait.h"

#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434
#endif
#ifndef PIDFD_NONBLOCK
#define PIDFD_NONBLOCK O_NONBLOCK
#endif

namespace pacpick::process {

namespace {

// Set once a kernel without pidfd_open is met; every later child then goes
// straight to the SIGCHLD route and the call is never made again.
std::atomic<bool> g_pidfd_unsupported{false};

}  // namespace

Child::Child(pid_t pid, OrphanSlot slot) : pid_(pid), slot_(std::move(slot)) {
    if (g_pidfd_unsupported.load()) {
        return;
    }
    // Close-on-exec, as pidfd_open always makes it.
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, PIDFD_NONBLOCK));
    if (fd < 0) {
        // A kernel without the call is remembered; any other failure sends
        // only this child down the SIGCHLD route.
        if (errno == ENOSYS) {
            g_pidfd_unsupported.store(true);
        }
        return;
    }
    // So does memory too short to register the descriptor: the child must be
    // in this handle's charge whatever happens.
    try {
        pidfd_ = rt::AsyncFd(UniqueFd(fd));
    } catch (const std::bad_alloc&) {
    }
}

Child::Child(Child&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      slot_(std::move(other.slot_)),
      status_(other.status_),
      pidfd_(std::move(other.pidfd_)),
      sigchld_(std::move(other.sigchld_)) {}

Child::~Child() {
    abandon();
}

void Child::send_signal(int signal_number) {
    // Until it is collected, an ended child stays a zombie under this id, so
    // the id cannot name another process yet.
    if (pid_ > 0 && !status_) {
        kill(pid_, signal_number);
    }
}

void Child::abandon() {
    sigchld_.reset();
    pidfd_.reset();
    if (pid_ > 0 && !status_) {
        std::move(slot_).adopt(pid_);
    }
    pid_ = -1;
}

// GCC 12 at -O1 with sanitizers takes the move of a Result holding a status
// for a read of the Error it never held, and warns.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
rt::Poll<Result<ExitStatus>> Child::poll_exit(const rt::Waker& waker) {
    if (!status_ && pid_ <= 0) {
        // Abandoned or moved from: the child is someone else's to wait for.
        return Result<ExitStatus>(Error::os(ECHILD));
    }
    if (!status_) {
        auto collected = pidfd_.valid() ? poll_pidfd(waker) : poll_sigchld(waker);
        if (!collected.ready()) {
            return rt::Poll<Result<ExitStatus>>::pending();
        }
        if (auto waited = collected.take(); !waited) {
            return Result<ExitStatus>(std::move(waited).error());
        }
    }
    return Result<ExitStatus>(*status_);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

rt::Poll<Result<void>> Child::poll_pidfd(const rt::Waker& waker) {
    for (;;) {
        auto readiness = pidfd_.poll(waker);
        if (!readiness.ready()) {
            return rt::Poll<Result<void>>::pending();
        }
        if (!readiness.take().ok()) {
            // The reactor would not take the descriptor: the signal route
            // notices this child's end instead.
            pidfd_.reset();
            return poll_sigchld(waker);
        }
        auto waited = try_wait(pid_);
        if (!waited) {
            return Result<void>(std::move(waited).error());
        }
        if (waited->has_value()) {
            status_ = **waited;
            pidfd_.reset();
            return Result<void>();
        }
        // Still running after all: the next poll registers again.
    }
}

rt::Poll<Result<void>> Child::poll_sigchld(const rt::Waker& waker) {
    if (!sigchld_) {
        sigchld_ = std::make_unique<rt::SignalListener>(std::initializer_list<int>{SIGCHLD});
    }
    // Listen first, then look: an end after the look still wakes the task.
    sigchld_->wake_on_notice(waker);
    auto waited = try_wait(pid_);
    if (!waited) {
        return Result<void>(std::move(waited).error());
    }
    if (!waited->has_value()) {
        return rt::Poll<Result<void>>::pending();
    }
    status_ = **waited;
    sigchld_.reset();
    return Result<void>();
}

}  // namespace pacpick::process
