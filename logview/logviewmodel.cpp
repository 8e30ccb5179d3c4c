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

} // namespace

LogViewModel::LogViewModel(QObject *parent) : QAbstractTableModel(parent), logSource(std::make_shared<LogFileSource>())
{
    pool.setMaxThreadCount(std::max(1, QThread::idealThreadCount()));
    flushTimer.setSingleShot(true);
    flushTimer.setInterval(FlushIntervalMs);
    connect(&flushTimer, &QTimer::timeout, this, &LogViewModel::flushPending);
}

LogViewModel::~LogViewModel()
{
    cancelWork();
    pool.waitForDone();
}

QSqlDatabase LogViewModel::database() const
{
    return logSource->database();
}

void LogViewModel::setSource(std::shared_ptr<LogSource> source)
{
    closeLog();
    logSource = std::move(source);
}

void LogViewModel::setError(const QString &text)
{
    error = QSqlError(QString(), text, QSqlError::StatementError);
}

void LogViewModel::cancelWork()
{
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
}

void LogViewModel::forgetLog()
{
    loaded = false;
    valid = false;
    error = QSqlError();
    shown.clear();
    total = 0;
    covered = false;
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
        QSqlQuery query(database());
        const StoreResult<LogViewStatements> read = logSource->statements();
        if (read)
            statements = *read;
        if (!read) {
            setError(read.error().text);
        } else if (!statements.viewCheckSql().exec(query)) {
            // A file without the tables of a log: nothing to show, and nothing said, as
            // when the view query itself fails.
            error = query.lastError();
        } else if (!statements.countSql().exec(query) || !query.next()) {
            error = query.lastError();
        } else {
            valid = true;
            total = query.value(0).toInt();
            QSqlError failure;
            if (!captions.load(database(), statements, &failure))
                error = failure;
            startIndex();
        }
    }
    endResetModel();
    emit countsChanged(shown.rowCount(), total);
    emit logReloaded();
}

bool LogViewModel::readKeyBounds(qint64 *low, qint64 *high, bool *any)
{
    QSqlQuery query(database());
    if (!statements.keyBoundsSql().exec(query) || !query.next()) {
        error = query.lastError();
        return false;
    }
    *any = !query.value(0).isNull();
    *low = query.value(0).toLongLong();
    *high = query.value(1).toLongLong();
    return true;
}

QVector<qint64> LogViewModel::edgeKeys(bool newest, int count)
{
    QVector<qint64> keys;
    QSqlQuery query(database());
    query.setForwardOnly(true);
    if (statements.edgeKeysSql(newest, count).exec(query)) {
        while (query.next())
            keys.append(query.value(0).toLongLong());
    }
    if (newest)
        std::reverse(keys.begin(), keys.end());
    return keys;
}

LogScanSetup LogViewModel::scanSetup(const LogFilter &filter) const
{
    LogScanSetup setup;
    setup.openReader = logSource->readers();
    setup.statements = statements;
    setup.filter = filter;
    return setup;
}

