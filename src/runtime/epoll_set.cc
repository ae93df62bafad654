#include "runtime/epoll_set.h"

namespace pacpick::rt {

Result<EpollSet> EpollSet::create() {
    EpollSet set;
    set.epoll_.reset(epoll_create1(EPOLL_CLOEXEC));
    if (!set.epoll_.valid()) {
        return Error::last_os_error();
    }
    auto latch = WakeLatch::create();
    if (!latch) {
        return std::move(latch).error();
    }
    set.latch_ = std::move(*latch);
    if (auto watched = set.control(EPOLL_CTL_ADD, set.latch_->fd(), EPOLLIN, kWoken); !watched) {
        return std::move(watched).error();
    }
    return set;
}

Result<void> EpollSet::control(int op, int fd, uint32_t events, uint64_t token) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = token;
    if (epoll_ctl(epoll_.get(), op, fd, &event) != 0) {
        return Error::last_os_error();
    }
    return {};
}

int EpollSet::wait(std::span<epoll_event> ready, int timeout_ms) {
    const int n =
        epoll_wait(epoll_.get(), ready.data(), static_cast<int>(ready.size()), timeout_ms);
    for (int i = 0; i < n; ++i) {
        if (ready[i].data.u64 == kWoken) {
            latch_->take();
        }
    }
    return n;
}

}  // namespace pacpick::rt
