#include "runtime/reactor.h"

#include <sys/epoll.h>

#include <algorithm>
#include <cassert>
#include <cerrno>

#include "runtime/epoll_wait.h"

namespace pacpick::rt {

namespace {
std::atomic<Reactor*> g_current_reactor{nullptr};
constexpr uint64_t kWakeToken = 0;
}  // namespace

Reactor* Reactor::current() {
    return g_current_reactor.load();
}
void Reactor::set_current(Reactor* reactor) {
    g_current_reactor.store(reactor);
}

Reactor& current_reactor() {
    Reactor* reactor = Reactor::current();
    assert(reactor != nullptr && "no runtime is running");
    return *reactor;
}

Result<std::unique_ptr<Reactor>> Reactor::create() {
    std::unique_ptr<Reactor> reactor(new Reactor());
    reactor->epoll_.reset(epoll_create1(EPOLL_CLOEXEC));
    if (!reactor->epoll_.valid()) {
        return Error::last_os_error();
    }
    auto wake = WakeLatch::create();
    if (!wake) {
        return std::move(wake).error();
    }
    reactor->wake_ = std::move(*wake);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeToken;
    if (epoll_ctl(reactor->epoll_.get(), EPOLL_CTL_ADD, reactor->wake_->fd(), &ev) != 0) {
        return Error::last_os_error();
    }
    return reactor;
}

void Reactor::interrupt() {
    wake_->set();
}

void Reactor::stop() {
    stopping_.store(true);
    interrupt();
}

void Reactor::run() {
    constexpr int kMaxEvents = 64;
    epoll_event events[kMaxEvents];
    while (!stopping_.load()) {
        fire_due_timers();
        run_turn_hooks();
        const int n = wait_for_events(epoll_.get(), events, kMaxEvents, time_to_next_timer());
        if (n < 0 && errno != EINTR) {
            return;
        }
        for (int i = 0; i < n; ++i) {
            if (events[i].data.u64 == kWakeToken) {
                wake_->take();
            } else {
                dispatch(events[i].data.u64);
            }
        }
    }
}

std::optional<std::chrono::nanoseconds> Reactor::time_to_next_timer() {
    std::lock_guard lock(timers_mutex_);
    if (timers_.empty()) {
        return std::nullopt;
    }
    return std::max(std::chrono::duration_cast<std::chrono::nanoseconds>(
                        timers_.begin()->first.first - Clock::now()),
                    std::chrono::nanoseconds::zero());
}

void Reactor::fire_due_timers() {
    // One at a time, each woken outside the lock.
    const auto now = Clock::now();
    for (;;) {
        Waker due;
        {
            std::lock_guard lock(timers_mutex_);
            auto first = timers_.begin();
            if (first == timers_.end() || first->first.first > now) {
                return;
            }
            due = std::move(first->second);
            timers_.erase(first);
        }
        due.wake();
    }
}

void Reactor::run_turn_hooks() {
    std::lock_guard lock(hooks_mutex_);
    for (auto& [key, hook] : hooks_) {
        hook();
    }
}

void Reactor::dispatch(uint64_t token) {
    std::shared_ptr<detail::IoState> state;
    {
        std::lock_guard lock(io_mutex_);
        auto it = io_.find(token);
        if (it == io_.end()) {
            return;  // detached meanwhile
        }
        state = it->second;
    }
    Waker waker;
    {
        std::lock_guard lock(state->mutex);
        waker = state->fire();
    }
    waker.wake();
}

Reactor::TimerKey Reactor::add_timer(Clock::time_point deadline, Waker waker) {
    bool earliest;
    TimerKey key;
    {
        std::lock_guard lock(timers_mutex_);
        key = TimerKey(deadline, next_timer_id_++);
        auto it = timers_.emplace(key, std::move(waker)).first;
        earliest = it == timers_.begin();
    }
    if (earliest) {
        interrupt();  // the loop may be sleeping past this deadline
    }
    return key;
}

bool Reactor::update_timer(const TimerKey& key, const Waker& waker) {
    std::lock_guard lock(timers_mutex_);
    auto it = timers_.find(key);
    if (it == timers_.end()) {
        return false;
    }
    it->second = waker;
    return true;
}

void Reactor::remove_timer(const TimerKey& key) {
    Waker dropped;  // destroyed after the lock
    std::lock_guard lock(timers_mutex_);
    auto it = timers_.find(key);
    if (it != timers_.end()) {
        dropped = std::move(it->second);
        timers_.erase(it);
    }
}

void Reactor::add_turn_hook(const void* key, std::function<void()> hook) {
    {
        std::lock_guard lock(hooks_mutex_);
        if (key != nullptr) {
            for (const auto& entry : hooks_) {
                if (entry.first == key) {
                    return;
                }
            }
        }
        hooks_.emplace_back(key, std::move(hook));
    }
    interrupt();  // let the new hook see this turn
}

bool Reactor::has_turn_hook(const void* key) {
    std::lock_guard lock(hooks_mutex_);
    return std::any_of(hooks_.begin(), hooks_.end(),
                       [key](const auto& entry) { return entry.first == key; });
}

std::shared_ptr<detail::IoState> Reactor::attach(int fd, uint32_t events) {
    auto state = std::make_shared<detail::IoState>();
    state->fd = fd;
    state->events = events;
    std::lock_guard lock(io_mutex_);
    state->token = next_token_++;
    io_.emplace(state->token, state);
    return state;
}

void Reactor::detach(const std::shared_ptr<detail::IoState>& state) {
    {
        std::lock_guard lock(state->mutex);
        if (state->added) {
            epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, state->fd, nullptr);
            state->added = false;
        }
        state->waker = Waker();
    }
    std::lock_guard lock(io_mutex_);
    io_.erase(state->token);
}

Result<void> Reactor::arm(detail::IoState& state) {
    epoll_event ev{};
    ev.events = state.events | EPOLLONESHOT;
    ev.data.u64 = state.token;
    const int op = state.added ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    if (epoll_ctl(epoll_.get(), op, state.fd, &ev) != 0) {
        return Error::last_os_error();
    }
    state.added = true;
    state.armed = true;
    return {};
}

}  // namespace pacpick::rt
