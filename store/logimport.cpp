// Statements that write a download into the open log file.

#include "store/logimport.h"

#include "protocol/devicetime.h"
#include "store/devicetext.h"
#include "store/logschema.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <cstring>

namespace {

// Log.dt holds Unix seconds carrying the device's wall-clock time.

// A statement that cannot be prepared (its table is gone, say) is reported with that
// reason: executing it anyway would only say that the parameters do not match.
Failure<StoreError> failed(const QSqlQuery &query)
{
    return Failure(logFileError(query.lastError()));
}

StoreStatus run(QSqlQuery &query)
{
    if (!query.exec())
        return failed(query);
    return {};
}

} // namespace

StoreResult<StoredFingerprints> readFingerprints(const QSqlDatabase &database)
{
    StoredFingerprints result;
    QSqlQuery query(database);
    if (!query.exec(SelectInfoSql))
        return failed(query);
    if (query.next() && !query.value(0).isNull() && !query.value(1).isNull()) {
        result.known = true;
        result.idHash = query.value(0).toUInt();
        result.captionHash = query.value(1).toUInt();
    }
    return result;
}

CaptionDecision decideCaptions(const StoredFingerprints &stored, std::uint32_t idHash, std::uint32_t captionHash)
{
    if (!stored.known)
        return CaptionDecision::NewFile;
    if (stored.idHash != idHash)
        return CaptionDecision::EventsChanged;
    return stored.captionHash == captionHash ? CaptionDecision::UpToDate : CaptionDecision::TextsChanged;
}

StoreStatus writeFingerprints(const QSqlDatabase &database, std::uint32_t idHash, std::uint32_t captionHash)
{
    QSqlQuery query(database);
    if (!query.prepare(UpdateInfoSql))
        return failed(query);
    query.bindValue(QStringLiteral(":idHash"), idHash);
    query.bindValue(QStringLiteral(":captionHash"), captionHash);
    return run(query);
}

StoreStatus storeCaption(const QSqlDatabase &database, std::uint32_t eventId, const char *text)
{
    QSqlQuery query(database);
    if (!query.prepare(UpsertCaptionSql))
        return failed(query);
    query.bindValue(QStringLiteral(":id"), eventId);
    query.bindValue(QStringLiteral(":type"), 0);
    query.bindValue(QStringLiteral(":caption"), decodeDeviceText(text, int(std::strlen(text))));
    return run(query);
}

StoreResult<std::uint32_t> resumePoint(const QSqlDatabase &database, std::uint32_t first)
{
    QSqlQuery query(database);
    if (!query.exec(SelectNewestRecordSql))
        return failed(query);
    if (query.next())
        return std::uint32_t(query.value(0).toUInt() + query.value(1).toUInt());
    // A step that ends the rows and one that fails look alike until asked.
    if (query.lastError().isValid())
        return failed(query);
    return first;
}

StoreStatus storeRecord(const QSqlDatabase &database, std::uint32_t index, std::uint8_t count, std::uint8_t type,
                        std::uint32_t deviceTime, std::uint32_t eventId, const QByteArray &data)
{
    QSqlQuery query(database);
    if (!query.prepare(InsertRecordSql))
        return failed(query);
    return storeRecord(query, index, count, type, deviceTime, eventId, data);
}

StoreStatus storeRecord(QSqlQuery &query, std::uint32_t index, std::uint8_t count, std::uint8_t type,
                        std::uint32_t deviceTime, std::uint32_t eventId, const QByteArray &data)
{
    query.bindValue(QStringLiteral(":i"), index);
    query.bindValue(QStringLiteral(":count"), int(count));
    query.bindValue(QStringLiteral(":dt"), qint64(deviceTime) + DeviceEpochUnixSeconds);
    query.bindValue(QStringLiteral(":type"), int(type));
    query.bindValue(QStringLiteral(":event"), eventId);
    // Never a null array: a record without data stores a zero-length BLOB, not NULL.
    query.bindValue(QStringLiteral(":data"), data.isNull() ? QByteArray("") : data);
    return run(query);
}
