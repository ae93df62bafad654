#pragma once

#include <optional>
#include <random>
#include <utility>
#include <variant>

#include "runtime/task.h"

namespace pacpick::rt {

/// A fair coin for `Select`: each thread draws from its own generator.
inline bool coin_flip() {
    thread_local std::minstd_rand generator(std::random_device{}());
    return (generator() & 1u) != 0;
}

/// A leaf future over two others: ready with the first of them that is ready.
/// When both are, the order of polling is chosen at random on every poll, so
/// neither source can starve the other; only one of them is taken per poll.
/// The result's index says which (0 for `a`, 1 for `b`).
template <LeafFuture A, LeafFuture B>
class Select {
  public:
    using Output = std::variant<FutureOutput<A>, FutureOutput<B>>;

    Select(A& a, B& b) : a_(a), b_(b) {}

    Poll<Output> poll(const Waker& waker) {
        const bool a_first = coin_flip();
        if (auto r = a_first ? take<0>(a_, waker) : take<1>(b_, waker)) {
            return std::move(*r);
        }
        if (auto r = a_first ? take<1>(b_, waker) : take<0>(a_, waker)) {
            return std::move(*r);
        }
        return Poll<Output>::pending();
    }

  private:
    template <size_t Index, typename F>
    static std::optional<Output> take(F& future, const Waker& waker) {
        auto p = future.poll(waker);
        if (!p.ready()) {
            return std::nullopt;
        }
        return Output(std::in_place_index<Index>, p.take());
    }

    A& a_;
    B& b_;
};

}  // namespace pacpick::rt
