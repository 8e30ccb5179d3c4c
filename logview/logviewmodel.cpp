// The log table's model: rows by key from the log file, a page at a time.

#include "logview/logviewmodel.h"

#include "messagetext/recordtypes.h"

#include <QColor>
#include <QPixmap>
#include <QSqlQuery>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <limits>

namespace {

// The columns of a log's records; a log of several devices shows the device's name
// before them.
enum Column { TypeColumn = 0, TimeColumn = 1, MessageColumn = 2, DataColumn = 3, ColumnCount = 4 };

// Records a refresh appends on the user-interface thread; more go to the background.
constexpr qint64 AppendInPlaceKeys = 4096;
// How long rows a scan found wait to be inserted together.
constexpr int FlushIntervalMs = 50;

// After a message the table shows by its start only, and what its cell says of it.
const QString CutMark = QStringLiteral("…");
const QString CutMessageToolTip = QStringLiteral(
    "Сообщение слишком длинное: таблица показывает и ищет только его начало; целиком оно записывается в экспорт "
    "журнала");

// Every log file the tool writes numbers its records without gaps: its rows are known
// from the first and the last key. Rows deleted by another program leave gaps.
bool withoutGaps(qint64 low, qint64 high, int total)
{
    return total > 0 && quint64(high) - quint64(low) == quint64(total) - 1;
}

QVector<qint64> readEdgeKeys(const QSqlDatabase &database, const LogViewStatements &statements, bool newest, int count)
{
    QVector<qint64> keys;
    QSqlQuery query(database);
    query.setForwardOnly(true);
    if (statements.edgeKeysSql(newest, count).exec(query)) {
        while (query.next())
            keys.append(query.value(0).toLongLong());
    }
    if (newest)
        std::reverse(keys.begin(), keys.end());
    return keys;
}

QDateTime readEdgeTime(const QSqlDatabase &database, const LogViewStatements &statements, bool newest)
{
    QSqlQuery query(database);
    if (!statements.edgeTimeSql(newest).exec(query) || !query.next())
        return QDateTime();
    const QString text = query.value(0).toString();
    return QDateTime(QDate::fromString(text.left(10), QStringLiteral("yyyy-MM-dd")),
                     QTime::fromString(text.mid(11), QStringLiteral("HH:mm:ss")), Qt::UTC);
}

} // namespace

// The smallest and the largest key (where keys are in display order), and, for a filter
// that keeps every record, the keys of the first and the last page.
struct LogViewModel::IndexFacts {
    bool read = false;
    QSqlError error;
    bool counted = false;
    int total = 0;
    bool any = false;
    qint64 low = 0;
    qint64 high = 0;
    QVector<qint64> head;
    QVector<qint64> tail;

    static IndexFacts from(const QSqlDatabase &database, const LogViewStatements &statements, bool everyRecord,
                           bool withCount, int total)
    {
        IndexFacts facts;
        QSqlQuery query(database);
        if (withCount) {
            if (!statements.countSql().exec(query) || !query.next()) {
                facts.error = query.lastError();
                return facts;
            }
            facts.counted = true;
            facts.total = total = query.value(0).toInt();
            query.finish();
        }
        if (statements.keysInDisplayOrder()) {
            if (!statements.keyBoundsSql().exec(query) || !query.next()) {
                facts.error = query.lastError();
                return facts;
            }
            facts.any = !query.value(0).isNull();
            facts.low = query.value(0).toLongLong();
            facts.high = query.value(1).toLongLong();
            query.finish();
            if (!facts.any || (everyRecord && withoutGaps(facts.low, facts.high, total))) {
                facts.read = true;
                return facts;
            }
        }
        facts.read = true;
        if (everyRecord) {
            facts.head = readEdgeKeys(database, statements, false, PageRows);
            facts.tail = readEdgeKeys(database, statements, true, PageRows);
        }
        return facts;
    }
};

// What showing a log from scratch reads.
struct LogViewModel::LogFacts {
    bool valid = false; // the log view query runs
    QSqlError error;
    int total = 0;
    LogCaptions captions;
    IndexFacts index;
    QDateTime edges[2];
};

// What a refresh reads: whether the log is still there, its captions, its edges now.
struct LogViewModel::RefreshFacts {
    bool valid = false;
    QSqlError error;
    bool lost = false; // the store went out of reach
    bool captionsRead = false;
    LogCaptions captions;
    bool boundsRead = false;
    bool any = false;
    qint64 low = 0;
    qint64 high = 0;
    QDateTime edges[2];
};

