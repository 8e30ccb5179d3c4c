// The device side of function 0x42 and the fault options.

#include "tools/devsim/devicesimulator.h"

#include "protocol/logtransfer.h"
#include "protocol/modbuscrc.h"
#include "protocol/modbusmaster.h"

namespace {

QByteArray le16(std::uint32_t value)
{
    QByteArray out;
    out.append(char(value & 0xFF));
    out.append(char((value >> 8) & 0xFF));
    return out;
}

QByteArray le32(std::uint32_t value)
{
    return le16(value) + le16(value >> 16);
}

std::uint32_t readLe(const QByteArray &frame, int offset, int width)
{
    std::uint32_t value = 0;
    for (int i = width - 1; i >= 0; --i)
        value = (value << 8) | std::uint8_t(frame.at(offset + i));
    return value;
}

const std::uint8_t *bytes(const QByteArray &frame)
{
    return reinterpret_cast<const std::uint8_t *>(frame.constData());
}

} // namespace

DeviceSimulator::DeviceSimulator(const DeviceLog &log, const SimulatorOptions &options, RecordSource source)
    : deviceLog(log),
      options(options),
      source(std::move(source)),
      dice(options.seed)
{
    enforceCapacity();
}

QByteArray DeviceSimulator::handleRequest(const QByteArray &request, QString *note)
{
    if (note)
        note->clear();
    // Noise, a torn frame or another device's request: a device keeps quiet.
    if (request.size() < 4 || request.size() > MaxFrameLength
        || modbusCrc(bytes(request), std::size_t(request.size())) != 0
        || std::uint8_t(request.at(0)) != options.address) {
        if (note)
            *note = QStringLiteral("ignored");
        return QByteArray();
    }
    ++requests;
    if (options.silent) {
        if (note)
            *note = QStringLiteral("silent");
        return QByteArray();
    }

    const std::uint8_t function = std::uint8_t(request.at(1)) & 0x7F;
    QByteArray out;
    if (requests <= options.busyRequests)
        out = exceptionReply(function, ExceptionServerBusy);
    else if (options.exceptionCode != 0)
        out = exceptionReply(function, options.exceptionCode);
    else
        out = answer(request.left(request.size() - 2));

    // The request has had its effect (a clear is done); only the reply suffers.
    if (roll(options.dropPercent)) {
        if (note)
            *note = QStringLiteral("dropped");
        return QByteArray();
    }
    if (roll(options.corruptPercent)) {
        // Modbus TCP carries no CRC: a flip that must reach the client as a wrong
        // answer, not as a wrong unit, stays inside the PDU.
        const int firstBit = options.corruptPduOnly ? 8 : 0;
        const int endBit = (options.corruptPduOnly ? out.size() - 2 : out.size()) * 8;
        std::uniform_int_distribution<int> bit(firstBit, endBit - 1);
        const int flipped = bit(dice);
        out[flipped / 8] = char(out.at(flipped / 8) ^ (1 << (flipped % 8)));
        if (note)
            *note = QStringLiteral("corrupted");
    }
    return out;
}

QByteArray DeviceSimulator::answer(const QByteArray &request)
{
    const std::uint8_t function = std::uint8_t(request.at(1)) & 0x7F;
    if (function != LogFunctionCode || request.size() < 3)
        return exceptionReply(function, ExceptionIllegalFunction);

    const std::uint8_t subFunction = std::uint8_t(request.at(2));
    QByteArray head;
    head.append(char(LogFunctionCode));
    head.append(char(subFunction));
    switch (subFunction) {
    case LogTransfer::InfoFunction:
        if (request.size() != 3)
            return exceptionReply(LogFunctionCode, ExceptionIllegalDataValue);
        return reply(head + le16(std::uint32_t(deviceLog.captions().size())) + le32(deviceLog.idHash())
                     + le32(deviceLog.captionHash()));
    case LogTransfer::CaptionFunction: {
        if (request.size() != 5)
            return exceptionReply(LogFunctionCode, ExceptionIllegalDataValue);
        const std::uint32_t position = readLe(request, 3, 2);
        if (position >= std::uint32_t(deviceLog.captions().size()))
            return exceptionReply(LogFunctionCode, ExceptionIllegalDataAddress);
        const DeviceLog::Caption &caption = deviceLog.captions().at(int(position));
        return reply(head + le16(position) + le32(caption.eventId) + caption.text + '\0');
    }
    case LogTransfer::RangeFunction:
        if (request.size() != 3)
            return exceptionReply(LogFunctionCode, ExceptionIllegalDataValue);
        return reply(head + le32(deviceLog.firstIndex()) + le32(deviceLog.span()));
    case LogTransfer::RecordFunction: {
        if (request.size() != 7)
            return exceptionReply(LogFunctionCode, ExceptionIllegalDataValue);
        const std::uint32_t index = readLe(request, 3, 4);
        if (!deviceLog.contains(index))
            return reply(head + le32(index) + char(LogTransfer::IndexNotInLog));
        const DeviceLog::Record *record = deviceLog.recordAt(index);
        if (!record) // an empty position, or one inside a longer record
            return reply(head + le32(index) + char(0x00));
        return reply(head + le32(index) + char(record->type) + le32(record->time) + char(record->count)
                     + le32(record->eventId) + record->data);
    }
    case LogTransfer::ClearFunction:
        if (request.size() != 7 || readLe(request, 3, 4) != LogTransfer::ClearConfirmation)
            return exceptionReply(LogFunctionCode, ExceptionIllegalDataValue);
        deviceLog.clear();
        return reply(head);
    }
    return exceptionReply(LogFunctionCode, ExceptionIllegalFunction);
}

QByteArray DeviceSimulator::exceptionReply(std::uint8_t function, std::uint8_t code) const
{
    QByteArray payload;
    payload.append(char(function | 0x80));
    payload.append(char(code));
    return reply(payload);
}

QByteArray DeviceSimulator::reply(const QByteArray &payload) const
{
    QByteArray frame = char(options.address) + payload;
    const std::uint16_t crc = modbusCrc(bytes(frame), std::size_t(frame.size()));
    frame.append(char(crc & 0xFF));
    frame.append(char(crc >> 8));
    return frame;
}

bool DeviceSimulator::roll(int percent)
{
    if (percent <= 0)
        return false;
    if (percent >= 100)
        return true;
    std::uniform_int_distribution<int> die(0, 99);
    return die(dice) < percent;
}

bool DeviceSimulator::appendRecord(std::uint32_t deviceTime)
{
    if (!source)
        return false;
    DeviceLog::Record record = source(appended);
    record.time = deviceTime;
    if (!deviceLog.appendRecord(record))
        return false;
    ++appended;
    enforceCapacity();
    return true;
}

void DeviceSimulator::enforceCapacity()
{
    if (options.capacity <= 0)
        return;
    while (deviceLog.recordCount() > options.capacity)
        deviceLog.dropOldest();
}
