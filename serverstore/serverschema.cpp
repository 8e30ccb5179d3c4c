// The central log database's statement texts, and the creation of its schema.

#include "serverstore/serverschema.h"

#include "serverstore/serverconnection.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

const QString SchemaLockSql = QStringLiteral("SELECT pg_advisory_xact_lock(:class, 0)");

const QString SchemaPresentSql = QStringLiteral("SELECT to_regclass('khronar.schema_version') IS NOT NULL");

const QString CreateSchemaSql = QStringLiteral("CREATE SCHEMA IF NOT EXISTS khronar");

const QString CreateSchemaVersionTableSql = QStringLiteral(
    "CREATE TABLE khronar.schema_version (version integer NOT NULL)");

// Fingerprints are the device's unsigned 32-bit values, hence bigint.
const QString CreateDeviceTableSql = QStringLiteral("CREATE TABLE khronar.device ("
                                                    "id serial PRIMARY KEY, "
                                                    "name text NOT NULL UNIQUE, "
                                                    "id_hash bigint, "
                                                    "caption_hash bigint, "
                                                    "first_download timestamptz, "
                                                    "last_download timestamptz)");

const QString CreateEventTableSql = QStringLiteral(
    "CREATE TABLE khronar.event ("
    "device integer NOT NULL REFERENCES khronar.device (id) ON DELETE CASCADE, "
    "id bigint NOT NULL, "
    "type smallint NOT NULL, "
    "caption text, "
    "PRIMARY KEY (device, id, type))");

// The key (device, id) serves both the resume point and the log view of one device.
const QString CreateServerLogTableSql = QStringLiteral(
    "CREATE TABLE khronar.log ("
    "device integer NOT NULL REFERENCES khronar.device (id) ON DELETE CASCADE, "
    "id bigserial NOT NULL, "
    "i bigint NOT NULL, "
    "count smallint NOT NULL, "
    "dt timestamptz NOT NULL, "
    "type smallint NOT NULL, "
    "event bigint NOT NULL, "
    "data bytea NOT NULL, "
    "message text NOT NULL, "
    "PRIMARY KEY (device, id))");

// Added to servers already in use without a new schema version: programs that know
// only version 1 name their columns and keep working beside it. A constant default
// makes the column at once, without rewriting the table.
const QString DeviceClockOffsetPresentSql = QStringLiteral(
    "SELECT count(*) FROM information_schema.columns "
    "WHERE table_schema = 'khronar' AND table_name = 'device' AND column_name = 'clock_offset'");

const QString AddDeviceClockOffsetSql = QStringLiteral(
    "ALTER TABLE khronar.device ADD COLUMN IF NOT EXISTS clock_offset integer NOT NULL DEFAULT 0");

const QString SelectDeviceClockOffsetSql = QStringLiteral("SELECT clock_offset FROM khronar.device WHERE id = :device");

const QString UpdateDeviceClockOffsetSql = QStringLiteral(
    "UPDATE khronar.device SET clock_offset = :offset WHERE id = :device");

const QString InsertSchemaVersionSql = QStringLiteral("INSERT INTO khronar.schema_version (version) VALUES (:version)");

const QString SelectSchemaVersionSql = QStringLiteral("SELECT max(version) FROM khronar.schema_version");

const QString InsertDeviceSql = QStringLiteral(
    "INSERT INTO khronar.device (name) VALUES (:name) ON CONFLICT (name) DO NOTHING");

const QString SelectDeviceIdSql = QStringLiteral("SELECT id FROM khronar.device WHERE name = :name");

const QString MarkDownloadSql = QStringLiteral(
    "UPDATE khronar.device SET first_download = coalesce(first_download, now()), last_download = now() "
    "WHERE id = :device");

const QString TryDeviceLockSql = QStringLiteral("SELECT pg_try_advisory_lock(:class, :device)");

const QString UnlockDeviceSql = QStringLiteral("SELECT pg_advisory_unlock(:class, :device)");

// The two-key form of an advisory lock shows its keys as classid and objid, with
// objsubid 2. backend_start is when the holder connected, just before it took the lock.
const QString DeviceLockHolderSql = QStringLiteral(
    "SELECT a.application_name, host(a.client_addr), "
    "to_char(a.backend_start, 'YYYY-MM-DD HH24:MI:SS TZ'), a.pid, a.usename "
    "FROM pg_locks l JOIN pg_stat_activity a ON a.pid = l.pid "
    "WHERE l.locktype = 'advisory' AND l.granted AND l.objsubid = 2 "
    "AND l.database = (SELECT oid FROM pg_database WHERE datname = current_database()) "
    "AND l.classid = :class AND l.objid = :device");

const QString SelectFingerprintsSql = QStringLiteral(
    "SELECT id_hash, caption_hash FROM khronar.device WHERE id = :device");

const QString UpdateFingerprintsSql = QStringLiteral(
    "UPDATE khronar.device SET id_hash = :idHash, caption_hash = :captionHash WHERE id = :device");

