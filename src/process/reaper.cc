#include "process/reaper.h"

#include <sys/epoll.h>

#include <memory>
#include <mutex>

#include "process/sigchld.h"
#include "process/wait.h"
#include "runtime/reactor.h"

namespace pacpick::process {

namespace {

/// The orphan list, the latest first. Abandoning a child and a pass over the
/// list both take `mutex`; a pass is entered only through `pass` with a
/// try-lock, so a turn that finds another thread at it skips instead of waiting.
struct Orphans {
    std::mutex mutex;
    std::list<pid_t> pids;
    std::mutex pass;
};

Orphans& orphans() {
    static Orphans* instance = new Orphans();  // lives until the process ends
    return *instance;
}

/// The children's turn hook on one reactor, living as long as that reactor: it
/// watches the SIGCHLD self-pipe, wakes the tasks waiting on the SIGCHLD route
/// and reaps ended orphans. The self-pipe is registered through the reactor
/// directly rather than an `AsyncFd`, because the hook is destroyed with the
/// reactor, when a deregistration could no longer be made; the reactor's own
/// epoll instance takes the registration with it.
class ChildWatch {
  public:
    ChildWatch(rt::Reactor& reactor, int self_pipe)
        : reactor_(reactor), self_pipe_(reactor.attach(self_pipe, EPOLLIN)) {}

    /// Adds the self-pipe to the reactor's epoll set, under its lock: an event
    /// may come at once.
    Result<void> add() {
        std::lock_guard lock(self_pipe_->mutex);
        return reactor_.arm(*self_pipe_);
    }
    void detach() { reactor_.detach(self_pipe_); }

    void turn() {
        {
            std::lock_guard lock(self_pipe_->mutex);
            if (self_pipe_->ready) {
                // The count, not the bytes, carries the news, and it is read
                // after the drain: a byte drained now lost nothing.
                self_pipe_->ready = false;
                sigchld::drain();
            }
            if (!self_pipe_->armed) {
                // Added before the first child started; arming it again
                // (EPOLL_CTL_MOD) allocates nothing and cannot fail.
                (void)reactor_.arm(*self_pipe_);
            }
        }
        const uint64_t received = sigchld::received();
        look_after_orphans(received);
        sigchld::deliver(received);
    }

  private:
    void look_after_orphans(uint64_t received) {
        std::unique_lock pass(orphans_.pass, std::try_to_lock);
        if (!pass.owns_lock()) {
            return;
        }
        Orphans& o = orphans_;
        std::lock_guard lock(o.mutex);
        if (!handler_installed_) {
            // Until the handler is in place an orphan's end goes unseen: the
            // first look at a non-empty list installs it and goes through it.
            if (o.pids.empty()) {
                return;
            }
            sigchld::install();
            handler_installed_ = true;
        } else if (received == last_seen_) {
            return;
        }
        last_seen_ = received;
        // Ended, or no longer ours to wait for: either way off the list.
        o.pids.remove_if([](pid_t pid) {
            auto waited = try_wait(pid);
            return !waited || waited->has_value();
        });
    }

    rt::Reactor& reactor_;
    std::shared_ptr<rt::detail::IoState> self_pipe_;
    // Made (at the first watch) on the thread that starts a child, where
    // running out of memory fails the start rather than the reactor thread.
    Orphans& orphans_ = orphans();
    bool handler_installed_ = false;
    uint64_t last_seen_ = 0;
};

const int kHookKey = 0;

/// Makes sure `reactor` runs the children's turn hook, with the self-pipe
/// watched: all of it, or nothing and the error.
Result<void> watch_children_on(rt::Reactor& reactor) {
    // One watch per reactor, however many tasks start children at once.
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    if (reactor.has_turn_hook(&kHookKey)) {
        return {};
    }
    auto fd = sigchld::notification_fd();
    if (!fd) {
        return std::move(fd).error();
    }
    auto watch = std::make_shared<ChildWatch>(reactor, *fd);
    // Detached again unless the hook is in place, so that the next start can
    // add the descriptor anew.
    try {
        if (auto added = watch->add(); !added) {
            watch->detach();
            return added;
        }
        reactor.add_turn_hook(&kHookKey, [watch] { watch->turn(); });
    } catch (...) {
        watch->detach();
        throw;
    }
    return {};
}

}  // namespace

Result<OrphanSlot> OrphanSlot::reserve() {
    if (auto watched = watch_children_on(rt::current_reactor()); !watched) {
        return std::move(watched).error();
    }
    return OrphanSlot();
}

void OrphanSlot::adopt(pid_t pid) && {
    if (entry_.empty()) {
        return;  // moved from
    }
    {
        Orphans& o = orphans();
        std::lock_guard lock(o.mutex);
        // Looked at under the lock: an end after this look is met by a pass.
        auto waited = try_wait(pid);
        if (!waited || waited->has_value()) {
            return;  // reaped now, or not ours to wait for
        }
        entry_.front() = pid;
        o.pids.splice(o.pids.begin(), entry_);
    }
    // The reactor may be asleep with nothing else to wake it: a turn of its
    // hook puts the SIGCHLD handler in place and reaps what has ended.
    if (rt::Reactor* reactor = rt::Reactor::current()) {
        reactor->interrupt();
    }
}

}  // namespace pacpick::process
