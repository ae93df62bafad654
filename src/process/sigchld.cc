#include "process/sigchld.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <unordered_map>

#include "runtime/signal_pipe.h"

namespace pacpick::process::sigchld {

namespace {

static_assert(std::atomic<uint64_t>::is_always_lock_free,
              "the handler may only touch lock-free state");
static_assert(std::atomic<int>::is_always_lock_free, "the handler may only touch lock-free state");

std::atomic<uint64_t> g_received{0};
std::atomic<int> g_write_fd{-1};
std::atomic<int> g_read_fd{-1};

std::mutex g_install_mutex;
std::atomic<bool> g_installed{false};

void on_sigchld(int) {
    g_received.fetch_add(1);
    rt::notify_signal_fd(g_write_fd.load());
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
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0) {
        return Error::last_os_error();
    }
    g_write_fd.store(fds[1]);
    struct sigaction action {};
    action.sa_handler = on_sigchld;
    sigemptyset(&action.sa_mask);
    // Stops and continues are of no interest: only ends are waited for.
    action.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    if (sigaction(SIGCHLD, &action, nullptr) != 0) {
        const Error error = Error::last_os_error();
        g_write_fd.store(-1);
        ::close(fds[0]);
        ::close(fds[1]);
        return error;
    }
    g_read_fd.store(fds[0]);
    g_installed.store(true);
    return {};
}

bool installed() {
    return g_installed.load();
}
uint64_t received() {
    return g_received.load();
}
int notification_fd() {
    return g_read_fd.load();
}

void drain() {
    char buffer[64];
    while (recv(g_read_fd.load(), buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
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