const QString UpsertEventSql = QStringLiteral(
    "INSERT INTO khronar.event (device, id, type, caption) VALUES (:device, :id, 0, :caption) "
    "ON CONFLICT (device, id, type) DO UPDATE SET caption = EXCLUDED.caption");

const QString SelectCaptionsSql = QStringLiteral(
    "SELECT id, caption FROM khronar.event WHERE device = :device AND type = 0 AND caption IS NOT NULL");

const QString SelectDeviceNewestRecordSql = QStringLiteral(
    "SELECT i, count FROM khronar.log WHERE device = :device ORDER BY id DESC LIMIT 1");

// One statement for a whole batch: the server parses seven arrays instead of seven
// values per record. The ordinality keeps the serial ids in the arrays' order.
const QString LogChangeChannel = QStringLiteral("khronar_log");

const QString InsertLogRowsSql
    = QStringLiteral(
          "WITH stored AS (INSERT INTO khronar.log (device, i, count, dt, type, event, data, message) "
          "SELECT :device, r.i, r.count, to_timestamp(r.dt), r.type, r.event, r.data, r.message "
          "FROM unnest(:i::bigint[], :count::smallint[], :dt::bigint[], :type::smallint[], :event::bigint[], "
          ":data::bytea[], :message::text[]) WITH ORDINALITY AS r(i, count, dt, type, event, data, message, n) "
          "ORDER BY r.n RETURNING 1) "
          "SELECT pg_notify('")
    + LogChangeChannel + QStringLiteral("', :name) WHERE EXISTS (SELECT 1 FROM stored)");

const QString ListDevicesSql = QStringLiteral("SELECT name FROM khronar.device ORDER BY name");

const QString ListDevicesLikeSql = QStringLiteral(
    "SELECT id, name FROM khronar.device WHERE name LIKE :pattern ORDER BY name");

namespace {

Failure<StoreError> failed(const QSqlQuery &query)
{
    StoreError error = serverError(query.lastError());
    // Shown with the driver's words too, as it always was.
    error.text = query.lastError().text();
    return Failure(error);
}

// The columns added since version 1 that this schema lacks. Asked first, so that a
// schema that has them takes no lock on the table: ALTER TABLE would wait for every
// reader of the devices, and every statement on them would wait behind it.
StoreStatus upgradeSchema(QSqlDatabase &database)
{
    QSqlQuery query(database);
    if (!query.exec(DeviceClockOffsetPresentSql) || !query.next())
        return failed(query);
    if (query.value(0).toInt() == 0 && !query.exec(AddDeviceClockOffsetSql))
        return failed(query);
    return {};
}

StoreStatus createSchema(QSqlDatabase &database)
{
    QSqlQuery query(database);
    for (const QString *statement : {&CreateSchemaSql, &CreateSchemaVersionTableSql, &CreateDeviceTableSql,
                                     &CreateEventTableSql, &CreateServerLogTableSql}) {
        if (!query.exec(*statement))
            return failed(query);
    }
    if (!query.prepare(InsertSchemaVersionSql))
        return failed(query);
    query.bindValue(QStringLiteral(":version"), ServerSchemaVersion);
    if (!query.exec())
        return failed(query);
    return upgradeSchema(database);
}

// Inside the schema's transaction, with its lock held.
StoreStatus createOrCheckSchema(QSqlDatabase &database)
{
    QSqlQuery query(database);
    if (!query.prepare(SchemaLockSql))
        return failed(query);
    query.bindValue(QStringLiteral(":class"), ServerLockClass);
    if (!query.exec())
        return failed(query);
    if (!query.exec(SchemaPresentSql) || !query.next())
        return failed(query);
    if (!query.value(0).toBool())
        return createSchema(database);
    if (!query.exec(SelectSchemaVersionSql) || !query.next())
        return failed(query);
    const int version = query.value(0).toInt();
    if (version > ServerSchemaVersion)
        return storeFailure(StoreError::Kind::NotALog,
                            QStringLiteral("Схема khronar в базе данных версии %1, а эта программа знает "
                                           "версии до %2: обновите Хронар")
                                .arg(version)
                                .arg(ServerSchemaVersion));
    // Later versions migrate older schemas here, step by step, in this transaction.
    return upgradeSchema(database);
}

} // namespace

StoreStatus prepareServerSchema(QSqlDatabase &database)
{
    const auto driverFailure = [&database] {
        StoreError error = serverError(database.lastError());
        error.text = database.lastError().text();
        return Failure(error);
    };
    if (!database.transaction())
        return driverFailure();
    StoreStatus prepared = createOrCheckSchema(database);
    if (!prepared) {
        database.rollback();
        return prepared;
    }
    if (!database.commit()) {
        const Failure<StoreError> failure = driverFailure();
        database.rollback();
        return failure;
    }
    return prepared;
}
