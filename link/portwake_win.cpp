// The wake-up on Windows: a manual-reset event. The Win32 ports do not wait on it:
// they look at signalled() between their own short waits.

#include "link/portwake.h"

#include <windows.h>

namespace {

HANDLE eventOf(std::intptr_t handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

} // namespace

PortWake::PortWake()
{
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    waitHandle = event != nullptr ? reinterpret_cast<std::intptr_t>(event) : -1;
}

PortWake::~PortWake()
{
    if (waitHandle != -1)
        CloseHandle(eventOf(waitHandle));
}

void PortWake::signal()
{
    raised.store(true, std::memory_order_release);
    if (waitHandle != -1)
        SetEvent(eventOf(waitHandle));
}

void PortWake::clear()
{
    if (waitHandle != -1)
        ResetEvent(eventOf(waitHandle));
    raised.store(false, std::memory_order_release);
}

bool PortWake::wait(std::uint32_t timeoutUs) const
{
    if (signalled())
        return true;
    const DWORD timeoutMs = (timeoutUs + 999) / 1000;
    if (waitHandle == -1)
        Sleep(timeoutMs);
    else
        WaitForSingleObject(eventOf(waitHandle), timeoutMs);
    return signalled();
}
