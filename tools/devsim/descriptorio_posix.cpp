// Writing to a non-blocking POSIX descriptor.

#include "tools/devsim/descriptorio.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>

#include <poll.h>
#include <time.h>
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

int pollUntil(pollfd *entries, nfds_t count, std::chrono::steady_clock::time_point wake)
{
    using namespace std::chrono;
    const auto left = duration_cast<nanoseconds>(wake - steady_clock::now());
    const std::int64_t wait = left.count() > 0 ? left.count() : 0;
    const timespec limit{time_t(wait / 1000000000), long(wait % 1000000000)};
    return ppoll(entries, count, &limit, nullptr);
}
