// The event-log transfer client, driven through the master by a scripted device: whole
// logs, range arithmetic, retries and deadlines, mismatched replies, and random frames.

#include "protocol/logtransfer.h"
#include "protocol/modbuscrc.h"
#include "protocol/modbusmaster.h"
#include "protocol/tickcount.h"

#include <QMap>
#include <QTest>
#include <QVector>

#include <cstring>
#include <memory>
#include <random>
#include <vector>

// Places the transfer mid-download, as a device's replies would have brought it there.
struct LogTransferProbe {
    static LogTransfer::State &state(LogTransfer &transfer) { return transfer.currentState; }
    static std::uint32_t &index(LogTransfer &transfer) { return transfer.nextIndex; }
    static std::uint32_t &remaining(LogTransfer &transfer) { return transfer.positionsLeft; }
};

namespace {

std::uint32_t now = 0;

std::uint32_t fakeTick()
{
    return now;
}

const std::uint8_t *bytes(const QByteArray &frame)
{
    return reinterpret_cast<const std::uint8_t *>(frame.constData());
}

QByteArray withCrc(const QByteArray &frame)
{
    const std::uint16_t crc = modbusCrc(bytes(frame), static_cast<std::size_t>(frame.size()));
    return frame + char(crc & 0xFF) + char(crc >> 8);
}

QByteArray le16(std::uint32_t value)
{
    return QByteArray() + char(value & 0xFF) + char((value >> 8) & 0xFF);
}

QByteArray le32(std::uint32_t value)
{
    return le16(value) + le16(value >> 16);
}

std::uint32_t readLe32(const QByteArray &frame, int offset)
{
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | std::uint8_t(frame.at(offset + i));
    return value;
}

// What the device stores for the record at `index`, so that every delivery can be checked.
std::uint8_t recordType(std::uint32_t index)
{
    return std::uint8_t(index % 4);
}
std::uint32_t recordTime(std::uint32_t index)
{
    return index * 10u + 7u;
}
std::uint32_t recordEvent(std::uint32_t index)
{
    return 2000u + index;
}
QByteArray recordData(std::uint32_t index)
{
    return QByteArray(int(index % 5), char(index & 0xFF));
}

// A device on the far end of the line, answering the requests as its firmware would.
struct Device {
    std::uint8_t address = 1;
    QVector<QByteArray> captions; // the caption at position p belongs to event 1000 + p
    std::uint32_t first = 0;
    std::uint32_t span = 0;
    QMap<std::uint32_t, std::uint8_t> records; // index -> positions the record occupies
    bool silent = false;
    int clears = 0;

    QByteArray reply(const QByteArray &payload) const { return withCrc(char(address) + payload); }

    // `request` as sent, with CRC; an empty answer is silence.
    QByteArray answer(const QByteArray &request)
    {
        if (silent || request.size() < 5 || modbusCrc(bytes(request), std::size_t(request.size())) != 0)
            return QByteArray();
        switch (std::uint8_t(request.at(2))) {
        case 0x00:
            return reply(QByteArray::fromHex("4200") + le16(std::uint32_t(captions.size())) + le32(0x11223344)
                         + le32(0x55667788));
        case 0x01: {
            const int position = std::uint8_t(request.at(3)) | (std::uint8_t(request.at(4)) << 8);
            if (position >= captions.size())
                return reply(QByteArray::fromHex("c202"));
            return reply(QByteArray::fromHex("4201") + le16(std::uint32_t(position))
                         + le32(1000u + std::uint32_t(position)) + captions.at(position) + '\0');
        }
        case 0x02:
            return reply(QByteArray::fromHex("4202") + le32(first) + le32(span));
        case 0x03: {
            const std::uint32_t index = readLe32(request, 3);
            if (index - first >= span)
                return reply(QByteArray::fromHex("4203") + le32(index) + char(0x84));
            if (!records.contains(index)) // inside a record or a hole: nothing here
                return reply(QByteArray::fromHex("4203") + le32(index) + char(0x00));
            return reply(QByteArray::fromHex("4203") + le32(index) + char(recordType(index)) + le32(recordTime(index))
                         + char(records.value(index)) + le32(recordEvent(index)) + recordData(index));
        }
        case 0x80:
            if (readLe32(request, 3) != 0x5AC3003C)
                return reply(QByteArray::fromHex("c203"));
            ++clears;
            return reply(QByteArray::fromHex("4280"));
        }
        return reply(QByteArray::fromHex("c201"));
    }
};

struct Delivered {
    std::uint32_t index;
    std::uint8_t count;
};

// The host side as the window builds it: master, transfer and the storing callbacks.
struct TransferRun {
    LogTransfer transfer;
    ModbusFunctionHandler table[1];
    ModbusMaster master;
    Device device;

    bool wantCaptions = true;
    bool haveResume = true;
    std::uint32_t resumeAt = 0;
    QByteArray stopIn; // the callback that stops the download from inside
    bool stopped = false;
    bool recordsIntact = true;

    QVector<QByteArray> captions;
    QVector<Delivered> records;
    QVector<QByteArray> sent;
    ReplyResult lastResult = ReplyAccepted;

    TransferRun()
    {
        table[0] = transfer.functionHandler();
        master.handlerTable = table;
        master.entryCount = 1;
    }

