// The log file as a download's store: the log file's statements on one connection.
#pragma once

#include "store/logstore.h"

#include <QSqlDatabase>
#include <QSqlQuery>

#include <memory>

// Runs on whatever `database` is open on when a statement runs: a create or open that
// re-targets the connection in the middle of a download redirects the import with it,
// and a closed connection fails each statement with the driver's text.
class LogFileStore final : public LogStore
{
public:
    explicit LogFileStore(const QSqlDatabase &database = QSqlDatabase()) : connection(database) {}

    void setDatabase(const QSqlDatabase &database) { connection = database; }
    const QSqlDatabase &database() const { return connection; }

    StoreResult<StoredFingerprints> readFingerprints() override;
    StoreStatus writeFingerprints(std::uint32_t idHash, std::uint32_t captionHash) override;
    StoreStatus storeCaption(std::uint32_t eventId, const char *text) override;
    StoreResult<std::uint32_t> resumePoint(std::uint32_t first) override;
    StoreStatus storeRecord(const DeviceRecord &record) override;
    bool beginBatch() override;
    StoreStatus commitBatch() override;

private:
    QSqlDatabase connection;
    // While a batch is open: the record insert, prepared once for all its records.
    std::unique_ptr<QSqlQuery> batchInsert;
};
