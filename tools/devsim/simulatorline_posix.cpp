// The simulator's line on POSIX terminals: pseudo-terminal or serial device, polled.
//
//   client ──request──► line ──silence──► DeviceBus ──reply──► queue ──turnaround──► line
//
// Replies wait in the session's queue until their turnaround is over, so a slow reply
// (--delay) never stops the line from being read, and requests are answered in order.

#include "tools/devsim/simulatorline.h"

#include "tools/devsim/descriptorio.h"
#include "tools/devsim/devicebus.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = SimulatorClock;

bool speedOf(std::uint32_t baud, speed_t *speed)
{
    static const struct {
        std::uint32_t baud;
        speed_t speed;
    } speeds[] = {{1200, B1200},   {2400, B2400},   {4800, B4800},     {9600, B9600},    {19200, B19200},
                  {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400}};
    for (const auto &entry : speeds) {
        if (entry.baud == baud) {
            *speed = entry.speed;
            return true;
        }
    }
    return false;
}

// Unix98 pseudo-terminal clients have the majors 136 to 143.
bool isPseudoTerminal(int fd)
{
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISCHR(status.st_mode))
        return false;
    const unsigned int deviceMajor = major(status.st_rdev);
    return deviceMajor >= 136 && deviceMajor <= 143;
}

} // namespace

SimulatorLine::~SimulatorLine()
{
    if (heldPeer >= 0)
        close(heldPeer);
    if (fd >= 0)
        close(fd);
}

bool SimulatorLine::openPseudoTerminal(const LineSettings &settings, std::string *path, std::string *error)
{
    fd = posix_openpt(O_RDWR | O_NOCTTY);
    if (fd < 0 || grantpt(fd) != 0 || unlockpt(fd) != 0) {
        *error = systemError("cannot create a pseudo-terminal");
        return false;
    }
    const char *name = ptsname(fd);
    if (!name) {
        *error = systemError("ptsname");
        return false;
    }
    *path = name;
    // Raw mode on the master reaches the client side's line discipline: no echo, no
    // CR/LF translation, no byte taken as a control character.
    termios mode{};
    if (tcgetattr(fd, &mode) == 0) {
        cfmakeraw(&mode);
        tcsetattr(fd, TCSANOW, &mode);
    }
    // While no client has the other side open, reads here fail with EIO and poll
    // reports a hang-up without end. Holding a client descriptor ourselves keeps the
    // line up between clients; we never read from it.
    heldPeer = open(name, O_RDWR | O_NOCTTY);
    if (heldPeer < 0) {
        *error = systemError("cannot open the pseudo-terminal's client side");
        return false;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    silence = settings.silenceMs();
    return true;
}

bool SimulatorLine::openPort(const std::string &path, const LineSettings &settings, std::string *error)
{
    speed_t speed = B9600;
    if (!speedOf(settings.baud, &speed)) {
        *error = "unsupported baud rate " + std::to_string(settings.baud);
        return false;
    }
    fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        *error = systemError(("cannot open " + path).c_str());
        return false;
    }
    termios mode{};
    if (tcgetattr(fd, &mode) != 0) {
        *error = path + " is not a terminal";
        return false;
    }
    cfmakeraw(&mode);
    // A pseudo-terminal has no line; Linux silently refuses parity on it, so only
    // raw mode is set there.
    if (!isPseudoTerminal(fd)) {
        mode.c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
        mode.c_cflag |= CS8 | CLOCAL | CREAD;
        if (settings.parity != 'N')
            mode.c_cflag |= PARENB | (settings.parity == 'O' ? PARODD : 0);
        if (settings.stopBits == 2)
            mode.c_cflag |= CSTOPB;
        mode.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY | INPCK);
        cfsetispeed(&mode, speed);
        cfsetospeed(&mode, speed);
    }
    mode.c_cc[VMIN] = 0;
    mode.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &mode) != 0) {
        *error = systemError(("cannot set the line of " + path).c_str());
        return false;
    }
    tcflush(fd, TCIOFLUSH);
    silence = settings.silenceMs();
    return true;
}

int SimulatorLine::serve(DeviceBus &bus, const ServeSettings &settings, const volatile std::sig_atomic_t *stop)
{
    SimulatorSession session(bus, settings, silence);
    LiveAppend live(settings, Clock::now());

    while (!*stop) {
        // Wake at the earliest of: the end of a request, a reply's turn, the next
        // appended record; and at least every 100 ms to look at the stop flag.
        const Clock::time_point now = Clock::now();
        const Clock::time_point wake = live.nextWake(session.nextWake(now + std::chrono::milliseconds(100)));

        pollfd in{fd, POLLIN, 0};
        const int ready = pollUntil(&in, 1, wake);
        if (ready < 0 && errno != EINTR)
            return std::fprintf(stderr, "khronar-devsim: %s\n", systemError("poll").c_str()), 1;
        if (ready > 0) {
            char buffer[512];
            const ssize_t got = read(fd, buffer, sizeof buffer);
            if (got > 0) {
                session.received(buffer, int(got), Clock::now());
            } else if (got < 0 && errno != EAGAIN && errno != EINTR && errno != EIO) {
                std::fprintf(stderr, "khronar-devsim: %s\n", systemError("read").c_str());
                return 1;
            } else if (got == 0 || errno == EIO) {
                // Readable without data: the other side is closed (a given
                // pseudo-terminal without its master). Wait instead of spinning.
                poll(nullptr, 0, 50);
            }
        }

        session.advance(Clock::now());
        PendingReply reply;
        while (session.takeReply(Clock::now(), &reply))
            // Nobody reads the other side and its buffer is full: the reply is lost.
            session.replyWritten(reply, writeWithin(fd, reply.bytes.constData(), reply.bytes.size(), 1000),
                                 "not sent: nobody reads the line");
        live.runIfDue(bus, Clock::now());
    }
    return 0;
}

int SimulatorLine::serve(DeviceSimulator &simulator, const ServeSettings &settings,
                         const volatile std::sig_atomic_t *stop)
{
    DeviceBus bus;
    bus.attachDevice(simulator);
    return serve(bus, settings, stop);
}
