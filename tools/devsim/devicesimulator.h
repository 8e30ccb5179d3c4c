// The device side of function 0x42: answers one request frame with one reply frame,
// with the faults a test asks for.
#pragma once

#include "tools/devsim/devicelog.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>
#include <random>

struct SimulatorOptions {
    std::uint8_t address = 1;       // the only address answered, 1..255
    std::uint8_t exceptionCode = 0; // answer every request with this exception; 0 for none
    bool silent = false;            // never answer
    int dropPercent = 0;            // replies lost on the line, 0..100
    int corruptPercent = 0;         // replies with one bit flipped, 0..100
    bool corruptPduOnly = false;    // flip only function code and data, never address or CRC
    int busyRequests = 0;           // the first requests answered with exception 6
    int capacity = 0;               // records held at most; 0 for no limit
    std::uint32_t seed = 1;         // of the fault dice, so that a run can be repeated
};

class DeviceSimulator
{
public:
    // The record appended live for the n-th time (n from 0); its time is set by the
    // caller. An empty function appends nothing.
    using RecordSource = std::function<DeviceLog::Record(std::uint32_t n)>;

    DeviceSimulator(const DeviceLog &log, const SimulatorOptions &options, RecordSource source = RecordSource());

    // One request as received from the line, CRC included. Returns the reply frame
    // with its CRC, or an empty array when the device stays silent: a corrupt frame,
    // another device's address (0, the broadcast address, is never answered), or a
    // fault. `note`, when given, receives a short word on what happened to the reply
    // ("dropped", "corrupted", "ignored") or stays empty.
    QByteArray handleRequest(const QByteArray &request, QString *note = nullptr);

    // Appends the next live record with `deviceTime`, dropping the oldest records
    // beyond the capacity. False when there is no source or the log is full.
    bool appendRecord(std::uint32_t deviceTime);

    const DeviceLog &log() const { return deviceLog; }
    std::uint8_t address() const { return options.address; }

private:
    QByteArray answer(const QByteArray &request);
    // The function code with bit 7 set, then `code`, as Modbus answers any function.
    QByteArray exceptionReply(std::uint8_t function, std::uint8_t code) const;
    QByteArray reply(const QByteArray &payload) const;
    bool roll(int percent);
    void enforceCapacity();

    DeviceLog deviceLog;
    SimulatorOptions options;
    RecordSource source;
    std::uint32_t appended = 0;
    int requests = 0; // addressed to us, intact
    std::mt19937 dice;
};
