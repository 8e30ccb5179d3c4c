// The tick counter from GetTickCount, which wraps after 49.7 days.

#include "protocol/tickcount.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

std::uint32_t systemTickCount()
{
    return static_cast<std::uint32_t>(GetTickCount());
}
