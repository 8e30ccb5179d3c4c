// The statement texts of the log file: its schema, the import's reads and writes,
// and the one query that both the log view and the CSV export read.
#pragma once

#include <QString>

// Tables, created in this order in a new log file.
extern const QString CreateInfoTableSql;
extern const QString CreateEventsTableSql;
extern const QString CreateLogTableSql;
// The one Info row of a new file: no fingerprints yet.
extern const QString InsertEmptyInfoSql;

// The import of a download.
extern const QString SelectInfoSql;
extern const QString UpdateInfoSql;
extern const QString SelectNewestRecordSql;
extern const QString InsertRecordSql;
extern const QString UpsertCaptionSql;

// A merged log file (the records of several log files in one): its table of devices
// (id, name, the path of the file the records came from), which its Log table's column
// `device` refers to.
extern const QString MergedDevicesTable;
extern const QString CreateMergedDevicesTableSql;
extern const QString CreateMergedLogTableSql;

// Type, time text, caption (NULL when the event has none) and data of every
// record, in the order they were stored.
extern const QString LogViewSql;