void LogViewModel::startIndex()
{
    if (!valid)
        return;
    LogScanSetup setup = scanSetup(currentFilter);
    if (statements.keysInDisplayOrder()) {
        bool any = false;
        if (!readKeyBounds(&setup.low, &setup.high, &any))
            return;
        covered = true;
        coveredKey = setup.high;
        if (!any) {
            covered = false;
            return;
        }
        setup.ranged = true;
        // Every log file the tool writes numbers its records without gaps: its rows are
        // known at once. Rows deleted by another program leave gaps, found in the background.
        if (currentFilter.isEmpty() && quint64(setup.high) - quint64(setup.low) == quint64(total) - 1) {
            shown.appendRun(setup.low, total);
            return;
        }
    }
    if (currentFilter.isEmpty()) {
        // The count is known: the first and the last page show at once, the rows
        // between as their keys arrive.
        shown.setProvisional(total, edgeKeys(false, PageRows), edgeKeys(true, PageRows));
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
            emit dataChanged(index(before, 0), index(std::min(shown.headCount(), rowCount()) - 1, DataColumn));
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
    startIndex();
    endResetModel();
    emit countsChanged(shown.rowCount(), total);
}

void LogViewModel::refresh()
{
    // A table dropped behind the tool's back fails the view query from then on: the
    // view shows nothing, as a failed query always has.
    QSqlQuery viewQuery(database());
    if (!loaded || !valid || !statements.viewCheckSql().exec(viewQuery)) {
        // A server out of reach is no reason to show nothing: what was read stays on show
        // until the server is back.
        if (loaded && valid && logSource->lostTheStore(viewQuery.lastError())) {
            emit storeUnreachable(viewQuery.lastError().text());
            return;
        }
        reload();
        return;
    }
    viewQuery.finish();
    // Captions may have been stored anew: the rows read so far show them from now on.
    LogCaptions fresh;
    QSqlError failure;
    if (fresh.load(database(), statements, &failure) && fresh != captions) {
        captions = fresh;
        dropCache();
        if (rowCount() > 0)
            emit dataChanged(index(0, 0), index(rowCount() - 1, DataColumn));
        if (currentFilter.hasTextCondition()) {
            // Messages changed: which records hold the text is found again, among the
            // records stored since as well.
            cancelWork();
            beginResetModel();
            shown.clear();
            QSqlQuery count(database());
            if (statements.countSql().exec(count) && count.next())
                total = count.value(0).toInt();
            startIndex();
            endResetModel();
            emit countsChanged(shown.rowCount(), total);
            emit logRefreshed();
            return;
        }
    }
    if (scanning) {
        // The scan covers the records up to where it began; the rest come after it.
        appendPending = true;
    } else {
        appendNew();
    }
    emit logRefreshed();
}

void LogViewModel::appendNew()
{
    QSqlQuery query(database());
    query.setForwardOnly(true);
    if (!statements.keysInDisplayOrder()) {
        // A table keyed otherwise: its new records may belong anywhere.
        if (statements.countSql().exec(query) && query.next() && query.value(0).toInt() != total)
            reload();
        return;
    }
    qint64 low = 0, high = 0;
    bool any = false;
    if (!readKeyBounds(&low, &high, &any) || !any)
        return;
    if (covered) {
        if (high <= coveredKey)
            return;
        low = coveredKey + 1;
    }
    if (!statements.countRangeSql(low, high).exec(query) || !query.next())
        return;
    total += query.value(0).toInt();
    query.finish();

    LogScanSetup setup = scanSetup(currentFilter);
    setup.ranged = true;
    setup.low = low;
    setup.high = high;
    if (quint64(high) - quint64(low) >= quint64(AppendInPlaceKeys)) {
        startScan(setup, false, true);
        emit countsChanged(shown.rowCount(), total);
        return;
    }
    LogViewStatements::KeyRange range{low, high};
    const LogTextMatcher matcher(currentFilter);
    QVector<qint64> keys;
    RecordTimes times;
    if (statements.scanSql(currentFilter, matcher.isActive(), &range).exec(query)) {
        while (query.next()) {
            const qint64 key = query.value(0).toLongLong();
            if (matcher.isActive()) {
                if (!matcher.matches(captions.message(key, query.value(1), query.value(2).toByteArray())))
                    continue;
                if (!query.value(3).isNull())
                    times.appendPacked(query.value(3).toLongLong());
            }
            keys.append(key);
        }
    }
    covered = true;
    coveredKey = high;
    if (!times.isEmpty())
        emit textMatchesFound(times);
    appendKeys(keys, true);
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
    if (!valid || !time.isValid()) {
        QTimer::singleShot(0, this, [this, request = locate.request] { emit timeLocated(request, -1); });
    } else if (scanning) {
        // Only the rows on show can be gone to: wait until they are all known.
        pendingLocates.append(locate);
    } else {
        startLocate(locate);
    }
    return locate.request;
}

void LogViewModel::startLocate(const Locate &locate)
{
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

QDateTime LogViewModel::edgeTime(bool newest) const
{
    if (!valid)
        return QDateTime();
    QSqlQuery query(database());
    if (!statements.edgeTimeSql(newest).exec(query) || !query.next())
        return QDateTime();
    const QString text = query.value(0).toString();
    return QDateTime(QDate::fromString(text.left(10), QStringLiteral("yyyy-MM-dd")),
                     QTime::fromString(text.mid(11), QStringLiteral("HH:mm:ss")), Qt::UTC);
}

int LogViewModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : shown.rowCount();
}

int LogViewModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() || !valid ? 0 : ColumnCount;
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
        if (!keys.isEmpty()) {
            QHash<qint64, int> places;
            for (int i = 0; i < keys.size(); ++i)
                places.insert(keys[i], rows[i] - pageNumber * PageRows);
            QSqlQuery query(database());
            query.setForwardOnly(true);
            if (statements.pageSql(keys).exec(query)) {
                while (query.next()) {
                    const auto slot = places.constFind(query.value(0).toLongLong());
                    if (slot == places.constEnd())
                        continue;
                    CachedRow &cached = page.rows[*slot];
                    cached.present = true;
                    cached.key = slot.key();
                    cached.type = query.value(1);
                    cached.time = query.value(2);
                    cached.captionKey = query.value(3);
                    cached.data = query.value(4);
                    cached.longData = query.value(5).toBool();
                    cached.dataCut = cached.longData;
                }
            } else {
                // Read again when next asked for (a file locked for a moment, say).
                page.partial = true;
            }
        }
        if (pages.size() >= MaxCachedPages) {
            auto oldest = std::min_element(pages.begin(), pages.end(), [](const CachedPage &a, const CachedPage &b) {
                return a.lastUse < b.lastUse;
            });
            pages.erase(oldest);
        }
        found = pages.insert(pageNumber, page);
    }
    found->lastUse = ++useClock;
    CachedRow &cached = found->rows[size_t(row - pageNumber * PageRows)];
    return cached.present ? &cached : nullptr;
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
    emit dataChanged(index(row, MessageColumn), index(row, DataColumn));
}

QVariant LogViewModel::data(const QModelIndex &item, int role) const
{
    if (!item.isValid() || item.row() >= rowCount() || item.column() >= columnCount())
        return QVariant();
    CachedRow *row = rowAt(item.row());
    if (row == nullptr)
        return QVariant();
    switch (item.column()) {
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
    switch (section) {
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