// The records stored after the rows shown: where keys are in display order, the range,
// its count, and for a few, the keys that pass the filter.
struct LogViewModel::AppendFacts {
    bool read = false;
    int total = 0; // where keys are not in display order: the count now
    bool any = false;
    qint64 low = 0;
    qint64 high = 0;
    bool fresh = false; // there are records after the ones covered
    int added = 0;
    bool many = false; // too many to take in here: a scan finds the rows
    QVector<qint64> keys;
    RecordTimes times;
};

// One page of rows, by key.
struct LogViewModel::PageFacts {
    struct Row {
        qint64 key = 0;
        QVariant type;
        QVariant time;
        QVariant captionKey;
        QVariant data;
        bool longData = false;
        QVariant device;
    };
    bool read = false;
    QVector<Row> rows;

    static PageFacts from(const QSqlDatabase &database, const LogViewStatements &statements,
                          const QVector<qint64> &keys)
    {
        PageFacts facts;
        QSqlQuery query(database);
        query.setForwardOnly(true);
        if (!statements.pageSql(keys).exec(query))
            return facts;
        while (query.next()) {
            Row row;
            row.key = query.value(0).toLongLong();
            row.type = query.value(1);
            row.time = query.value(2);
            row.captionKey = query.value(3);
            row.data = query.value(4);
            row.longData = query.value(5).toBool();
            if (statements.hasDevices())
                row.device = query.value(6);
            facts.rows.append(row);
        }
        facts.read = !query.lastError().isValid();
        return facts;
    }
};

LogViewModel::LogViewModel(QObject *parent)
    : QAbstractTableModel(parent),
      logSource(std::make_shared<LogFileSource>()),
      reads(new LogSourceReads(this))
{
    reads->setSource(logSource);
    pool.setMaxThreadCount(std::max(1, QThread::idealThreadCount()));
    flushTimer.setSingleShot(true);
    flushTimer.setInterval(FlushIntervalMs);
    connect(&flushTimer, &QTimer::timeout, this, &LogViewModel::flushPending);
}

LogViewModel::~LogViewModel()
{
    cancelWork();
    pool.waitForDone();
    // Its reader thread ends before the members its answers would touch go.
    delete reads;
}

void LogViewModel::setSource(std::shared_ptr<LogSource> source)
{
    closeLog();
    logSource = std::move(source);
    reads->setSource(logSource);
    // The answers to the pages asked of the source before will not come.
    pageReads = 0;
    wantedPages.clear();
}

void LogViewModel::setError(const QString &text)
{
    error = QSqlError(QString(), text, QSqlError::StatementError);
}

void LogViewModel::cancelWork()
{
    ++viewGeneration;
    loading = false;
    indexing = false;
    refreshing = false;
    refreshAgain = false;
    appendReading = false;
    appendAgain = false;
    scanToken.cancel();
    locateToken.cancel();
    for (const CancelToken &read : qAsConst(longDataReads))
        read.cancel();
    longDataReads.clear();
    longDataAsked.clear();
    longDataWanted.clear();
    ++longDataGeneration;
    scanning = false;
    appendPending = false;
    ++scanGeneration;
    pendingKeys.clear();
    flushTimer.stop();
}

void LogViewModel::dropCache()
{
    pages.clear();
    wantedPages.clear();
    ++pageGeneration;
}

void LogViewModel::forgetLog()
{
    loaded = false;
    valid = false;
    error = QSqlError();
    shown.clear();
    total = 0;
    covered = false;
    boundsKnown = false;
    edgeTimes[0] = edgeTimes[1] = QDateTime();
    dropCache();
    // They hold the connection they were read on, which may be about to go.
    captions = LogCaptions();
}

void LogViewModel::closeLog()
{
    cancelWork();
    // The passes hold the file open; it may be about to be deleted.
    pool.waitForDone();
    beginResetModel();
    forgetLog();
    endResetModel();
    for (const Locate &pending : qAsConst(pendingLocates))
        emit timeLocated(pending.request, -1);
    pendingLocates.clear();
    emit countsChanged(0, 0);
    emit logReloaded();
}

