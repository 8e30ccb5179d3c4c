// The CSV export: streams the log view query (or the rows a filter passes) into an open
// device, one row at a time.

#include "logaccess/csvexport.h"

#include "logaccess/logfilter.h"
#include "logaccess/logmessages.h"
#include "logaccess/logviewstatements.h"
#include "messagetext/captionformat.h"
#include "messagetext/recordmessage.h"

#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QSaveFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTextCodec>
#include <QVariant>

#include <algorithm>

namespace {

// Whether `query` has failed.
bool failed(const QSqlQuery &query)
{
    return query.lastError().type() != QSqlError::NoError;
}

// Records read ahead of their lines: at most this many, and no more data than this.
constexpr int ReadAheadRows = 1024;
constexpr qint64 ReadAheadBytes = 8 * 1024 * 1024;
// Characters of a message converted to the file's encoding at a time.
constexpr int MessagePiece = 64 * 1024;

} // namespace

CsvEncoding csvEncodingFor(QTextCodec *systemCodec)
{
    // A log's messages are made of the characters of Windows-1251, the devices' code
    // page, in which captions are stored: the type names, the words of the caption
    // language and every character a caption can hold.
    static const QString repertoire = [] {
        QByteArray bytes;
        for (int byte = 0x20; byte <= 0xFF; ++byte) {
            if (byte != 0x7F && byte != 0x98) // no character in Windows-1251
                bytes += char(byte);
        }
        return QTextCodec::codecForName("windows-1251")->toUnicode(bytes);
    }();
    if (systemCodec && systemCodec->canEncode(repertoire))
        return {systemCodec, false};
    return {QTextCodec::codecForName("UTF-8"), true};
}

CsvEncoding systemCsvEncoding()
{
    return csvEncodingFor(systemCodec());
}

LogCsvWriter::LogCsvWriter(QIODevice &out, const CsvEncoding &encoding) : out(out), encoding(encoding)
{
    for (int i = 0; i < RecordTypeCount; ++i)
        typeFields[i] = '"' + encoding.codec->fromUnicode(QString::fromUtf8(RecordTypeNames[i])) + "\";";
}

bool LogCsvWriter::writeStart()
{
    static const char mark[] = "\xEF\xBB\xBF";
    return !encoding.byteOrderMark || out.write(mark, 3) == 3;
}

bool LogCsvWriter::writeRow(const QSqlQuery &row)
{
    const QVariant caption = row.value(2);
    return writeRecord(row.value(0), row.value(1),
                       caption.isNull() ? UnknownEventText
                                        : formatCaption(caption.toString(), row.value(3).toByteArray()));
}

bool LogCsvWriter::writeRecord(const QVariant &type, const QVariant &time, const QString &message)
{
    line.clear();
    line += '"';
    line += encoding.codec->fromUnicode(time.toString());
    line += "\";";
    line += typeFields[recordTypeIndex(type)];
    line += '"';
    QString escaped = message;
    escaped.replace(QLatin1Char('"'), QLatin1String("\"\""));
    // A message of megabytes is converted and written a piece at a time rather than held
    // converted whole. The pieces never part the two halves of a character, so the bytes
    // are those of the whole message converted at once.
    for (int start = 0; start < escaped.size();) {
        int length = std::min(MessagePiece, escaped.size() - start);
        if (start + length < escaped.size() && escaped.at(start + length - 1).isHighSurrogate())
            --length;
        line += encoding.codec->fromUnicode(QStringView(escaped).mid(start, length));
        start += length;
        if (start < escaped.size()) {
            if (out.write(line) != line.size())
                return false;
            line.clear();
        }
    }
    line += "\"\n";
    return out.write(line) == line.size();
}

