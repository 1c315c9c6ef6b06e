// The board's one error convention: a call whose failure matters returns a
// Result (or Result<T>): success, or an Error carrying the errno and a short
// text that says what was attempted ("open DIR/sim/board.lock"). Results are
// [[nodiscard]], so a failure cannot be dropped without a visible (void).
#ifndef PATERM_BOARD_SIM_RESULT_H
#define PATERM_BOARD_SIM_RESULT_H

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

namespace sim {

struct Error {
    int code = 0;      // errno, or 0 when the failure has no errno
    std::string what;  // what was attempted

    // "what: strerror(code)", or "what" alone without an errno.
    std::string Text() const { return code ? what + ": " + std::strerror(code) : what; }
    // The failure of a call that just set errno.
    static Error FromErrno(std::string what) { return {errno, std::move(what)}; }
};

template <typename T = void>
class [[nodiscard]] Result {
public:
    Result(T value) : value_(std::move(value)) {}  // NOLINT: success converts implicitly
    Result(Error error) : error_(std::move(error)) {}  // NOLINT: so does failure

    bool ok() const { return value_.has_value(); }
    explicit operator bool() const { return ok(); }
    T& value() { return *value_; }
    const T& value() const { return *value_; }
    T* operator->() { return &*value_; }
    T& operator*() { return *value_; }
    const Error& error() const { return error_; }

private:
    std::optional<T> value_;
    Error error_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(Error error) : failed_(true), error_(std::move(error)) {}  // NOLINT

    bool ok() const { return !failed_; }
    explicit operator bool() const { return ok(); }
    const Error& error() const { return error_; }

private:
    bool failed_ = false;
    Error error_;
};

}  // namespace sim

#endif  // PATERM_BOARD_SIM_RESULT_H
