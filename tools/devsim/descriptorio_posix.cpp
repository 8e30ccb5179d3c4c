// Writing to a non-blocking POSIX descriptor.

#include "tools/devsim/descriptorio.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include <poll.h>
#include <unistd.h>

bool writeWithin(int fd, const char *data, int length, int limitMs)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point giveUp = Clock::now() + std::chrono::milliseconds(limitMs);
    while (length > 0) {
        const ssize_t written = write(fd, data, std::size_t(length));
        if (written > 0) {
            data += written;
            length -= int(written);
            continue;
        }
        if (written < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        if (Clock::now() > giveUp)
            return false;
        pollfd out{fd, POLLOUT, 0};
        poll(&out, 1, 50);
    }
    return true;
}

std::string systemError(const char *what)
{
    return std::string(what) + ": " + std::strerror(errno);
}