    void stopDownload()
    {
        transfer.stop();
        stopped = true;
    }

    // One poll tick: the next request, the device's answer, the reply; then time passes.
    RequestResult tick()
    {
        std::uint8_t frame[256] = {};
        std::uint8_t length = 0;
        const RequestResult code = master.buildRequest(frame, &length);
        if (length != 0) {
            sent.append(QByteArray(reinterpret_cast<char *>(frame), length));
            const QByteArray reply = device.answer(sent.last());
            if (!reply.isEmpty())
                lastResult = master.processReply(bytes(reply), std::uint8_t(reply.size()));
        }
        now += 100;
        return code;
    }

    bool runToRest(int maxTicks = 100000)
    {
        for (int i = 0; i < maxTicks; ++i) {
            if (transfer.state() == LogTransfer::Idle && transfer.pendingKind() == LogTransfer::PendingNone)
                return true;
            if (tick() == RequestNoReply)
                return false;
        }
        return false;
    }
};

// The callbacks find their run through the transfer's context pointer.
TransferRun &runOf(void *context)
{
    return *static_cast<TransferRun *>(context);
}

bool onLogInfo(void *context, std::uint16_t, std::uint32_t, std::uint32_t)
{
    TransferRun &run = runOf(context);
    if (run.stopIn == "info")
        run.stopDownload();
    return run.wantCaptions;
}

void onCaption(void *context, std::uint16_t position, std::uint32_t eventId, const char *text)
{
    TransferRun &run = runOf(context);
    if (position != run.captions.size() || eventId != 1000u + position)
        run.recordsIntact = false;
    run.captions.append(QByteArray(text));
    if (run.stopIn == "caption")
        run.stopDownload();
}

std::uint32_t onRange(void *context, std::uint32_t, std::uint32_t)
{
    TransferRun &run = runOf(context);
    if (run.stopIn == "range")
        run.stopDownload();
    return run.resumeAt;
}

void onRecord(void *context, std::uint32_t index, std::uint8_t count, std::uint8_t type, std::uint32_t time,
              std::uint32_t eventId, const std::uint8_t *data, std::size_t dataLength)
{
    TransferRun &run = runOf(context);
    const QByteArray expected = recordData(index);
    if (type != recordType(index) || time != recordTime(index) || eventId != recordEvent(index)
        || QByteArray(reinterpret_cast<const char *>(data), int(dataLength)) != expected)
        run.recordsIntact = false;
    run.records.append({index, count});
    if (run.stopIn == "record")
        run.stopDownload();
}

void attachCallbacks(TransferRun &s)
{
    s.transfer.setCallbacks({onLogInfo, onCaption, s.haveResume ? onRange : nullptr, onRecord, &s});
}

// "100:1 101:3" as index and count pairs.
QVector<Delivered> parseRecords(const QString &text)
{
    QVector<Delivered> out;
    for (const QString &item : text.split(' ', Qt::SkipEmptyParts)) {
        const QStringList parts = item.split(':');
        out.append({std::uint32_t(parts.at(0).toLongLong()), std::uint8_t(parts.at(1).toUInt())});
    }
    return out;
}

QString formatRecords(const QVector<Delivered> &records)
{
    QStringList parts;
    for (const Delivered &record : records)
        parts << QStringLiteral("%1:%2").arg(record.index).arg(record.count);
    return parts.join(' ');
}

using State = LogTransfer::State;

} // namespace

Q_DECLARE_METATYPE(LogTransfer::State)

class tst_LogTransfer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void tickCounter();
    void requests_data();
    void requests();
    void wholeLog_data();
    void wholeLog();
    void rangeReply_data();
    void rangeReply();
    void shortRecordReply_data();
    void shortRecordReply();
    void retries_data();
    void retries();
    void exceptionReplies_data();
    void exceptionReplies();
    void mismatchedReplies_data();
    void mismatchedReplies();
    void callbackStops_data();
    void callbackStops();
    void clearLog();
    void clearWaitsOutTheRequestItCutShort_data();
    void clearWaitsOutTheRequestItCutShort();
    void clearAfterALongRest_data();
    void clearAfterALongRest();
    void randomReplies();

private:
    std::unique_ptr<TransferRun> current;
    TransferRun &makeRun();
};

TransferRun &tst_LogTransfer::makeRun()
{
    current.reset(new TransferRun);
    return *current;
}

void tst_LogTransfer::initTestCase()
{
    setTickCountSource(fakeTick);
}

void tst_LogTransfer::cleanupTestCase()
{
    setTickCountSource(nullptr);
}

void tst_LogTransfer::init()
{
    now = 1000;
}

void tst_LogTransfer::cleanup()
{
    current.reset();
}

void tst_LogTransfer::tickCounter()
{
    now = 0xFFFFFFF0u;
    QCOMPARE(tickCount(), 0xFFFFFFF0u);
    setTickCountSource(nullptr);
    const std::uint32_t before = systemTickCount();
    const std::uint32_t reading = tickCount();
    setTickCountSource(fakeTick);
    // The platform's counter runs forward (by signed difference, wrap or not).
    QVERIFY(std::int32_t(reading - before) >= 0);
    QVERIFY(std::int32_t(reading - before) < 10000);
}

