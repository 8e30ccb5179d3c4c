// What every fuzz target shares: reading its input piece by piece, failing loudly
// when a property does not hold, and the Qt application the SQL driver needs.
#pragma once

#include <QCoreApplication>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// A property that must hold for every input: the fuzzer (or the replay test) stops on
// the input that breaks it, with the reason on standard error.
#define FUZZ_CHECK(condition, what)                                                                                    \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            std::fprintf(stderr, "%s:%d: %s (%s)\n", __FILE__, __LINE__, what, #condition);                            \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (false)

// The input, consumed from the front; past its end every read gives zeros.
class FuzzInput
{
public:
    FuzzInput(const std::uint8_t *data, std::size_t size) : next(data), end(data + size) {}
    bool empty() const { return next == end; }
    std::size_t left() const { return std::size_t(end - next); }
    std::uint8_t byte() { return next == end ? 0 : *next++; }
    // Up to `count` bytes; *taken says how many there were.
    const std::uint8_t *bytes(std::size_t count, std::size_t *taken)
    {
        const std::uint8_t *start = next;
        *taken = count < left() ? count : left();
        next += *taken;
        return start;
    }

private:
    const std::uint8_t *next;
    const std::uint8_t *end;
};

// The Qt application of a fuzzer's process, made once; the replay test has its own.
inline void ensureFuzzApplication()
{
    if (QCoreApplication::instance())
        return;
    static int argc = 1;
    static char name[] = "khronar-fuzz";
    static char *argv[] = {name, nullptr};
    static QCoreApplication application(argc, argv);
}
