// The console on POSIX systems: isatty, and sigaction without SA_RESTART so that a
// signal also ends a read of the configuration answer.

#include "fetch/console.h"

#include <csignal>

#include <unistd.h>

namespace {

std::atomic<bool> *stopFlag = nullptr;

void onStopSignal(int)
{
    // Lock-free, so safe in a signal handler.
    if (stopFlag != nullptr)
        stopFlag->store(true);
}

} // namespace

bool standardErrorIsTerminal()
{
    return isatty(STDERR_FILENO) == 1;
}

bool standardInputIsTerminal()
{
    return isatty(STDIN_FILENO) == 1;
}

void routeStopSignals(std::atomic<bool> *flag)
{
    static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set from a signal handler");
    stopFlag = flag;
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}