void tst_LogTransfer::requests_data()
{
    QTest::addColumn<State>("state");
    QTest::addColumn<uint>("index");
    QTest::addColumn<QByteArray>("frame"); // without CRC
    QTest::addColumn<uint>("code");

    QTest::newRow("info") << LogTransfer::ReadInfo << 7u << QByteArray::fromHex("054200") << 2u;
    QTest::newRow("caption: low 16 bits of the index")
        << LogTransfer::ReadCaptions << 0x51234u << QByteArray::fromHex("05420134 12") << 2u;
    QTest::newRow("range") << LogTransfer::ReadRange << 7u << QByteArray::fromHex("054202") << 2u;
    QTest::newRow("record") << LogTransfer::ReadRecords << 0x01020304u << QByteArray::fromHex("05420304 030201") << 2u;
    QTest::newRow("clear") << LogTransfer::ClearLog << 7u << QByteArray::fromHex("0542803c 00c35a") << 2u;
    QTest::newRow("idle sends nothing") << LogTransfer::Idle << 7u << QByteArray() << 0u;
}

void tst_LogTransfer::requests()
{
    QFETCH(State, state);
    QFETCH(uint, index);
    QFETCH(QByteArray, frame);
    QFETCH(uint, code);

    TransferRun &s = makeRun();
    s.master.deviceAddress = 5;
    LogTransferProbe::state(s.transfer) = state;
    LogTransferProbe::index(s.transfer) = index;
    std::uint8_t buffer[256] = {};
    std::uint8_t length = 0;
    QCOMPARE(uint(s.master.buildRequest(buffer, &length)), code);
    const QByteArray expected = frame.isEmpty() ? QByteArray() : withCrc(frame);
    QCOMPARE(QByteArray(reinterpret_cast<char *>(buffer), length), expected);
}

void tst_LogTransfer::wholeLog_data()
{
    QTest::addColumn<int>("captionCount");
    QTest::addColumn<bool>("wantCaptions");
    QTest::addColumn<uint>("first");
    QTest::addColumn<uint>("span");
    QTest::addColumn<bool>("haveResume");
    QTest::addColumn<uint>("resumeAt");
    QTest::addColumn<QString>("deviceRecords");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<uint>("endIndex");

    const QString four = "100:1 101:1 102:1 103:1";
    QTest::newRow("captions on") << 3 << true << 100u << 4u << true << 100u << four << four << 104u;
    QTest::newRow("captions off") << 3 << false << 100u << 4u << true << 100u << four << four << 104u;
    QTest::newRow("device holds no captions") << 0 << true << 100u << 4u << true << 100u << four << four << 104u;
    QTest::newRow("resume inside") << 2 << true << 100u << 4u << true << 102u << four << "102:1 103:1" << 104u;
    QTest::newRow("resume before the first") << 0 << true << 100u << 4u << true << 40u << four << four << 104u;
    QTest::newRow("no range callback: from the first")
        << 0 << true << 100u << 4u << false << 0u << four << four << 104u;
    QTest::newRow("resume past the end") << 0 << true << 100u << 4u << true << 200u << four << "" << 104u;
    QTest::newRow("resume at the end") << 0 << true << 100u << 4u << true << 104u << four << "" << 104u;
    QTest::newRow("empty device log") << 1 << true << 100u << 0u << true << 100u << ""
                                      << "" << 100u;
    QTest::newRow("records over several positions, holes skipped")
        << 0 << true << 100u << 9u << true << 100u << "100:2 102:1 105:1 106:3"
        << "100:2 102:1 105:1 106:3" << 109u;
    QTest::newRow("last record longer than what is left") << 0 << true << 100u << 4u << true << 100u << "100:1 101:3"
                                                          << "100:1 101:3" << 104u;
    QTest::newRow("count 0 occupies one position") << 0 << true << 100u << 3u << true << 100u << "100:0 101:0 102:1"
                                                   << "100:1 101:1 102:1" << 103u;
    QTest::newRow("range wraps past 2^32, resume inside")
        << 0 << true << 0xFFFFFFF0u << 32u << true << 5u << "4294967294:1 4294967295:2 1:1 5:1 6:4 10:1 15:1"
        << "5:1 6:4 10:1 15:1" << 16u;
    QTest::newRow("range wraps past 2^32, read whole")
        << 0 << true << 0xFFFFFFFEu << 4u << true << 0xFFFFFFFEu << "4294967294:1 4294967295:2 1:1"
        << "4294967294:1 4294967295:2 1:1" << 2u;
}

