#pragma once
// Errors are values: a message and a chain of underlying causes, innermost last.
// Steps return Result<T> (or Status) instead of throwing across step boundaries.

#include <cassert>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace karvo {

class Error {
public:
    explicit Error(std::string message) : message_(std::move(message)) {}

    // Wraps a lower-level failure: "context: cause".
    Error(std::string message, const Error& cause) : message_(std::move(message)) {
        causes_.push_back(cause.message_);
        causes_.insert(causes_.end(), cause.causes_.begin(), cause.causes_.end());
    }

    Error& with_cause(std::string cause) {
        causes_.push_back(std::move(cause));
        return *this;
    }

    const std::string& message() const { return message_; }
    const std::vector<std::string>& causes() const { return causes_; }

    // Short form: the message alone. Long form: the message and each cause after ": ".
    const std::string& short_form() const { return message_; }
    std::string long_form() const {
        std::string text = message_;
        for (const auto& cause : causes_) {
            text += ": ";
            text += cause;
        }
        return text;
    }

private:
    std::string message_;
    std::vector<std::string> causes_;
};

template <class T>
class [[nodiscard]] Result {
public:
    Result(T ok_value) : state_(std::in_place_index<0>, std::move(ok_value)) {}
    Result(Error failure) : state_(std::in_place_index<1>, std::move(failure)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { assert(ok()); return std::get<0>(state_); }
    const T& value() const& { assert(ok()); return std::get<0>(state_); }
    T&& value() && { assert(ok()); return std::get<0>(std::move(state_)); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }

    const Error& error() const { assert(!ok()); return std::get<1>(state_); }

private:
    std::variant<T, Error> state_;
};

struct Ok {};

// Success or an error, for steps that produce nothing else.
class [[nodiscard]] Status {
public:
    Status() = default;
    Status(Ok) {}
    Status(Error failure) : error_(std::move(failure)), failed_(true) {}

    bool ok() const { return !failed_; }
    explicit operator bool() const { return ok(); }
    const Error& error() const { assert(failed_); return error_; }

private:
    Error error_{std::string()};
    bool failed_ = false;
};

}  // namespace karvo
