// A device's log in the central database: its lock, its rows, the messages rendered
// at import.

#include "serverstore/serverlogstore.h"

#include "messagetext/recordmessage.h"
#include "protocol/devicetime.h"
#include "serverstore/serverarrays.h"
#include "serverstore/serverschema.h"
#include "store/devicetext.h"

#include <QDeadlineTimer>
#include <QSqlError>
#include <QStringList>
#include <QThread>
#include <QVariant>

#include <algorithm>
#include <initializer_list>
#include <utility>
#include <cstring>

namespace {

// Records held back in a batch before they go in, and the most rows one insert takes:
// a round trip to the server per record would cost more than the rest of the import.
constexpr std::size_t MaxRowsPerInsert = 500;
// How often a held lock is tried again while open() waits for it.
constexpr int LockRetryMs = 100;

using Bindings = std::initializer_list<std::pair<QString, QVariant>>;

// Prepares `sql` on `query`, binds the values to their placeholders and runs it.
bool execute(QSqlQuery &query, const QString &sql, Bindings bindings)
{
    if (!query.prepare(sql))
        return false;
    for (const auto &binding : bindings)
        query.bindValue(binding.first, binding.second);
    return query.exec();
}

} // namespace

ServerLogStore::~ServerLogStore()
{
    close();
}

void ServerLogStore::close()
{
    // A connection the server dropped counts as closed: nothing to roll back there.
    if (inBatch && connection.isOpen())
        connection.database().rollback();
    inBatch = false;
    pending.clear();
    // The prepared statements go before the connection they were made on.
    insert.reset();
    captions.clear();
    if (locked && connection.isOpen()) {
        QSqlQuery unlock(connection.database());
        execute(unlock, UnlockDeviceSql,
                {{QStringLiteral(":class"), ServerLockClass}, {QStringLiteral(":device"), deviceId}});
    }
    locked = false;
    connection.close();
    deviceId = 0;
}

StoreStatus ServerLogStore::open(const ServerUrl &url, const QString &deviceName, const ServerStoreSettings &settings)
{
    close();
    StoreStatus opened = connection.open(url, settings.program);
    if (opened)
        opened = prepareServerSchema(connection.database());
    if (opened)
        opened = takeDevice(deviceName, settings);
    if (!opened)
        close();
    return opened;
}

StoreStatus ServerLogStore::takeDevice(const QString &deviceName, const ServerStoreSettings &settings)
{
    name = deviceName;
    QSqlQuery query(connection.database());
    // Two collectors registering one new device at once: the second insert does nothing.
    if (!execute(query, InsertDeviceSql, {{QStringLiteral(":name"), name}})
        || !execute(query, SelectDeviceIdSql, {{QStringLiteral(":name"), name}}) || !query.next())
        return failed(query);
    deviceId = query.value(0).toInt();

    StoreStatus taken = lockDevice(settings);
    if (!taken)
        return taken;
    if (!execute(query, MarkDownloadSql, {{QStringLiteral(":device"), deviceId}}))
        return failed(query);
    return loadCaptions();
}

StoreStatus ServerLogStore::lockDevice(const ServerStoreSettings &settings)
{
    QSqlQuery query(connection.database());
    const QDeadlineTimer deadline(settings.lockWait.count());
    for (;;) {
        if (!execute(query, TryDeviceLockSql,
                     {{QStringLiteral(":class"), ServerLockClass}, {QStringLiteral(":device"), deviceId}})
            || !query.next())
            return failed(query);
        if (query.value(0).toBool()) {
            locked = true;
            return {};
        }
        if (settings.cancelled && settings.cancelled())
            return storeFailure(StoreError::Kind::Cancelled, QStringLiteral("прервано"));
        if (deadline.hasExpired())
            break;
        QThread::msleep(static_cast<unsigned long>(std::min<qint64>(LockRetryMs, deadline.remainingTime())));
    }
    return storeFailure(
        StoreError::Kind::Busy,
        QStringLiteral("Журнал устройства \"%1\" уже загружает другой сборщик: %2").arg(name, lockHolder()));
}

QString ServerLogStore::lockHolder()
{
    QSqlQuery query(connection.database());
    if (!execute(query, DeviceLockHolderSql,
                 {{QStringLiteral(":class"), ServerLockClass}, {QStringLiteral(":device"), deviceId}}))
        return connection.error(query.lastError()).text;
    // Gone in the meantime: the next run will find the device free.
    if (!query.next())
        return QStringLiteral("он только что завершился");
    // A role without pg_read_all_stats sees no details of other roles' sessions.
    const QString application = query.value(0).toString();
    QString holder = application.isEmpty()
        ? QStringLiteral("сеанс %1 пользователя %2").arg(query.value(3).toString(), query.value(4).toString())
        : application;
    QStringList details;
    if (!query.value(1).isNull())
        details << QStringLiteral("адрес %1").arg(query.value(1).toString());
    if (!query.value(2).isNull())
        details << QStringLiteral("с %1").arg(query.value(2).toString());
    if (!details.isEmpty())
        holder += QStringLiteral(" (%1)").arg(details.join(QStringLiteral(", ")));
    return holder;
}

StoreStatus ServerLogStore::loadCaptions()
{
    captions.clear();
    QSqlQuery query(connection.database());
    query.setForwardOnly(true);
    if (!execute(query, SelectCaptionsSql, {{QStringLiteral(":device"), deviceId}}))
        return failed(query);
    while (query.next())
        captions.insert(std::uint32_t(query.value(0).toLongLong()), query.value(1).toString());
    if (query.lastError().isValid())
        return failed(query);
    return {};
}