void tst_LogTransfer::wholeLog()
{
    QFETCH(int, captionCount);
    QFETCH(bool, wantCaptions);
    QFETCH(uint, first);
    QFETCH(uint, span);
    QFETCH(bool, haveResume);
    QFETCH(uint, resumeAt);
    QFETCH(QString, deviceRecords);
    QFETCH(QString, stored);
    QFETCH(uint, endIndex);

    TransferRun &s = makeRun();
    s.wantCaptions = wantCaptions;
    s.haveResume = haveResume;
    s.resumeAt = resumeAt;
    attachCallbacks(s);
    for (int i = 0; i < captionCount; ++i)
        s.device.captions.append(i == 1 ? QByteArray() : "Событие " + QByteArray::number(i));
    s.device.first = first;
    s.device.span = span;
    for (const Delivered &record : parseRecords(deviceRecords))
        s.device.records.insert(record.index, record.count);

    QVERIFY(s.runToRest());
    QCOMPARE(formatRecords(s.records), stored);
    QVERIFY(s.recordsIntact);
    QCOMPARE(s.captions, wantCaptions ? s.device.captions : QVector<QByteArray>());
    QCOMPARE(s.transfer.index(), std::uint32_t(endIndex));
    QCOMPARE(s.transfer.remaining(), 0u);
    QCOMPARE(s.transfer.idHash(), 0x11223344u);
    QCOMPARE(s.transfer.captionHash(), 0x55667788u);

    if (!haveResume)
        return;
    // The re-poll moves the resting client back to the range, and it finds nothing new.
    const int sentBefore = s.sent.size();
    s.resumeAt = endIndex;
    LogTransferProbe::state(s.transfer) = LogTransfer::ReadRange;
    QVERIFY(s.runToRest());
    QCOMPARE(s.sent.size(), sentBefore + 1);
    QCOMPARE(formatRecords(s.records), stored);
}

void tst_LogTransfer::rangeReply_data()
{
    QTest::addColumn<uint>("first");
    QTest::addColumn<uint>("span");
    QTest::addColumn<uint>("start");
    QTest::addColumn<uint>("index");
    QTest::addColumn<uint>("remaining");
    QTest::addColumn<State>("state");

    QTest::newRow("inside") << 100u << 10u << 104u << 104u << 6u << LogTransfer::ReadRecords;
    QTest::newRow("before the first") << 100u << 10u << 90u << 100u << 10u << LogTransfer::ReadRecords;
    QTest::newRow("before the first across 0") << 5u << 10u << 0xFFFFFFF0u << 5u << 10u << LogTransfer::ReadRecords;
    QTest::newRow("past the end") << 100u << 10u << 111u << 110u << 0u << LogTransfer::Idle;
    QTest::newRow("at the end") << 100u << 10u << 110u << 110u << 0u << LogTransfer::Idle;
    QTest::newRow("empty") << 100u << 0u << 100u << 100u << 0u << LogTransfer::Idle;
    QTest::newRow("end wraps to 16, start 5") << 0xFFFFFFF0u << 32u << 5u << 5u << 11u << LogTransfer::ReadRecords;
    QTest::newRow("end wraps, start before the wrap")
        << 0xFFFFFFF0u << 32u << 0xFFFFFFF8u << 0xFFFFFFF8u << 24u << LogTransfer::ReadRecords;
    QTest::newRow("end wraps, start past it") << 0xFFFFFFF0u << 32u << 17u << 16u << 0u << LogTransfer::Idle;
}

void tst_LogTransfer::rangeReply()
{
    QFETCH(uint, first);
    QFETCH(uint, span);
    QFETCH(uint, start);
    QFETCH(uint, index);
    QFETCH(uint, remaining);
    QFETCH(State, state);

    TransferRun &s = makeRun();
    s.resumeAt = start;
    attachCallbacks(s);
    LogTransferProbe::state(s.transfer) = LogTransfer::ReadRange;
    const QByteArray reply = QByteArray::fromHex("014202") + le32(first) + le32(span);
    QCOMPARE(s.transfer.handleReply(bytes(reply), std::uint8_t(reply.size())), ReplyAccepted);
    QCOMPARE(s.transfer.firstIndex(), std::uint32_t(first));
    QCOMPARE(s.transfer.index(), std::uint32_t(index));
    QCOMPARE(s.transfer.remaining(), std::uint32_t(remaining));
    QCOMPARE(s.transfer.state(), state);
}

void tst_LogTransfer::shortRecordReply_data()
{
    QTest::addColumn<uint>("status");
    QTest::addColumn<uint>("remainingBefore");
    QTest::addColumn<State>("state");
    QTest::addColumn<uint>("index");
    QTest::addColumn<uint>("remaining");

    QTest::newRow("not in the log: range again") << 0x84u << 5u << LogTransfer::ReadRange << 50u << 5u;
    QTest::newRow("no record: skip one") << 0x00u << 5u << LogTransfer::ReadRecords << 51u << 4u;
    QTest::newRow("other status: skip one") << 0x85u << 5u << LogTransfer::ReadRecords << 51u << 4u;
    QTest::newRow("skip the last") << 0x00u << 1u << LogTransfer::Idle << 51u << 0u;
    QTest::newRow("skip with nothing left") << 0x00u << 0u << LogTransfer::Idle << 51u << 0u;
}

void tst_LogTransfer::shortRecordReply()
{
    QFETCH(uint, status);
    QFETCH(uint, remainingBefore);
    QFETCH(State, state);
    QFETCH(uint, index);
    QFETCH(uint, remaining);

    TransferRun &s = makeRun();
    attachCallbacks(s);
    s.device.silent = true;
    LogTransferProbe::state(s.transfer) = LogTransfer::ReadRecords;
    LogTransferProbe::index(s.transfer) = 50;
    LogTransferProbe::remaining(s.transfer) = remainingBefore;
    QCOMPARE(s.tick(), RequestSent);
    const QByteArray reply = withCrc(QByteArray::fromHex("014203") + le32(99) + char(status));
    QCOMPARE(s.master.processReply(bytes(reply), std::uint8_t(reply.size())), ReplyAccepted);
    QCOMPARE(s.transfer.state(), state);
    QCOMPARE(s.transfer.index(), std::uint32_t(index));
    QCOMPARE(s.transfer.remaining(), std::uint32_t(remaining));
    QCOMPARE(s.transfer.pendingKind(), LogTransfer::PendingNone);
    QVERIFY(s.records.isEmpty());
}

