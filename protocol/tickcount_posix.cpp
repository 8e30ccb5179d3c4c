// The tick counter from the monotonic clock, for platforms other than Windows.

#include "protocol/tickcount.h"

#include <time.h>

std::uint32_t systemTickCount()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    // Truncation to 32 bits is the point: the counter wraps like GetTickCount.
    const std::uint64_t ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u
        + static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}
