// Writing to a non-blocking POSIX descriptor, shared by the simulator's line and its
// TCP listener.
#pragma once

#include <chrono>
#include <string>

#include <poll.h>

// Writes all `length` bytes, waiting while the descriptor is full for at most
// `limitMs` in all. False when it stays full or fails: a reply nobody reads is given
// up rather than let it stop the serving.
bool writeWithin(int fd, const char *data, int length, int limitMs);

// "what: " and the text of errno.
std::string systemError(const char *what);

// poll() until `wake`, to the microsecond: a reply due on a timed line must go out
// when it is due, not at the next whole millisecond. poll's result.
int pollUntil(pollfd *entries, nfds_t count, std::chrono::steady_clock::time_point wake);