namespace {

// A record as the export reads it ahead of its line.
struct ExportRow {
    qint64 key = 0;
    QVariant type;
    QVariant time;
    QVariant event;
    QByteArray data;
    QVariant shownData; // the shown part of long data, for the text condition
};

ExportRow exportRow(const QSqlQuery &query, bool withShownData)
{
    ExportRow row;
    row.key = query.value(0).toLongLong();
    row.type = query.value(1);
    row.time = query.value(2);
    row.event = query.value(3);
    row.data = query.value(4).toByteArray();
    if (withShownData)
        row.shownData = query.value(5);
    return row;
}

} // namespace

StoreStatus writeLogCsv(const QSqlDatabase &database, const LogViewStatements &statements, QIODevice &out,
                        const LogFilter &filter, const CsvExportProgress &progress, const CsvEncoding &encoding)
{
    const auto readFailure = [&statements](const QSqlError &error) { return Failure(statements.error(error)); };
    // A stop asked for between two lines, or a write that failed.
    bool stopped = false;
    // A log that cannot be shown says why as the log view query would.
    QSqlQuery query(database);
    query.setForwardOnly(true);
    if (!statements.viewCheckSql().exec(query))
        return readFailure(query.lastError());
    query.finish();
    // Every caption once, whole: a caption of megabytes is not read again for each of
    // its records.
    LogCaptions captions;
    QSqlError failure;
    if (!captions.load(database, statements, &failure, LogCaptions::Whole))
        return readFailure(failure);
    // The type and time conditions are the query's; the text is looked for in the
    // message as the table shows it, which long data renders from its first part only.
    const LogTextMatcher matcher(filter);
    LogCsvWriter writer(out, encoding);
    if (!writer.writeStart())
        return storeFailure(StoreError::Kind::Io, out.errorString());
    qint64 lines = 0;
    const auto write = [&](const ExportRow &row) {
        QString message;
        if (matcher.isActive()) {
            const bool longData = !row.shownData.isNull();
            bool cut = false;
            const QString shown = captions.message(row.key, row.event,
                                                   longData ? row.shownData.toByteArray() : row.data, &cut);
            if (!matcher.matches(shown))
                return !(stopped = progress && !progress(lines));
            if (!longData && !cut)
                message = shown;
        }
        if (message.isNull())
            message = captions.wholeMessage(row.key, row.event, row.data);
        if (!writer.writeRecord(row.type, row.time, message))
            return false;
        ++lines;
        return !(stopped = progress && !progress(lines));
    };
    const auto writeFailure = [&out, &stopped]() -> StoreStatus {
        if (stopped)
            return storeFailure(StoreError::Kind::Cancelled, QString());
        return storeFailure(StoreError::Kind::Io, out.errorString());
    };

    if (!statements.keysInDisplayOrder()) {
        // Keyed otherwise (another program's table): one statement, line by line.
        if (!statements.exportSql(filter, matcher.isActive(), nullptr, 0).exec(query))
            return readFailure(query.lastError());
        while (query.next()) {
            if (!write(exportRow(query, matcher.isActive())))
                return writeFailure();
        }
        if (failed(query))
            return readFailure(query.lastError());
        return {};
    }
    // A batch of records is read, its statement ended, and only then are its lines
    // rendered and written: the log is not held while a message of megabytes is.
    std::vector<ExportRow> batch;
    qint64 after = 0;
    for (bool first = true;; first = false) {
        if (!statements.exportSql(filter, matcher.isActive(), first ? nullptr : &after, ReadAheadRows).exec(query))
            return readFailure(query.lastError());
        batch.clear();
        qint64 bytes = 0;
        bool full = false;
        while (query.next()) {
            batch.push_back(exportRow(query, matcher.isActive()));
            bytes += batch.back().data.size();
            if (bytes >= ReadAheadBytes) {
                full = true;
                break;
            }
        }
        // next() is false at the end and on a read error alike.
        if (failed(query))
            return readFailure(query.lastError());
        query.finish();
        for (const ExportRow &row : batch) {
            if (!write(row))
                return writeFailure();
        }
        if (!full && int(batch.size()) < ReadAheadRows)
            return {};
        after = batch.back().key;
    }
}

