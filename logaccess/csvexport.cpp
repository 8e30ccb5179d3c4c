// The CSV export: streams the log view query (or the rows a filter passes) into an open
// device, one row at a time.

#include "logaccess/csvexport.h"

#include "logaccess/logfilter.h"
#include "logaccess/logmessages.h"
#include "logaccess/logsource.h"
#include "logaccess/logviewstatements.h"
#include "messagetext/captionformat.h"
#include "store/logschema.h"

#include <QFile>
#include <QIODevice>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

// Whether `query` has failed, and if so, its error into `queryError`.
bool failed(const QSqlQuery &query, QSqlError *queryError)
{
    if (query.lastError().type() == QSqlError::NoError)
        return false;
    if (queryError != nullptr)
        *queryError = query.lastError();
    return true;
}

// The text of `error`, if any, into `queryError`.
void keepText(const QSqlError &error, QString *queryError)
{
    if (error.type() != QSqlError::NoError && queryError != nullptr)
        *queryError = error.text();
}

} // namespace

LogCsvWriter::LogCsvWriter(QIODevice &out) : out(out)
{
    for (int i = 0; i < RecordTypeCount; ++i)
        typeFields[i] = '"' + QString::fromUtf8(RecordTypeNames[i]).toLocal8Bit() + "\";";
    unknownEvent = QStringLiteral("Неизвестное событие").toLocal8Bit();
}

bool LogCsvWriter::writeRow(const QSqlQuery &row)
{
    return writeLine(row, nullptr);
}

bool LogCsvWriter::writeRow(const QSqlQuery &row, const QString &message)
{
    return writeLine(row, &message);
}

bool LogCsvWriter::writeLine(const QSqlQuery &row, const QString *rendered)
{
    line.clear();
    line += '"';
    line += row.value(1).toString().toLocal8Bit();
    line += "\";";
    line += typeFields[recordTypeIndex(row.value(0))];
    line += '"';
    const QVariant caption = row.value(2);
    if (caption.isNull()) {
        line += unknownEvent;
    } else {
        QString message = rendered != nullptr ? *rendered
                                              : formatCaption(caption.toString(), row.value(3).toByteArray());
        message.replace(QLatin1Char('"'), QLatin1String("\"\""));
        line += message.toLocal8Bit();
    }
    line += "\"\n";
    return out.write(line) == line.size();
}

bool writeLogCsv(const QSqlDatabase &database, const LogViewStatements &statements, QIODevice &out,
                 const LogFilter &filter, QSqlError *queryError)
{
    QSqlQuery query(database);
    query.setForwardOnly(true);
    if (!statements.exportSql(filter).exec(query)) {
        failed(query, queryError);
        return true;
    }
    // The type and time conditions are the query's; the text is looked for in the
    // message as the table shows it, which long data renders from its first part only.
    const LogTextMatcher matcher(filter);
    LogCsvWriter writer(out);
    while (query.next()) {
        if (!matcher.isActive()) {
            if (!writer.writeRow(query))
                return false;
            continue;
        }
        const bool longData = !query.value(4).isNull();
        const QString shown = shownMessage(query.value(2), query.value(longData ? 4 : 3).toByteArray());
        if (!matcher.matches(shown))
            continue;
        if (!(longData ? writer.writeRow(query) : writer.writeRow(query, shown)))
            return false;
    }
    // next() is false at the end and on a read error alike.
    failed(query, queryError);
    return true;
}

bool writeLogCsv(const QSqlDatabase &database, QIODevice &out, QString *queryError)
{
    // Without a filter any log file's statements run the log view query itself.
    QSqlError error;
    const bool written = writeLogCsv(database, LogViewStatements(), out, LogFilter(), &error);
    keepText(error, queryError);
    return written;
}

bool writeLogCsv(const QSqlDatabase &database, QIODevice &out, const LogFilter &filter, QString *queryError)
{
    if (filter.isEmpty())
        return writeLogCsv(database, out, queryError);
    LogViewStatements statements;
    QString failure;
    if (!LogViewStatements::forLog(database, &statements, &failure)) {
        if (queryError != nullptr)
            *queryError = failure;
        return true;
    }
    QSqlError error;
    const bool written = writeLogCsv(database, statements, out, filter, &error);
    keepText(error, queryError);
    return written;
}

