// A download fed arbitrary replies from a line that says anything (any length, any
// CRC, any sub-function, any exception), into a real log file held in memory. Nothing
// stored may come from anywhere but an accepted reply, and a reply the master does
// not accept leaves the log file exactly as it was.

#include "tests/fuzz/fuzzinput.h"

#include "protocol/logtransfer.h"
#include "protocol/modbuscrc.h"
#include "protocol/modbusmaster.h"
#include "protocol/tickcount.h"
#include "store/devicetext.h"
#include "store/logfile.h"
#include "store/logfilestore.h"
#include "store/logimporter.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStringList>
#include <QVariant>

#include <algorithm>
#include <cstring>
#include <set>
#include <utility>

namespace {

std::uint32_t fakeTicks = 0;

std::uint32_t readFakeTicks()
{
    return fakeTicks;
}

std::uint32_t readLe32(const std::uint8_t *p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

// Every row of a table as text, in storage order.
QStringList rowsOf(const QSqlDatabase &database, const QString &table)
{
    QStringList rows;
    QSqlQuery query(database);
    FUZZ_CHECK(query.exec(QStringLiteral("SELECT * FROM %1 ORDER BY rowid").arg(table)), "a table cannot be read");
    while (query.next()) {
        QStringList fields;
        for (int i = 0; i < query.record().count(); ++i) {
            const QVariant value = query.value(i);
            fields << (value.isNull()                            ? QStringLiteral("NULL")
                           : value.type() == QVariant::ByteArray ? QString::fromLatin1(value.toByteArray().toHex())
                                                                 : value.toString());
        }
        rows << fields.join(QLatin1Char('|'));
    }
    return rows;
}

struct Snapshot {
    QStringList info, events, log;
};

Snapshot snapshotOf(const QSqlDatabase &database)
{
    return {rowsOf(database, QStringLiteral("Info")), rowsOf(database, QStringLiteral("Events")),
            rowsOf(database, QStringLiteral("Log"))};
}

qint64 changesOf(const QSqlDatabase &database)
{
    QSqlQuery query(database);
    FUZZ_CHECK(query.exec(QStringLiteral("SELECT total_changes()")) && query.next(), "no count of changes");
    return query.value(0).toLongLong();
}

// Whether the frame holds `value` as a little-endian 32-bit number somewhere.
bool carriesLe32(const std::uint8_t *frame, std::size_t length, std::uint32_t value)
{
    for (std::size_t i = 0; i + 4 <= length; ++i) {
        if (readLe32(frame + i) == value)
            return true;
    }
    return false;
}

bool carriesBytes(const std::uint8_t *frame, std::size_t length, const QByteArray &bytes)
{
    const auto *wanted = reinterpret_cast<const std::uint8_t *>(bytes.constData());
    const std::uint8_t *found = std::search(frame, frame + length, wanted, wanted + bytes.size());
    return bytes.isEmpty() || found != frame + length;
}

// The front end of the fake line: the importer behind the transfer's callbacks, the
// configuration question answered as the input says.
struct Downloader {
    LogFileStore store;
    LogImporter importer{&store};
    LogTransfer transfer;
    ModbusMaster master;
    ModbusFunctionHandler entry{};
    bool answerYes = false;

    static bool onInfo(void *context, std::uint16_t count, std::uint32_t idHash, std::uint32_t captionHash)
    {
        auto *self = static_cast<Downloader *>(context);
        const StoreResult<LogImporter::InfoVerdict> verdict = self->importer.takeInfo(count, idHash, captionHash);
        FUZZ_CHECK(verdict.ok(), "the fingerprints of a sound log file cannot be read");
        switch (*verdict) {
        case LogImporter::InfoVerdict::SkipCaptions:
            return false;
        case LogImporter::InfoVerdict::ReadCaptions:
            return true;
        case LogImporter::InfoVerdict::AskUser:
            if (!self->answerYes)
                return false;
            break;
        case LogImporter::InfoVerdict::NewConfiguration:
            break;
        }
        FUZZ_CHECK(self->importer.acceptConfiguration().ok(), "the fingerprints cannot be written");
        return true;
    }
    static void onCaption(void *context, std::uint16_t position, std::uint32_t eventId, const char *text)
    {
        auto *self = static_cast<Downloader *>(context);
        FUZZ_CHECK(self->importer.storeCaption(position, eventId, text).ok(), "a caption cannot be stored");
    }
    static std::uint32_t onRange(void *context, std::uint32_t first, std::uint32_t span)
    {
        auto *self = static_cast<Downloader *>(context);
        const StoreResult<std::uint32_t> resume = self->importer.resumeIndex(first);
        FUZZ_CHECK(resume.ok(), "the resume point cannot be read");
        (void)span;
        return *resume;
    }
    static void onRecord(void *context, std::uint32_t index, std::uint8_t count, std::uint8_t type, std::uint32_t time,
                         std::uint32_t eventId, const std::uint8_t *data, std::size_t length)
    {
        auto *self = static_cast<Downloader *>(context);
        DeviceRecord record;
        record.index = index;
        record.count = count;
        record.type = type;
        record.deviceTime = time;
        record.eventId = eventId;
        record.data = QByteArray(reinterpret_cast<const char *>(data), int(length));
        FUZZ_CHECK(self->importer.storeRecord(record).ok(), "a record cannot be stored");
    }

    explicit Downloader(const QSqlDatabase &database)
    {
        store.setDatabase(database);
        transfer.setCallbacks({&onInfo, &onCaption, &onRange, &onRecord, this});
        entry = transfer.functionHandler();
        master.deviceAddress = 1;
        master.handlerTable = &entry;
        master.entryCount = 1;
    }
};

// One reply off the fake line. The first byte of its piece says how far the line
// plays along, so that the fuzzer reaches deep states quickly: bit 0 writes the
// awaited address and function code, bit 1 the awaited sub-function, bit 2 a correct
// CRC, bit 3 flags an exception. The byte after it is the length of what follows.
std::size_t nextReply(FuzzInput &input, const Downloader &downloader, std::uint8_t *frame)
{
    const std::uint8_t mode = input.byte();
    std::size_t length = 0;
    const std::uint8_t *body = input.bytes(input.byte(), &length);
    std::memcpy(frame, body, length);
    const bool withCrc = (mode & 4) != 0 && length >= 2 && length <= 255;
    const std::size_t payload = withCrc ? length - 2 : length;
    if ((mode & 1) && payload >= 2) {
        frame[0] = downloader.master.deviceAddress;
        frame[1] = LogFunctionCode | ((mode & 8) ? ExceptionFlag : 0);
    }
    if ((mode & 2) && payload >= 3 && downloader.transfer.pendingKind() < LogTransfer::PendingNone)
        frame[2] = downloader.transfer.pendingKind();
    if (withCrc) {
        const std::uint16_t crc = modbusCrc(frame, payload);
        frame[payload] = std::uint8_t(crc & 0xFF);
        frame[payload + 1] = std::uint8_t(crc >> 8);
    }
    return length;
}

// Checks that what an accepted reply added or changed is what it carried.
void checkCarried(const Snapshot &before, const Snapshot &after, const std::uint8_t *frame, std::size_t length,
                  const std::set<std::pair<std::uint32_t, std::uint32_t>> &fingerprints, const QSqlDatabase &database)
{
    if (after.info != before.info) {
        QSqlQuery info(database);
        FUZZ_CHECK(info.exec(QStringLiteral("SELECT idHash, captionHash FROM Info")) && info.next(),
                   "the Info row is gone");
        FUZZ_CHECK(
            fingerprints.count({std::uint32_t(info.value(0).toLongLong()), std::uint32_t(info.value(1).toLongLong())})
                == 1,
            "fingerprints stored that no info reply carried");
    }
    if (after.events != before.events) {
        QSqlQuery events(database);
        FUZZ_CHECK(events.exec(QStringLiteral("SELECT id, caption FROM Events ORDER BY rowid")), "Events unreadable");
        for (int row = 0; events.next(); ++row) {
            if (before.events.contains(after.events.value(row)))
                continue;
            // A caption reply: position, event id, then the 0-terminated text.
            FUZZ_CHECK(length >= 10, "a caption stored from a reply too short to carry one");
            FUZZ_CHECK(readLe32(frame + 5) == events.value(0).toUInt(), "a caption stored under another event");
            const char *text = reinterpret_cast<const char *>(frame + 9);
            const int textLength = int(strnlen(text, length - 9));
            FUZZ_CHECK(decodeDeviceText(text, textLength) == events.value(1).toString(),
                       "a caption stored that the reply did not carry");
        }
    }
    if (after.log != before.log) {
        FUZZ_CHECK(after.log.mid(0, before.log.size()) == before.log, "a stored record was changed");
        QSqlQuery log(database);
        FUZZ_CHECK(log.exec(QStringLiteral("SELECT dt, event, data FROM Log ORDER BY rowid LIMIT -1 OFFSET %1")
                                .arg(before.log.size())),
                   "Log unreadable");
        while (log.next()) {
            FUZZ_CHECK(carriesLe32(frame, length, std::uint32_t(log.value(0).toLongLong() - 946684800)),
                       "a record time stored that the reply did not carry");
            FUZZ_CHECK(carriesLe32(frame, length, std::uint32_t(log.value(1).toLongLong())),
                       "a record event stored that the reply did not carry");
            FUZZ_CHECK(carriesBytes(frame, length, log.value(2).toByteArray()),
                       "record data stored that the reply did not carry");
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    ensureFuzzApplication();
    setTickCountSource(&readFakeTicks);
    FuzzInput input(data, size);
    // One log file in memory for the process, emptied for every input as a new one is:
    // making the file anew would cost more than the whole download.
    static QSqlDatabase database = [] {
        QSqlDatabase made = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("fuzz-download"));
        FUZZ_CHECK(createLogFile(made, QStringLiteral(":memory:")).ok(), "no log file in memory");
        return made;
    }();
    {
        QSqlQuery empty(database);
        for (const char *statement : {"DELETE FROM Log", "DELETE FROM Events", "DELETE FROM sqlite_sequence",
                                      "UPDATE Info SET idHash = NULL, captionHash = NULL"})
            FUZZ_CHECK(empty.exec(QString::fromLatin1(statement)), "the log file cannot be emptied");
        Downloader downloader(database);
        downloader.answerYes = input.byte() & 1;
        downloader.transfer.setReplyTiming(100, 3);
        // The fingerprints of every info reply so far: the captions' last reply writes
        // them too, long after the info reply carried them.
        std::set<std::pair<std::uint32_t, std::uint32_t>> fingerprints;

        Snapshot known = snapshotOf(database);
        qint64 knownChanges = changesOf(database);
        std::uint8_t request[256];
        std::uint8_t reply[256 + 2];
        for (int step = 0; step < 200 && !input.empty(); ++step) {
            // Now and then the owner's once-a-second poll, or time passing.
            const std::uint8_t action = input.byte();
            if (action & 0x80)
                downloader.transfer.repoll();
            fakeTicks += (action & 0x40) ? 1000 : 10;
            std::uint8_t requestLength = 0;
            if (downloader.master.buildRequest(request, &requestLength) == RequestNoReply)
                downloader.transfer.stop();

            const std::size_t length = nextReply(input, downloader, reply);
            const ReplyResult result = downloader.master.processReply(reply, std::uint8_t(length));
            if (result == ReplyAccepted && length == 13 + 2)
                fingerprints.insert({readLe32(reply + 5), readLe32(reply + 9)});
            // Every row written on the connection counts, so an unchanged count is an
            // unchanged file: the tables are read again only when it moves.
            const qint64 changes = changesOf(database);
            if (changes == knownChanges)
                continue;
            FUZZ_CHECK(result == ReplyAccepted, "a reply that was not accepted changed the log file");
            const Snapshot after = snapshotOf(database);
            checkCarried(known, after, reply, length, fingerprints, database);
            known = after;
            knownChanges = changes;
        }
    }
    setTickCountSource(nullptr);
    return 0;
}