void tst_LogTransfer::retries_data()
{
    QTest::addColumn<State>("state");
    QTest::addColumn<uint>("start");
    QTest::addColumn<int>("sends");
    QTest::addColumn<uint>("interval");

    QTest::newRow("info") << LogTransfer::ReadInfo << 1000u << 10 << 1000u;
    QTest::newRow("record across the tick wrap") << LogTransfer::ReadRecords << 0xFFFFFFFFu - 4500u << 10 << 1000u;
    QTest::newRow("clear") << LogTransfer::ClearLog << 1000u << 2 << 3000u;
    QTest::newRow("clear across the tick wrap") << LogTransfer::ClearLog << 0xFFFFFFFFu - 1000u << 2 << 3000u;
}

void tst_LogTransfer::retries()
{
    QFETCH(State, state);
    QFETCH(uint, start);
    QFETCH(int, sends);
    QFETCH(uint, interval);

    TransferRun &s = makeRun();
    attachCallbacks(s);
    s.device.silent = true;
    LogTransferProbe::state(s.transfer) = state;
    LogTransferProbe::index(s.transfer) = 77;
    now = start;

    QVector<std::uint32_t> sentAt;
    std::uint8_t code = RequestNone;
    for (int tick = 0; tick < 1000 && code != RequestNoReply; ++tick) {
        const int before = s.sent.size();
        const std::uint32_t at = now;
        code = s.tick();
        if (s.sent.size() != before)
            sentAt.append(at);
        QVERIFY(code == RequestSent || code == RequestWaiting || code == RequestNoReply);
    }
    QCOMPARE(code, RequestNoReply);
    QCOMPARE(sentAt.size(), sends);
    for (int i = 1; i < sentAt.size(); ++i)
        QCOMPARE(sentAt.at(i) - sentAt.at(i - 1), std::uint32_t(interval));
    QCOMPARE(now - 100 - sentAt.last(), std::uint32_t(interval));
    for (const QByteArray &frame : s.sent)
        QCOMPARE(frame, s.sent.first());
    QVERIFY(!s.master.currentEntry);
    QCOMPARE(s.transfer.state(), state);
    // A caller that goes on regardless hears the verdict again, not a fresh round.
    QCOMPARE(s.tick(), RequestNoReply);
    QCOMPARE(s.sent.size(), sends);
}

void tst_LogTransfer::exceptionReplies_data()
{
    QTest::addColumn<uint>("code");
    QTest::addColumn<bool>("masterPending");

    QTest::newRow("illegal data address") << 2u << false;
    QTest::newRow("code 5") << 5u << false;
    QTest::newRow("busy") << 6u << true;
}

void tst_LogTransfer::exceptionReplies()
{
    QFETCH(uint, code);
    QFETCH(bool, masterPending);

    for (State state : {LogTransfer::ReadInfo, LogTransfer::ReadCaptions, LogTransfer::ReadRange,
                        LogTransfer::ReadRecords, LogTransfer::ClearLog}) {
        TransferRun &s = makeRun();
        attachCallbacks(s);
        s.device.silent = true;
        LogTransferProbe::state(s.transfer) = state;
        LogTransferProbe::remaining(s.transfer) = 3;
        QCOMPARE(s.tick(), RequestSent);
        const std::uint8_t kind = s.transfer.pendingKind();
        const std::uint8_t attempts = s.transfer.attemptsLeft();

        const QByteArray reply = withCrc(QByteArray::fromHex("01c2") + char(code));
        QCOMPARE(uint(s.master.processReply(bytes(reply), std::uint8_t(reply.size()))), code);
        QCOMPARE(s.master.currentEntry != nullptr, masterPending);
        QCOMPARE(s.transfer.state(), state);
        QCOMPARE(s.transfer.pendingKind(), kind);
        QCOMPARE(s.transfer.remaining(), 3u);

        // The request is still outstanding and goes out again at once, one attempt spent.
        QCOMPARE(s.tick(), RequestSent);
        QCOMPARE(s.sent.size(), 2);
        QCOMPARE(s.sent.at(1), s.sent.at(0));
        QCOMPARE(s.transfer.attemptsLeft(), std::uint8_t(attempts - 1));
    }
}

