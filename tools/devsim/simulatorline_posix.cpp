// The simulator's line on POSIX terminals: pseudo-terminal or serial device, polled.
//
//   client ──request──► line ──silence──► DeviceSimulator ──reply──► queue ──turnaround──► line
//
// Replies wait in a queue until their turnaround is over, so a slow reply (--delay)
// never stops the line from being read, and requests are answered in order.

#include "tools/devsim/simulatorline.h"

#include "tools/devsim/devicesimulator.h"

#include <QByteArray>
#include <QString>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

bool speedOf(std::uint32_t baud, speed_t *speed)
{
    static const struct {
        std::uint32_t baud;
        speed_t speed;
    } speeds[] = {{1200, B1200}, {2400, B2400}, {4800, B4800}, {9600, B9600}, {19200, B19200},
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

std::string systemError(const char *what)
{
    return std::string(what) + ": " + std::strerror(errno);
}

void printFrame(const char *direction, const QByteArray &frame, const QString &note)
{
    std::string line = direction;
    for (char byte : frame) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02X", unsigned(std::uint8_t(byte)));
        line += hex;
    }
    if (!note.isEmpty())
        line += " (" + note.toStdString() + ")";
    std::fprintf(stderr, "%s\n", line.c_str());
}

struct PendingReply {
    Clock::time_point due;
    QByteArray frame;
    QString note; // "corrupted", for the verbose trace
};

} // namespace

SimulatorLine::~SimulatorLine()
{
    if (heldPeer >= 0)
        close(heldPeer);
    if (fd >= 0)
        close(fd);
}

void SimulatorLine::setSilence(const LineSettings &settings)
{
    const int bits = 1 + 8 + (settings.parity == 'N' ? 0 : 1) + settings.stopBits;
    const int threeAndAHalf = int(std::ceil(3.5 * bits * 1000.0 / double(settings.baud)));
    silence = threeAndAHalf > 2 ? threeAndAHalf : 2;
}

bool SimulatorLine::openPseudoTerminal(const LineSettings &settings, std::string *path,
                                       std::string *error)
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
    termios mode {};
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
    setSilence(settings);
    return true;
}

bool SimulatorLine::openPort(const std::string &path, const LineSettings &settings,
                             std::string *error)
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
    termios mode {};
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
    setSilence(settings);
    return true;
}

bool SimulatorLine::writeAll(const char *data, int length)
{
    const Clock::time_point start = Clock::now();
    while (length > 0) {
        const ssize_t written = write(fd, data, std::size_t(length));
        if (written > 0) {
            data += written;
            length -= int(written);
            continue;
        }
        if (written < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        // Nobody reads the other side and its buffer is full: give the reply up
        // rather than stop serving.
        if (msSince(start) > 1000)
            return false;
        pollfd out {fd, POLLOUT, 0};
        poll(&out, 1, 50);
    }
    return true;
}

int SimulatorLine::serve(DeviceSimulator &simulator, const ServeSettings &settings,
                         const volatile std::sig_atomic_t *stop)
{
    QByteArray request;
    bool overlong = false;
    Clock::time_point lastByte;
    std::deque<PendingReply> replies;
    const auto appendPeriod = std::chrono::seconds(settings.appendEverySeconds);
    Clock::time_point nextAppend = Clock::now() + appendPeriod;

    while (!*stop) {
        const Clock::time_point now = Clock::now();
        // Wake at the earliest of: the end of a request, a reply's turn, the next
        // appended record; and at least every 100 ms to look at the stop flag.
        Clock::time_point wake = now + std::chrono::milliseconds(100);
        if (!request.isEmpty() && lastByte + std::chrono::milliseconds(silence) < wake)
            wake = lastByte + std::chrono::milliseconds(silence);
        if (!replies.empty() && replies.front().due < wake)
            wake = replies.front().due;
        if (settings.appendEverySeconds > 0 && nextAppend < wake)
            wake = nextAppend;
        const long long waitMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                     wake - now + std::chrono::microseconds(999)).count();

        pollfd in {fd, POLLIN, 0};
        const int ready = poll(&in, 1, int(waitMs > 0 ? waitMs : 0));
        if (ready < 0 && errno != EINTR)
            return std::fprintf(stderr, "khronar-devsim: %s\n", systemError("poll").c_str()), 1;
        if (ready > 0) {
            char buffer[512];
            const ssize_t got = read(fd, buffer, sizeof buffer);
            if (got > 0) {
                lastByte = Clock::now();
                // A request is at most 255 bytes; a longer burst is noise, dropped whole.
                if (request.size() + got > 255)
                    overlong = true;
                else
                    request.append(buffer, int(got));
            } else if (got < 0 && errno != EAGAIN && errno != EINTR && errno != EIO) {
                std::fprintf(stderr, "khronar-devsim: %s\n", systemError("read").c_str());
                return 1;
            } else if (got == 0 || errno == EIO) {
                // Readable without data: the other side is closed (a given
                // pseudo-terminal without its master). Wait instead of spinning.
                poll(nullptr, 0, 50);
            }
        }

        const Clock::time_point after = Clock::now();
        if ((!request.isEmpty() || overlong) && after - lastByte >= std::chrono::milliseconds(silence)) {
            if (overlong) {
                if (settings.verbose)
                    std::fprintf(stderr, "<- more than 255 bytes without a pause (ignored)\n");
            } else {
                QString note;
                const QByteArray reply = simulator.handleRequest(request, &note);
                if (settings.verbose)
                    printFrame("<-", request, reply.isEmpty() ? note : QString());
                // A device waits 3.5 character times before it answers.
                if (!reply.isEmpty())
                    replies.push_back({after + std::chrono::milliseconds(silence + settings.delayMs),
                                       reply, note});
            }
            request.clear();
            overlong = false;
        }

        while (!replies.empty() && replies.front().due <= Clock::now()) {
            const PendingReply &reply = replies.front();
            const bool sent = writeAll(reply.frame.constData(), reply.frame.size());
            if (settings.verbose)
                printFrame("->", reply.frame, sent ? reply.note : QStringLiteral("not sent: nobody reads the line"));
            replies.pop_front();
        }

        if (settings.appendEverySeconds > 0 && Clock::now() >= nextAppend) {
            nextAppend += appendPeriod;
            const std::uint32_t time = settings.deviceClock ? settings.deviceClock() : 0;
            if (simulator.appendRecord(time) && settings.verbose) {
                const DeviceLog &log = simulator.log();
                std::fprintf(stderr, "+ record appended, log %u..%u\n", unsigned(log.firstIndex()),
                             unsigned(log.endIndex()));
            }
        }
    }
    return 0;
}
