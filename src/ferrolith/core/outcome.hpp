// The one shape of an expected kernel failure.
//
// Kernels return Outcome<T>: the value, or the message of a failure caused by
// the input (bad numbers, an impossible cell, a malformed file line). Bindings
// turn a failed outcome into the Python exception with
// ferrolith::binding::value_or_raise. Programming errors still throw.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>

namespace ferrolith::core {

/// The value of a computation, or the message of an expected failure.
template <typename T> struct Outcome {
    std::optional<T> value; ///< set on success
    std::string error;      ///< set when `value` is empty
    /// 1-based line of the input that failed, for parsers; 0 when not tied to a line.
    std::size_t line = 0;

    /// An expected failure with its message (and, for parsers, the 1-based line).
    static Outcome fail(std::string message, std::size_t at_line = 0) {
        return {std::nullopt, std::move(message), at_line};
    }
    /// A success carrying `v`.
    static Outcome ok(T v) { return {std::move(v), {}, 0}; }

    bool has_value() const { return value.has_value(); }
    explicit operator bool() const { return value.has_value(); }

    /// The failure carried over to an outcome of another type (same message and line).
    template <typename U> Outcome<U> forward_error() const { return Outcome<U>::fail(error, line); }
};

/// Outcome of a computation that yields nothing but can fail.
struct Done {};
using Status = Outcome<Done>;

/// A successful Status.
inline Status success() {
    return Status::ok(Done{});
}

} // namespace ferrolith::core