bool writeLogCsv(const LogSource &source, QIODevice &out, const LogFilter &filter, QString *queryError)
{
    LogViewStatements statements;
    QString failure;
    if (!source.readStatements(&statements, &failure)) {
        if (queryError != nullptr)
            *queryError = failure;
        return true;
    }
    QSqlError error;
    const bool written = writeLogCsv(source.database(), statements, out, filter, &error);
    if (error.type() != QSqlError::NoError && queryError != nullptr)
        *queryError = source.errorText(error);
    return written;
}

QString cannotWriteFileText(const QString &path)
{
    return QStringLiteral("Не удается записать файл \"") + path + QLatin1Char('"');
}

StoreStatus writeLogCsv(const QSqlDatabase &database, const LogViewStatements &statements, QIODevice &out,
                        const LogFilter &filter)
{
    QSqlError failure;
    if (!writeLogCsv(database, statements, out, filter, &failure))
        return storeFailure(StoreError::Kind::Io, out.errorString());
    if (failure.type() != QSqlError::NoError)
        return Failure(statements.error(failure));
    return {};
}

StoreStatus exportLogCsvFile(const QSqlDatabase &database, const LogViewStatements &statements, const QString &path,
                             const LogFilter &filter)
{
    StoreStatus read;
    const bool written = writeCsvFile(path, [&](QIODevice &out) {
        read = writeLogCsv(database, statements, out, filter);
        return read.ok();
    });
    // A log that cannot be read is the store's error; an empty file would pass for an
    // empty log.
    if (!read && read.error().kind != StoreError::Kind::Io)
        return read;
    if (!written)
        return storeFailure(StoreError::Kind::Io, cannotWriteFileText(path));
    return {};
}

bool writeCsvFile(const QString &path, const std::function<bool(QIODevice &)> &write)
{
    QFile file(path);
    const bool written = file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text) && write(file)
        && file.flush();
    file.close();
    return written && file.error() == QFileDevice::NoError;
}

bool exportLogCsvFile(const QSqlDatabase &database, const QString &path, QString *queryError)
{
    return exportLogCsvFile(database, path, LogFilter(), queryError);
}

bool exportLogCsvFile(const QSqlDatabase &database, const QString &path, const LogFilter &filter, QString *queryError)
{
    return writeCsvFile(path, [&](QIODevice &out) { return writeLogCsv(database, out, filter, queryError); });
}

bool exportLogCsvFile(const LogSource &source, const QString &path, const LogFilter &filter, QString *queryError)
{
    return writeCsvFile(path, [&](QIODevice &out) { return writeLogCsv(source, out, filter, queryError); });
}

StoreResult<qint64> writeLogCsvAfter(const QSqlDatabase &database, const LogViewStatements &statements, QIODevice &out,
                                     qint64 afterId)
{
    QSqlQuery query(database);
    query.setForwardOnly(true);
    if (!statements.viewAfterSql(afterId).exec(query))
        return Failure(statements.error(query.lastError()));
    LogCsvWriter writer(out);
    qint64 last = afterId;
    while (query.next()) {
        if (!writer.writeRow(query))
            return storeFailure(StoreError::Kind::Io, out.errorString());
        last = query.value(4).toLongLong();
    }
    // next() is false at the end and on a read error alike.
    if (query.lastError().isValid())
        return Failure(statements.error(query.lastError()));
    return last;
}

StoreResult<qint64> newestLogRowId(const QSqlDatabase &database, const LogViewStatements &statements)
{
    QSqlQuery query(database);
    if (!statements.newestRowIdSql().exec(query))
        return Failure(statements.error(query.lastError()));
    if (!query.next())
        return Failure(statements.error(query.lastError()));
    // NULL for an empty log: nothing stored yet, so everything to come is after 0.
    return query.value(0).toLongLong();
}
