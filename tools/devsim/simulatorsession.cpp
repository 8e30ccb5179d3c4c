// A conversation with a client: RTU requests framed by silence or Modbus TCP requests
// framed by their MBAP header, answered by the bus, with the connection's faults.
//
//   bytes ──received()──► framing ──advance()──► DeviceBus ──► queue ──takeReply()──► owner writes
//                                                  (RTU frames)      (due after turnaround/delay)

#include "tools/devsim/simulatorsession.h"

#include "tools/devsim/devicebus.h"

#include "protocol/modbuscrc.h"
#include "protocol/modbusmaster.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

namespace {

constexpr int MbapHeaderLength = 7; // transaction, protocol, length (2 bytes each), unit
// Unit id and the longest Modbus PDU. One byte more than an RTU frame carries: the
// device ignores such a request, as it ignores an overlong frame on the line.
constexpr int MaxMbapBodyLength = 254;

std::uint16_t be16(const QByteArray &bytes, int offset)
{
    return std::uint16_t((std::uint8_t(bytes.at(offset)) << 8) | std::uint8_t(bytes.at(offset + 1)));
}

QByteArray withCrc(const QByteArray &frame)
{
    const std::uint16_t crc = modbusCrc(reinterpret_cast<const std::uint8_t *>(frame.constData()),
                                        std::size_t(frame.size()));
    return frame + char(crc & 0xFF) + char(crc >> 8);
}

} // namespace

int LineSettings::silenceMs() const
{
    const int bits = 1 + 8 + (parity == 'N' ? 0 : 1) + stopBits;
    const int threeAndAHalf = int(std::ceil(3.5 * bits * 1000.0 / double(baud)));
    return threeAndAHalf > 2 ? threeAndAHalf : 2;
}

LineTiming LineSettings::timing() const
{
    using namespace std::chrono;
    const int bits = 1 + 8 + (parity == 'N' ? 0 : 1) + stopBits;
    LineTiming timing;
    timing.character = duration_cast<SimulatorClock::duration>(nanoseconds(std::int64_t(bits) * 1000000000 / baud));
    timing.silence = duration_cast<SimulatorClock::duration>(nanoseconds(std::int64_t(bits) * 3500000000LL / baud));
    if (baud > 19200)
        timing.silence = std::max<SimulatorClock::duration>(timing.silence, microseconds(1750));
    return timing;
}

QByteArray mbapAdu(std::uint16_t transaction, const QByteArray &body)
{
    QByteArray adu;
    adu.append(char(transaction >> 8));
    adu.append(char(transaction & 0xFF));
    adu.append(2, '\0'); // protocol 0: Modbus
    adu.append(char(body.size() >> 8));
    adu.append(char(body.size() & 0xFF));
    return adu + body;
}

void traceFrame(const char *direction, const QByteArray &frame, const QString &note)
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

SimulatorSession::SimulatorSession(DeviceBus &bus, const ServeSettings &settings, int silenceMs)
    : bus(bus),
      settings(settings),
      silenceMs(silenceMs)
{}

SimulatorClock::duration SimulatorSession::silence() const
{
    if (settings.lineTiming.timed())
        return settings.lineTiming.silence;
    return std::chrono::milliseconds(silenceMs);
}

void SimulatorSession::received(const char *data, int length, SimulatorClock::time_point now)
{
    if (length <= 0 || closeWanted)
        return;
    // A timed line delivers the bytes one character time apart, after those still on
    // the wire; the pseudo-terminal or the connection delivered them at once.
    if (settings.lineTiming.timed())
        lastByte = std::max(now, lastByte) + settings.lineTiming.wire(length);
    else
        lastByte = now;
    if (settings.mbap) {
        incoming.append(data, length);
        return;
    }
    // A request is at most 255 bytes; a longer burst is noise, dropped whole.
    if (overlong || incoming.size() + length > MaxFrameLength) {
        overlong = true;
        incoming.clear();
    } else {
        incoming.append(data, length);
    }
}

void SimulatorSession::advance(SimulatorClock::time_point now)
{
    if (closeWanted)
        return;
    if (settings.mbap) {
        takeMbapRequests(now);
        return;
    }
    if ((incoming.isEmpty() && !overlong) || now - lastByte < silence())
        return;
    if (overlong) {
        if (settings.verbose)
            std::fprintf(stderr, "<- more than 255 bytes without a pause (ignored)\n");
    } else {
        answerRtu(incoming, now);
    }
    incoming.clear();
    overlong = false;
}

void SimulatorSession::answerRtu(const QByteArray &request, SimulatorClock::time_point now)
{
    QString note;
    const QByteArray reply = bus.handleRequest(request, &note);
    if (settings.verbose)
        traceFrame("<-", request, reply.isEmpty() ? note : QString());
    if (reply.isEmpty())
        return;
    // A device waits 3.5 character times before it answers. On a timed line the wait
    // runs from the request's end on the wire, however late this look came, and the
    // reply is complete at the far end only once its last byte is off the wire.
    const auto delay = std::chrono::milliseconds(settings.delayMs);
    if (settings.lineTiming.timed())
        replies.push_back({lastByte + silence() + delay + settings.lineTiming.wire(reply.size()), reply, note});
    else
        replies.push_back({now + silence() + delay, reply, note});
}