void tst_LogTransfer::mismatchedReplies_data()
{
    QTest::addColumn<State>("state");
    QTest::addColumn<QByteArray>("reply"); // without address and CRC
    QTest::addColumn<uint>("result");

    const QByteArray info = QByteArray::fromHex("4200 0300") + le32(1) + le32(2);
    QTest::newRow("info one byte short") << LogTransfer::ReadInfo << info.left(11) << 0x81u;
    QTest::newRow("info one byte long") << LogTransfer::ReadInfo << info + 'x' << 0x81u;
    QTest::newRow("info of another sub-function")
        << LogTransfer::ReadInfo << QByteArray::fromHex("4202 0300") + le32(1) + le32(2) << 0u;
    QTest::newRow("function code only") << LogTransfer::ReadInfo << QByteArray::fromHex("42") << 0x81u;
    QTest::newRow("exception without its code") << LogTransfer::ReadInfo << QByteArray::fromHex("c2") << 0x81u;
    QTest::newRow("caption of another position")
        << LogTransfer::ReadCaptions << QByteArray::fromHex("4201 0400") + le32(9) + "ab" + '\0' << 0u;
    QTest::newRow("caption without its 0")
        << LogTransfer::ReadCaptions << QByteArray::fromHex("4201 0300") + le32(9) + "ab" << 0u;
    QTest::newRow("caption with a 0 inside only")
        << LogTransfer::ReadCaptions << QByteArray::fromHex("4201 0300") + le32(9) + QByteArray("a\0b", 3) << 0u;
    QTest::newRow("caption too short") << LogTransfer::ReadCaptions << QByteArray::fromHex("4201 0300") + le16(9) + '\0'
                                       << 0x81u;
    QTest::newRow("caption of another sub-function")
        << LogTransfer::ReadCaptions << QByteArray::fromHex("4203 0300") + le32(9) + '\0' << 0u;
    QTest::newRow("range too long") << LogTransfer::ReadRange << QByteArray::fromHex("4202") + le32(1) + le32(2) + 'x'
                                    << 0x81u;
    QTest::newRow("range of another sub-function")
        << LogTransfer::ReadRange << QByteArray::fromHex("4200") + le32(1) + le32(2) << 0u;
    QTest::newRow("record of another index")
        << LogTransfer::ReadRecords << QByteArray::fromHex("4203") + le32(4) + char(1) + le32(5) + char(1) + le32(6)
        << 0u;
    QTest::newRow("record one byte short")
        << LogTransfer::ReadRecords
        << QByteArray::fromHex("4203") + le32(3) + char(1) + le32(5) + char(1) + le16(6) + char(0) << 0x81u;
    QTest::newRow("record of another sub-function")
        << LogTransfer::ReadRecords << QByteArray::fromHex("4202") + le32(3) + char(1) + le32(5) + char(1) + le32(6)
        << 0x81u;
    QTest::newRow("short record reply of another sub-function")
        << LogTransfer::ReadRecords << QByteArray::fromHex("4202") + le32(3) + char(0) << 0x81u;
}

void tst_LogTransfer::mismatchedReplies()
{
    QFETCH(State, state);
    QFETCH(QByteArray, reply);
    QFETCH(uint, result);

    TransferRun &s = makeRun();
    attachCallbacks(s);
    s.device.silent = true;
    s.master.deviceAddress = 5;
    LogTransferProbe::state(s.transfer) = state;
    LogTransferProbe::index(s.transfer) = 3;
    LogTransferProbe::remaining(s.transfer) = 2;
    QCOMPARE(s.tick(), RequestSent);
    const std::uint8_t attempts = s.transfer.attemptsLeft();

    const QByteArray frame = withCrc(char(5) + reply);
    QCOMPARE(uint(s.master.processReply(bytes(frame), std::uint8_t(frame.size()))), result);
    QCOMPARE(s.transfer.state(), state);
    QCOMPARE(s.transfer.index(), 3u);
    QCOMPARE(s.transfer.remaining(), 2u);
    QVERIFY(s.captions.isEmpty());
    QVERIFY(s.records.isEmpty());

    // Sent again on the very next tick, as one more attempt of the same request.
    QCOMPARE(s.tick(), RequestSent);
    QCOMPARE(s.sent.size(), 2);
    QCOMPARE(s.sent.at(1), s.sent.at(0));
    QCOMPARE(s.transfer.attemptsLeft(), std::uint8_t(attempts - 1));
}

void tst_LogTransfer::callbackStops_data()
{
    QTest::addColumn<QByteArray>("stopIn");

    QTest::newRow("info") << QByteArray("info");
    QTest::newRow("caption") << QByteArray("caption");
    QTest::newRow("range") << QByteArray("range");
    QTest::newRow("record") << QByteArray("record");
}

void tst_LogTransfer::callbackStops()
{
    QFETCH(QByteArray, stopIn);

    TransferRun &s = makeRun();
    s.stopIn = stopIn;
    s.resumeAt = 10;
    attachCallbacks(s);
    s.device.captions = {"a", "b", "c"};
    s.device.first = 10;
    s.device.span = 5;
    for (std::uint32_t i = 10; i < 15; ++i)
        s.device.records.insert(i, 1);

    for (int i = 0; i < 100 && !s.stopped; ++i)
        s.tick();
    QVERIFY(s.stopped);
    QCOMPARE(s.lastResult, ReplyAccepted);
    // The stop stands: nothing read after it moves the transfer on again.
    QCOMPARE(s.transfer.state(), LogTransfer::ReadInfo);
    QCOMPARE(s.transfer.remaining(), 0u);
    QCOMPARE(s.transfer.pendingKind(), LogTransfer::PendingNone);
    // Started again, it asks for the info first.
    s.stopIn.clear();
    QCOMPARE(s.tick(), RequestSent);
    QCOMPARE(s.sent.last(), withCrc(QByteArray::fromHex("014200")));
}

