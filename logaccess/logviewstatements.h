// Every statement the log view runs on a log, and how its notions (the type as the
// table shows it, the time as the table shows it, a filter) are written in SQL. The
// SQL of one kind of store is one table of parts (LogViewDialect): a log file's here,
// the central database's in serverstore/. Nothing of the view outside this class
// writes SQL.
#pragma once

#include "store/storeerror.h"

#include <QDateTime>
#include <QPair>
#include <QString>
#include <QVariant>
#include <QVector>

class QSqlDatabase;
class QSqlError;
class QSqlQuery;
struct LogFilter;

// Named placeholders and their values.
using LogSqlValues = QVector<QPair<QString, QVariant>>;

/*
 * The parts of one kind of store's SQL. The record is always `l`. Where one table holds
 * the records of several logs, `scope` keeps those of the log shown, with the
 * placeholder ":device", which every statement of such a dialect binds to the value
 * the statements were made with.
 */
struct LogViewDialect {
    QString log;    // FROM: the table of records, as `l`
    QString scope;  // the log's own records; empty when the table is the log
    QString always; // a condition that holds,
    QString never;  // and one that does not
    // The log view query: type, time text, caption (NULL: none) and data of every record,
    // in display order.
    QString view;
    // Key and text of every caption of the log; and the same with a text longer than
    // LogViewStatements::MaxShownCaption cut after its first MaxShownCaption + 1
    // characters, so that the reader knows it was longer.
    QString captions;
    QString shownCaptions;
    // A record's caption is the one its event names, keyed by that event: nothing needs
    // to be looked up per record.
    bool captionKeyIsEvent;
    // Of the record `l`: its caption (NULL: none), that caption's key, its time as the
    // table shows it, recordTypeIndex of its type.
    QString caption;
    QString captionKey;
    QString time;
    // The record's time as a log file stores it (seconds since 1970 of the device's clock
    // read as UTC, or whatever another program stored), for a copy into a log file.
    QString storedTime;
    QString typeIndex;
    // Time and type packed as RecordTimes has them (second * 4 + type index), NULL when the
    // table shows no time; and a cheaper form that may come out as a real number.
    QString timeAndType;
    QString quickTimeAndType;
    // Whether the data is longer than LogViewStatements::MaxShownData, and its shown part.
    QString isLong;
    QString shownData;
    // The values of `column` as one text, "v,v,v"; in `column`'s order when `ordered`.
    QString (*list)(const QString &column, bool ordered);
    // The records whose type index is one of `shown` (not empty).
    QString (*typeCondition)(const QVector<int> &shown);
    // The records shown at `from` or later and `to` or earlier (either may be invalid: no
    // bound, not both), with the values of its placeholders added to `values`.
    QString (*timeCondition)(const QDateTime &from, const QDateTime &to, LogSqlValues &values);
    // The log view query's columns and the row id fifth, of the records stored after the
    // row id ":after", in the order stored: what a follower prints as records arrive.
    QString viewAfter;
    // The row id of the newest stored record; NULL for an empty log.
    QString newestRowId;
    // What a failed statement of this kind of store means (its kind, its code, its text).
    StoreError (*error)(const QSqlError &error);
};

// A log file's SQL (SQLite).
const LogViewDialect &logFileDialect();

class LogViewStatements
{
public:
    // Data longer than this (bytes of a BLOB, characters of a text) is shown and searched
    // by its first part only: a device sends at most 236 bytes, and a message rendered
    // from megabytes would stall every paint of its row.
    static constexpr int MaxShownData = 4096;
    // Of a caption longer than this (characters), the table and the search read and
    // render the start only: a caption of millions of characters would cost its whole
    // length on every row. A device's captions are a few hundred characters at most.
    static constexpr int MaxShownCaption = 16384;

    // A statement and the values of its named placeholders.
    struct Statement {
        QString text;
        LogSqlValues values;
        // Prepares, binds and executes on `query`; false with the error in the query.
        bool exec(QSqlQuery &query) const;
    };

    // A log file's statements. Records are keyed by Log.id when it is the table's row id,
    // as in every log file the tool writes: key order is then display order, and a span
    // of keys is a span of rows. A table of another shape is keyed by its row id, and the
    // statements that list records keep the display order (id, then row id).
    explicit LogViewStatements(bool idIsRowId = true);
    // The statements of a store of another kind, keyed by an id in display order, for the
    // log `scope` names (bound to ":device").
    LogViewStatements(const LogViewDialect &dialect, const QVariant &scope);
    // The statements for the log file open on `database`, or the file's error when it
    // cannot be read as a database.
    static StoreResult<LogViewStatements> ofLogFile(const QSqlDatabase &database);

    bool keysInDisplayOrder() const { return idIsRowId; }
    // Whether the log holds the records of several devices (a merged log file): every
    // record then names its device, which pageSql() and exportSql() read with it, and a
    // filter may hide devices.
    bool hasDevices() const { return devices; }
    bool captionKeyIsEvent() const { return dialect->captionKeyIsEvent; }