void LogViewModel::reload()
{
    cancelWork();
    beginResetModel();
    forgetLog();
    if (logSource->isOpen()) {
        loaded = true;
        const StoreResult<LogViewStatements> read = logSource->statements();
        if (read) {
            statements = *read;
            loading = true;
            resetting = true;
            const quint64 generation = viewGeneration;
            const LogViewStatements logStatements = statements;
            const bool everyRecord = currentFilter.isEmpty();
            reads->run<LogFacts>(
                [logStatements, everyRecord](const QSqlDatabase &database) {
                    LogFacts facts;
                    QSqlQuery query(database);
                    // A file without the tables of a log: nothing to show, and nothing
                    // said, as when the view query itself fails.
                    if (!logStatements.viewCheckSql().exec(query)) {
                        facts.error = query.lastError();
                        return facts;
                    }
                    if (!logStatements.countSql().exec(query) || !query.next()) {
                        facts.error = query.lastError();
                        return facts;
                    }
                    facts.valid = true;
                    facts.total = query.value(0).toInt();
                    query.finish();
                    QSqlError failure;
                    if (!facts.captions.load(database, logStatements, &failure))
                        facts.error = failure;
                    facts.index = IndexFacts::from(database, logStatements, everyRecord, false, facts.total);
                    facts.edges[0] = readEdgeTime(database, logStatements, false);
                    facts.edges[1] = readEdgeTime(database, logStatements, true);
                    return facts;
                },
                [this, generation](LogFacts &facts) {
                    if (generation == viewGeneration)
                        takeLogFacts(facts);
                });
            resetting = false;
        } else {
            setError(read.error().text);
        }
    }
    endResetModel();
    if (loading)
        return;
    emit countsChanged(shown.rowCount(), total);
    emit logReloaded();
}

void LogViewModel::takeLogFacts(LogFacts &facts)
{
    loading = false;
    const bool ownReset = !resetting;
    if (ownReset)
        beginResetModel();
    error = facts.error;
    if (facts.valid) {
        valid = true;
        total = facts.total;
        captions = facts.captions;
        edgeTimes[0] = facts.edges[0];
        edgeTimes[1] = facts.edges[1];
        startIndex(facts.index);
    }
    if (!ownReset)
        return;
    endResetModel();
    emit countsChanged(shown.rowCount(), total);
    emit logReloaded();
    if (!isScanning())
        rowsKnown();
    // Records announced while the log was read may have come after what was read.
    if (refreshAgain) {
        refreshAgain = false;
        refresh();
    }
}

void LogViewModel::readIndex(bool withCount)
{
    indexing = true;
    const quint64 generation = viewGeneration;
    const LogViewStatements logStatements = statements;
    const bool everyRecord = currentFilter.isEmpty();
    const int known = total;
    reads->run<IndexFacts>(
        [logStatements, everyRecord, withCount, known](const QSqlDatabase &database) {
            return IndexFacts::from(database, logStatements, everyRecord, withCount, known);
        },
        [this, generation](IndexFacts &facts) {
            if (generation == viewGeneration)
                takeIndexFacts(facts);
        });
}

void LogViewModel::takeIndexFacts(IndexFacts &facts)
{
    indexing = false;
    const bool ownReset = !resetting;
    if (ownReset)
        beginResetModel();
    if (facts.counted)
        total = facts.total;
    startIndex(facts);
    if (!ownReset)
        return;
    endResetModel();
    emit countsChanged(shown.rowCount(), total);
    if (!isScanning()) {
        emit scanFinished();
        rowsKnown();
    }
}

void LogViewModel::takeBounds(bool any, qint64 low, qint64 high)
{
    boundsKnown = any;
    lowKey = low;
    highKey = high;
}

bool LogViewModel::keyBounds(qint64 *low, qint64 *high) const
{
    if (!valid || !boundsKnown || !statements.keysInDisplayOrder())
        return false;
    *low = lowKey;
    *high = highKey;
    return true;
}

LogScanSetup LogViewModel::scanSetup(const LogFilter &filter) const
{
    LogScanSetup setup;
    setup.openReader = logSource->readers();
    setup.statements = statements;
    setup.filter = filter;
    return setup;
}

void LogViewModel::startIndex(const IndexFacts &facts)
{
    if (!valid)
        return;
    if (!facts.read) {
        error = facts.error;
        return;
    }
    LogScanSetup setup = scanSetup(currentFilter);
    if (statements.keysInDisplayOrder()) {
        takeBounds(facts.any, facts.low, facts.high);
        setup.low = facts.low;
        setup.high = facts.high;
        covered = true;
        coveredKey = setup.high;
        if (!facts.any) {
            covered = false;
            return;
        }
        setup.ranged = true;
        // Rows deleted by another program leave gaps, found in the background.
        if (currentFilter.isEmpty() && withoutGaps(setup.low, setup.high, total)) {
            shown.appendRun(setup.low, total);
            return;
        }
    }
    if (currentFilter.isEmpty()) {
        // The count is known: the first and the last page show at once, the rows
        // between as their keys arrive.
        shown.setProvisional(total, facts.head, facts.tail);
        if (!shown.isComplete())
            startScan(setup, true, false);
        return;
    }
    startScan(setup, false, false);
}
void LogViewModel::startScan(const LogScanSetup &setup, bool provisional, bool appending)
{
    scanToken.cancel();
    const quint64 generation = ++scanGeneration;
    scanning = true;
    scanIsProvisional = provisional;
    scanIsAppend = appending;
    scanSkip = provisional ? shown.headCount() : 0;
    scanHigh = setup.high;
    scanChunks = setup.chunkCount();

    OrderedWork<LogScanChunk> work;
    work.chunks = scanChunks;
    work.startThread = [setup] { return startLogScanThread(setup); };
    work.deliver = [this, generation](int chunk, LogScanChunk &found) { takeChunk(generation, chunk, found); };
    work.finish = [this, generation] { finishScan(generation); };
    scanToken = runOrdered(pool, this, std::move(work), pool.maxThreadCount());
    // Sent once the reset or the change that started the scan is over.
    QTimer::singleShot(0, this, [this, generation] {
        if (generation == scanGeneration && scanning)
            emit scanStarted();
    });
}

