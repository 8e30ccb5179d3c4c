// The passes the log view makes over a log off the user-interface thread: which
// records pass a filter, and the first record shown at or after a time. Each pool
// thread reads on a connection of its own (read-only for a file), one chunk of keys per
// statement, so that a download writing the log waits for one chunk at most.
#pragma once

#include "logaccess/logfilter.h"
#include "logaccess/logsource.h"
#include "logaccess/logviewstatements.h"
#include "logaccess/orderedwork.h"
#include "logaccess/recordtimes.h"

#include <QSqlDatabase>
#include <QString>
#include <QVector>

#include <functional>

// What one chunk found: the keys of the records that pass, in display order, and when
// the messages were searched, their times and types, for the timeline.
struct LogScanChunk {
    QVector<qint64> keys;
    RecordTimes times;
    StoreStatus read; // why the chunk could not be read, if it could not
};

struct LogScanSetup {
    // Each pool thread's connection.
    LogReaderFactory openReader;
    LogViewStatements statements;
    LogFilter filter;
    // Keys low..high, in chunks of chunkKeys keys (keys in display order only);
    // otherwise the whole table in one chunk.
    bool ranged = false;
    qint64 low = 0;
    qint64 high = -1;
    qint64 chunkKeys = 16384;
    // Wider chunks when the keys are spread thin, so that there are never more than this.
    static constexpr int MaxChunks = 4096;

    qint64 keysPerChunk() const;
    int chunkCount() const;
};

// The work of one pool thread of a scan (see OrderedWork::startThread).
std::function<LogScanChunk(int chunk, const CancelToken &token)> startLogScanThread(const LogScanSetup &setup);

// The times and types of every record of one chunk of keys, for the timeline.
struct LogTimesChunk {
    RecordTimes times;
    StoreStatus read;
};

// Reads the times and types of the records with keys in `range` (every record without
// one) into `times`, or fails with the store's error.
StoreStatus readRecordTimes(const QSqlDatabase &database, const LogViewStatements &statements,
                            const LogViewStatements::KeyRange *range, RecordTimes *times);

// The work of one pool thread of a pass that reads the times (see OrderedWork::startThread);
// the setup's filter is not used: every record counts.
std::function<LogTimesChunk(int chunk, const CancelToken &token)> startLogTimesThread(const LogScanSetup &setup);

struct LogLocateResult {
    bool found = false;
    qint64 key = 0;
    StoreStatus read;
};

// Whether the record with a key is on show; called on the pool thread, so it holds
// copies of what it reads.
using LogKeyShown = std::function<bool(qint64 key)>;

// The work of the one thread that looks for the first record on show (which passed
// `setup.filter`, as `isShown` says) whose time is `time` or later.
std::function<LogLocateResult(int chunk, const CancelToken &token)> startLogLocateThread(const LogScanSetup &setup,
                                                                                         const QDateTime &time,
                                                                                         const LogKeyShown &isShown);
