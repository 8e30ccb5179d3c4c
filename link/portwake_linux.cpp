// The wake-up on Linux: an eventfd, which poll() watches beside a port's descriptor.

#include "link/portwake.h"

#include <cerrno>
#include <cstdint>

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

PortWake::PortWake()
{
    waitHandle = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

PortWake::~PortWake()
{
    if (waitHandle >= 0)
        ::close(int(waitHandle));
}

void PortWake::signal()
{
    raised.store(true, std::memory_order_release);
    if (waitHandle >= 0) {
        const std::uint64_t one = 1;
        // Fails only when the counter is about to overflow: it is raised anyway.
        [[maybe_unused]] const ssize_t written = ::write(int(waitHandle), &one, sizeof one);
    }
}

void PortWake::clear()
{
    if (waitHandle >= 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t taken = ::read(int(waitHandle), &count, sizeof count);
    }
    raised.store(false, std::memory_order_release);
}

bool PortWake::wait(std::uint32_t timeoutUs) const
{
    if (signalled())
        return true;
    if (waitHandle < 0) {
        // No descriptor to be had: the wait is a plain sleep.
        const timespec pause{time_t(timeoutUs / 1000000), long(timeoutUs % 1000000) * 1000};
        nanosleep(&pause, nullptr);
        return signalled();
    }
    pollfd entry{int(waitHandle), POLLIN, 0};
    const timespec limit{time_t(timeoutUs / 1000000), long(timeoutUs % 1000000) * 1000};
    ppoll(&entry, 1, &limit, nullptr);
    return signalled();
}