void LogViewModel::takeChunk(quint64 generation, int chunk, const LogScanChunk &found)
{
    if (generation != scanGeneration)
        return;
    const QVector<qint64> &keys = found.keys;
    if (!found.read) {
        const QString &failure = found.read.error().text;
        scanToken.cancel();
        scanning = false;
        setError(failure);
        emit scanFailed(failure);
        return;
    }
    if (scanIsProvisional) {
        const int before = shown.headCount();
        const int known = std::min(scanSkip, int(keys.size()));
        scanSkip -= known;
        shown.append(keys.mid(known));
        // Pages read while these rows had no keys lack them.
        for (auto page = pages.begin(); page != pages.end();) {
            if (page->partial)
                page = pages.erase(page);
            else
                ++page;
        }
        if (shown.headCount() > before && rowCount() > 0)
            emit dataChanged(index(before, 0), index(std::min(shown.headCount(), rowCount()) - 1, columnCount() - 1));
    } else {
        if (!found.times.isEmpty())
            emit textMatchesFound(found.times);
        pendingKeys += keys;
        // The first rows at once; the rest together.
        if (shown.rowCount() == 0 && !pendingKeys.isEmpty())
            flushPending();
        else if (!flushTimer.isActive())
            flushTimer.start();
    }
    emit scanProgress(chunk + 1, scanChunks);
}

void LogViewModel::finishScan(quint64 generation)
{
    if (generation != scanGeneration)
        return;
    flushPending();
    scanning = false;
    if (statements.keysInDisplayOrder()) {
        covered = true;
        coveredKey = scanHigh;
    }
    if (scanIsProvisional && !shown.isComplete()) {
        // Records vanished between the count and the scan (another program deleted
        // them): show what was found.
        beginResetModel();
        const QVector<qint64> head = [this] {
            QVector<qint64> keys;
            for (int row = 0; row < shown.headCount(); ++row) {
                qint64 key = 0;
                shown.keyAt(row, &key);
                keys.append(key);
            }
            return keys;
        }();
        shown.clear();
        shown.append(head);
        total = head.size();
        dropCache();
        endResetModel();
    }
    emit countsChanged(shown.rowCount(), total);
    emit scanFinished();
    rowsKnown();
}

void LogViewModel::rowsKnown()
{
    const auto locates = pendingLocates;
    pendingLocates.clear();
    for (const Locate &pending : locates)
        startLocate(pending);
    if (appendPending) {
        appendPending = false;
        appendNew();
    }
}

void LogViewModel::flushPending()
{
    flushTimer.stop();
    const QVector<qint64> keys = pendingKeys;
    pendingKeys.clear();
    appendKeys(keys, scanIsAppend);
}

void LogViewModel::appendKeys(const QVector<qint64> &keys, bool appending)
{
    if (keys.isEmpty())
        return;
    if (appending)
        emit recordsAboutToBeAppended();
    const int first = shown.rowCount();
    beginInsertRows(QModelIndex(), first, first + keys.size() - 1);
    shown.append(keys);
    // The last page may have been read short.
    pages.remove(first / PageRows);
    endInsertRows();
    if (appending)
        emit recordsAppended();
    emit countsChanged(shown.rowCount(), total);
}

void LogViewModel::setFilter(const LogFilter &filter)
{
    if (filter == currentFilter)
        return;
    currentFilter = filter;
    emit filterChanged(currentFilter);
    if (!valid)
        return;
    cancelWork();
    beginResetModel();
    shown.clear();
    dropCache();
    resetting = true;
    readIndex(false);
    resetting = false;
    endResetModel();
    emit countsChanged(shown.rowCount(), total);
}

