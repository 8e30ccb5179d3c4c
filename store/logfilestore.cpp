// The log file's statements behind the store interface.

#include "store/logfilestore.h"

#include "store/logschema.h"

#include <QSqlError>

StoredFingerprints LogFileStore::readFingerprints()
{
    return ::readFingerprints(connection);
}

StoreOutcome LogFileStore::writeFingerprints(std::uint32_t idHash, std::uint32_t captionHash)
{
    return ::writeFingerprints(connection, idHash, captionHash);
}

StoreOutcome LogFileStore::storeCaption(std::uint32_t eventId, const char *text)
{
    return ::storeCaption(connection, eventId, text);
}

ResumePoint LogFileStore::resumePoint(std::uint32_t first, std::uint32_t span)
{
    return ::resumePoint(connection, first, span);
}

StoreOutcome LogFileStore::storeRecord(const DeviceRecord &record)
{
    if (batchInsert)
        return ::storeRecord(*batchInsert, record.index, record.count, record.type, record.deviceTime, record.eventId,
                             record.data);
    return ::storeRecord(connection, record.index, record.count, record.type, record.deviceTime, record.eventId,
                         record.data);
}

bool LogFileStore::beginBatch()
{
    if (!connection.transaction())
        return false;
    // Prepared now, on the connection as it is: a file opened anew in the meantime
    // gets a statement of its own with the next batch.
    batchInsert = std::make_unique<QSqlQuery>(connection);
    if (!batchInsert->prepare(InsertRecordSql))
        batchInsert.reset();
    return true;
}

StoreOutcome LogFileStore::commitBatch()
{
    batchInsert.reset();
    if (connection.commit())
        return StoreOutcome{};
    const QString message = connection.lastError().text();
    connection.rollback();
    return StoreOutcome{false, message};
}
