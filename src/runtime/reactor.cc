#include "runtime/reactor.h"

#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <new>

namespace pacpick::rt {

namespace {
std::atomic<Reactor*> g_current_reactor{nullptr};
constexpr uint64_t kInterruptToken = 0;
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
    auto wake = WakeCounter::create();
    if (!wake) {
        return std::move(wake).error();
    }
    reactor->wake_ = std::move(*wake);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kInterruptToken;
    if (epoll_ctl(reactor->epoll_.get(), EPOLL_CTL_ADD, reactor->wake_->fd(), &ev) != 0) {
        return Error::last_os_error();
    }
    return reactor;
}

Reactor::~Reactor() = default;

void Reactor::interrupt() {
    // It fails only when the thread could be reached neither way; its next
    // turn then sees whatever this was about.
    [[maybe_unused]] auto woken = wake_->wake();
}

void Reactor::stop() {
    stopping_.store(true);
    interrupt();
}

void Reactor::run() {
    constexpr int kMaxEvents = 64;
    // A failed wait that comes once is a passing fault and is tried again; one
    // that comes every time (a sandbox refusing the call, a broken instance)
    // would make the loop spin, so the third in a row ends waiting on epoll.
    constexpr int kLastingFailures = 3;
    constexpr auto kHookRetryAfter = std::chrono::nanoseconds(std::chrono::milliseconds(50));
    int failures_in_a_row = 0;
    epoll_event events[kMaxEvents];
    while (!stopping_.load()) {
        bool hook_failed = false;
        try {
            fire_due_timers();
            run_turn_hooks();
        } catch (const std::bad_alloc&) {
            // A hook that could not allocate tries again on the next turn,
            // which comes soon even when nothing else happens (a child's end
            // may be noticed only by the hook); meanwhile the thread goes on
            // serving timers and descriptors.
            hook_failed = true;
        }
        if (looking_.load()) {
            look_without_epoll();
            continue;
        }
        auto timeout = time_to_next_timer();
        if (hook_failed) {
            timeout = std::min(timeout.value_or(kHookRetryAfter), kHookRetryAfter);
        }
        const int n = wake_->wait(epoll_.get(), events, kMaxEvents, timeout);
        if (n < 0) {
            if (errno == EINTR) {
                wake_->consume();  // a wake, or another signal: just turn again
                continue;
            }
            if (++failures_in_a_row == kLastingFailures) {
                looking_.store(true);
            }
            continue;
        }
        failures_in_a_row = 0;
        for (int i = 0; i < n; ++i) {
            if (events[i].data.u64 == kInterruptToken) {
                wake_->consume();
            } else {
                dispatch(events[i].data.u64);
            }
        }
    }
}

void Reactor::look_without_epoll() {
    // Turns every few milliseconds, or sooner for a timer, and tells every
    // armed registration that it may be ready: its owner reads without
    // blocking and arms again when nothing was there. A signal ends the pause
    // early, which is harmless.
    constexpr auto kLookEvery = std::chrono::nanoseconds(std::chrono::milliseconds(10));
    const auto pause = std::min(kLookEvery, time_to_next_timer().value_or(kLookEvery));
    const timespec time{0, static_cast<long>(pause.count())};
    clock_nanosleep(CLOCK_MONOTONIC, 0, &time, nullptr);
    wake_->consume();
    std::lock_guard lock(io_mutex_);
    for (auto& [token, state] : io_) {
        Waker waker;
        {
            std::lock_guard state_lock(state->mutex);
            if (state->armed) {
                waker = state->fire();
            }
        }
        waker.wake();
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
    // One at a time, woken outside the lock: nothing here allocates, so no
    // timer is taken out and then lost to a failed allocation.
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
    if (looking_.load()) {
        state.armed = true;  // the next look tells it
        return {};
    }
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

AsyncFd::AsyncFd(UniqueFd fd, uint32_t events) : fd_(std::move(fd)) {
    reactor_ = &current_reactor();
    state_ = reactor_->attach(fd_.get(), events);
}

AsyncFd& AsyncFd::operator=(AsyncFd&& other) noexcept {
    if (this != &other) {
        reset();
        fd_ = std::move(other.fd_);
        state_ = std::move(other.state_);
        reactor_ = other.reactor_;
    }
    return *this;
}

AsyncFd::~AsyncFd() {
    reset();
}

void AsyncFd::reset() {
    if (state_) {
        reactor_->detach(state_);
        state_.reset();
    }
    fd_.reset();
}

Poll<Result<void>> AsyncFd::poll_ready(const Waker& waker) {
    assert(state_ && "polling a closed AsyncFd");
    std::lock_guard lock(state_->mutex);
    if (state_->ready) {
        state_->ready = false;
        return Result<void>();
    }
    state_->waker = waker;
    if (!state_->armed) {
        auto armed = reactor_->arm(*state_);
        if (!armed) {
            return armed;
        }
    }
    return Poll<Result<void>>::pending();
}

Sleep::~Sleep() {
    if (reactor_ != nullptr) {
        reactor_->remove_timer(key_);
    }
}

Poll<Unit> Sleep::poll(const Waker& waker) {
    if (Clock::now() >= deadline_) {
        if (reactor_ != nullptr) {
            reactor_->remove_timer(key_);
            reactor_ = nullptr;
        }
        return Unit{};
    }
    if (reactor_ == nullptr || !reactor_->update_timer(key_, waker)) {
        reactor_ = &current_reactor();
        key_ = reactor_->add_timer(deadline_, waker);
    }
    return Poll<Unit>::pending();
}

}  // namespace pacpick::rt