namespace {

// Opens the file at `path` as an export does (write-only, truncated, text mode), lets
// `write` fill it and closes it. False when it cannot be opened or written.
bool writeCsvFile(const QString &path, const std::function<bool(QIODevice &)> &write)
{
    QFile file(path);
    const bool written = file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text) && write(file)
        && file.flush();
    file.close();
    return written && file.error() == QFileDevice::NoError;
}

} // namespace

bool replaceCsvFile(const QString &path, const std::function<bool(QIODevice &)> &write)
{
    const QFileInfo target(path);
    if (target.exists() && !target.isFile() && !target.isDir())
        return writeCsvFile(path, write);
    if (target.exists() && !target.isWritable())
        return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        return false;
    if (!write(file)) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

QString cannotWriteFileText(const QString &path)
{
    return QStringLiteral("Не удается записать файл \"") + path + QLatin1Char('"');
}

StoreStatus exportLogCsvFile(const QSqlDatabase &database, const LogViewStatements &statements, const QString &path,
                             const LogFilter &filter, const CsvExportProgress &progress)
{
    StoreStatus read;
    const bool written = replaceCsvFile(path, [&](QIODevice &out) {
        read = writeLogCsv(database, statements, out, filter, progress);
        return read.ok();
    });
    // A log that cannot be read is the store's error, since an empty file would pass for
    // an empty log; an export stopped by the user is no failure of the file.
    if (!read && read.error().kind != StoreError::Kind::Io)
        return read;
    if (!written)
        return storeFailure(StoreError::Kind::Io, cannotWriteFileText(path));
    return {};
}

StoreResult<qint64> writeLogCsvAfter(const QSqlDatabase &database, const LogViewStatements &statements, QIODevice &out,
                                     qint64 afterId)
{
    QSqlQuery query(database);
    query.setForwardOnly(true);
    if (!statements.viewAfterSql(afterId).exec(query))
        return Failure(statements.error(query.lastError()));
    LogCsvWriter writer(out);
    if (!out.isSequential() && out.size() == 0 && !writer.writeStart())
        return storeFailure(StoreError::Kind::Io, out.errorString());
    qint64 last = afterId;
    while (query.next()) {
        if (!writer.writeRow(query))
            return storeFailure(StoreError::Kind::Io, out.errorString());
        last = query.value(4).toLongLong();
    }
    // next() is false at the end and on a read error alike.
    if (failed(query))
        return Failure(statements.error(query.lastError()));
    return last;
}

StoreResult<qint64> readLogRecordsAfter(const QSqlDatabase &database, const LogViewStatements &statements,
                                        qint64 afterId, const std::function<void(const ShownRecord &)> &take)
{
    QSqlQuery query(database);
    query.setForwardOnly(true);
    if (!statements.viewAfterSql(afterId).exec(query))
        return Failure(statements.error(query.lastError()));
    ShownRecord record;
    record.rowId = afterId;
    while (query.next()) {
        const QVariant caption = query.value(2);
        record.type = recordTypeIndex(query.value(0));
        record.time = query.value(1).toString();
        record.message = caption.isNull() ? UnknownEventText
                                          : formatCaption(caption.toString(), query.value(3).toByteArray());
        record.rowId = query.value(4).toLongLong();
        take(record);
    }
    if (failed(query))
        return Failure(statements.error(query.lastError()));
    return record.rowId;
}

StoreResult<qint64> newestLogRowId(const QSqlDatabase &database, const LogViewStatements &statements)
{
    QSqlQuery query(database);
    if (!statements.newestRowIdSql().exec(query) || !query.next())
        return Failure(statements.error(query.lastError()));
    // NULL for an empty log: nothing stored yet, so everything to come is after 0.
    return query.value(0).toLongLong();
}
