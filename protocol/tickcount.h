// The 32-bit millisecond tick counter behind reply deadlines, and the hook through
// which tests set the time.
#pragma once

#include <cstdint>

// Milliseconds from an arbitrary start, wrapping at 2^32. Two ticks are compared only
// by their signed difference, so the wrap is harmless.
std::uint32_t tickCount();

// The platform's counter, which tickCount() reads unless a source is installed:
// GetTickCount on Windows, the monotonic clock truncated to 32 bits elsewhere.
std::uint32_t systemTickCount();

using TickCountSource = std::uint32_t (*)();

// Puts `source` behind tickCount(); nullptr restores the platform's counter. For tests,
// which step the time by hand. Not synchronised: install it before the protocol runs,
// on the thread that runs it.
void setTickCountSource(TickCountSource source);
