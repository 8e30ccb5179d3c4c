// The log view's statements, joined from the parts of a dialect; a log file's dialect.

#include "logaccess/logviewstatements.h"

#include "logaccess/logfilter.h"
#include "logaccess/recordtimes.h"
#include "store/logschema.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>

namespace {

// The times the table can show: DATETIME gives NULL for whole seconds outside
// -4713-11-24 12:00:00 .. 9999-12-31 23:59:59. Inside, and from year 0 on, its text
// sorts as the seconds do, so a whole number of seconds is compared as a number.
constexpr qint64 FirstShownSecond = -210866760000LL;
constexpr qint64 LastShownSecond = 253402300799LL;
const QString LastShownText = QStringLiteral("9999-12-31 23:59:59");

QString timeText(const QDateTime &time)
{
    return time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString keyList(const QVector<qint64> &keys)
{
    QStringList texts;
    texts.reserve(keys.size());
    for (const qint64 key : keys)
        texts << QString::number(key);
    return texts.join(QLatin1Char(','));
}

QString numberList(const QVector<int> &numbers)
{
    QStringList texts;
    for (const int number : numbers)
        texts << QString::number(number);
    return texts.join(QLatin1Char(','));
}

// ---------------------------------------------------------------------------
// A log file (SQLite): the columns hold whatever another program may have left, so
// every notion is written for any value, with a cheap branch first for the whole
// numbers the tool itself stores.
// ---------------------------------------------------------------------------

QString fileTime()
{
    return QStringLiteral("DATETIME(l.dt, 'unixepoch', '+0 years')");
}

QString fileTypeIndex()
{
    // recordTypeIndex, case by case: a whole number 0..3 is itself; a text or byte
    // string is read as one once blanks, one "+" and leading zeros are gone; anything
    // else is 0. Whole numbers come first: they are every value a device stores.
    const QString trimmed = QStringLiteral("trim(CAST(l.type AS TEXT), ' ' || char(9, 10, 11, 12, 13))");
    const QString unsigned_
        = QStringLiteral("CASE WHEN substr(%1, 1, 1) = '+' THEN substr(%1, 2) ELSE %1 END").arg(trimmed);
    return QStringLiteral("CASE typeof(l.type)"
                          " WHEN 'integer' THEN CASE WHEN l.type BETWEEN 0 AND 3 THEN l.type ELSE 0 END"
                          " WHEN 'real' THEN CASE WHEN l.type IN (0.0, 1.0, 2.0, 3.0) THEN CAST(l.type AS INTEGER)"
                          " ELSE 0 END"
                          " WHEN 'null' THEN 0"
                          " ELSE CASE ltrim(%1, '0') WHEN '1' THEN 1 WHEN '2' THEN 2 WHEN '3' THEN 3 ELSE 0 END"
                          " END")
        .arg(unsigned_);
}

QString fileTimeAndType()
{
    // Nearly every record has a whole number of seconds the table can show and a type
    // 0..3: those take the first, cheap branches, and the general rules (the time as its
    // text reads, recordTypeIndex) run for the rest only. CAST is an operator, not a
    // function call; the comparisons are numeric, so no text or blob takes a short cut.
    return QStringLiteral("(CASE WHEN l.dt = CAST(l.dt AS INTEGER) AND l.dt BETWEEN %1 AND %2"
                          " THEN CAST(l.dt AS INTEGER)"
                          " ELSE CAST(strftime('%s', %3) AS INTEGER) END) * 4"
                          " + CASE WHEN l.type IN (0, 1, 2, 3) THEN CAST(l.type AS INTEGER) ELSE %4 END")
        .arg(FirstShownSecond)
        .arg(LastShownSecond)
        .arg(fileTime(), fileTypeIndex());
}

QString fileQuickTimeAndType()
{
    // Plain arithmetic for the numbers nearly every record holds; it lets reals through
    // for the reader to see, and takes a quarter less time than the exact form.
    return QStringLiteral("CASE WHEN l.type BETWEEN 0 AND 3 AND l.dt BETWEEN %1 AND %2"
                          " THEN l.dt * 4 + l.type ELSE %3 END")
        .arg(FirstShownSecond)
        .arg(LastShownSecond)
        .arg(fileTimeAndType());
}

QString fileIsLong()
{
    return QStringLiteral("(typeof(l.data) IN ('blob', 'text') AND length(l.data) > %1)")
        .arg(LogViewStatements::MaxShownData);
}

QString fileList(const QString &column, bool)
{
    // The database concatenates in the order it reads, which is the order asked for.
    return QStringLiteral("group_concat(%1)").arg(column);
}

QString fileTypeCondition(const QVector<int> &shown)
{
    // Whole numbers, nearly every stored type, are decided by the plain comparison;
    // the full rule runs for the rest only.
    const QString set = numberList(shown);
    QString whole = QStringLiteral("(l.type IN (%1) AND typeof(l.type) = 'integer')").arg(set);
    if (shown.contains(0))
        whole += QStringLiteral(" OR (typeof(l.type) = 'integer' AND l.type NOT BETWEEN 0 AND 3)");
    return QStringLiteral("(%1 OR (typeof(l.type) <> 'integer' AND (%2) IN (%3)))").arg(whole, fileTypeIndex(), set);
}

QString fileTimeCondition(const QDateTime &from, const QDateTime &to, LogSqlValues &values)
{
    // Compared as shown: the time text against the bounds' texts. For whole seconds,
    // where nearly every record is, the same comparison on the number.
    values << qMakePair(QStringLiteral(":fromSecond"),
                        QVariant(from.isValid() ? from.toSecsSinceEpoch() : FirstShownSecond))
           << qMakePair(QStringLiteral(":toSecond"), QVariant(to.isValid() ? to.toSecsSinceEpoch() : LastShownSecond))
           << qMakePair(QStringLiteral(":fromText"), QVariant(from.isValid() ? timeText(from) : QStringLiteral("")))
           << qMakePair(QStringLiteral(":toText"), QVariant(to.isValid() ? timeText(to) : LastShownText));
    return QStringLiteral("((l.dt BETWEEN :fromSecond AND :toSecond AND typeof(l.dt) = 'integer')"
                          " OR (typeof(l.dt) <> 'integer' AND %1 BETWEEN :fromText AND :toText))")
        .arg(fileTime());
}

} // namespace

const LogViewDialect &logFileDialect()
{
    static const LogViewDialect dialect = {
        QStringLiteral("Log l"),
        QString(),
        QStringLiteral("1"),
        QStringLiteral("0"),
        LogViewSql,
        QStringLiteral("SELECT rowid, caption FROM Events"),
        // Other values than texts (another program's) are kept as they are.
        QStringLiteral("SELECT rowid, CASE WHEN typeof(caption) IN ('text', 'blob') THEN substr(caption, 1, %1)"
                       " ELSE caption END FROM Events")
            .arg(LogViewStatements::MaxShownCaption + 1),
        false,
        // As the log view query has them; a scalar subquery rather than the query's outer
        // join, so that an Events table without its key cannot make one record two rows.
        // On a log file both give the same caption.
        QStringLiteral("(SELECT e.caption FROM Events e WHERE e.id = l.event AND e.type = 0 LIMIT 1)"),
        QStringLiteral("(SELECT e.rowid FROM Events e WHERE e.id = l.event AND e.type = 0 LIMIT 1)"),
        fileTime(),
        QStringLiteral("l.dt"),
        fileTypeIndex(),
        fileTimeAndType(),
        fileQuickTimeAndType(),
        fileIsLong(),
        QStringLiteral("CASE WHEN %1 THEN substr(l.data, 1, %2) ELSE l.data END")
            .arg(fileIsLong())
            .arg(LogViewStatements::MaxShownData),
        fileList,
        fileTypeCondition,
        fileTimeCondition,
        QStringLiteral("SELECT l.type, DATETIME(l.dt, 'unixepoch', '+0 years'), e.caption, l.data, l.id\tFROM Log l"
                       "\tLEFT OUTER JOIN Events e ON e.id = l.event AND e.type = 0\tWHERE l.id > :after"
                       "\tORDER BY l.id ASC"),
        QStringLiteral("SELECT max(id) FROM Log"),
        logFileError,
    };
    return dialect;
}

bool LogViewStatements::Statement::exec(QSqlQuery &query) const
{
    if (!query.prepare(text))
        return false;
    for (const auto &value : values)
        query.bindValue(value.first, value.second);
    return query.exec();
}

LogViewStatements::LogViewStatements(bool idIsRowId) : dialect(&logFileDialect()), idIsRowId(idIsRowId) {}

LogViewStatements::LogViewStatements(const LogViewDialect &dialect, const QVariant &scope)
    : dialect(&dialect),
      idIsRowId(true),
      scope(scope)
{}

StoreResult<LogViewStatements> LogViewStatements::ofLogFile(const QSqlDatabase &database)
{
    // Log.id is the row id when it is the one key column, declared INTEGER, of a table
    // with row ids (a table without them keeps its key in an index of origin "pk").
    QSqlQuery query(database);
    if (!query.exec(
            QStringLiteral(
                "SELECT (SELECT count(*) FROM pragma_table_info('Log') WHERE pk > 0),"
                " (SELECT upper(type) FROM pragma_table_info('Log') WHERE name = 'id' COLLATE NOCASE AND pk = 1),"
                " (SELECT count(*) FROM pragma_index_list('Log') WHERE origin = 'pk'),"
                " (SELECT count(*) FROM pragma_table_info('Log') WHERE name = 'device')"
                " * (SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = '")
            + MergedDevicesTable + QLatin1String("')"))
        || !query.next())
        return Failure(logFileError(query.lastError()));
    LogViewStatements statements(query.value(0).toInt() == 1 && query.value(1).toString() == QLatin1String("INTEGER")
                                 && query.value(2).toInt() == 0);
    // A merged log of one device shows and exports as that device's own log does.
    if (query.value(3).toInt() > 0) {
        if (!query.exec(QStringLiteral("SELECT count(*) FROM ") + MergedDevicesTable) || !query.next())
            return Failure(logFileError(query.lastError()));
        statements.devices = query.value(0).toInt() > 1;
    }
    return statements;
}

QString LogViewStatements::key() const
{
    return idIsRowId ? QStringLiteral("l.id") : QStringLiteral("l.rowid");
}

QString LogViewStatements::order(bool descending) const
{
    if (idIsRowId)
        return descending ? QStringLiteral("l.id DESC") : QStringLiteral("l.id");
    return descending ? QStringLiteral("l.id DESC, l.rowid DESC") : QStringLiteral("l.id, l.rowid");
}

QString LogViewStatements::from(Statement &statement, const QString &condition) const
{
    QString text = QStringLiteral("FROM ") + dialect->log;
    if (dialect->scope.isEmpty()) {
        if (!condition.isEmpty())
            text += QStringLiteral(" WHERE ") + condition;
        return text;
    }
    statement.values << qMakePair(QStringLiteral(":device"), scope);
    text += QStringLiteral(" WHERE ") + dialect->scope;
    if (!condition.isEmpty())
        text += QStringLiteral(" AND (%1)").arg(condition);
    return text;
}

LogViewStatements::Statement LogViewStatements::scoped(const QString &text) const
{
    Statement statement{text, {}};
    if (!dialect->scope.isEmpty())
        statement.values << qMakePair(QStringLiteral(":device"), scope);
    return statement;
}

LogViewStatements::Statement LogViewStatements::viewAfterSql(qint64 afterId) const
{
    Statement statement = scoped(dialect->viewAfter);
    statement.values << qMakePair(QStringLiteral(":after"), QVariant(afterId));
    return statement;
}

LogViewStatements::Statement LogViewStatements::newestRowIdSql() const
{
    return scoped(dialect->newestRowId);
}

LogViewStatements::Statement LogViewStatements::viewCheckSql() const
{
    return scoped(dialect->view + QStringLiteral(" LIMIT 0"));
}

LogViewStatements::Statement LogViewStatements::captionsSql(bool shownPart) const
{
    return scoped(shownPart ? dialect->shownCaptions : dialect->captions);
}

LogViewStatements::Statement LogViewStatements::countSql() const
{
    Statement statement;
    statement.text = QStringLiteral("SELECT count(*) ") + from(statement);
    return statement;
}

LogViewStatements::Statement LogViewStatements::countRangeSql(qint64 low, qint64 high) const
{
    Statement statement;
    statement.text = QStringLiteral("SELECT count(*) ")
        + from(statement, key() + QStringLiteral(" BETWEEN :low AND :high"));
    statement.values << qMakePair(QStringLiteral(":low"), QVariant(low))
                     << qMakePair(QStringLiteral(":high"), QVariant(high));
    return statement;
}

LogViewStatements::Statement LogViewStatements::keyBoundsSql() const
{
    // Two subqueries: SQLite finds a lone min() or max() of the key at once, both in one
    // select only by reading every row.
    Statement statement;
    statement.text = QStringLiteral("SELECT (SELECT min(%1) %2), (SELECT max(%1) %3)")
                         .arg(key(), from(statement), from(statement));
    return statement;
}

LogViewStatements::Statement LogViewStatements::edgeKeysSql(bool newest, int count) const
{
    Statement statement;
    statement.text = QStringLiteral("SELECT %1 %2 ORDER BY %3 LIMIT :count").arg(key(), from(statement), order(newest));
    statement.values << qMakePair(QStringLiteral(":count"), QVariant(count));
    return statement;
}

LogViewStatements::Statement LogViewStatements::edgeTimeSql(bool newest) const
{
    Statement statement;
    statement.text = QStringLiteral("SELECT %1 %2 ORDER BY %3 LIMIT 1").arg(timeSql(), from(statement), order(newest));
    return statement;
}

LogViewStatements::Statement LogViewStatements::pageSql(const QVector<qint64> &keys) const
{
    // A run of consecutive keys, the usual page, is a range of the table; any other set
    // is looked up key by key. The keys are numbers the model holds, never user text.
    QString where;
    bool consecutive = !keys.isEmpty();
    for (int i = 1; consecutive && i < keys.size(); ++i)
        consecutive = keys[i] == keys[i - 1] + 1;
    if (consecutive)
        where = QStringLiteral("%1 BETWEEN %2 AND %3").arg(key()).arg(keys.first()).arg(keys.last());
    else
        where = QStringLiteral("%1 IN (%2)").arg(key(), keyList(keys));
    Statement statement;
    const QString device = devices ? deviceNameColumn() : QString();
    statement.text = QStringLiteral("SELECT %1, l.type, %2, %3, CASE WHEN %4 THEN NULL ELSE l.data END, %4%5 %6")
                         .arg(key(), timeSql(), dialect->captionKey, dialect->isLong, device, from(statement, where));
    return statement;
}

LogViewStatements::Statement LogViewStatements::longDataSql(qint64 recordKey) const
{
    Statement statement;
    statement.text = QStringLiteral("SELECT substr(l.data, 1, %1) %2")
                         .arg(MaxShownData)
                         .arg(from(statement, key() + QStringLiteral(" = :key")));
    statement.values << qMakePair(QStringLiteral(":key"), QVariant(recordKey));
    return statement;
}

LogViewStatements::Statement LogViewStatements::selectPassing(const QString &columns, const LogFilter &filter,
                                                              const KeyRange *range, const QDateTime &atOrAfter) const
{
    Statement statement;
    QString where = dialect->always;
    if (range != nullptr) {
        where = QStringLiteral("%1 BETWEEN :low AND :high").arg(key());
        statement.values = {{QStringLiteral(":low"), range->low}, {QStringLiteral(":high"), range->high}};
    }
    where += conditions(filter, atOrAfter, statement.values);
    statement.text = QStringLiteral("SELECT %1 %2 ORDER BY %3").arg(columns, from(statement, where), order());
    return statement;
}

LogViewStatements::Statement LogViewStatements::scanSql(const LogFilter &filter, bool withMessages,
                                                        const KeyRange *range, const QDateTime &atOrAfter) const
{
    const QString columns = withMessages
        ? QStringLiteral("%1, l.event, %2, %3").arg(key(), dialect->shownData, timeAndTypeSql())
        : key();
    return selectPassing(columns, filter, range, atOrAfter);
}

LogViewStatements::Statement LogViewStatements::keyListSql(const LogFilter &filter, const KeyRange &range) const
{
    Statement statement = selectPassing(key() + QStringLiteral(" AS k"), filter, &range, QDateTime());
    statement.text = QStringLiteral("SELECT %1 FROM (%2) AS passing")
                         .arg(dialect->list(QStringLiteral("k"), true), statement.text);
    return statement;
}

LogViewStatements::Statement LogViewStatements::captionRowSql(qint64 recordKey) const
{
    Statement statement;
    statement.text
        = QStringLiteral("SELECT %1 %2").arg(dialect->captionKey, from(statement, key() + QStringLiteral(" = :key")));
    statement.values << qMakePair(QStringLiteral(":key"), QVariant(recordKey));
    return statement;
}

LogViewStatements::Statement LogViewStatements::exportSql(const LogFilter &filter, bool withShownData,
                                                          const qint64 *after, int rows) const
{
    Statement statement;
    QString where = dialect->always;
    if (idIsRowId && after != nullptr) {
        where = key() + QStringLiteral(" > :after");
        statement.values << qMakePair(QStringLiteral(":after"), QVariant(*after));
    }
    where += conditions(filter, QDateTime(), statement.values);
    QString columns = QStringLiteral("%1, l.type, %2, l.event, l.data").arg(key(), timeSql());
    if (withShownData)
        columns += QStringLiteral(", CASE WHEN %1 THEN %2 END").arg(dialect->isLong, dialect->shownData);
    else if (devices)
        columns += QStringLiteral(", NULL");
    if (devices)
        columns += deviceNameColumn();
    statement.text = QStringLiteral("SELECT %1 %2 ORDER BY %3").arg(columns, from(statement, where), order());
    if (idIsRowId) {
        statement.text += QStringLiteral(" LIMIT :rows");
        statement.values << qMakePair(QStringLiteral(":rows"), QVariant(rows));
    }
    return statement;
}

QString LogViewStatements::withDevice(const QString &timeAndType) const
{
    if (!devices)
        return timeAndType;
    // The devices of a merged log are numbered from 1; a value past the slots (no merge
    // has that many) is kept as the last device rather than spilling into the type.
    return QStringLiteral("((%1) * %2 + min(max(l.device - 1, 0), %3))")
        .arg(timeAndType)
        .arg(RecordTimes::DeviceSlots)
        .arg(RecordTimes::DeviceSlots - 1);
}

QString LogViewStatements::deviceNameColumn() const
{
    return QStringLiteral(", (SELECT d.name FROM %1 d WHERE d.id = l.device)").arg(MergedDevicesTable);
}

LogViewStatements::Statement LogViewStatements::storedTimeFromNewestSql(int fromNewest) const
{
    Statement statement;
    statement.text = QStringLiteral("SELECT %1 %2 ORDER BY %3 LIMIT 1 OFFSET :skip")
                         .arg(dialect->storedTime, from(statement), order(true));
    statement.values << qMakePair(QStringLiteral(":skip"), QVariant(fromNewest));
    return statement;
}

LogViewStatements::Statement LogViewStatements::newestKeyStoredBeforeSql(qint64 second) const
{
    Statement statement;
    statement.text = QStringLiteral("SELECT %1 %2 ORDER BY %3 LIMIT 1")
                         .arg(key(), from(statement, dialect->storedTime + QStringLiteral(" < :second")), order(true));
    statement.values << qMakePair(QStringLiteral(":second"), QVariant(second));
    return statement;
}

LogViewStatements::Statement LogViewStatements::copySql(const qint64 *after, int rows) const
{
    Statement statement;
    const bool batched = idIsRowId && rows > 0;
    QString where = dialect->always;
    if (batched && after != nullptr) {
        where = key() + QStringLiteral(" > :after");
        statement.values << qMakePair(QStringLiteral(":after"), QVariant(*after));
    }
    statement.text = QStringLiteral("SELECT %1, %2, l.type, %3, %4, l.data %5 ORDER BY %6")
                         .arg(key(), timeSql(), dialect->storedTime, dialect->captionKey, from(statement, where),
                              order());
    if (batched) {
        statement.text += QStringLiteral(" LIMIT :rows");
        statement.values << qMakePair(QStringLiteral(":rows"), QVariant(rows));
    }
    return statement;
}

LogViewStatements::Statement LogViewStatements::timesSql(const KeyRange *range, bool exact) const
{
    // One text rather than a row per record: a million values come out of the database
    // several times faster so, and no sort of a GROUP BY is needed.
    const QString value = withDevice(exact ? dialect->timeAndType : dialect->quickTimeAndType);
    Statement statement;
    QString where = dialect->always;
    if (range != nullptr) {
        where = QStringLiteral("%1 BETWEEN :low AND :high").arg(key());
        statement.values = {{QStringLiteral(":low"), range->low}, {QStringLiteral(":high"), range->high}};
    }
    statement.text = QStringLiteral("SELECT %1 %2").arg(dialect->list(value, false), from(statement, where));
    return statement;
}

QString LogViewStatements::conditions(const LogFilter &filter, const QDateTime &atOrAfter, LogSqlValues &values) const
{
    QString where;
    if (filter.hasTypeCondition()) {
        QVector<int> shown;
        for (int type = 0; type < 4; ++type) {
            if (filter.showsType(type))
                shown << type;
        }
        where += QStringLiteral(" AND ") + (shown.isEmpty() ? dialect->never : dialect->typeCondition(shown));
    }
    // Both bounds, and the time to go to, narrow one span [from, to].
    QDateTime from = wallClockSeconds(filter.from);
    const QDateTime to = wallClockSeconds(filter.to);
    const QDateTime at = wallClockSeconds(atOrAfter);
    if (at.isValid() && (!from.isValid() || at > from))
        from = at;
    if (from.isValid() || to.isValid())
        where += QStringLiteral(" AND ") + dialect->timeCondition(from, to, values);
    // The devices of a merged log are numbered from 1 in the order of the view's list.
    if (devices && filter.hasDeviceCondition()) {
        QStringList hidden;
        for (const int device : filter.hiddenDevices)
            hidden << QString::number(qint64(device) + 1);
        where += QStringLiteral(" AND l.device NOT IN (%1)").arg(hidden.join(QLatin1Char(',')));
    }
    return where;
}