void LogViewModel::refresh()
{
    if (loading || refreshing) {
        // What is on its way may already hold what is new; if not, it is read after it.
        refreshAgain = true;
        return;
    }
    if (!loaded || !valid) {
        reload();
        return;
    }
    refreshing = true;
    const quint64 generation = viewGeneration;
    const LogViewStatements logStatements = statements;
    const std::shared_ptr<LogSource> source = logSource;
    reads->run<RefreshFacts>(
        [logStatements, source](const QSqlDatabase &database) {
            RefreshFacts facts;
            QSqlQuery query(database);
            if (!logStatements.viewCheckSql().exec(query)) {
                facts.error = query.lastError();
                facts.lost = source->lostTheStore(facts.error);
                return facts;
            }
            query.finish();
            facts.valid = true;
            QSqlError failure;
            facts.captionsRead = facts.captions.load(database, logStatements, &failure);
            if (logStatements.keysInDisplayOrder() && logStatements.keyBoundsSql().exec(query) && query.next()) {
                facts.boundsRead = true;
                facts.any = !query.value(0).isNull();
                facts.low = query.value(0).toLongLong();
                facts.high = query.value(1).toLongLong();
            }
            query.finish();
            facts.edges[0] = readEdgeTime(database, logStatements, false);
            facts.edges[1] = readEdgeTime(database, logStatements, true);
            return facts;
        },
        [this, generation](RefreshFacts &facts) {
            if (generation != viewGeneration)
                return;
            refreshing = false;
            takeRefreshFacts(facts);
            if (refreshAgain && !refreshing && !loading) {
                refreshAgain = false;
                refresh();
            }
        });
}

void LogViewModel::takeRefreshFacts(RefreshFacts &facts)
{
    // A table dropped behind the tool's back fails the view query from then on: the
    // view shows nothing, as a failed query always has.
    if (!facts.valid) {
        // A server out of reach is no reason to show nothing: what was read stays on show
        // until the server is back.
        if (facts.lost) {
            emit storeUnreachable(facts.error.text());
            return;
        }
        reload();
        return;
    }
    edgeTimes[0] = facts.edges[0];
    edgeTimes[1] = facts.edges[1];
    if (facts.boundsRead)
        takeBounds(facts.any, facts.low, facts.high);
    // Captions may have been stored anew: the rows read so far show them from now on.
    if (facts.captionsRead && facts.captions != captions) {
        captions = facts.captions;
        dropCache();
        if (rowCount() > 0)
            emit dataChanged(index(0, 0), index(rowCount() - 1, columnCount() - 1));
        if (currentFilter.hasTextCondition()) {
            // Messages changed: which records hold the text is found again, among the
            // records stored since as well.
            cancelWork();
            beginResetModel();
            shown.clear();
            resetting = true;
            readIndex(true);
            resetting = false;
            endResetModel();
            emit countsChanged(shown.rowCount(), total);
            emit logRefreshed();
            return;
        }
    }
    if (isScanning()) {
        // The scan covers the records up to where it began; the rest come after it.
        appendPending = true;
    } else {
        appendNew();
    }
    emit logRefreshed();
}

void LogViewModel::appendNew()
{
    if (appendReading) {
        appendAgain = true;
        return;
    }
    appendReading = true;
    const quint64 generation = viewGeneration;
    const LogViewStatements logStatements = statements;
    const LogFilter filter = currentFilter;
    const bool wasCovered = covered;
    const qint64 coveredUpTo = coveredKey;
    // In place the model's captions are used (a log file's remember which row holds each
    // event's caption); on a thread of its own the search renders with a copy.
    LogCaptions *modelCaptions = reads->inPlace() ? &captions : nullptr;
    std::shared_ptr<LogCaptions> copied = modelCaptions ? nullptr : std::make_shared<LogCaptions>(captions);
    reads->run<AppendFacts>(
        [=](const QSqlDatabase &database) {
            AppendFacts facts;
            QSqlQuery query(database);
            query.setForwardOnly(true);
            if (!logStatements.keysInDisplayOrder()) {
                facts.read = logStatements.countSql().exec(query) && query.next();
                facts.total = facts.read ? query.value(0).toInt() : 0;
                return facts;
            }
            if (!logStatements.keyBoundsSql().exec(query) || !query.next())
                return facts;
            facts.read = true;
            facts.any = !query.value(0).isNull();
            facts.low = query.value(0).toLongLong();
            facts.high = query.value(1).toLongLong();
            query.finish();
            if (!facts.any)
                return facts;
            qint64 low = facts.low;
            if (wasCovered) {
                if (facts.high <= coveredUpTo)
                    return facts;
                low = coveredUpTo + 1;
            }
            if (!logStatements.countRangeSql(low, facts.high).exec(query) || !query.next()) {
                facts.read = false;
                return facts;
            }
            facts.fresh = true;
            facts.added = query.value(0).toInt();
            query.finish();
            facts.low = low;
            if (quint64(facts.high) - quint64(low) >= quint64(AppendInPlaceKeys)) {
                facts.many = true;
                return facts;
            }
            LogViewStatements::KeyRange range{low, facts.high};
            const LogTextMatcher matcher(filter);
            LogCaptions &rendering = modelCaptions != nullptr ? *modelCaptions : *copied;
            if (logStatements.scanSql(filter, matcher.isActive(), &range).exec(query)) {
                while (query.next()) {
                    const qint64 key = query.value(0).toLongLong();
                    if (matcher.isActive()) {
                        if (!matcher.matches(rendering.message(key, query.value(1), query.value(2).toByteArray())))
                            continue;
                        if (!query.value(3).isNull())
                            facts.times.appendPacked(query.value(3).toLongLong(), logStatements.hasDevices());
                    }
                    facts.keys.append(key);
                }
            }
            return facts;
        },
        [this, generation](AppendFacts &facts) {
            if (generation != viewGeneration)
                return;
            appendReading = false;
            takeAppendFacts(facts);
            if (appendAgain && !appendReading && !isScanning()) {
                appendAgain = false;
                appendNew();
            }
        });
}

