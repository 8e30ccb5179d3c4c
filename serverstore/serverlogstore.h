// One device's log in the central database, behind the store interface a download
// writes through.
#pragma once

#include "serverstore/serverconnection.h"
#include "store/logstore.h"

#include <QHash>
#include <QSqlQuery>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

struct ServerStoreSettings {
    // The first word of the session's name on the server ("khronar-fetch").
    QString program = QStringLiteral("khronar");
    // How long open() waits for a device's lock that another collector holds.
    std::chrono::milliseconds lockWait{30000};
    // Asked between two attempts at the lock: true ends the wait (a stop signal).
    std::function<bool()> cancelled;
};

/*
 * A collector's store for the device named `name`: one connection of its own, holding
 * the device's lock (a session-level advisory lock on the device's id) from open() to
 * close(), so that two collectors never store a device's record twice, while
 * collectors of different devices never wait on each other.
 *
 * Each record's message is rendered at import, with the device's captions as the
 * server holds them then (kept here in a cache): a record whose caption arrives later
 * keeps the message it was stored with, «Неизвестное событие».
 *
 * Inside a batch the records are held back and inserted many to a statement when
 * enough have come, before the resume point is read, and at the commit; a statement
 * that fails spoils the whole transaction on this server, so the commit then rolls
 * back and reports that statement's error.
 */
class ServerLogStore final : public LogStore
{
public:
    ServerLogStore() = default;
    ~ServerLogStore() override;

    // Connects, creates the schema on first use, registers the device under `name`
    // (any text: it is only ever a bound value) and takes its lock. A lock held by
    // another collector all the while fails Busy, saying who holds it; a wait ended by
    // `settings.cancelled`, Cancelled.
    StoreStatus open(const ServerUrl &url, const QString &name, const ServerStoreSettings &settings);
    // Rolls back an open batch and disconnects, which releases the lock.
    void close();
    bool isOpen() const { return connection.isOpen(); }

    const QString &deviceName() const { return name; }
    // The device's key on the server, once open.
    qint64 deviceRowId() const { return deviceId; }
    // Hands the store to `thread`, which uses it from then on, so that it can be opened
    // where a slow server holds up no one. Called on the thread that opened it.
    void moveToThread(QThread *thread) { connection.moveToThread(thread); }
    QSqlDatabase &database() { return connection.database(); }

    StoreResult<StoredFingerprints> readFingerprints() override;
    StoreStatus writeFingerprints(std::uint32_t idHash, std::uint32_t captionHash) override;
    StoreStatus storeCaption(std::uint32_t eventId, const char *text) override;
    StoreResult<std::uint32_t> resumePoint(std::uint32_t first) override;
    StoreStatus storeRecord(const DeviceRecord &record) override;
    bool beginBatch() override;
    StoreStatus commitBatch() override;

private:
    struct PendingRecord {
        DeviceRecord record;
        QString message;
    };

    StoreStatus takeDevice(const QString &deviceName, const ServerStoreSettings &settings);
    StoreStatus lockDevice(const ServerStoreSettings &settings);
    QString lockHolder();
    StoreStatus loadCaptions();
    QString messageOf(const DeviceRecord &record) const;
    // Inserts the held-back records.
    StoreStatus insertPending();
    StoreStatus insertRows(std::size_t first, std::size_t rows);
    // A failed statement: inside a batch the transaction is spoilt and the commit must
    // say so.
    Failure<StoreError> failed(const QSqlQuery &query);

    ServerConnection connection;
    QString name;
    int deviceId = 0;
    bool locked = false; // this connection holds the device's lock
    QHash<std::uint32_t, QString> captions;
    bool inBatch = false;
    StoreStatus batchError;
    std::vector<PendingRecord> pending;
    // The batch insert, prepared when first needed.
    std::unique_ptr<QSqlQuery> insert;
};
