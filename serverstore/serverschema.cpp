// The central log database's statement texts, and the creation of its schema.

#include "serverstore/serverschema.h"

#include "presentation/logviewstatements.h"

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
const QString InsertLogRowsSql = QStringLiteral(
    "INSERT INTO khronar.log (device, i, count, dt, type, event, data, message) "
    "SELECT :device, r.i, r.count, to_timestamp(r.dt), r.type, r.event, r.data, r.message "
    "FROM unnest(:i::bigint[], :count::smallint[], :dt::bigint[], :type::smallint[], :event::bigint[], "
    ":data::bytea[], :message::text[]) WITH ORDINALITY AS r(i, count, dt, type, event, data, message, n) "
    "ORDER BY r.n");

namespace {

// dt holds the instant whose UTC wall clock is the device's clock; read back at UTC it
// is the device's time whatever the session's TimeZone.
const QString ServerTimeSql = QStringLiteral("to_char(l.dt AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS')");

} // namespace

const QString ServerLogViewAfterSql = QStringLiteral("SELECT l.type, ") + ServerTimeSql
    + QStringLiteral(", e.caption, l.data, l.id "
                     "FROM khronar.log l "
                     "LEFT OUTER JOIN khronar.event e ON e.device = l.device AND e.id = l.event AND e.type = 0 "
                     "WHERE l.device = (SELECT id FROM khronar.device WHERE name = :name) AND l.id > :after "
                     "ORDER BY l.id ASC");

const QString ServerNewestRowIdSql = QStringLiteral(
    "SELECT max(l.id) FROM khronar.log l WHERE l.device = (SELECT id FROM khronar.device WHERE name = :name)");

const QString ListDevicesSql = QStringLiteral("SELECT name FROM khronar.device ORDER BY name");

namespace {

// The columns hold what a collector stores and nothing else (NOT NULL, a type 0..255, a
// time of a device's clock): the view's notions are the plain expressions.
const QString ServerTypeIndexSql = QStringLiteral("CASE WHEN l.type BETWEEN 0 AND 3 THEN l.type ELSE 0 END");
const QString ServerTimeAndTypeSql = QStringLiteral("CAST(extract(epoch FROM l.dt) AS bigint) * 4 + ")
    + ServerTypeIndexSql;

// The caption's `column` of the record `l`.
QString captionOf(const QString &column)
{
    return QStringLiteral("(SELECT e.%1 FROM khronar.event e WHERE e.device = l.device AND e.id = l.event "
                          "AND e.type = 0)")
        .arg(column);
}

QString serverList(const QString &column, bool ordered)
{
    return ordered ? QStringLiteral("string_agg(CAST(%1 AS text), ',' ORDER BY %1)").arg(column)
                   : QStringLiteral("string_agg(CAST(%1 AS text), ',')").arg(column);
}

QString serverTypeCondition(const QVector<int> &shown)
{
    QStringList set;
    for (const int type : shown)
        set << QString::number(type);
    const QString listed = QStringLiteral("l.type IN (%1)").arg(set.join(QLatin1Char(',')));
    // Codes no device defines count as information.
    return shown.contains(0) ? QStringLiteral("(%1 OR l.type NOT BETWEEN 0 AND 3)").arg(listed) : listed;
}

QString serverTimeCondition(const QDateTime &from, const QDateTime &to, LogSqlValues &values)
{
    // The bounds are the device's clock as the table shows it, in seconds since 1970 as
    // if it were UTC: the instants dt holds.
    QStringList bounds;
    if (from.isValid()) {
        bounds << QStringLiteral("l.dt >= to_timestamp(:fromSecond)");
        values << qMakePair(QStringLiteral(":fromSecond"), QVariant(from.toSecsSinceEpoch()));
    }
    if (to.isValid()) {
        bounds << QStringLiteral("l.dt <= to_timestamp(:toSecond)");
        values << qMakePair(QStringLiteral(":toSecond"), QVariant(to.toSecsSinceEpoch()));
    }
    return QLatin1Char('(') + bounds.join(QStringLiteral(" AND ")) + QLatin1Char(')');
}

} // namespace

const LogViewDialect &serverLogViewDialect()
{
    static const LogViewDialect dialect = {
        QStringLiteral("khronar.log l"),
        QStringLiteral("l.device = :device"),
        QStringLiteral("TRUE"),
        QStringLiteral("FALSE"),
        QStringLiteral("SELECT l.type, ") + ServerTimeSql
            + QStringLiteral(", e.caption, l.data "
                             "FROM khronar.log l "
                             "LEFT OUTER JOIN khronar.event e ON e.device = l.device AND e.id = l.event AND e.type = 0 "
                             "WHERE l.device = :device "
                             "ORDER BY l.id"),
        QStringLiteral("SELECT id, caption FROM khronar.event WHERE device = :device AND type = 0"),
        QStringLiteral("SELECT id, substr(caption, 1, %1) FROM khronar.event WHERE device = :device AND type = 0")
            .arg(LogViewStatements::MaxShownCaption + 1),
        // The key (device, id, type) gives each event of a device one caption of type 0.
        true,
        captionOf(QStringLiteral("caption")),
        captionOf(QStringLiteral("id")),
        ServerTimeSql,
        ServerTypeIndexSql,
        ServerTimeAndTypeSql,
        ServerTimeAndTypeSql,
        QStringLiteral("(length(l.data) > %1)").arg(LogViewStatements::MaxShownData),
        QStringLiteral("substr(l.data, 1, %1)").arg(LogViewStatements::MaxShownData),
        serverList,
        serverTypeCondition,
        serverTimeCondition,
    };
    return dialect;
}

namespace {

StoreOutcome failed(const QSqlQuery &query)
{
    return StoreOutcome{false, query.lastError().text()};
}

StoreOutcome createSchema(QSqlDatabase &database)
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
    return query.exec() ? StoreOutcome{} : failed(query);
}

// Inside the schema's transaction, with its lock held.
StoreOutcome createOrCheckSchema(QSqlDatabase &database)
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
        return StoreOutcome{false,
                            QStringLiteral("Схема khronar в базе данных версии %1, а эта программа знает "
                                           "версии до %2: обновите Хронар")
                                .arg(version)
                                .arg(ServerSchemaVersion)};
    // Later versions migrate older schemas here, step by step, in this transaction.
    return StoreOutcome{};
}

} // namespace

StoreOutcome prepareServerSchema(QSqlDatabase &database)
{
    if (!database.transaction())
        return StoreOutcome{false, database.lastError().text()};
    const StoreOutcome outcome = createOrCheckSchema(database);
    if (!outcome.ok) {
        database.rollback();
        return outcome;
    }
    if (!database.commit()) {
        const QString error = database.lastError().text();
        database.rollback();
        return StoreOutcome{false, error};
    }
    return outcome;
}
