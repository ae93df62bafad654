#include "runtime/reactor.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "runtime/signal_notice.h"

namespace pacpick::rt {

namespace {

constexpr uint64_t kNoticeToken = 1;
constexpr uint64_t kTimerToken = 2;

}  // namespace

Result<std::unique_ptr<Reactor>> Reactor::create() {
    auto notices = signal_notice_fd();
    if (!notices) {
        return std::move(notices).error();
    }
    auto epoll = EpollSet::create();
    if (!epoll) {
        return std::move(epoll).error();
    }
    std::unique_ptr<Reactor> reactor(new Reactor(std::move(*epoll)));
    // steady_clock is CLOCK_MONOTONIC, which the timer's deadlines are set in.
    reactor->timer_.reset(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
    if (!reactor->timer_.valid()) {
        return Error::last_os_error();
    }
    // Both stay watched, level-triggered, for the reactor's whole life.
    for (const auto& [fd, token] :
         {std::pair{*notices, kNoticeToken}, std::pair{reactor->timer_.get(), kTimerToken}}) {
        if (auto watched = reactor->epoll_.control(EPOLL_CTL_ADD, fd, EPOLLIN, token); !watched) {
            return std::move(watched).error();
        }
    }
    return reactor;
}

void Reactor::stop() {
    stopping_.store(true);
    epoll_.latch()->set();
}

void Reactor::run() {
    constexpr int kMaxEvents = 64;
    epoll_event events[kMaxEvents];
    while (!stopping_.load()) {
        fire_due_timers();
        arm_next_timer();
        const int n = epoll_.wait(events, -1);
        if (n < 0 && errno != EINTR) {
            return;
        }
        for (int i = 0; i < n; ++i) {
            switch (events[i].data.u64) {
                case EpollSet::kWoken:
                    break;
                case kNoticeToken:
                    deliver_signal_notices();
                    break;
                case kTimerToken: {
                    uint64_t expirations;  // emptied, or it stays readable
                    [[maybe_unused]] ssize_t n_read =
                        ::read(timer_.get(), &expirations, sizeof expirations);
                    break;
                }
                default:
                    dispatch(events[i].data.u64);
            }
        }
    }
}

void Reactor::arm_next_timer() {
    std::optional<Clock::time_point> next;
    {
        std::lock_guard lock(timers_mutex_);
        if (!timers_.empty()) {
            next = timers_.begin()->first.first;
        }
    }
    if (next == armed_) {
        return;
    }
    // An absolute time: a deadline already passed fires at once; all zeros
    // disarm. On a timerfd of our own, with a valid time, it cannot fail.
    itimerspec when{};
    if (next) {
        const auto since =
            std::chrono::duration_cast<std::chrono::nanoseconds>(next->time_since_epoch());
        when.it_value.tv_sec = static_cast<time_t>(since.count() / 1'000'000'000);
        when.it_value.tv_nsec = std::max(static_cast<long>(since.count() % 1'000'000'000),
                                         when.it_value.tv_sec == 0 ? 1L : 0L);
    }
    timerfd_settime(timer_.get(), TFD_TIMER_ABSTIME, &when, nullptr);
    armed_ = next;
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
        state->armed = false;  // a one-shot interest is spent by its event
        state->ready = true;
        waker = std::exchange(state->waker, Waker());
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
        epoll_.latch()->set();  // the loop may be sleeping past this deadline
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

std::shared_ptr<detail::IoState> Reactor::attach(int fd) {
    auto state = std::make_shared<detail::IoState>();
    state->fd = fd;
    std::lock_guard lock(io_mutex_);
    state->token = next_token_++;
    io_.emplace(state->token, state);
    return state;
}

void Reactor::detach(const std::shared_ptr<detail::IoState>& state) {
    {
        std::lock_guard lock(state->mutex);
        if (state->added) {
            (void)epoll_.control(EPOLL_CTL_DEL, state->fd, 0, 0);
            state->added = false;
        }
        state->waker = Waker();
    }
    std::lock_guard lock(io_mutex_);
    io_.erase(state->token);
}

Result<void> Reactor::arm(detail::IoState& state) {
    const int op = state.added ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    if (auto armed = epoll_.control(op, state.fd, EPOLLIN | EPOLLONESHOT, state.token); !armed) {
        return armed;
    }
    state.added = true;
    state.armed = true;
    return {};
}

}  // namespace pacpick::rt