Failure<StoreError> ServerLogStore::failed(const QSqlQuery &query)
{
    Failure<StoreError> failure(connection.error(query.lastError()));
    if (inBatch && batchError)
        batchError = failure;
    return failure;
}

StoreResult<StoredFingerprints> ServerLogStore::readFingerprints()
{
    StoredFingerprints result;
    QSqlQuery query(connection.database());
    if (!execute(query, SelectFingerprintsSql, {{QStringLiteral(":device"), deviceId}}))
        return failed(query);
    if (!query.next()) {
        if (query.lastError().isValid())
            return failed(query);
        return storeFailure(StoreError::Kind::NotFound, QStringLiteral("Устройство не найдено"));
    }
    if (!query.value(0).isNull() && !query.value(1).isNull()) {
        result.known = true;
        result.idHash = std::uint32_t(query.value(0).toLongLong());
        result.captionHash = std::uint32_t(query.value(1).toLongLong());
    }
    return result;
}

StoreStatus ServerLogStore::writeFingerprints(std::uint32_t idHash, std::uint32_t captionHash)
{
    QSqlQuery query(connection.database());
    if (!execute(query, UpdateFingerprintsSql,
                 {{QStringLiteral(":idHash"), qint64(idHash)},
                  {QStringLiteral(":captionHash"), qint64(captionHash)},
                  {QStringLiteral(":device"), deviceId}}))
        return failed(query);
    return {};
}

StoreStatus ServerLogStore::storeCaption(std::uint32_t eventId, const char *text)
{
    const QString caption = decodeDeviceText(text, int(std::strlen(text)));
    QSqlQuery query(connection.database());
    if (!execute(query, UpsertEventSql,
                 {{QStringLiteral(":device"), deviceId},
                  {QStringLiteral(":id"), qint64(eventId)},
                  {QStringLiteral(":caption"), caption}}))
        return failed(query);
    captions.insert(eventId, caption);
    return {};
}

StoreResult<std::uint32_t> ServerLogStore::resumePoint(std::uint32_t first)
{
    StoreStatus inserted = insertPending();
    if (!inserted)
        return Failure(inserted.error());
    QSqlQuery query(connection.database());
    if (!execute(query, SelectDeviceNewestRecordSql, {{QStringLiteral(":device"), deviceId}}))
        return failed(query);
    if (query.next())
        return std::uint32_t(query.value(0).toLongLong() + query.value(1).toLongLong());
    if (query.lastError().isValid())
        return failed(query);
    return first;
}

QString ServerLogStore::messageOf(const DeviceRecord &record) const
{
    const auto caption = captions.constFind(record.eventId);
    return wholeMessage(caption == captions.constEnd() ? QVariant() : QVariant(*caption), record.data);
}

StoreStatus ServerLogStore::storeRecord(const DeviceRecord &record)
{
    pending.push_back(PendingRecord{record, messageOf(record)});
    if (inBatch && pending.size() < MaxRowsPerInsert)
        return {};
    return insertPending();
}

StoreStatus ServerLogStore::insertPending()
{
    std::size_t done = 0;
    StoreStatus inserted;
    while (done < pending.size() && inserted) {
        const std::size_t rows = std::min(pending.size() - done, MaxRowsPerInsert);
        inserted = insertRows(done, rows);
        done += rows;
    }
    pending.clear();
    return inserted;
}

StoreStatus ServerLogStore::insertRows(std::size_t first, std::size_t rows)
{
    if (!insert) {
        insert = std::make_unique<QSqlQuery>(connection.database());
        if (!insert->prepare(InsertLogRowsSql)) {
            const Failure<StoreError> failure = failed(*insert);
            insert.reset();
            return failure;
        }
    }
    ArrayLiteral index, count, time, type, event, data, message;
    for (std::size_t k = first; k < first + rows; ++k) {
        const DeviceRecord &record = pending[k].record;
        index.append(qint64(record.index));
        count.append(qint64(record.count));
        time.append(qint64(record.deviceTime) + DeviceEpochUnixSeconds);
        type.append(qint64(record.type));
        event.append(qint64(record.eventId));
        data.appendBytes(record.data);
        message.append(pending[k].message);
    }
    const Bindings bindings = {
        {QStringLiteral(":device"), deviceId},    {QStringLiteral(":i"), index.text()},
        {QStringLiteral(":count"), count.text()}, {QStringLiteral(":dt"), time.text()},
        {QStringLiteral(":type"), type.text()},   {QStringLiteral(":event"), event.text()},
        {QStringLiteral(":data"), data.text()},   {QStringLiteral(":message"), message.text()},
        {QStringLiteral(":name"), name},
    };
    for (const auto &binding : bindings)
        insert->bindValue(binding.first, binding.second);
    if (!insert->exec())
        return failed(*insert);
    return {};
}

bool ServerLogStore::beginBatch()
{
    if (inBatch || !connection.database().transaction())
        return false;
    inBatch = true;
    batchError = {};
    return true;
}

StoreStatus ServerLogStore::commitBatch()
{
    if (!inBatch)
        return {};
    StoreStatus committed = insertPending();
    inBatch = false;
    if (!batchError)
        committed = batchError;
    if (committed && connection.database().commit())
        return committed;
    if (committed)
        committed = Failure(connection.error(connection.database().lastError()));
    if (!connection.isOpen())
        return committed;
    connection.database().rollback();
    // Captions stored in the batch are gone with it.
    (void)loadCaptions();
    return committed;
}
