// The one error type that crosses the module's middle, and the result type
// that carries it. Neither touches Python: the method entries turn an Error
// into the Python exception exactly once (python.hpp).
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace tavori {

class Error {
public:
    enum class Kind {
        failure,   // a service or validation failure: RuntimeError(message)
        pending,   // a Python exception is already set: pass it on untouched
        internal,  // an internal fault: diagnostic on stderr, then not a RuntimeError
    };

    static Error failure(std::string message) { return {Kind::failure, std::move(message)}; }
    static Error pending() { return {Kind::pending, {}}; }
    static Error internal(std::string what) { return {Kind::internal, std::move(what)}; }

    Kind kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }

private:
    Error(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

    Kind kind_;
    std::string message_;
};

// A value or the reason there is none, in the manner of std::expected.
template <class T, class E = Error>
class Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    Result(E error) : state_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const noexcept { return state_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    T& operator*() & { return std::get<0>(state_); }
    T&& operator*() && { return std::get<0>(std::move(state_)); }
    T* operator->() { return &std::get<0>(state_); }
    const T* operator->() const { return &std::get<0>(state_); }

    const E& error() const& { return std::get<1>(state_); }
    E&& error() && { return std::get<1>(std::move(state_)); }

private:
    std::variant<T, E> state_;
};

// A step that yields nothing but may fail.
struct Done {};
using Status = Result<Done>;

}  // namespace tavori

// Early return for the error paths of Result-returning steps, in the manner of
// absl's ASSIGN_OR_RETURN: binds `name` to the value, or returns the error.
#define TAVORI_ASSIGN_OR_RETURN(name, expression) \
    auto name##_result = (expression);            \
    if (!name##_result) {                         \
        return std::move(name##_result).error();  \
    }                                             \
    auto&& name = *std::move(name##_result)

#define TAVORI_RETURN_IF_ERROR(expression)           \
    do {                                             \
        if (auto status_ = (expression); !status_) { \
            return std::move(status_).error();       \
        }                                            \
    } while (false)
