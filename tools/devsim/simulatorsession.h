// One conversation between the simulated bus and a client, on a line or a TCP
// connection: requests framed from the bytes that arrive, replies that wait their turn,
// and the records the log gains live. Platform-neutral: the owner reads, writes and
// tells the time.
#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>

class DeviceBus;

using SimulatorClock = std::chrono::steady_clock;

// The times of a real line: one character on the wire, and the silence that ends a
// frame. Zero when the line is not timed.
struct LineTiming {
    SimulatorClock::duration character{0};
    SimulatorClock::duration silence{0};

    bool timed() const { return character.count() != 0; }
    // How long `bytes` characters take on the wire.
    SimulatorClock::duration wire(int bytes) const { return character * bytes; }
};

struct LineSettings {
    std::uint32_t baud = 9600;
    char parity = 'N'; // 'N', 'O' or 'E'
    int stopBits = 1;  // 1 or 2

    // Milliseconds of silence that end a request: 3.5 character times, at least 2.
    int silenceMs() const;
    // The line's own times, to the nanosecond: a character of 1 start, 8 data, the
    // parity and the stop bits; 3.5 of them end a frame, at least 1.75 ms above
    // 19200 baud.
    LineTiming timing() const;
};

struct ServeSettings {
    int delayMs = 0; // added to the turnaround before each reply
    // --line-timing: each request takes its time on the wire, is ended by the line's
    // silence, and its reply is held for its own time on the wire, as on a real line.
    LineTiming lineTiming;
    int appendEverySeconds = 0; // 0: the log does not grow
    bool verbose = false;       // requests and replies in hex on standard error
    // The device clock for appended records, in seconds since 2000.
    std::function<std::uint32_t()> deviceClock;

    // Connections only.
    bool mbap = false;       // Modbus TCP: MBAP header instead of CRC, framed by its length
    int disconnectAfter = 0; // close each connection after this many replies; 0 never
    bool staleReply = false; // (MBAP) the previous request's reply again before each reply
};

// The bytes of one reply as they go out: an RTU frame with CRC, or an MBAP ADU.
struct PendingReply {
    SimulatorClock::time_point due;
    QByteArray bytes;
    QString note;       // for the trace: "corrupted", "stale"
    bool stale = false; // an extra that --disconnect-after does not count
};

class SimulatorSession
{
public:
    // `silenceMs` ends a request in RTU framing and is the turnaround before a reply.
    SimulatorSession(DeviceBus &bus, const ServeSettings &settings, int silenceMs);

    // Bytes from the client, arrived at `now`.
    void received(const char *data, int length, SimulatorClock::time_point now);
    // Answers every request complete by `now` (in RTU framing: followed by the
    // silence) and queues the replies.
    void advance(SimulatorClock::time_point now);
    // When advance() or takeReply() next has work; `fallback` when sooner.
    SimulatorClock::time_point nextWake(SimulatorClock::time_point fallback) const;
    // Takes the next reply due by `now`. The owner writes it and reports with
    // replyWritten().
    bool takeReply(SimulatorClock::time_point now, PendingReply *reply);
    // `whyNot` explains in the trace a reply that could not be written.
    void replyWritten(const PendingReply &reply, bool written, const char *whyNot);
    // The connection is to end: --disconnect-after has struck, or the client broke
    // the MBAP framing, after which no request boundary can be trusted.
    bool wantsClose() const { return closeWanted; }

private:
    void answerRtu(const QByteArray &request, SimulatorClock::time_point now);
    void answerMbap(const QByteArray &adu, SimulatorClock::time_point now);
    void takeMbapRequests(SimulatorClock::time_point now);

    DeviceBus &bus;
    const ServeSettings &settings;
    const int silenceMs;

    // The silence that ends a request, and what the reply waits before it starts.
    SimulatorClock::duration silence() const;

    QByteArray incoming;
    bool overlong = false; // RTU: more than a frame without a pause, dropped whole
    // When the last byte came; on a timed line, when it would have come off the wire.
    SimulatorClock::time_point lastByte;

    std::deque<PendingReply> replies;
    int repliesWritten = 0;
    bool closeWanted = false;

    // MBAP: what --stale-reply repeats. The body is unit id and PDU, empty when the
    // previous request went unanswered.
    bool hasPrevious = false;
    std::uint16_t previousTransaction = 0;
    QByteArray previousBody;
};

// Appends a record to every device's log every --append-every seconds.
class LiveAppend
{
public:
    LiveAppend(const ServeSettings &settings, SimulatorClock::time_point start);

    SimulatorClock::time_point nextWake(SimulatorClock::time_point fallback) const;
    void runIfDue(DeviceBus &bus, SimulatorClock::time_point now);

private:
    const ServeSettings &settings;
    SimulatorClock::duration period;
    SimulatorClock::time_point next;
};

// The request or reply in hex after `direction` ("<-", "->"), with a note in
// parentheses, on standard error.
void traceFrame(const char *direction, const QByteArray &frame, const QString &note);

// The 7-byte MBAP header and the body (unit id and PDU) of a Modbus TCP ADU.
QByteArray mbapAdu(std::uint16_t transaction, const QByteArray &body);
