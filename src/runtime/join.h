#pragma once

#include <optional>
#include <utility>

#include "runtime/task.h"

namespace pacpick::rt {

/// A leaf future over two others: ready with both results once both are ready.
/// Each is polled until it completes, never again after.
template <LeafFuture A, LeafFuture B>
class Join {
  public:
    using Output = std::pair<FutureOutput<A>, FutureOutput<B>>;

    Join(A& a, B& b) : a_(a), b_(b) {}

    Poll<Output> poll(const Waker& waker) {
        if (!ra_) {
            auto p = a_.poll(waker);
            if (p.ready()) {
                ra_.emplace(p.take());
            }
        }
        if (!rb_) {
            auto p = b_.poll(waker);
            if (p.ready()) {
                rb_.emplace(p.take());
            }
        }
        if (ra_ && rb_) {
            return Output(std::move(*ra_), std::move(*rb_));
        }
        return Poll<Output>::pending();
    }

  private:
    A& a_;
    B& b_;
    std::optional<FutureOutput<A>> ra_;
    std::optional<FutureOutput<B>> rb_;
};

}  // namespace pacpick::rt
