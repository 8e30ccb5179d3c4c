// Termination signals on POSIX: the handler only writes a byte into a pipe, and a
// socket notifier on the event loop's thread reads it and quits the loop.

#include "app/terminationsignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// [0] read by the event loop, [1] written by the handler.
int signalPipe[2] = {-1, -1};

void onTerminationSignal(int)
{
    // Only async-signal-safe calls here. The write end never blocks: when the pipe is
    // full, a quit is already on its way.
    const int savedErrno = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(signalPipe[1], &byte, 1);
    errno = savedErrno;
}

bool setFlags(int fd, int fdFlags, int statusFlags)
{
    return ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | fdFlags) == 0
        && ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | statusFlags) == 0;
}

} // namespace

bool quitOnTerminationSignals()
{
    if (signalPipe[0] >= 0)
        return true;
    int fds[2];
    if (::pipe(fds) != 0)
        return false;
    if (!setFlags(fds[0], FD_CLOEXEC, O_NONBLOCK) || !setFlags(fds[1], FD_CLOEXEC, O_NONBLOCK)) {
        ::close(fds[0]);
        ::close(fds[1]);
        return false;
    }
    signalPipe[0] = fds[0];
    signalPipe[1] = fds[1];

    auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] {
        char drained[16];
        while (::read(signalPipe[0], drained, sizeof drained) > 0) {}
        QCoreApplication::quit();
    });

    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    // Restart what the signal interrupts: the serial worker's reads and writes go on
    // until the window's destructor stops it.
    action.sa_flags = SA_RESTART;
    bool installed = true;
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        installed = ::sigaction(signal, &action, nullptr) == 0 && installed;
    return installed;
}