void SimulatorSession::takeMbapRequests(SimulatorClock::time_point now)
{
    while (incoming.size() >= MbapHeaderLength) {
        const std::uint16_t protocol = be16(incoming, 2);
        const int length = be16(incoming, 4);
        if (protocol != 0 || length < 2 || length > MaxMbapBodyLength) {
            std::fprintf(stderr,
                         "khronar-devsim: a client sent a malformed MBAP header (protocol %u, length %d); "
                         "closing its connection\n",
                         unsigned(protocol), length);
            incoming.clear();
            replies.clear();
            closeWanted = true;
            return;
        }
        if (incoming.size() < 6 + length)
            return;
        const QByteArray adu = incoming.left(6 + length);
        incoming.remove(0, 6 + length);
        answerMbap(adu, now);
    }
}

void SimulatorSession::answerMbap(const QByteArray &adu, SimulatorClock::time_point now)
{
    const std::uint16_t transaction = be16(adu, 0);
    // The unit id takes the place of the address; the devices speak RTU.
    QString note;
    const QByteArray reply = bus.handleRequest(withCrc(adu.mid(6)), &note);
    if (settings.verbose)
        traceFrame("<-", adu, reply.isEmpty() ? note : QString());
    const QByteArray body = reply.isEmpty() ? QByteArray() : reply.left(reply.size() - 2);
    if (!body.isEmpty()) {
        auto due = now + std::chrono::milliseconds(settings.delayMs);
        // A timed line: the RTU frames the gateway would pass on, both ways.
        const LineTiming &line = settings.lineTiming;
        if (line.timed())
            due += line.wire(adu.size() - MbapHeaderLength + 3) + line.silence + line.wire(reply.size());
        // A late answer to the previous request, as a slow gateway lets one through.
        if (settings.staleReply && hasPrevious)
            replies.push_back({due, mbapAdu(previousTransaction, previousBody.isEmpty() ? body : previousBody),
                               QStringLiteral("stale"), true});
        replies.push_back({due, mbapAdu(transaction, body), note});
    }
    hasPrevious = true;
    previousTransaction = transaction;
    previousBody = body;
}

SimulatorClock::time_point SimulatorSession::nextWake(SimulatorClock::time_point fallback) const
{
    SimulatorClock::time_point wake = fallback;
    if (!settings.mbap && (!incoming.isEmpty() || overlong)) {
        const auto requestEnd = lastByte + silence();
        if (requestEnd < wake)
            wake = requestEnd;
    }
    if (!replies.empty() && replies.front().due < wake)
        wake = replies.front().due;
    return wake;
}

bool SimulatorSession::takeReply(SimulatorClock::time_point now, PendingReply *reply)
{
    if (closeWanted || replies.empty() || replies.front().due > now)
        return false;
    *reply = replies.front();
    replies.pop_front();
    return true;
}

void SimulatorSession::replyWritten(const PendingReply &reply, bool written, const char *whyNot)
{
    if (settings.verbose)
        traceFrame("->", reply.bytes, written ? reply.note : QString::fromUtf8(whyNot));
    if (!written || reply.stale)
        return;
    ++repliesWritten;
    if (settings.disconnectAfter > 0 && repliesWritten >= settings.disconnectAfter) {
        if (settings.verbose)
            std::fprintf(stderr, "- closing the connection after %d replies\n", repliesWritten);
        replies.clear();
        closeWanted = true;
    }
}

LiveAppend::LiveAppend(const ServeSettings &settings, SimulatorClock::time_point start)
    : settings(settings),
      period(std::chrono::seconds(settings.appendEverySeconds)),
      next(start + period)
{}

SimulatorClock::time_point LiveAppend::nextWake(SimulatorClock::time_point fallback) const
{
    return settings.appendEverySeconds > 0 && next < fallback ? next : fallback;
}

void LiveAppend::runIfDue(DeviceBus &bus, SimulatorClock::time_point now)
{
    if (settings.appendEverySeconds <= 0 || now < next)
        return;
    next += period;
    const std::uint32_t time = settings.deviceClock ? settings.deviceClock() : 0;
    const QVector<std::uint8_t> grown = bus.appendRecords(time);
    if (!settings.verbose)
        return;
    for (std::uint8_t address : grown) {
        const DeviceLog &log = bus.device(address)->log();
        if (bus.size() == 1)
            std::fprintf(stderr, "+ record appended, log %u..%u\n", unsigned(log.firstIndex()),
                         unsigned(log.endIndex()));
        else
            std::fprintf(stderr, "+ record appended to device %d, log %u..%u\n", int(address),
                         unsigned(log.firstIndex()), unsigned(log.endIndex()));
    }
}
