#include "runtime/signal_notice.h"

#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <new>

namespace pacpick::rt {

namespace {

constexpr int kSignals = 65;  // 1 to SIGRTMAX, which is 64 on Linux

static_assert(std::atomic<uint64_t>::is_always_lock_free,
              "a handler may only touch lock-free state");
static_assert(std::atomic<int>::is_always_lock_free, "a handler may only touch lock-free state");

std::atomic<uint64_t> g_counts[kSignals];
// Live listeners per signal: a handler writes its byte only while one lives,
// so that a signal nobody listens for wakes no reactor; it is still counted,
// for a listener made later to compare with.
std::atomic<int> g_listeners[kSignals];
// The self-pipe's ends, -1 until made; written once, before any reader looks.
std::atomic<int> g_write_fd{-1};
std::atomic<int> g_read_fd{-1};

/// The listeners, what the last delivery saw, and the handlers that wait for
/// their signal's first listener, under one lock.
struct Registry {
    std::mutex mutex;
    SignalListener* first = nullptr;
    uint64_t deliveries = 0;
    uint64_t delivered_counts[kSignals] = {};
    int waiting = 0;  // the signal whose handler waits for its first listener, or 0
    struct sigaction on_first_listener {};
};

/// Made in place, never allocated (the signal set-up must not fail for
/// memory) and never destroyed (a listener may outlive static destruction).
Registry& registry() {
    alignas(Registry) static unsigned char storage[sizeof(Registry)];
    static Registry* instance = new (storage) Registry();
    return *instance;
}

uint64_t bit(int signal_number) {
    return uint64_t{1} << (signal_number - 1);
}

bool valid(int signal_number) {
    return signal_number > 0 && signal_number < kSignals;
}

/// Installs the handler of `signal_number` if it waits for a listener; under
/// the lock, so that no listener looks before it is in place.
void install_on_demand(int signal_number) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    if (r.waiting == signal_number) {
        sigaction(signal_number, &r.on_first_listener, nullptr);
        r.waiting = 0;
    }
}

}  // namespace

void notice_from_first_listener(int signal_number, const struct sigaction& action) {
    if (!valid(signal_number)) {
        return;
    }
    {
        Registry& r = registry();
        std::lock_guard lock(r.mutex);
        r.waiting = signal_number;
        r.on_first_listener = action;
    }
    if (g_listeners[signal_number].load() > 0) {
        install_on_demand(signal_number);
    }
}

void notice_signal(int signal_number) noexcept {
    if (!valid(signal_number)) {
        return;
    }
    const int saved = errno;
    g_counts[signal_number].fetch_add(1);
    // A listener made after this look looks at what the signal changed itself.
    // A full pipe drops the byte: one already waits to be read.
    if (const int fd = g_write_fd.load(); fd >= 0 && g_listeners[signal_number].load() > 0) {
        const char byte = 1;
        [[maybe_unused]] ssize_t n = send(fd, &byte, 1, MSG_DONTWAIT | MSG_NOSIGNAL);
    }
    errno = saved;
}

uint64_t signal_count(int signal_number) {
    return valid(signal_number) ? g_counts[signal_number].load() : 0;
}

SignalListener::SignalListener(std::initializer_list<int> signals) {
    for (const int signal_number : signals) {
        if (valid(signal_number) && (signals_ & bit(signal_number)) == 0) {
            signals_ |= bit(signal_number);
            g_listeners[signal_number].fetch_add(1);
            install_on_demand(signal_number);
        }
    }
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    delivered_ = r.deliveries;
    next_ = r.first;
    if (next_ != nullptr) {
        next_->prev_ = this;
    }
    r.first = this;
}

SignalListener::~SignalListener() {
    for (int signal_number = 1; signal_number < kSignals; ++signal_number) {
        if ((signals_ & bit(signal_number)) != 0) {
            g_listeners[signal_number].fetch_sub(1);
        }
    }
    Waker dropped;  // released after the lock
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    (prev_ != nullptr ? prev_->next_ : r.first) = next_;
    if (next_ != nullptr) {
        next_->prev_ = prev_;
    }
    dropped = std::move(waker_);
}

void SignalListener::wake_on_notice(const Waker& waker) {
    Waker replaced;  // released after the lock
    std::lock_guard lock(registry().mutex);
    replaced = std::exchange(waker_, waker);
}

Result<int> signal_notice_fd() {
    static std::mutex making;
    std::lock_guard lock(making);
    if (g_read_fd.load() < 0) {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0) {
            return Error::last_os_error();
        }
        g_read_fd.store(fds[0]);
        g_write_fd.store(fds[1]);
    }
    return g_read_fd.load();
}

void deliver_signal_notices() {
    char buffer[256];
    while (recv(g_read_fd.load(), buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
    }
    // Counted after the pipe was emptied: a signal counted later writes a byte
    // that the next delivery finds.
    Registry& r = registry();
    uint64_t moved = 0;
    uint64_t delivery;
    {
        std::lock_guard lock(r.mutex);
        for (int signal_number = 1; signal_number < kSignals; ++signal_number) {
            const uint64_t count = g_counts[signal_number].load();
            if (count != r.delivered_counts[signal_number]) {
                r.delivered_counts[signal_number] = count;
                moved |= bit(signal_number);
            }
        }
        if (moved == 0) {
            return;
        }
        delivery = ++r.deliveries;
    }
    // One listener at a time, its waker copied out and woken after the lock:
    // waking must not wait for a listener that is being destroyed meanwhile.
    for (;;) {
        Waker waker;
        {
            std::lock_guard lock(r.mutex);
            SignalListener* next = r.first;
            while (next != nullptr &&
                   (next->delivered_ >= delivery || (next->signals_ & moved) == 0)) {
                next = next->next_;
            }
            if (next == nullptr) {
                return;
            }
            next->delivered_ = delivery;
            waker = next->waker_;
        }
        waker.wake();
    }
}

}  // namespace pacpick::rt
