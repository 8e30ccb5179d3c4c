// Every statement the log view runs on a log file, and how its notions (the type as
// the table shows it, the time as the table shows it, a filter) are written in SQL.
// A store of another kind gets a set of its own behind the same model; nothing of the
// view outside this class writes SQL.
#pragma once

#include <QDateTime>
#include <QPair>
#include <QString>
#include <QVariant>
#include <QVector>

class QSqlDatabase;
class QSqlQuery;
struct LogFilter;

class LogViewStatements
{
public:
    // Data longer than this (bytes of a BLOB, characters of a text) is shown and searched
    // by its first part only: a device sends at most 236 bytes, and a message rendered
    // from megabytes would stall every paint of its row.
    static constexpr int MaxShownData = 4096;

    // A statement and the values of its named placeholders.
    struct Statement {
        QString text;
        QVector<QPair<QString, QVariant>> values;
        // Prepares, binds and executes on `query`; false with the error in the query.
        bool exec(QSqlQuery &query) const;
    };

    // Records are keyed by Log.id when it is the table's row id, as in every log file
    // the tool writes: key order is then display order, and a span of keys is a span of
    // rows. A table of another shape is keyed by its row id, and the statements that list
    // records keep the display order (id, then row id).
    explicit LogViewStatements(bool idIsRowId = true);
    // The statements for the log open on `database`. False when the file cannot be read
    // as a database; `error` is then the database's text.
    static bool forLog(const QSqlDatabase &database, LogViewStatements *statements, QString *error);

    bool keysInDisplayOrder() const { return idIsRowId; }

    // The log view query, run for no row: whether the file can be shown at all. Run, not
    // only prepared, so that tables another program changed are seen as they are now.
    static QString viewCheckSql();
    // Row id and caption of every Events row.
    static QString captionsSql();
    // The number of records.
    QString countSql() const;
    // The number of records with keys low..high.
    Statement countRangeSql(qint64 low, qint64 high) const;
    // The smallest and the largest key (NULL, NULL for an empty log).
    QString keyBoundsSql() const;
    // The keys of the first (or the last, newest first) `count` records in display order.
    Statement edgeKeysSql(bool newest, int count) const;
    // The time text of the first (or last) record in display order.
    QString edgeTimeSql(bool newest) const;
    // The records with these keys, in no particular order: key, type, time text, caption
    // (NULL: none), data (NULL when longer than MaxShownData) and whether it is longer.
    // The columns are those of the log view query, LogViewSql.
    QString pageSql(const QVector<qint64> &keys) const;
    // The shown part of the data of one record.
    Statement longDataSql(qint64 key) const;

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
    // The Events row of the caption of the record with `key` (NULL: none).
    Statement captionRowSql(qint64 key) const;
    // The export's rows of the records that pass the filter's type and time conditions:
    // type, time text, caption, data, as the log view query has them, and the shown part
    // of data longer than MaxShownData (else NULL) for the text condition.
    Statement exportSql(const LogFilter &filter) const;

    // The time and type of every record (keys in range when given), as one text of
    // timeAndTypeSql() values, "v,v,v", in no particular order; records without a time
    // the table can show are left out. Not `exact`, a time or type stored as a real
    // number comes out as one (with a point): the records must then be read `exact`.
    Statement timesSql(const KeyRange *range, bool exact) const;

    // recordTypeIndex of l.type, in SQL.
    static QString typeIndexSql();
    // A record's time as the table shows it, in whole seconds since 1970, times 4, plus
    // its type index (RecordTimes::packed); NULL when the table shows no time.
    static QString timeAndTypeSql();
    // The time of a record as the table shows it.
    static QString timeSql();

private:
    QString key() const;
    Statement selectPassing(const QString &columns, const LogFilter &filter, const KeyRange *range,
                            const QDateTime &atOrAfter) const;
    QString order(bool descending = false) const;
    // " AND ..." for the filter's type and time conditions, values appended to `values`.
    static QString conditions(const LogFilter &filter, const QDateTime &atOrAfter,
                              QVector<QPair<QString, QVariant>> &values);

    bool idIsRowId;
};
