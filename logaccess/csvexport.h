// The log as a CSV table: "time";"type";"message" per record, in the order stored.
#pragma once

#include "logaccess/logfilter.h"
#include "logaccess/logmessages.h"
#include "logaccess/logviewstatements.h"
#include "messagetext/recordtypes.h"
#include "store/storeerror.h"

#include <QByteArray>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QVariant>
#include <QtGlobal>

#include <QStringList>

#include <functional>
#include <vector>

class QIODevice;
class QString;
class QTextCodec;
class QVariant;

// The encoding of a CSV file: the system's 8-bit encoding (on Windows the ANSI code
// page, Windows-1251 on a Russian Windows), or UTF-8 after a byte-order mark where that
// encoding cannot hold every character a log's messages are made of (Cyrillic on a
// Western-European Windows): written in it, the messages would become question marks.
// Excel reads such a file as UTF-8 by its mark.
struct CsvEncoding {
    QTextCodec *codec = nullptr;
    bool byteOrderMark = false;
};

// The encoding of a CSV file on a system whose 8-bit encoding is `systemCodec`.
CsvEncoding csvEncodingFor(QTextCodec *systemCodec);
// The encoding of a CSV file on this system (csvEncodingFor its 8-bit encoding).
CsvEncoding systemCsvEncoding();
// The system's 8-bit encoding: the ANSI code page on Windows, the locale's elsewhere.
QTextCodec *systemCodec();

// Writes CSV lines to `out`, which the caller has opened (in text mode, so that line
// ends follow the platform). The whole export and the lines of records that arrive
// later are written by this one writer, so that they agree byte for byte.
class LogCsvWriter
{
public:
    explicit LogCsvWriter(QIODevice &out, const CsvEncoding &encoding = systemCsvEncoding());

    // The byte-order mark, where the encoding has one: written once, at the start of
    // the file.
    bool writeStart();

    // The line of the row `row` stands on, a row of the log view query (columns type,
    // time text, caption, data). False when the write fails.
    bool writeRow(const QSqlQuery &row);
    // The line of a record of type `type` (as stored) and time `time` (as the log view
    // query gives it) whose message is `message` ("Неизвестное событие" for a record
    // without caption), after `leading`, a field made by leadingField (none when empty).
    bool writeRecord(const QVariant &type, const QVariant &time, const QString &message,
                     const QByteArray &leading = QByteArray());
    // `text` as a field before the three of a line (a merged export's device name):
    // quoted, its double quotes doubled as a message's are, its separator after it.
    QByteArray leadingField(const QString &text) const;

private:
    QIODevice &out;
    CsvEncoding encoding;
    // Converted once: they are the same for every row.
    QByteArray typeFields[RecordTypeCount];
    QByteArray line;
};

// A record of an export as its line says it.
struct CsvRecord {
    QVariant type; // as stored
    QVariant time; // as the log view query gives it
    QString message;
    QString device; // a merged log's record's device
};

// The records of one log that pass a filter, in display order, as an export writes
// them: read a few at a time, each batch in a statement of its own (so that a download
// writing the log meanwhile waits for one batch at most, and several logs can be read
// on one connection), their messages rendered one at a time as they are taken, whole
// however long.
class LogCsvReader
{
public:
    // The data of the records read ahead of their lines, at most (and one record
    // however long).
    static constexpr qint64 DefaultReadAheadBytes = 8 * 1024 * 1024;

    LogCsvReader(const QSqlDatabase &database, const LogViewStatements &statements, const LogFilter &filter,
                 qint64 readAheadBytes = DefaultReadAheadBytes);
    LogCsvReader(const LogCsvReader &) = delete;
    LogCsvReader &operator=(const LogCsvReader &) = delete;

    // Whether the log can be shown at all, and its captions; the store's error when not.
    StoreStatus start();

    enum class Step {
        Record,  // the next record, which passes the filter
        Skipped, // a record whose message does not hold the filter's text
        End,     // no more
    };
    // The next record after start(), or the store's error when the log cannot be read.
    // A record skipped is told, so that a caller can stop between two of them.
    StoreResult<Step> next(CsvRecord &record);

    // A record as read ahead of its line.
    struct Row {
        qint64 key = 0;
        QVariant type;
        QVariant time;
        QVariant event;
        QByteArray data;
        QVariant shownData; // the shown part of long data, for the text condition
        QString device;     // the name of its device, in a merged log
    };

private:
    StoreResult<bool> nextRow(Row &row);
    Failure<StoreError> readFailure() const;

    QSqlDatabase database;
    LogViewStatements statements;
    LogFilter filter;
    LogTextMatcher matcher;
    qint64 readAheadBytes;
    LogCaptions captions;
    QSqlQuery query;
    bool streaming = false; // the one statement of a log keyed otherwise runs
    std::vector<Row> batch;
    std::size_t taken = 0;
    qint64 after = 0; // the key of the last record of the batch
    bool lastBatch = false;
};

// Asked between two records of an export with the lines written so far; false stops
// the export there (the user cancelled it).
using CsvExportProgress = std::function<bool(qint64 lines)>;

// A file that cannot be written (a CSV export): "Не удается записать файл "<path>"".
QString cannotWriteFileText(const QString &path);

