// What khronar-fetch needs of the console it runs in: whether a stream is a
// terminal, and the stop signals. One implementation per platform.
#pragma once

#include <atomic>

// True when standard error, or standard input, is a terminal (not a file or pipe).
bool standardErrorIsTerminal();
bool standardInputIsTerminal();

// Routes the stop signals (SIGINT, SIGTERM; Ctrl+C and Ctrl+Break on Windows) to
// `flag`, which they set; the program then stops between two exchanges. A blocking
// read of standard input is interrupted by them and fails.
void routeStopSignals(std::atomic<bool> *flag);
