// The CSV export: streams the log view query (or the rows a filter passes) into an open
// device, one row at a time.

#include "logaccess/csvexport.h"

#include "logaccess/logfilter.h"
#include "logaccess/logmessages.h"
#include "logaccess/logviewstatements.h"
#include "messagetext/captionformat.h"
#include "messagetext/recordmessage.h"

#include <QFile>
#include <QHash>
#include <QFileInfo>
#include <QIODevice>
#include <QSaveFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTextCodec>
#include <QVariant>

#include <algorithm>
#include <memory>

namespace {

// Whether `query` has failed.
bool failed(const QSqlQuery &query)
{
    return query.lastError().type() != QSqlError::NoError;
}

// Records read ahead of their lines: at most this many (and no more data than the
// reader is given).
constexpr int ReadAheadRows = 1024;
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

QByteArray LogCsvWriter::leadingField(const QString &text) const
{
    QString escaped = text;
    escaped.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return '"' + encoding.codec->fromUnicode(escaped) + "\";";
}

bool LogCsvWriter::writeRecord(const QVariant &type, const QVariant &time, const QString &message,
                               const QByteArray &leading)
{
    line = leading;
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

LogCsvReader::Row exportRow(const QSqlQuery &query, bool withShownData, bool withDevice)
{
    LogCsvReader::Row row;
    row.key = query.value(0).toLongLong();
    row.type = query.value(1);
    row.time = query.value(2);
    row.event = query.value(3);
    row.data = query.value(4).toByteArray();
    if (withShownData)
        row.shownData = query.value(5);
    if (withDevice)
        row.device = query.value(6).toString();
    return row;
}

} // namespace

LogCsvReader::LogCsvReader(const QSqlDatabase &database, const LogViewStatements &statements, const LogFilter &filter,
                           qint64 readAheadBytes)
    : database(database),
      statements(statements),
      filter(filter),
      matcher(filter),
      readAheadBytes(readAheadBytes),
      query(database)
{
    query.setForwardOnly(true);
}

StoreStatus LogCsvReader::start()
{
    // A log that cannot be shown says why as the log view query would.
    if (!statements.viewCheckSql().exec(query))
        return readFailure();
    query.finish();
    // Every caption once, whole: a caption of megabytes is not read again for each of
    // its records.
    QSqlError failure;
    if (!captions.load(database, statements, &failure, LogCaptions::Whole))
        return Failure(statements.error(failure));
    return {};
}

Failure<StoreError> LogCsvReader::readFailure() const
{
    return Failure(statements.error(query.lastError()));
}

StoreResult<bool> LogCsvReader::nextRow(Row &row)
{
    if (!statements.keysInDisplayOrder()) {
        // Keyed otherwise (another program's table): one statement, row by row.
        if (!streaming) {
            if (!statements.exportSql(filter, matcher.isActive(), nullptr, 0).exec(query))
                return readFailure();
            streaming = true;
        }
        if (query.next()) {
            row = exportRow(query, matcher.isActive(), statements.hasDevices());
            return true;
        }
        // next() is false at the end and on a read error alike.
        if (failed(query))
            return readFailure();
        return false;
    }
    if (taken == batch.size()) {
        if (lastBatch)
            return false;
        // A batch of records is read and its statement ended before their lines are
        // rendered and written: the log is not held while a message of megabytes is,
        // and the logs of a merge can share one connection.
        if (!statements.exportSql(filter, matcher.isActive(), batch.empty() ? nullptr : &after, ReadAheadRows)
                 .exec(query))
            return readFailure();
        batch.clear();
        taken = 0;
        qint64 bytes = 0;
        bool full = false;
        while (query.next()) {
            batch.push_back(exportRow(query, matcher.isActive(), statements.hasDevices()));
            bytes += batch.back().data.size();
            if (bytes >= readAheadBytes) {
                full = true;
                break;
            }
        }
        if (failed(query))
            return readFailure();
        query.finish();
        lastBatch = !full && int(batch.size()) < ReadAheadRows;
        if (batch.empty())
            return false;
        after = batch.back().key;
    }
    row = std::move(batch[taken++]);
    return true;
}

StoreResult<LogCsvReader::Step> LogCsvReader::next(CsvRecord &record)
{
    Row row;
    const StoreResult<bool> read = nextRow(row);
    if (!read)
        return Failure(read.error());
    if (!*read)
        return Step::End;
    // The type and time conditions are the query's; the text is looked for in the
    // message as the table shows it, which long data renders from its first part only.
    QString message;
    if (matcher.isActive()) {
        const bool longData = !row.shownData.isNull();
        bool cut = false;
        const QString shown = captions.message(row.key, row.event, longData ? row.shownData.toByteArray() : row.data,
                                               &cut);
        if (!matcher.matches(shown))
            return Step::Skipped;
        if (!longData && !cut)
            message = shown;
    }
    if (message.isNull())
        message = captions.wholeMessage(row.key, row.event, row.data);
    record.type = row.type;
    record.time = row.time;
    record.message = message;
    record.device = row.device;
    return Step::Record;
}

StoreStatus writeLogCsv(const QSqlDatabase &database, const LogViewStatements &statements, QIODevice &out,
                        const LogFilter &filter, const CsvExportProgress &progress, const CsvEncoding &encoding)
{
    LogCsvReader reader(database, statements, filter);
    const StoreStatus started = reader.start();
    if (!started)
        return started;
    LogCsvWriter writer(out, encoding);
    if (!writer.writeStart())
        return storeFailure(StoreError::Kind::Io, out.errorString());
    qint64 lines = 0;
    CsvRecord record;
    // A merged log's lines lead with the device, as a merged export's do.
    QHash<QString, QByteArray> deviceFields;
    for (;;) {
        const StoreResult<LogCsvReader::Step> step = reader.next(record);
        if (!step)
            return Failure(step.error());
        if (*step == LogCsvReader::Step::End)
            return {};
        if (*step == LogCsvReader::Step::Record) {
            QByteArray device;
            if (statements.hasDevices()) {
                auto field = deviceFields.find(record.device);
                if (field == deviceFields.end())
                    field = deviceFields.insert(record.device, writer.leadingField(record.device));
                device = *field;
            }
            if (!writer.writeRecord(record.type, record.time, record.message, device))
                return storeFailure(StoreError::Kind::Io, out.errorString());
            ++lines;
        }
        // Asked after a record that did not pass too: a search through a long log for
        // a text that is rare can be stopped as well.
        if (progress && !progress(lines))
            return storeFailure(StoreError::Kind::Cancelled, QString());
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

namespace {

// Replaces the file at `path` with what `write` writes. A log that cannot be read is the
// store's error, since an empty file would pass for an empty log; an export stopped by
// the user is no failure of the file.
StoreStatus exportCsvFile(const QString &path, const std::function<StoreStatus(QIODevice &)> &write)
{
    StoreStatus read;
    const bool written = replaceCsvFile(path, [&](QIODevice &out) {
        read = write(out);
        return read.ok();
    });
    if (!read && read.error().kind != StoreError::Kind::Io)
        return read;
    if (!written)
        return storeFailure(StoreError::Kind::Io, cannotWriteFileText(path));
    return {};
}

} // namespace

StoreStatus exportLogCsvFile(const QSqlDatabase &database, const LogViewStatements &statements, const QString &path,
                             const LogFilter &filter, const CsvExportProgress &progress)
{
    return exportCsvFile(path,
                         [&](QIODevice &out) { return writeLogCsv(database, statements, out, filter, progress); });
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

MergedOrder::MergedOrder(const QStringList &names) : rankOf(std::size_t(names.size())), times(rankOf.size())
{
    ranked.resize(rankOf.size());
    for (std::size_t i = 0; i < ranked.size(); ++i)
        ranked[i] = int(i);
    std::stable_sort(ranked.begin(), ranked.end(), [&names](int a, int b) { return names[a] < names[b]; });
    for (std::size_t rank = 0; rank < ranked.size(); ++rank)
        rankOf[std::size_t(ranked[rank])] = rank;
    heap.reserve(ranked.size());
}

bool MergedOrder::later(std::size_t a, std::size_t b) const
{
    if (mergedTimeBefore(times[b], times[a]))
        return true;
    if (mergedTimeBefore(times[a], times[b]))
        return false;
    return a > b;
}

void MergedOrder::offer(int log, const QString &time)
{
    const std::size_t rank = rankOf[std::size_t(log)];
    times[rank] = time;
    heap.push_back(rank);
    std::push_heap(heap.begin(), heap.end(), [this](std::size_t a, std::size_t b) { return later(a, b); });
}

int MergedOrder::takeNext()
{
    std::pop_heap(heap.begin(), heap.end(), [this](std::size_t a, std::size_t b) { return later(a, b); });
    const std::size_t rank = heap.back();
    heap.pop_back();
    return ranked[rank];
}

bool mergedTimeBefore(const QString &a, const QString &b)
{
    // NULL comes out as an empty text: no time the table can show.
    if (a.isEmpty() || b.isEmpty())
        return a.isEmpty() && !b.isEmpty();
    // From year 0 on, the texts sort as the times do. Before it (only in a file another
    // program wrote) the year has a sign: the larger its number, the earlier.
    const bool aEarly = a.startsWith(QLatin1Char('-'));
    const bool bEarly = b.startsWith(QLatin1Char('-'));
    if (aEarly != bEarly)
        return aEarly;
    if (aEarly) {
        const int aYearEnd = a.indexOf(QLatin1Char('-'), 1);
        const int bYearEnd = b.indexOf(QLatin1Char('-'), 1);
        const qint64 aYear = QStringView(a).mid(1, aYearEnd - 1).toLongLong();
        const qint64 bYear = QStringView(b).mid(1, bYearEnd - 1).toLongLong();
        if (aYear != bYear)
            return aYear > bYear;
        return QStringView(a).mid(aYearEnd) < QStringView(b).mid(bYearEnd);
    }
    return a < b;
}

namespace {

// The smallest data read ahead for each log of a merge: the budget of one log is shared
// among them all, but each still reads a few records at a time.
constexpr qint64 MergeReadAheadFloor = 256 * 1024;

} // namespace

StoreStatus writeMergedLogCsv(const std::vector<MergedLog> &logs, QIODevice &out, const LogFilter &filter,
                              int *failedLog, const CsvExportProgress &progress, const CsvEncoding &encoding)
{
    const auto failedAt = [failedLog](int log) {
        if (failedLog)
            *failedLog = log;
    };
    failedAt(-1);
    if (logs.size() == 1) {
        // One device: the single log's export, without a device field.
        const StoreStatus written = writeLogCsv(logs.front().database, logs.front().statements, out, filter, progress,
                                                encoding);
        if (!written && written.error().kind != StoreError::Kind::Io
            && written.error().kind != StoreError::Kind::Cancelled)
            failedAt(0);
        return written;
    }
    QStringList names;
    for (const MergedLog &log : logs)
        names << log.name;
    MergedOrder order(names);

    LogCsvWriter writer(out, encoding);
    const qint64 readAhead = std::max(LogCsvReader::DefaultReadAheadBytes / qint64(logs.size()), MergeReadAheadFloor);
    // Per log: its reader, its device field and the record next in line.
    struct Source {
        std::unique_ptr<LogCsvReader> reader;
        QByteArray field;
        CsvRecord head;
    };
    std::vector<Source> sources(logs.size());
    for (const int index : order.byName()) {
        const MergedLog &log = logs[std::size_t(index)];
        Source &source = sources[std::size_t(index)];
        source.reader = std::make_unique<LogCsvReader>(log.database, log.statements, filter, readAhead);
        source.field = writer.leadingField(log.name);
        // Every log is checked before a line is written.
        const StoreStatus started = source.reader->start();
        if (!started) {
            failedAt(index);
            return started;
        }
    }
    if (!writer.writeStart())
        return storeFailure(StoreError::Kind::Io, out.errorString());

    qint64 lines = 0;
    bool stopped = false;
    // Offers the next record of the log `index` to the order; false at its end, on a read
    // failure (in `failure`) and on a stop.
    StoreStatus failure;
    const auto advance = [&](int index) {
        Source &source = sources[std::size_t(index)];
        for (;;) {
            const StoreResult<LogCsvReader::Step> step = source.reader->next(source.head);
            if (!step) {
                failure = Failure(step.error());
                failedAt(index);
                return false;
            }
            if (*step == LogCsvReader::Step::End)
                return false;
            if (*step == LogCsvReader::Step::Record) {
                order.offer(index, source.head.time.toString());
                return true;
            }
            if (progress && !progress(lines)) {
                stopped = true;
                return false;
            }
        }
    };
    for (const int index : order.byName()) {
        if (!advance(index) && (!failure || stopped))
            break;
    }
    while (failure && !stopped && !order.empty()) {
        const int index = order.takeNext();
        const Source &source = sources[std::size_t(index)];
        if (!writer.writeRecord(source.head.type, source.head.time, source.head.message, source.field))
            return storeFailure(StoreError::Kind::Io, out.errorString());
        ++lines;
        if (progress && !progress(lines)) {
            stopped = true;
            break;
        }
        advance(index);
    }
    if (stopped)
        return storeFailure(StoreError::Kind::Cancelled, QString());
    return failure;
}

StoreStatus exportMergedLogCsvFile(const std::vector<MergedLog> &logs, const QString &path, const LogFilter &filter,
                                   int *failedLog, const CsvExportProgress &progress)
{
    return exportCsvFile(path,
                         [&](QIODevice &out) { return writeMergedLogCsv(logs, out, filter, failedLog, progress); });
}