void tst_LogTransfer::clearLog()
{
    TransferRun &s = makeRun();
    attachCallbacks(s);
    s.master.deviceAddress = 7;
    s.device.address = 7;
    LogTransferProbe::remaining(s.transfer) = 12;
    s.transfer.startClear();

    QCOMPARE(s.tick(), RequestSent);
    QCOMPARE(s.sent, QVector<QByteArray>{withCrc(QByteArray::fromHex("0742803c00c35a"))});
    QCOMPARE(s.device.clears, 1);
    QCOMPARE(s.lastResult, ReplyAccepted);
    QCOMPARE(s.transfer.state(), LogTransfer::ReadInfo);
    QCOMPARE(s.transfer.remaining(), 0u);
    QCOMPARE(s.transfer.pendingKind(), LogTransfer::PendingNone);
    QVERIFY(!s.master.currentEntry);
}

void tst_LogTransfer::clearAfterALongRest_data()
{
    QTest::addColumn<bool>("readFirst");
    QTest::addColumn<uint>("start");
    QTest::addColumn<uint>("rest");

    // A deadline that lies ahead by more than any request sets is a stale one: nothing
    // is on the line, and the clear goes out at once instead of in 24 days.
    QTest::newRow("never sent, the counter past half its range") << false << 0x80000000u + 5000u << 0u;
    QTest::newRow("read up, then 25 days at rest") << true << 1000u << 0x80000000u + 500u;
    QTest::newRow("read up across the wrap, then 25 days") << true << 0xFFFFFFFFu - 300u << 0x80000000u + 4000u;
    QTest::newRow("read up, then a moment") << true << 1000u << 200u;
}

// The clear sent from a transfer that has rested long enough for the tick counter
// to have come round past its last deadline.
void tst_LogTransfer::clearAfterALongRest()
{
    QFETCH(bool, readFirst);
    QFETCH(uint, start);
    QFETCH(uint, rest);

    TransferRun &s = makeRun();
    attachCallbacks(s);
    now = start;
    if (readFirst) {
        s.device.first = 0;
        s.device.span = 4;
        for (std::uint32_t i = 0; i < 4; ++i)
            s.device.records.insert(i, 1);
        QVERIFY(s.runToRest());
        QCOMPARE(s.records.size(), 4);
    }
    now += rest;
    s.transfer.startClear();
    QCOMPARE(s.tick(), RequestSent);
    QCOMPARE(s.sent.last(), withCrc(QByteArray::fromHex("0142803c00c35a")));
    QCOMPARE(s.device.clears, 1);
    QCOMPARE(s.transfer.state(), LogTransfer::ReadInfo);
}

// Random frames through the master in every state of the transfer: nothing may crash,
// read outside the frame, or leave the transfer in a state outside its six.

void tst_LogTransfer::clearWaitsOutTheRequestItCutShort_data()
{
    QTest::addColumn<QString>("recordReply");

    QTest::newRow("record reply comes before the clear is sent") << "before";
    QTest::newRow("no record reply at all") << "never";
    QTest::newRow("record reply comes after the clear was sent") << "after";
}

// The user clears while a record request is on the line: the record's reply must not
// pass for the clear's answer, and the clear itself must reach the device.
void tst_LogTransfer::clearWaitsOutTheRequestItCutShort()
{
    QFETCH(QString, recordReply);

    TransferRun &s = makeRun();
    attachCallbacks(s);
    s.device.first = 0;
    s.device.span = 10;
    for (std::uint32_t i = 0; i < 10; ++i)
        s.device.records.insert(i, 1);
    LogTransferProbe::state(s.transfer) = LogTransfer::ReadRecords;
    LogTransferProbe::index(s.transfer) = 3;
    LogTransferProbe::remaining(s.transfer) = 7;

    std::uint8_t frame[256] = {};
    std::uint8_t length = 0;
    QCOMPARE(s.master.buildRequest(frame, &length), RequestSent);
    const QByteArray heldReply = s.device.answer(QByteArray(reinterpret_cast<char *>(frame), length));
    QCOMPARE(std::uint8_t(heldReply.at(2)), std::uint8_t(0x03));

    // The window's clear command: stop the download, then clear.
    s.transfer.stop();
    s.transfer.startClear();
    now += 100;

    const auto deliver = [&s](const QByteArray &reply) {
        return s.master.processReply(bytes(reply), std::uint8_t(reply.size()));
    };
    const auto build = [&s, &frame, &length] {
        length = 0;
        return s.master.buildRequest(frame, &length);
    };

    // The line still belongs to the record request.
    QCOMPARE(build(), RequestWaiting);
    QCOMPARE(int(length), 0);

    if (recordReply == "before") {
        QCOMPARE(deliver(heldReply), ReplyUnexpected);
        now += 100;
    } else {
        now += 900; // the record request's reply time is over
    }
    QCOMPARE(build(), RequestSent);
    const QByteArray clear(reinterpret_cast<char *>(frame), length);
    QCOMPARE(clear, withCrc(QByteArray::fromHex("0142803c00c35a")));
    const QByteArray clearReply = s.device.answer(clear);
    QCOMPARE(s.device.clears, 1);

    if (recordReply == "after") {
        QCOMPARE(deliver(heldReply), ReplyUnexpected);
        QCOMPARE(s.transfer.state(), LogTransfer::ClearLog);
    }
    QCOMPARE(deliver(clearReply), ReplyAccepted);
    QCOMPARE(s.transfer.state(), LogTransfer::ReadInfo);
    QCOMPARE(s.transfer.pendingKind(), LogTransfer::PendingNone);
    // The record whose reply was given up was not stored; it is read next time.
    QVERIFY(s.records.isEmpty());
    now += 100;
    QCOMPARE(build(), RequestSent); // ReadInfo: a download would start over
}

