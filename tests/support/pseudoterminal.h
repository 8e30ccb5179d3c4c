// A pseudo-terminal pair for the serial tests (the test holds the master side and
// plays the device; the code under test opens the slave side by its name), and a wait
// for a condition with a deadline.
#pragma once

#include <QByteArray>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

using TestClock = std::chrono::steady_clock;
constexpr auto TestDeadline = std::chrono::seconds(10);

// Looks at `condition` every millisecond until it holds (true) or the deadline
// passes (false).
inline bool waitFor(const std::function<bool()> &condition, TestClock::duration deadline = TestDeadline)
{
    const auto until = TestClock::now() + deadline;
    while (!condition()) {
        if (TestClock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// One pseudo-terminal pair; the slave stays open here too, so that the line does not
// hang up while the terminal closes and reopens it.
struct PseudoTerminal {
    PseudoTerminal()
    {
        char name[128] = {};
        if (openpty(&master, &slave, name, nullptr, nullptr) == 0) {
            slaveName = name;
            // Helper processes get only the port they open themselves.
            fcntl(master, F_SETFD, FD_CLOEXEC);
            fcntl(slave, F_SETFD, FD_CLOEXEC);
            termios raw;
            tcgetattr(master, &raw);
            cfmakeraw(&raw);
            tcsetattr(master, TCSANOW, &raw);
        }
    }
    ~PseudoTerminal()
    {
        closeMaster();
        closeSlave();
    }
    PseudoTerminal(const PseudoTerminal &) = delete;
    PseudoTerminal &operator=(const PseudoTerminal &) = delete;

    void closeMaster()
    {
        if (master >= 0)
            ::close(master);
        master = -1;
    }
    void closeSlave()
    {
        if (slave >= 0)
            ::close(slave);
        slave = -1;
    }
    bool write(const QByteArray &bytes) const
    {
        return ::write(master, bytes.constData(), std::size_t(bytes.size())) == bytes.size();
    }
    // Bytes written here that the terminal has not read yet.
    int pendingAtSlave() const
    {
        int count = -1;
        return ioctl(slave, FIONREAD, &count) == 0 ? count : -1;
    }
    // Whatever the terminal sends until `count` bytes have come or the deadline passes.
    QByteArray read(int count) const
    {
        QByteArray bytes;
        const auto until = TestClock::now() + TestDeadline;
        while (bytes.size() < count && TestClock::now() < until) {
            pollfd wait{master, POLLIN, 0};
            if (poll(&wait, 1, 20) == 1) {
                char chunk[256];
                const ssize_t got = ::read(master, chunk, sizeof chunk);
                if (got > 0)
                    bytes.append(chunk, int(got));
            }
        }
        return bytes;
    }

    int master = -1;
    int slave = -1;
    std::string slaveName;
};
