#include "process/sigchld.h"

#include <signal.h>

#include <atomic>
#include <mutex>
#include <unordered_map>

#include "runtime/signal_pipe.h"

namespace pacpick::process::sigchld {

namespace {

static_assert(std::atomic<uint64_t>::is_always_lock_free,
              "the handler may only touch lock-free state");
static_assert(std::atomic<const void*>::is_always_lock_free,
              "the handler may only touch lock-free state");

std::atomic<uint64_t> g_received{0};
std::atomic<const rt::SignalPipe*> g_pipe{nullptr};
std::mutex g_pipe_mutex;

void on_sigchld(int) {
    g_received.fetch_add(1);
    g_pipe.load()->notify();  // made before the handler was installed
}

/// The waiters armed for the next notification, keyed by waiter identity so a
/// task polled many times between two signals keeps a single registration.
struct Waiters {
    std::mutex mutex;
    uint64_t delivered = 0;
    std::unordered_map<uint64_t, rt::Waker> armed;
};

Waiters& waiters() {
    static Waiters* instance = new Waiters();  // lives until the process ends
    return *instance;
}

std::atomic<uint64_t> g_next_waiter{1};

}  // namespace

Result<int> notification_fd() {
    std::lock_guard lock(g_pipe_mutex);
    if (g_pipe.load() == nullptr) {
        // Made here, before any child starts, rather than at the reactor
        // thread's first delivery, where running out of memory ends the program.
        waiters();
        auto pipe = rt::SignalPipe::create();
        if (!pipe) {
            return std::move(pipe).error();
        }
        g_pipe.store(*pipe);
    }
    return g_pipe.load()->read_fd();
}

void drain() {
    g_pipe.load()->drain();
}

void install() {
    static std::once_flag installed;
    std::call_once(installed, [] {
        struct sigaction action {};
        action.sa_handler = on_sigchld;
        sigemptyset(&action.sa_mask);
        // Stops and continues are of no interest: only ends are waited for.
        action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
        sigaction(SIGCHLD, &action, nullptr);  // a valid signal and action: cannot fail
    });
}

uint64_t received() {
    return g_received.load();
}

uint64_t new_waiter_id() {
    return g_next_waiter.fetch_add(1);
}

bool arm(uint64_t waiter, const rt::Waker& waker, uint64_t& seen) {
    Waiters& w = waiters();
    std::lock_guard lock(w.mutex);
    // Read under the lock that `deliver` takes: a signal counted after this
    // read is delivered later, to this registration too.
    if (const uint64_t now = received(); now != seen) {
        seen = now;
        return false;
    }
    w.armed.insert_or_assign(waiter, waker);
    return true;
}

void forget(uint64_t waiter) {
    rt::Waker dropped;  // released after the lock
    Waiters& w = waiters();
    std::lock_guard lock(w.mutex);
    if (auto it = w.armed.find(waiter); it != w.armed.end()) {
        dropped = std::move(it->second);
        w.armed.erase(it);
    }
}

void deliver(uint64_t received_count) {
    // Taken whole, without allocating, and woken outside the lock.
    std::unordered_map<uint64_t, rt::Waker> to_wake;
    {
        Waiters& w = waiters();
        std::lock_guard lock(w.mutex);
        if (received_count == w.delivered) {
            return;
        }
        w.delivered = received_count;
        to_wake.swap(w.armed);
    }
    for (const auto& [id, waker] : to_wake) {
        waker.wake();
    }
}

}  // namespace pacpick::process::sigchld
