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

std::mutex g_install_mutex;
std::atomic<bool> g_installed{false};

void on_sigchld(int) {
    g_received.fetch_add(1);
    if (const rt::SignalPipe* pipe = g_pipe.load()) {
        pipe->notify();
    }
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

Result<void> install() {
    std::lock_guard lock(g_install_mutex);
    if (g_installed.load()) {
        return {};
    }
    if (g_pipe.load() == nullptr) {
        auto pipe = rt::SignalPipe::create();
        if (!pipe) {
            return std::move(pipe).error();
        }
        g_pipe.store(*pipe);  // kept, also when the handler cannot be installed now
    }
    struct sigaction action {};
    action.sa_handler = on_sigchld;
    sigemptyset(&action.sa_mask);
    // Stops and continues are of no interest: only ends are waited for.
    action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    if (sigaction(SIGCHLD, &action, nullptr) != 0) {
        return Error::last_os_error();
    }
    g_installed.store(true);
    return {};
}

uint64_t received() {
    return g_received.load();
}
int notification_fd() {
    const rt::SignalPipe* pipe = g_installed.load() ? g_pipe.load() : nullptr;
    return pipe != nullptr ? pipe->read_fd() : -1;
}

void drain() {
    if (const rt::SignalPipe* pipe = g_pipe.load()) {
        pipe->drain();
    }
}

uint64_t new_waiter_id() {
    return g_next_waiter.fetch_add(1);
}

uint64_t delivered() {
    Waiters& w = waiters();
    std::lock_guard lock(w.mutex);
    return w.delivered;
}

bool arm(uint64_t waiter, const rt::Waker& waker, uint64_t& seen) {
    Waiters& w = waiters();
    std::lock_guard lock(w.mutex);
    if (w.delivered != seen) {
        seen = w.delivered;
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
    // Taken whole, without allocating: it runs on the reactor thread, which
    // must not lose a delivery to a failed allocation.
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
