#pragma once

#include <cassert>
#include <optional>
#include <utility>

namespace pacpick::rt {

/// The value of a wait that yields nothing but its completion.
struct Unit {};

/// Outcome of polling a leaf future: ready with a value, or pending. A leaf that
/// answers pending has arranged for the waker it was given to be woken once
/// polling again may make progress.
template <typename T>
class [[nodiscard]] Poll {
  public:
    static Poll pending() { return Poll(); }
    Poll(T value) : value_(std::move(value)) {}

    bool ready() const { return value_.has_value(); }
    T take() {
        assert(ready());
        return std::move(*value_);
    }

  private:
    Poll() = default;
    std::optional<T> value_;
};

}  // namespace pacpick::rt