void tst_LogTransfer::randomReplies()
{
    TransferRun &s = makeRun();
    // Callbacks that read everything they are handed, so that the sanitizers see it.
    LogTransfer::Callbacks callbacks{onLogInfo, nullptr, nullptr, nullptr, &s};
    callbacks.caption = [](void *context, std::uint16_t, std::uint32_t, const char *text) {
        runOf(context).captions.resize(1);
        runOf(context).captions[0] = QByteArray(text, int(std::strlen(text)));
    };
    callbacks.range = [](void *, std::uint32_t first, std::uint32_t span) { return first + span / 2; };
    callbacks.record = [](void *context, std::uint32_t, std::uint8_t count, std::uint8_t, std::uint32_t, std::uint32_t,
                          const std::uint8_t *data, std::size_t length) {
        if (count == 0 || length > 236)
            runOf(context).recordsIntact = false;
        std::uint32_t sum = 0;
        for (std::size_t i = 0; i < length; ++i)
            sum += data[i];
        runOf(context).lastResult = ReplyResult(sum & 0xFF);
    };
    s.transfer.setCallbacks(callbacks);

    // One buffer of exactly each length, so that a read past the frame is a heap overflow.
    std::vector<std::unique_ptr<std::uint8_t[]>> exact;
    for (int length = 0; length <= 256; ++length)
        exact.emplace_back(new std::uint8_t[std::size_t(length)]);

    std::mt19937 random(20240611u);
    const auto chance = [&random](unsigned percent) { return random() % 100 < percent; };
    const std::uint8_t protocolLengths[] = {3, 5, 7, 8, 9, 10, 11, 12, 13, 14, 16, 17, 18, 20, 30};
    const std::uint8_t subFunctions[] = {0x00, 0x01, 0x02, 0x03, 0x03, 0x80};
    long acceptedIn[6] = {};
    std::uint8_t request[256];
    std::uint8_t frame[256];

    for (int round = 0; round < 1000000; ++round) {
        now += random() % 1500;
        if (chance(2)) // the owner's verbs: start or stop, clear, re-poll
            LogTransferProbe::state(s.transfer) = State(random() % 6);
        if (chance(1)) {
            switch (random() % 3) {
            case 0:
                s.transfer.stop();
                break;
            case 1:
                s.transfer.startClear();
                break;
            default:
                s.transfer.repoll();
                break;
            }
        }
        if (chance(50)) {
            std::uint8_t length = 0;
            const std::uint8_t code = s.master.buildRequest(request, &length);
            if (code != RequestNone && code != RequestWaiting && code != RequestSent && code != RequestNoReply)
                QFAIL("builder code outside the set");
            if ((code == RequestSent) != (length != 0) || length > 9)
                QFAIL("request length does not fit its code");
        }

        int length = chance(20) ? int(random() % 257) : protocolLengths[random() % sizeof protocolLengths] + 2;
        for (int i = 0; i < length; ++i)
            frame[i] = std::uint8_t(random());
        if (length >= 2 && chance(85)) {
            frame[0] = chance(10) ? 0 : 1;
            if (length >= 4)
                frame[1] = chance(10) ? 0xC2 : LogFunctionCode;
            if (length >= 5 && chance(70))
                frame[2] = subFunctions[s.transfer.state() % 6];
            if (length >= 9 && chance(50)) { // the position or index asked for
                frame[3] = std::uint8_t(s.transfer.index());
                frame[4] = std::uint8_t(s.transfer.index() >> 8);
                frame[5] = std::uint8_t(s.transfer.index() >> 16);
                frame[6] = std::uint8_t(s.transfer.index() >> 24);
            }
            if (length >= 4 && chance(50))
                frame[length - 3] = 0; // a terminated caption
            if (chance(90)) {
                const std::uint16_t crc = modbusCrc(frame, std::size_t(length - 2));
                frame[length - 2] = std::uint8_t(crc);
                frame[length - 1] = std::uint8_t(crc >> 8);
            }
        }
        std::uint8_t *copy = exact[std::size_t(length)].get();
        std::memcpy(copy, frame, std::size_t(length));

        const State before = s.transfer.state();
        // A 256-byte frame reaches the master as length 0, as the poll cycle passes it.
        const std::uint8_t result = s.master.processReply(copy, std::uint8_t(length));
        if (result == ReplyAccepted)
            ++acceptedIn[before];
        if (s.transfer.state() > LogTransfer::ClearLog)
            QFAIL("transfer state outside its six");
        if (s.transfer.pendingKind() > LogTransfer::PendingClear)
            QFAIL("pending kind outside its set");
    }
    QVERIFY(s.recordsIntact);
    // Every state took replies, so the handler's every branch was fed.
    for (long accepted : acceptedIn)
        QVERIFY2(accepted > 100, QByteArray::number(qlonglong(accepted)));
}

QTEST_GUILESS_MAIN(tst_LogTransfer)
#include "tst_logtransfer.moc"