void LogViewModel::takeAppendFacts(AppendFacts &facts)
{
    if (!facts.read)
        return;
    if (!statements.keysInDisplayOrder()) {
        // A table keyed otherwise: its new records may belong anywhere.
        if (facts.total != total)
            reload();
        return;
    }
    if (!facts.fresh)
        return;
    total += facts.added;
    LogScanSetup setup = scanSetup(currentFilter);
    setup.ranged = true;
    setup.low = facts.low;
    setup.high = facts.high;
    if (facts.many) {
        startScan(setup, false, true);
        emit countsChanged(shown.rowCount(), total);
        return;
    }
    covered = true;
    coveredKey = facts.high;
    if (!facts.times.isEmpty())
        emit textMatchesFound(facts.times);
    appendKeys(facts.keys, true);
    emit countsChanged(shown.rowCount(), total);
}

bool LogViewModel::keyOfRow(int row, qint64 *key) const
{
    return shown.keyAt(row, key);
}

int LogViewModel::rowOfKey(qint64 key) const
{
    return shown.rowOf(key);
}

int LogViewModel::locateTime(const QDateTime &time, const QDateTime &until)
{
    const Locate locate{++locateRequests, time, until};
    if (isScanning() && time.isValid()) {
        // Only the rows on show can be gone to: wait until they are all known.
        pendingLocates.append(locate);
    } else if (!valid || !time.isValid()) {
        QTimer::singleShot(0, this, [this, request = locate.request] { emit timeLocated(request, -1); });
    } else {
        startLocate(locate);
    }
    return locate.request;
}

void LogViewModel::startLocate(const Locate &locate)
{
    if (!valid) {
        emit timeLocated(locate.request, -1);
        return;
    }
    locateToken.cancel();
    const quint64 generation = scanGeneration;
    // The span's end narrows the filter's own: only rows shown are candidates anyway.
    LogFilter bounded = currentFilter;
    if (locate.until.isValid() && (!bounded.to.isValid() || locate.until < bounded.to))
        bounded.to = wallClockSeconds(locate.until);
    const LogScanSetup setup = scanSetup(bounded);
    const LogRowIndex rows = shown;
    const QDateTime time = locate.time;
    const int request = locate.request;
    OrderedWork<LogLocateResult> work;
    work.chunks = 1;
    work.startThread = [setup, time, rows] {
        return startLogLocateThread(setup, time, [rows](qint64 key) { return rows.rowOf(key) >= 0; });
    };
    work.deliver = [this, generation, request](int, LogLocateResult &result) {
        const bool current = generation == scanGeneration && result.found;
        emit timeLocated(request, current ? shown.rowOf(result.key) : -1);
    };
    locateToken = runOrdered(pool, this, std::move(work), 1);
}

int LogViewModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : shown.rowCount();
}

int LogViewModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() || !valid ? 0 : ColumnCount + deviceColumns();
}

