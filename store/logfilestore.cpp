// The log file's statements behind the store interface.

#include "store/logfilestore.h"

#include "store/logschema.h"

#include <QSqlError>

StoreResult<StoredFingerprints> LogFileStore::readFingerprints()
{
    return ::readFingerprints(connection);
}

StoreStatus LogFileStore::writeFingerprints(std::uint32_t idHash, std::uint32_t captionHash)
{
    return ::writeFingerprints(connection, idHash, captionHash);
}

StoreStatus LogFileStore::storeCaption(std::uint32_t eventId, const char *text)
{
    return ::storeCaption(connection, eventId, text);
}

StoreResult<std::uint32_t> LogFileStore::resumePoint(std::uint32_t first)
{
    return ::resumePoint(connection, first);
}

StoreStatus LogFileStore::storeRecord(const DeviceRecord &record)
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

StoreStatus LogFileStore::commitBatch()
{
    batchInsert.reset();
    if (connection.commit())
        return {};
    const StoreError error = logFileError(connection.lastError());
    connection.rollback();
    return Failure(error);
}
