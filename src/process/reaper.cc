#include "process/reaper.h"

#include <sys/epoll.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

#include "process/sigchld.h"
#include "process/wait.h"

namespace pacpick::process {

namespace {

constexpr auto kArmAgainAfter = std::chrono::milliseconds(50);

/// The orphan list. Abandoning a child and a pass over the list both take
/// `mutex`; a pass is entered only through `pass` with a try-lock, so a turn
/// that finds another thread at it skips instead of waiting.
struct Orphans {
    std::mutex mutex;
    /// Its capacity always covers the reserved slots too.
    std::vector<pid_t> pids;
    size_t reserved = 0;
    std::mutex pass;
};

Orphans& orphans() {
    static Orphans* instance = new Orphans();  // lives until the process ends
    return *instance;
}

bool orphans_exist() {
    Orphans& o = orphans();
    std::lock_guard lock(o.mutex);
    return !o.pids.empty();
}

/// Reaps every orphan that has ended, from the last to the first; a child
/// that can no longer be waited for leaves the list too.
void go_through_orphans() {
    Orphans& o = orphans();
    std::lock_guard lock(o.mutex);
    for (size_t i = o.pids.size(); i-- > 0;) {
        auto waited = try_wait(o.pids[i]);
        if (!waited || waited->has_value()) {
            o.pids.erase(o.pids.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
}

/// The state of the children's turn hook on one reactor; it lives as long as
/// that reactor. The self-pipe registration is made through the reactor
/// directly rather than an `AsyncFd`, because the hook is destroyed with the
/// reactor, when a deregistration could no longer be made; the reactor's own
/// epoll instance takes the registration with it.
class ChildWatch {
  public:
    explicit ChildWatch(rt::Reactor& reactor) : reactor_(reactor) {}

    void turn() {
        look_after_orphans();
        watch_self_pipe();
        sigchld::deliver(sigchld::received());
    }

  private:
    void look_after_orphans() {
        std::unique_lock pass(orphans().pass, std::try_to_lock);
        if (!pass.owns_lock()) {
            return;
        }
        if (!looked_once_) {
            if (!orphans_exist()) {
                return;
            }
            // Until the handler is in place an orphan's end goes unnoticed; keep
            // trying (and going through the list) on every turn until it is.
            if (sigchld::install().ok()) {
                looked_once_ = true;
            }
            // Read before the pass: a signal arriving during it is seen next turn.
            last_seen_ = sigchld::received();
            go_through_orphans();
            return;
        }
        const uint64_t received = sigchld::received();
        if (received == last_seen_) {
            return;
        }
        last_seen_ = received;
        go_through_orphans();
    }

    void watch_self_pipe() {
        const int fd = sigchld::notification_fd();
        if (fd < 0) {
            return;
        }
        if (!self_pipe_) {
            self_pipe_ = reactor_.attach(fd, EPOLLIN);
        }
        std::lock_guard lock(self_pipe_->mutex);
        if (self_pipe_->ready) {
            // The count, not the bytes, carries the news: a byte only has to
            // make the loop turn, so drained bytes lose nothing.
            self_pipe_->ready = false;
            sigchld::drain();
        }
        if (!self_pipe_->armed && !reactor_.arm(*self_pipe_)) {
            // Unwatched, the pipe cannot make the loop turn, and a child's end
            // would wait for whatever else does: a timer makes the next turn,
            // which tries again.
            reactor_.add_timer(rt::Clock::now() + kArmAgainAfter, rt::Waker());
        }
    }

    rt::Reactor& reactor_;
    std::shared_ptr<rt::detail::IoState> self_pipe_;
    bool looked_once_ = false;
    uint64_t last_seen_ = 0;
};

const int kHookKey = 0;

}  // namespace

OrphanSlot OrphanSlot::reserve() {
    if (rt::Reactor* reactor = rt::Reactor::current()) {
        watch_children_on(*reactor);
    }
    Orphans& o = orphans();
    std::lock_guard lock(o.mutex);
    o.pids.reserve(o.pids.size() + o.reserved + 1);
    ++o.reserved;
    return OrphanSlot();
}

OrphanSlot::~OrphanSlot() {
    if (held_) {
        Orphans& o = orphans();
        std::lock_guard lock(o.mutex);
        --o.reserved;
    }
}

void OrphanSlot::adopt(pid_t pid) && {
    {
        Orphans& o = orphans();
        std::lock_guard lock(o.mutex);
        if (!std::exchange(held_, false)) {
            return;
        }
        --o.reserved;
        auto waited = try_wait(pid);
        if (!waited || waited->has_value()) {
            return;  // reaped now, or not ours to wait for
        }
        o.pids.push_back(pid);  // within the capacity the slot reserved
    }
    // The reactor may be asleep with nothing else to wake it: a turn of its
    // hook puts the SIGCHLD handler in place and reaps what has ended.
    if (rt::Reactor* reactor = rt::Reactor::current()) {
        reactor->interrupt();
    }
}

void watch_children_on(rt::Reactor& reactor) {
    if (reactor.has_turn_hook(&kHookKey)) {
        // Already there: a turn soon lets it see what changed (a SIGCHLD
        // handler just installed has a self-pipe to watch).
        reactor.interrupt();
        return;
    }
    auto watch = std::make_shared<ChildWatch>(reactor);
    reactor.add_turn_hook(&kHookKey, [watch] { watch->turn(); });
}

}  // namespace pacpick::process
