#include "process/orphans.h"

#include <signal.h>

#include <memory>
#include <mutex>
#include <optional>

#include "process/wait.h"
#include "runtime/signal_notice.h"

namespace pacpick::process {

namespace {

/// The orphan list, the latest first, and the pass that goes through it at
/// every SIGCHLD notice, reaping what has ended. The pass runs where the notice
/// is delivered, on the reactor thread, so waking it is the pass itself: one
/// non-blocking wait per orphan, under the list's lock, which adoption takes
/// too.
class Orphans final : public rt::WakeTarget {
  public:
    /// The process's list, made at the first call (before the first child
    /// starts) and kept until the process ends.
    static Orphans& get() {
        static Orphans* instance = [] {
            auto orphans = std::make_shared<Orphans>();
            orphans->self_ = rt::Waker(orphans);  // which keeps it alive for good
            return orphans.get();
        }();
        return *instance;
    }

    void wake() override {
        std::lock_guard lock(mutex_);
        // Ended, or no longer ours to wait for: either way off the list.
        pids_.remove_if([](pid_t pid) {
            auto waited = try_wait(pid);
            return !waited || waited->has_value();
        });
    }

    /// Moves `entry`'s one node onto the list for `pid`, unless it has ended.
    void adopt(std::list<pid_t>& entry, pid_t pid) {
        std::lock_guard lock(mutex_);
        // SIGCHLD is listened for from the first orphan on: until then a
        // child's end wakes nothing but its own handle.
        if (!sigchld_) {
            sigchld_.emplace(std::initializer_list<int>{SIGCHLD});
            sigchld_->wake_on_notice(self_);
        }
        // Looked at under the lock: an end after this look is counted after
        // it, and the pass its notice runs waits for the node to be in place.
        auto waited = try_wait(pid);
        if (!waited || waited->has_value()) {
            return;  // reaped now, or not ours to wait for
        }
        entry.front() = pid;
        pids_.splice(pids_.begin(), entry);
    }

  private:
    std::mutex mutex_;
    std::list<pid_t> pids_;
    rt::Waker self_;
    std::optional<rt::SignalListener> sigchld_;
};

}  // namespace

OrphanSlot::OrphanSlot() : entry_(1) {
    Orphans::get();
}

void OrphanSlot::adopt(pid_t pid) && {
    Orphans::get().adopt(entry_, pid);
}

}  // namespace pacpick::process