// The lines (after the encoding's byte-order mark, if it has one) of the records that
// pass `filter` (every record with an empty one, as the
// log view query yields them) of the log `statements` (of its kind) read on
// `database`: byte for byte those of a log file holding the same records. The log is
// read a few records at a time, each batch in a statement of its own, so that a
// download writing the log meanwhile waits for one batch at most; a message is written
// whole, however long. Fails with the store's error when the log cannot be read (having
// written nothing more), Io with the device's words when a write fails, and Cancelled
// when `progress` stops it.
StoreStatus writeLogCsv(const QSqlDatabase &database, const LogViewStatements &statements, QIODevice &out,
                        const LogFilter &filter, const CsvExportProgress &progress = {},
                        const CsvEncoding &encoding = systemCsvEncoding());

// Lets `write` fill the file at `path` (opened write-only, in text mode), which is
// replaced only once `write` has succeeded: the lines go to a temporary file beside it,
// which then takes its place, so that a write that fails or is stopped leaves the file
// as it was (and makes none where there was none). A file the user may not write is not
// replaced either. A path that names a device (/dev/stdout) is written to directly.
// False when it cannot be written.
bool replaceCsvFile(const QString &path, const std::function<bool(QIODevice &)> &write);

// The lines of writeLogCsv into the file at `path`, which is replaced only once every
// line is written:
// the lines go to a temporary file beside it, which then takes its place, so that an
// export that fails or is stopped leaves the file as it was (and makes none where there
// was none). A path that names a device (/dev/stdout) is written to directly. A file
// that cannot be written fails Io, "Не удается записать файл "<path>"".
StoreStatus exportLogCsvFile(const QSqlDatabase &database, const LogViewStatements &statements, const QString &path,
                             const LogFilter &filter, const CsvExportProgress &progress = {});

// Writes the lines of the records stored after row id `afterId`, in the order stored,
// of the log `statements` read on `database`, with the encoding's byte-order mark first
// when `out` is an empty file (not when lines are added to a file or a stream). Gives the row id of the last one
// written
// (`afterId` when there was none), or the store's error when the query fails, or an Io
// error (with the device's own words) when a write fails.
StoreResult<qint64> writeLogCsvAfter(const QSqlDatabase &database, const LogViewStatements &statements, QIODevice &out,
                                     qint64 afterId);

// A stored record as the table shows it.
struct ShownRecord {
    qint64 rowId = 0;
    int type = 0;    // the table's index (recordTypeIndex)
    QString time;    // "yyyy-MM-dd HH:mm:ss" on the device's clock, as the table shows it
    QString message; // rendered from the caption and the data bytes
};

// Gives `take` every record stored after row id `afterId`, in the order stored, with its
// message rendered as the table and the CSV export render it. Gives the row id of the
// last one (`afterId` when there was none), or the store's error.
StoreResult<qint64> readLogRecordsAfter(const QSqlDatabase &database, const LogViewStatements &statements,
                                        qint64 afterId, const std::function<void(const ShownRecord &)> &take);

// The row id of the newest stored record (0 for an empty log): what writeLogCsvAfter
// starts after to write only what arrives from now on. A failed query is an error,
// never a 0 that would pass the whole log off as new.
StoreResult<qint64> newestLogRowId(const QSqlDatabase &database, const LogViewStatements &statements);

// One log of a merged export: its device's name and where its records are read.
struct MergedLog {
    QString name;
    QSqlDatabase database;
    LogViewStatements statements;
};

// The lines of the records of several logs that pass `filter`, merged on one time
// axis: each line the device's name (a field of its own, before the three of a single
// log's line), then that record's line; ordered by time (the time text, as the device's
// clock gives it), then by the device's name, then in the device's own order. The logs
// are read side by side in display order, each a batch at a time, and merged as they
// are read, so a device whose clock was set back keeps its records in its own order.
// With one log, the lines of writeLogCsv, byte for byte. Fails as writeLogCsv does,
// with *failedLog the index of the log that cannot be read (-1 when the failure is the
// write's or a stop).
StoreStatus writeMergedLogCsv(const std::vector<MergedLog> &logs, QIODevice &out, const LogFilter &filter,
                              int *failedLog = nullptr, const CsvExportProgress &progress = {},
                              const CsvEncoding &encoding = systemCsvEncoding());

// Those lines into the file at `path`, replaced as exportLogCsvFile replaces it.
StoreStatus exportMergedLogCsvFile(const std::vector<MergedLog> &logs, const QString &path, const LogFilter &filter,
                                   int *failedLog = nullptr, const CsvExportProgress &progress = {});

// Whether the time text `a` comes before `b` in a merged export: the log view query's
// texts ("2024-03-15 13:45:30") by their time, a record without one (NULL) first.
bool mergedTimeBefore(const QString &a, const QString &b);

// The order of several logs merged on one time axis, wherever they are merged (an
// export, a merged log file): each log is read in its own order, and of the records next
// in line, the earliest by time goes first, then the one of the log whose name comes
// first. A device whose clock was set back thus keeps its records in its own order.
class MergedOrder
{
public:
    // The logs named `names`, by their index there.
    explicit MergedOrder(const QStringList &names);

    // The indices of the logs by name (equal names in the order given): the order in which
    // they are best read first, so that every log is checked before a record is taken.
    const std::vector<int> &byName() const { return ranked; }
    // The next record of the log `log` has the time text `time` (its first, or the one
    // after the record takeNext() gave it).
    void offer(int log, const QString &time);
    // Whether no log has a record in line.
    bool empty() const { return heap.empty(); }
    // The log whose record goes next (not empty()); it offers its next record, if any.
    int takeNext();

private:
    bool later(std::size_t a, std::size_t b) const;

    std::vector<int> ranked;
    std::vector<std::size_t> rankOf;
    std::vector<QString> times;    // by rank: the time of the record in line
    std::vector<std::size_t> heap; // ranks, the earliest record on top
};