LogViewModel::CachedRow *LogViewModel::rowAt(int row) const
{
    const int pageNumber = row / PageRows;
    auto found = pages.find(pageNumber);
    if (found == pages.end()) {
        CachedPage page;
        page.rows.resize(size_t(std::min(PageRows, shown.rowCount() - pageNumber * PageRows)));
        QVector<int> rows;
        QVector<qint64> keys;
        shown.keysOf(pageNumber * PageRows, int(page.rows.size()), &rows, &keys);
        page.partial = size_t(keys.size()) < page.rows.size();
        if (!keys.isEmpty() && reads->inPlace()) {
            const PageFacts facts = PageFacts::from(logSource->database(), statements, keys);
            fillPage(&page, pageNumber, facts);
            // Not read: read again when next asked for (a file locked for a moment, say).
            if (!facts.read)
                page.partial = true;
        } else if (!keys.isEmpty()) {
            // Its rows show empty until they arrive.
            page.reading = true;
            wantedPages.append(pageNumber);
        }
        if (pages.size() >= MaxCachedPages) {
            auto oldest = std::min_element(pages.begin(), pages.end(), [](const CachedPage &a, const CachedPage &b) {
                return a.lastUse < b.lastUse;
            });
            pages.erase(oldest);
        }
        found = pages.insert(pageNumber, page);
        if (page.reading)
            askForPages();
    }
    found->lastUse = ++useClock;
    CachedRow &cached = found->rows[size_t(row - pageNumber * PageRows)];
    return cached.present ? &cached : nullptr;
}

void LogViewModel::fillPage(CachedPage *page, int pageNumber, const PageFacts &facts, int *first, int *last) const
{
    QVector<int> rows;
    QVector<qint64> keys;
    shown.keysOf(pageNumber * PageRows, int(page->rows.size()), &rows, &keys);
    QHash<qint64, int> places;
    for (int i = 0; i < keys.size(); ++i)
        places.insert(keys[i], rows[i] - pageNumber * PageRows);
    for (const PageFacts::Row &read : facts.rows) {
        const auto slot = places.constFind(read.key);
        if (slot == places.constEnd())
            continue;
        CachedRow &cached = page->rows[size_t(*slot)];
        cached.present = true;
        cached.key = read.key;
        cached.type = read.type;
        cached.time = read.time;
        cached.captionKey = read.captionKey;
        cached.data = read.data;
        cached.longData = read.longData;
        cached.dataCut = cached.longData;
        cached.device = read.device;
        if (first != nullptr && last != nullptr) {
            *first = *last < 0 ? *slot : std::min(*first, *slot);
            *last = std::max(*last, *slot);
        }
    }
}

void LogViewModel::askForPages() const
{
    auto *self = const_cast<LogViewModel *>(this);
    while (pageReads < MaxPageReads && !wantedPages.isEmpty()) {
        const int pageNumber = wantedPages.takeLast();
        const auto page = pages.constFind(pageNumber);
        // Gone from the cache meanwhile: read again should it be painted again.
        if (page == pages.constEnd() || !page->reading)
            continue;
        QVector<int> rows;
        QVector<qint64> keys;
        shown.keysOf(pageNumber * PageRows, int(page->rows.size()), &rows, &keys);
        ++pageReads;
        const LogViewStatements logStatements = statements;
        const quint64 generation = pageGeneration;
        reads->run<PageFacts>(
            [logStatements, keys](const QSqlDatabase &database) {
                return PageFacts::from(database, logStatements, keys);
            },
            [self, generation, pageNumber](PageFacts &facts) { self->takePage(generation, pageNumber, facts); });
    }
}

void LogViewModel::takePage(quint64 generation, int pageNumber, PageFacts &facts)
{
    --pageReads;
    const auto page = pages.find(pageNumber);
    if (generation == pageGeneration && page != pages.end() && page->reading) {
        if (!facts.read) {
            // Asked again when next painted (a server gone for a moment, say).
            pages.erase(page);
        } else {
            page->reading = false;
            int first = 0;
            int last = -1;
            fillPage(&*page, pageNumber, facts, &first, &last);
            if (last >= 0)
                emit dataChanged(index(pageNumber * PageRows + first, 0),
                                 index(pageNumber * PageRows + last, columnCount() - 1));
        }
    }
    askForPages();
}

namespace {

// What the background read of one record's long data gives back.
struct LongData {
    bool read = false;
    QVariant data;
};

} // namespace

void LogViewModel::askForLongData(qint64 key) const
{
    if (longDataAsked.contains(key))
        return;
    longDataAsked.insert(key);
    longDataWanted.append(key);
    if (longDataWanted.size() > 1)
        return;
    // The rows a paint asks for are read together, once the paint is over. The reads are
    // work of the model's, not a change of it: the rows take their data when it arrives.
    auto *self = const_cast<LogViewModel *>(this);
    QTimer::singleShot(0, self, [self, generation = longDataGeneration] {
        if (generation == self->longDataGeneration)
            self->readLongData();
    });
}