    // The log view query, run for no row: whether the log can be shown at all. Run, not
    // only prepared, so that tables another program changed are seen as they are now.
    Statement viewCheckSql() const;
    // Key and caption of every caption of the log; with `shownPart`, a caption longer
    // than MaxShownCaption by its first MaxShownCaption + 1 characters.
    Statement captionsSql(bool shownPart = true) const;
    // The number of records.
    Statement countSql() const;
    // The number of records with keys low..high.
    Statement countRangeSql(qint64 low, qint64 high) const;
    // The smallest and the largest key (NULL, NULL for an empty log).
    Statement keyBoundsSql() const;
    // The keys of the first (or the last, newest first) `count` records in display order.
    Statement edgeKeysSql(bool newest, int count) const;
    // The time text of the first (or last) record in display order.
    Statement edgeTimeSql(bool newest) const;
    // The records with these keys, in no particular order: key, type, time text, the key
    // of the caption (NULL: none; the captions themselves are read once, not with every
    // record), data (NULL when longer than MaxShownData) and whether it is longer. The
    // columns are those of the log view query. With hasDevices(), the name of the
    // record's device follows.
    Statement pageSql(const QVector<qint64> &keys) const;
    // The shown part of the data of one record.
    Statement longDataSql(qint64 key) const;
    // The log view query's columns and the row id fifth, of the records stored after the
    // row id `afterId`, in the order stored.
    Statement viewAfterSql(qint64 afterId) const;
    // The row id of the newest stored record (NULL for an empty log): where a follower
    // starts, to see only what arrives from then on.
    Statement newestRowIdSql() const;

    // The records that pass the filter's type and time conditions, in display order:
    // their key and, `withMessages`, their event, the shown part of their data and their
    // time and type packed as timeAndTypeSql() has them. With a
    // range, only keys low..high (keys in display order only); with `atOrAfter` valid,
    // only records shown at that time or later.
    struct KeyRange {
        qint64 low;
        qint64 high;
    };
    Statement scanSql(const LogFilter &filter, bool withMessages, const KeyRange *range = nullptr,
                      const QDateTime &atOrAfter = QDateTime()) const;
    // The same keys (keys in display order only) as one text, "1,2,5": a million keys
    // come out of the database far faster so than row by row.
    Statement keyListSql(const LogFilter &filter, const KeyRange &range) const;
    // The key of the caption of the record with `key` (NULL: none).
    Statement captionRowSql(qint64 key) const;
    // The export's rows of the records that pass the filter's type and time conditions,
    // in display order: key, type and time text as the log view query has them, event
    // and data, and `withShownData`, the shown part of data longer than MaxShownData
    // (else NULL), for the text condition. With keys in display order, the first `rows`
    // records after the key `*after` (from the first record when `after` is null), so
    // that a long export reads the log in short statements; otherwise every record.
    Statement exportSql(const LogFilter &filter, bool withShownData, const qint64 *after, int rows) const;
    // Every record in display order as a merge copies it: key, time text, type and time as
    // stored, the key of the caption (NULL: none) and data. With keys in display order,
    // only the first `rows` records after the key `*after` (from the first when `after`
    // is null), so that a merge can read several logs of one server connection side by
    // side, a statement at a time.
    Statement copySql(const qint64 *after = nullptr, int rows = 0) const;
    // Keys in display order only, for a merge that begins with the newest records: the
    // time as stored (storedTime) of the record `fromNewest` places before the newest
    // (0: the newest; no row when the log has fewer), and the key of the newest record
    // stored as earlier than `second` (no row when there is none). Both walk the key
    // backwards from the newest record, and so read only as far back as they look.
    Statement storedTimeFromNewestSql(int fromNewest) const;
    Statement newestKeyStoredBeforeSql(qint64 second) const;

    // The time and type of every record (keys in range when given), as one text of
    // timeAndTypeSql() values, "v,v,v", in no particular order; records without a time
    // the table can show are left out. Not `exact`, a time or type stored as a real
    // number comes out as one (with a point): the records must then be read `exact`.
    Statement timesSql(const KeyRange *range, bool exact) const;

    // A failed statement's error, as this kind of store reads it.
    StoreError error(const QSqlError &failure) const { return dialect->error(failure); }

    // recordTypeIndex of l.type, in SQL.
    QString typeIndexSql() const { return dialect->typeIndex; }
    // A record's time as the table shows it, in whole seconds since 1970, times 4, plus
    // its type index (RecordTimes::packed); NULL when the table shows no time. Of a log
    // with devices, the device's index goes along (RecordTimes::packed with a device).
    QString timeAndTypeSql() const { return withDevice(dialect->timeAndType); }
    // The time of a record as the table shows it.
    QString timeSql() const { return dialect->time; }

private:
    QString key() const;
    QString order(bool descending = false) const;
    // "FROM <log> WHERE <scope> AND <condition>", either part left out when empty; binds
    // the scope.
    QString from(Statement &statement, const QString &condition = QString()) const;
    // A statement of the dialect's own text, with the scope bound.
    Statement scoped(const QString &text) const;
    Statement selectPassing(const QString &columns, const LogFilter &filter, const KeyRange *range,
                            const QDateTime &atOrAfter) const;
    // " AND ..." for the filter's type and time conditions, values appended to `values`.
    QString conditions(const LogFilter &filter, const QDateTime &atOrAfter, LogSqlValues &values) const;

    // ", " and the name of the record's device, for a merged log.
    QString deviceNameColumn() const;
    // A packed time and type, with the record's device when the log has devices.
    QString withDevice(const QString &timeAndType) const;

    const LogViewDialect *dialect;
    bool idIsRowId;
    bool devices = false;
    QVariant scope;
};
