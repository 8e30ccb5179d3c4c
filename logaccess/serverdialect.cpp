// The central database's SQL of the read side: the log view's dialect for one device's
// rows.

#include "logaccess/serverdialect.h"

#include "logaccess/logviewstatements.h"
#include "serverstore/serverconnection.h"

#include <QStringList>
#include <QVariant>

namespace {

// dt holds the instant whose UTC wall clock is the device's clock; read back at UTC it
// is the device's time whatever the session's TimeZone.
const QString ServerTimeSql = QStringLiteral("to_char(l.dt AT TIME ZONE 'UTC', 'YYYY-MM-DD HH24:MI:SS')");

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
        QStringLiteral("CAST(extract(epoch FROM l.dt) AS bigint)"),
        ServerTypeIndexSql,
        ServerTimeAndTypeSql,
        ServerTimeAndTypeSql,
        QStringLiteral("(length(l.data) > %1)").arg(LogViewStatements::MaxShownData),
        QStringLiteral("substr(l.data, 1, %1)").arg(LogViewStatements::MaxShownData),
        serverList,
        serverTypeCondition,
        serverTimeCondition,
        QStringLiteral("SELECT l.type, ") + ServerTimeSql
            + QStringLiteral(", e.caption, l.data, l.id "
                             "FROM khronar.log l "
                             "LEFT OUTER JOIN khronar.event e ON e.device = l.device AND e.id = l.event AND e.type = 0 "
                             "WHERE l.device = :device AND l.id > :after "
                             "ORDER BY l.id ASC"),
        QStringLiteral("SELECT max(l.id) FROM khronar.log l WHERE l.device = :device"),
        serverError,
    };
    return dialect;
}

LogViewStatements serverLogStatements(qint64 deviceId)
{
    return LogViewStatements(serverLogViewDialect(), deviceId);
}
