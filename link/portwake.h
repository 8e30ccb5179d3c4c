// A signal one thread raises and another waits for, alone or together with a port:
// the worker's wake-up when a request is committed or the terminal closes, and the
// cancel of an open in progress.
#pragma once

#include <atomic>
#include <cstdint>

class PortWake
{
public:
    PortWake();
    ~PortWake();
    PortWake(const PortWake &) = delete;
    PortWake &operator=(const PortWake &) = delete;

    // Any thread. Stays raised until clear().
    void signal();
    // The waiting thread, before it looks at what the signal is about: a signal raised
    // after the clear wakes the next wait.
    void clear();
    bool signalled() const { return raised.load(std::memory_order_acquire); }
    // Waits at most `timeoutUs` microseconds for the signal; true when it is raised.
    bool wait(std::uint32_t timeoutUs) const;
    // What a port's wait may watch beside the port: an eventfd, readable while the
    // signal is raised (Linux), or a manual-reset event (Windows); -1 when none could be
    // made, and then only signalled() tells.
    std::intptr_t handle() const { return waitHandle; }

private:
    std::atomic<bool> raised{false};
    std::intptr_t waitHandle = -1;
};