void LogViewModel::readLongData()
{
    const QVector<qint64> wanted = longDataWanted;
    longDataWanted.clear();
    if (wanted.isEmpty())
        return;
    LogViewModel *self = this;
    const quint64 generation = longDataGeneration;
    const LogReaderFactory openReader = logSource->readers();
    const LogViewStatements readStatements = statements;
    OrderedWork<LongData> work;
    work.chunks = wanted.size();
    work.startThread = [openReader, readStatements, wanted] {
        std::shared_ptr<LogReader> reader = openReader();
        return [reader, readStatements, wanted](int chunk, const CancelToken &) {
            LongData result;
            if (!reader->opened())
                return result;
            QSqlQuery query(reader->database());
            query.setForwardOnly(true);
            if (readStatements.longDataSql(wanted[chunk]).exec(query) && query.next()) {
                result.read = true;
                result.data = query.value(0);
            }
            return result;
        };
    };
    work.deliver = [self, generation, wanted](int chunk, LongData &result) {
        if (generation != self->longDataGeneration)
            return;
        self->longDataAsked.remove(wanted[chunk]);
        // Not read (a file locked for a moment): asked again when the row is next painted.
        if (result.read)
            self->takeLongData(generation, wanted[chunk], result.data);
    };
    const quint64 read = ++longDataReadCount;
    work.finish = [self, read] { self->longDataReads.remove(read); };
    // Each record is read on its own: a page of them on as many threads as there are cores.
    longDataReads.insert(read, runOrdered(pool, this, std::move(work), pool.maxThreadCount()));
}

void LogViewModel::takeLongData(quint64 generation, qint64 key, const QVariant &data)
{
    if (generation != longDataGeneration)
        return;
    const int row = shown.rowOf(key);
    if (row < 0)
        return;
    const auto page = pages.find(row / PageRows);
    if (page == pages.end())
        return;
    CachedRow &cached = page->rows[size_t(row - page.key() * PageRows)];
    if (!cached.present || cached.key != key || !cached.longData)
        return;
    cached.data = data;
    cached.longData = false;
    cached.rendered = false;
    emit dataChanged(index(row, deviceColumns() + MessageColumn), index(row, columnCount() - 1));
}

QVariant LogViewModel::data(const QModelIndex &item, int role) const
{
    if (!item.isValid() || item.row() >= rowCount() || item.column() >= columnCount())
        return QVariant();
    CachedRow *row = rowAt(item.row());
    if (row == nullptr)
        return QVariant();
    const int column = item.column() - deviceColumns();
    if (column < 0)
        return role == Qt::DisplayRole || role == Qt::EditRole ? row->device : QVariant();
    switch (column) {
    case TypeColumn:
        if (role == Qt::DecorationRole)
            return QPixmap(QString::fromLatin1(RecordTypeIconPaths[recordTypeIndex(row->type)]));
        if (role == Qt::DisplayRole)
            return QString(QLatin1String(""));
        return role == Qt::EditRole ? row->type : QVariant();
    case TimeColumn:
        return role == Qt::DisplayRole || role == Qt::EditRole ? row->time : QVariant();
    case MessageColumn: {
        const QVariant caption = captions.caption(row->captionKey);
        if (role == Qt::DisplayRole || role == Qt::ToolTipRole) {
            // A message with fields waits for the start of long data: nothing to show yet.
            if (row->longData && captions.usesData(row->captionKey)) {
                askForLongData(row->key);
                return role == Qt::DisplayRole ? QVariant(QString()) : QVariant();
            }
            if (!row->rendered) {
                row->message = shownMessage(caption, row->data.toByteArray(), &row->cut, row->dataCut);
                if (row->cut)
                    row->message += CutMark;
                row->rendered = true;
            }
            if (role == Qt::DisplayRole)
                return row->message;
            return row->cut ? QVariant(CutMessageToolTip) : QVariant();
        }
        if (role == Qt::BackgroundRole && caption.isNull())
            return QColor(Qt::red);
        return role == Qt::EditRole ? caption : QVariant();
    }
    default:
        if (role != Qt::DisplayRole && role != Qt::EditRole)
            return QVariant();
        if (row->longData) {
            askForLongData(row->key);
            return QVariant();
        }
        return row->data;
    }
}

QVariant LogViewModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role != Qt::DisplayRole)
        return QVariant();
    if (orientation == Qt::Vertical)
        return section;
    if (section < deviceColumns())
        return QStringLiteral("Устройство");
    switch (section - deviceColumns()) {
    case TypeColumn:
        return QStringLiteral("Тип");
    case TimeColumn:
        return QStringLiteral("Время");
    case MessageColumn:
        return QStringLiteral("Сообщение");
    default:
        return QVariant();
    }
}
