#pragma once

#include <memory>

#include "base/fd.h"
#include "base/result.h"
#include "runtime/poll.h"
#include "runtime/reactor.h"

namespace pacpick::rt {

/// A descriptor watched by the reactor for readability, and the leaf future
/// of one readiness event. It owns the descriptor: the registration is removed
/// before the close, so a reused descriptor number can never receive a stale
/// event.
class AsyncFd {
  public:
    AsyncFd() = default;
    explicit AsyncFd(UniqueFd fd);
    AsyncFd(AsyncFd&&) noexcept = default;
    AsyncFd& operator=(AsyncFd&& other) noexcept;
    ~AsyncFd();

    int fd() const { return fd_.get(); }
    bool valid() const { return fd_.valid(); }
    /// Ready once after each readiness event; then the interest is re-armed by
    /// the next poll. Registration errors come back as the ready value.
    Poll<Result<void>> poll(const Waker& waker);
    /// Drops the registration and closes the descriptor.
    void reset();

  private:
    UniqueFd fd_;
    std::shared_ptr<detail::IoState> state_;
    Reactor* reactor_ = nullptr;
};

}  // namespace pacpick::rt
