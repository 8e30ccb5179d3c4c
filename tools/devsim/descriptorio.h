// Writing to a non-blocking POSIX descriptor, shared by the simulator's line and its
// TCP listener.
#pragma once

#include <string>

// Writes all `length` bytes, waiting while the descriptor is full for at most
// `limitMs` in all. False when it stays full or fails: a reply nobody reads is given
// up rather than let it stop the serving.
bool writeWithin(int fd, const char *data, int length, int limitMs);

// "what: " and the text of errno.
std::string systemError(const char *what);
