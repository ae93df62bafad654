#include "runtime/async_fd.h"

#include <cassert>

#include "runtime/runtime.h"

namespace pacpick::rt {

AsyncFd::AsyncFd(UniqueFd fd) : fd_(std::move(fd)) {
    reactor_ = &current_reactor();
    state_ = reactor_->attach(fd_.get());
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

Poll<Result<void>> AsyncFd::poll(const Waker& waker) {
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

}  // namespace pacpick::rt
