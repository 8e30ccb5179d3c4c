// The console on Windows: _isatty, and a console control handler for Ctrl+C,
// Ctrl+Break and a closed console window.

#include "fetch/console.h"

#include <io.h>
#include <stdio.h>
#include <windows.h>

namespace {

std::atomic<bool> *stopFlag = nullptr;

BOOL WINAPI onConsoleControl(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
        if (stopFlag != nullptr)
            stopFlag->store(true);
        return TRUE;
    default:
        return FALSE;
    }
}

} // namespace

bool standardErrorIsTerminal()
{
    return _isatty(_fileno(stderr)) != 0;
}

bool standardInputIsTerminal()
{
    return _isatty(_fileno(stdin)) != 0;
}

void routeStopSignals(std::atomic<bool> *flag)
{
    stopFlag = flag;
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}
