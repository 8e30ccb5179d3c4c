// What an operation that can fail gives back: its value, or why it failed. One shape
// for every floor; each floor has its own error type (PortError, StoreError, ...).
#pragma once

#include <cassert>
#include <optional>
#include <utility>
#include <variant>

// The failure side, so that `return Failure(error);` reads as what it is.
template<typename E> struct Failure {
    explicit Failure(E error) : error(std::move(error)) {}
    E error;
};
template<typename E> Failure(E) -> Failure<E>;

template<typename T, typename E> class [[nodiscard]] Result
{
public:
    Result(T value) : state(std::in_place_index<0>, std::move(value)) {}
    Result(Failure<E> failure) : state(std::in_place_index<1>, std::move(failure.error)) {}

    bool ok() const { return state.index() == 0; }
    explicit operator bool() const { return ok(); }

    // Only when ok().
    const T &value() const &
    {
        assert(ok());
        return std::get<0>(state);
    }
    T &value() &
    {
        assert(ok());
        return std::get<0>(state);
    }
    T &&value() &&
    {
        assert(ok());
        return std::get<0>(std::move(state));
    }
    const T &operator*() const & { return value(); }
    const T *operator->() const { return &value(); }

    // Only when not ok(); an empty error otherwise.
    const E &error() const
    {
        static const E none{};
        const E *failed = std::get_if<1>(&state);
        return failed != nullptr ? *failed : none;
    }

private:
    std::variant<T, E> state;
};

// An operation that gives nothing but success or an error.
template<typename E> class [[nodiscard]] Result<void, E>
{
public:
    Result() = default;
    Result(Failure<E> failure) : failed(std::move(failure.error)) {}

    bool ok() const { return !failed.has_value(); }
    explicit operator bool() const { return ok(); }

    // Only when not ok(); an empty error otherwise.
    const E &error() const
    {
        static const E none{};
        return failed ? *failed : none;
    }

private:
    std::optional<E> failed;
};
