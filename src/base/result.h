#pragma once

#include <cassert>
#include <optional>
#include <utility>
#include <variant>

#include "base/error.h"

namespace pacpick {

/// A value or the `Error` that prevented it. Every fallible operation returns
/// one; nothing in the program throws across a module boundary. Reading the
/// value of an error result (or the error of a value) is a programming fault.
template <typename T>
class [[nodiscard]] Result {
  public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & {
        assert(ok());
        return std::get<0>(v_);
    }
    const T& value() const& {
        assert(ok());
        return std::get<0>(v_);
    }
    T&& value() && {
        assert(ok());
        return std::get<0>(std::move(v_));
    }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    const Error& error() const& {
        assert(!ok());
        return std::get<1>(v_);
    }
    Error&& error() && {
        assert(!ok());
        return std::get<1>(std::move(v_));
    }

  private:
    std::variant<T, Error> v_;
};

/// Success carrying nothing, or an `Error`.
template <>
class [[nodiscard]] Result<void> {
  public:
    Result() = default;
    Result(Error error) : error_(std::move(error)) {}

    bool ok() const { return !error_.has_value(); }
    explicit operator bool() const { return ok(); }

    const Error& error() const& {
        assert(!ok());
        return *error_;
    }
    Error&& error() && {
        assert(!ok());
        return std::move(*error_);
    }

  private:
    std::optional<Error> error_;
};

}  // namespace pacpick
