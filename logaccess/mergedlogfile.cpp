// The merged log file: several log files copied into one, in the merged order.

#include "logaccess/mergedlogfile.h"

#include "logaccess/clockoffsets.h"
#include "logaccess/csvexport.h"
#include "logaccess/mergedlogs.h"
#include "store/logschema.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>

#include <algorithm>
#include <atomic>
#include <vector>

namespace {

// Records copied between two looks at the cancel token.
constexpr int CancelCheckRows = 512;

// The failure of the file at `path`, its text naming the file (a missing file's does).
Failure<StoreError> failureOf(const QString &path, StoreError error)
{
    if (error.kind != StoreError::Kind::NotFound)
        error.text = QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), error.text);
    return Failure(std::move(error));
}

// The time a log file shows for `dt` (seconds since 1970, UTC), as its time column
// reads it: what the merged order compares.
QString shownTime(qint64 dt)
{
    return QDateTime::fromSecsSinceEpoch(dt, Qt::UTC).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
}

// Years a log file shows a time for: outside them its time column is empty.
constexpr qint64 FirstShownSecond = -62135596800; // 0001-01-01 00:00:00
constexpr qint64 LastShownSecond = 253402300799;  // 9999-12-31 23:59:59

// Records read by one statement of a log that is read a batch at a time: a server's
// logs share one connection, which holds the rows of only one statement in progress.
constexpr int CopyBatchRows = 4096;

// One log as it is copied: its records in its own order, the one in line (its time
// moved by the log's clock offset), and its captions' numbers in the merged file.
struct Source {
    // `batched`: read a batch at a time, by key (the logs are read on one connection,
    // or only the records after a key are wanted).
    Source(const QSqlDatabase &database, const LogViewStatements &statements, bool batched, int offset)
        : query(database),
          statements(statements),
          batched(batched && statements.keysInDisplayOrder()),
          offset(offset)
    {
        // A batch is taken whole, so that another log's statement cannot cut it short; a
        // log with a connection of its own streams in one statement.
        query.setForwardOnly(!this->batched);
    }
    // From the first record, or from the one after the key `after`.
    bool start(const qint64 *after)
    {
        if (after != nullptr)
            lastKey = *after;
        return copy(after);
    }
    // The next record into the query; false at the end or on a failure (failed()).
    bool next()
    {
        if (query.next()) {
            ++inBatch;
            lastKey = query.value(0).toLongLong();
            return true;
        }
        if (failed() || !batched || inBatch < CopyBatchRows)
            return false;
        return copy(&lastKey) && next();
    }
    bool failed() const { return query.lastError().isValid(); }
    // Takes in the time of the record in line.
    void readTime()
    {
        time = query.value(1).toString();
        dt = query.value(3);
        if (offset == 0)
            return;
        // A time that is no number of seconds, or that the offset would take past the
        // times a log shows, stays as it is: it has no place on the axis to move from.
        bool number = false;
        const qint64 seconds = dt.toLongLong(&number);
        if (!number || dt.type() == QVariant::String || time.isEmpty())
            return;
        const qint64 moved = seconds + offset;
        if (moved < FirstShownSecond || moved > LastShownSecond)
            return;
        dt = moved;
        time = shownTime(moved);
    }

    QSqlQuery query;
    const LogViewStatements statements;
    const bool batched;
    const int offset;
    int inBatch = 0;
    qint64 lastKey = 0;
    QString time; // the record in line's
    QVariant dt;

private:
    bool copy(const qint64 *after)
    {
        inBatch = 0;
        return statements.copySql(after, batched ? CopyBatchRows : 0).exec(query);
    }
};

// The merged file being written, on a connection of its own on the calling thread.
class MergedWriter
{
public:
    explicit MergedWriter(const QString &path)
    {
        static std::atomic<int> made{0};
        name = QStringLiteral("khronar-merge-%1").arg(made.fetch_add(1));
        database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        database.setDatabaseName(path);
    }
    ~MergedWriter()
    {
        insertRecord = QSqlQuery();
        insertEvent = QSqlQuery();
        database.close();
        database = QSqlDatabase();
        QSqlDatabase::removeDatabase(name);
    }
    MergedWriter(const MergedWriter &) = delete;
    MergedWriter &operator=(const MergedWriter &) = delete;

    // `fresh`: the file is new and gets its tables; otherwise it has them.
    StoreStatus start(bool fresh)
    {
        if (!database.open())
            return failure(database.lastError());
        QSqlQuery query(database);
        // A file of its own that goes when the view closes: nothing to keep safe from a
        // power failure, everything to gain in speed.
        QStringList statements{QStringLiteral("PRAGMA synchronous = OFF"),
                               QStringLiteral("PRAGMA journal_mode = MEMORY")};
        if (fresh)
            statements << CreateInfoTableSql << CreateEventsTableSql << CreateMergedLogTableSql
                       << CreateMergedDevicesTableSql << InsertEmptyInfoSql;
        for (const QString &statement : statements) {
            if (!query.exec(statement))
                return failure(query.lastError());
        }
        if (!database.transaction())
            return failure(database.lastError());
        insertRecord = QSqlQuery(database);
        insertEvent = QSqlQuery(database);
        if (!insertRecord.prepare(QStringLiteral("INSERT INTO Log (i, count, dt, type, event, data, device)"
                                                 " VALUES(?, 1, ?, ?, ?, ?, ?)"))
            || !insertEvent.prepare(QStringLiteral("INSERT INTO Events (id, type, caption) VALUES(?, 0, ?)")))
            return failure(insertRecord.lastError().isValid() ? insertRecord.lastError() : insertEvent.lastError());
        return {};
    }

    StoreStatus addDevice(qint64 id, const QString &deviceName, const QString &path)
    {
        QSqlQuery query(database);
        query.prepare(QStringLiteral("INSERT INTO %1 (id, name, path) VALUES(?, ?, ?)").arg(MergedDevicesTable));
        query.addBindValue(id);
        query.addBindValue(deviceName);
        query.addBindValue(path);
        return query.exec() ? StoreStatus() : StoreStatus(failure(query.lastError()));
    }

    StoreStatus addEvent(qint64 id, const QVariant &caption)
    {
        insertEvent.addBindValue(id);
        insertEvent.addBindValue(caption);
        return insertEvent.exec() ? StoreStatus() : StoreStatus(failure(insertEvent.lastError()));
    }

    // The record in line of `row` (a copySql() row) at the time `dt`, its caption the
    // event `event`.
    StoreStatus addRecord(const QSqlQuery &row, const QVariant &dt, const QVariant &event, qint64 device)
    {
        insertRecord.addBindValue(row.value(0));
        insertRecord.addBindValue(dt);
        insertRecord.addBindValue(row.value(2));
        insertRecord.addBindValue(event);
        insertRecord.addBindValue(row.value(5));
        insertRecord.addBindValue(device);
        return insertRecord.exec() ? StoreStatus() : StoreStatus(failure(insertRecord.lastError()));
    }

    StoreStatus commit()
    {
        insertRecord = QSqlQuery();
        insertEvent = QSqlQuery();
        return database.commit() ? StoreStatus() : StoreStatus(failure(database.lastError()));
    }

private:
    Failure<StoreError> failure(const QSqlError &error) const
    {
        // The folder is the system's temporary one: a full disk is said as such.
        StoreError read = logFileError(error);
        read.text = QStringLiteral("Не удается записать временный файл \"%1\": %2")
                        .arg(QDir::toNativeSeparators(database.databaseName()), read.text);
        return Failure(std::move(read));
    }

    QString name;
    QSqlDatabase database;
    QSqlQuery insertRecord;
    QSqlQuery insertEvent;
};

} // namespace

MergedLogFile::~MergedLogFile() = default;

QStringList MergedLogFile::deviceLabels() const
{
    QStringList labels;
    for (int i = 0; i < names.size(); ++i)
        labels << deviceLabel(names[i], offsets.value(i));
    return labels;
}

StoreResult<std::unique_ptr<MergedLogFile>> MergedLogFile::build(const QStringList &paths,
                                                                 const QVector<int> &clockOffsets,
                                                                 const CancelToken &token, QString *failedPath)
{
    return buildOfFiles(paths, clockOffsets, 0, token, failedPath);
}

StoreResult<std::unique_ptr<MergedLogFile>> MergedLogFile::buildFromServer(const ServerUrl &url,
                                                                           const QStringList &names,
                                                                           const CancelToken &token)
{
    return buildOfServer(url, names, 0, token);
}

StoreResult<std::unique_ptr<MergedLogFile>> MergedLogFile::buildNewest(const QStringList &paths,
                                                                       const QVector<int> &clockOffsets,
                                                                       int newestRecords, const CancelToken &token)
{
    return buildOfFiles(paths, clockOffsets, std::max(newestRecords, 1), token, nullptr);
}

StoreResult<std::unique_ptr<MergedLogFile>> MergedLogFile::buildNewestFromServer(const ServerUrl &url,
                                                                                 const QStringList &names,
                                                                                 int newestRecords,
                                                                                 const CancelToken &token)
{
    return buildOfServer(url, names, std::max(newestRecords, 1), token);
}

StoreResult<std::unique_ptr<MergedLogFile>> MergedLogFile::buildOfFiles(const QStringList &paths,
                                                                        const QVector<int> &clockOffsets,
                                                                        int newestRecords, const CancelToken &token,
                                                                        QString *failedPath)
{
    // A device is known by its file's name: two of one name could not be told apart.
    QHash<QString, QString> named; // device name -> its file
    for (const QString &path : paths) {
        const QString name = MergedLogs::deviceNameOfFile(path);
        const auto other = named.constFind(name);
        if (other != named.constEnd()) {
            if (failedPath)
                *failedPath = path;
            return storeFailure(StoreError::Kind::Refused,
                                QStringLiteral("Файлы \"%1\" и \"%2\" — журналы одного устройства \"%3\": "
                                               "вместе их не различить")
                                    .arg(QDir::toNativeSeparators(*other), QDir::toNativeSeparators(path), name));
        }
        named.insert(name, path);
    }
    QString unreadable;
    StoreResult<std::unique_ptr<MergedLogs>> opened = MergedLogs::openFiles(paths, OpenLogSettings(), &unreadable);
    if (!opened) {
        if (failedPath)
            *failedPath = unreadable;
        return failureOf(unreadable, opened.error());
    }
    QVector<int> offsets = clockOffsets;
    offsets.resize(paths.size());
    std::unique_ptr<MergedLogFile> merged(new MergedLogFile(opened.value()->names(), offsets));
    merged->sourcePaths = paths;
    return fill(
        std::move(merged), **opened, [&paths](int index) { return paths[index]; }, newestRecords, token, failedPath);
}

StoreResult<std::unique_ptr<MergedLogFile>> MergedLogFile::buildOfServer(const ServerUrl &url, const QStringList &names,
                                                                         int newestRecords, const CancelToken &token)
{
    StoreResult<std::unique_ptr<MergedLogs>> opened = MergedLogs::openServer(url, names, QString(), OpenLogSettings());
    if (!opened)
        return Failure(opened.error());
    const StoreResult<QVector<int>> offsets = opened.value()->serverClockOffsets();
    if (!offsets)
        return Failure(offsets.error());
    std::unique_ptr<MergedLogFile> merged(new MergedLogFile(opened.value()->names(), *offsets));
    merged->fromServer = true;
    merged->serverUrl = url;
    const MergedLogs &logs = **opened;
    return fill(
        std::move(merged), logs, [&logs](int index) { return logs.place(index); }, newestRecords, token, nullptr);
}

StoreResult<std::unique_ptr<MergedLogFile>> MergedLogFile::fill(std::unique_ptr<MergedLogFile> merged,
                                                                const MergedLogs &logs,
                                                                const std::function<QString(int)> &place,
                                                                int newestRecords, const CancelToken &token,
                                                                QString *failedPath)
{
    if (newestRecords > 0) {
        const StoreResult<bool> cut = merged->startAtNewest(logs, newestRecords, place);
        if (!cut)
            return Failure(cut.error());
        if (!*cut)
            return std::unique_ptr<MergedLogFile>();
    }
    const StoreStatus copied = merged->copy(logs, place, token, failedPath);
    if (!copied)
        return Failure(copied.error());
    return merged;
}

StoreResult<bool> MergedLogFile::startAtNewest(const MergedLogs &opened, int newestRecords,
                                               const std::function<QString(int)> &place)
{
    const std::vector<MergedLog> &logs = opened.mergedLogs();
    const auto failed = [&](int index, const QSqlQuery &query) {
        return failureOf(place(index), logs[std::size_t(index)].statements.error(query.lastError()));
    };
    // From the second after the latest of the logs' times of the record before their
    // newestRecords newest: no log has more than that many records from then on, the
    // one that sets it about that many.
    bool anyLonger = false;
    qint64 from = 0;
    for (std::size_t index = 0; index < logs.size(); ++index) {
        const LogViewStatements &statements = logs[index].statements;
        if (!statements.keysInDisplayOrder())
            return false;
        QSqlQuery query(logs[index].database);
        if (!statements.storedTimeFromNewestSql(newestRecords).exec(query))
            return failed(int(index), query);
        if (!query.next())
            continue;
        // A time that is no number of seconds (another program's) sets no bound.
        const QVariant stored = query.value(0);
        bool number = false;
        const qint64 second = stored.toLongLong(&number);
        if (!number || stored.type() == QVariant::String)
            continue;
        const qint64 shown = second + 1 + offsets.value(int(index));
        from = anyLonger ? std::max(from, shown) : shown;
        anyLonger = true;
    }
    if (!anyLonger)
        return false;
    // Each log from its first record after the newest one stored before that time: the
    // records of the span from then on, where a device's clock never went back.
    copied.assign(logs.size(), Copied());
    for (std::size_t index = 0; index < logs.size(); ++index) {
        QSqlQuery query(logs[index].database);
        if (!logs[index].statements.newestKeyStoredBeforeSql(from - offsets.value(int(index))).exec(query))
            return failed(int(index), query);
        if (query.next()) {
            copied[index].any = true;
            copied[index].key = query.value(0).toLongLong();
        } else if (query.lastError().isValid()) {
            return failed(int(index), query);
        }
    }
    newestFromTime = QDateTime::fromSecsSinceEpoch(from, Qt::UTC);
    return true;
}

StoreStatus MergedLogFile::copy(const MergedLogs &opened, const std::function<QString(int)> &place,
                                const CancelToken &token, QString *failedPath, MergedGrowth *growth)
{
    const bool appending = growth != nullptr;
    const auto failedAt = [&](int index, const StoreError &error) {
        if (failedPath)
            *failedPath = place(index);
        return failureOf(place(index), error);
    };
    const std::vector<MergedLog> &logs = opened.mergedLogs();
    if (!appending) {
        if (!folder.isValid())
            return storeFailure(StoreError::Kind::Io,
                                QStringLiteral("Не удается создать временную папку: %1").arg(folder.errorString()));
        filePath = folder.filePath(QStringLiteral("merged.db"));
    }
    MergedWriter writer(filePath);
    if (const StoreStatus started = writer.start(!appending); !started)
        return started;
    // Each device and its captions, numbered anew; then each log's first record (after
    // the last one copied before).
    MergedOrder order(names);
    std::vector<int> rankOf(logs.size());
    for (std::size_t rank = 0; rank < order.byName().size(); ++rank)
        rankOf[std::size_t(order.byName()[rank])] = int(rank);
    // Taken over once the file has them all.
    // A copy of the newest records starts where startAtNewest() set.
    std::vector<Copied> state = appending || !copied.empty() ? copied : std::vector<Copied>(logs.size());
    qint64 events = appending ? nextEvent : 1;
    std::vector<Placed> latestNow = appending ? latest : std::vector<Placed>();
    qint64 nextPlace = appending ? placed : 0;
    int taken = 0;
    const auto sortsAfter = [](const QString &time, int rank, const QString &otherTime, int otherRank) {
        return mergedTimeBefore(otherTime, time) || (!mergedTimeBefore(time, otherTime) && rank > otherRank);
    };
    std::vector<std::unique_ptr<Source>> sources(logs.size());
    const auto readFailure = [&](int index, const QSqlQuery &query) {
        return failedAt(index, logs[std::size_t(index)].statements.error(query.lastError()));
    };
    // Takes the next record of the log `index` into its query and offers it; false at
    // its end or on a failure (in *failure).
    const auto advance = [&](int index, StoreStatus *failure) {
        Source &source = *sources[std::size_t(index)];
        if (source.next()) {
            source.readTime();
            order.offer(index, source.time);
            return true;
        }
        if (source.failed())
            *failure = readFailure(index, source.query);
        return false;
    };
    for (const int index : order.byName()) {
        const MergedLog &log = logs[std::size_t(index)];
        if (appending && !log.statements.keysInDisplayOrder())
            continue;
        Copied &done = state[std::size_t(index)];
        auto source = std::make_unique<Source>(log.database, log.statements, opened.onServer() || done.any,
                                               offsets[index]);
        if (!appending) {
            if (const StoreStatus added = writer.addDevice(index + 1, deviceLabel(log.name, offsets[index]),
                                                           place(index));
                !added)
                return added;
            if (!log.statements.captionsSql(false).exec(source->query))
                return readFailure(index, source->query);
            while (source->query.next()) {
                done.events.insert(source->query.value(0).toLongLong(), events);
                if (const StoreStatus added = writer.addEvent(events++, source->query.value(1)); !added)
                    return added;
            }
            if (source->query.lastError().isValid())
                return readFailure(index, source->query);
        }
        if (token.isCancelled())
            return storeFailure(StoreError::Kind::Cancelled, QString());
        if (!source->start(done.any ? &done.key : nullptr))
            return readFailure(index, source->query);
        sources[std::size_t(index)] = std::move(source);
        StoreStatus failure;
        if (!advance(index, &failure)) {
            if (!failure)
                return failure;
            continue;
        }
        if (appending) {
            // Merged anew, the log's first new record would go before a record that
            // follows its last one in the file when that record sorts after it: the rows
            // shown stay as they are, or the logs are merged anew. Nothing is written
            // then: the transaction goes with the writer.
            const Source &next = *sources[std::size_t(index)];
            const auto after = std::upper_bound(latestNow.cbegin(), latestNow.cend(), done.place,
                                                [](qint64 at, const Placed &record) { return at < record.place; });
            if (after != latestNow.cend()
                && sortsAfter(after->time, after->rank, next.time, rankOf[std::size_t(index)])) {
                *growth = MergedGrowth::Reordered;
                return {};
            }
        }
    }
    int sinceCheck = 0;
    while (!order.empty()) {
        const int index = order.takeNext();
        const Source &source = *sources[std::size_t(index)];
        Copied &done = state[std::size_t(index)];
        // A record without a caption names no event: event 0 is none here.
        const QVariant captionKey = source.query.value(4);
        const auto known = captionKey.isNull() ? done.events.cend() : done.events.constFind(captionKey.toLongLong());
        // New captions: the device was configured anew.
        if (appending && !captionKey.isNull() && known == done.events.cend()) {
            *growth = MergedGrowth::Reordered;
            return {};
        }
        const QVariant event = captionKey.isNull() || known == done.events.cend() ? QVariant(qint64(0))
                                                                                  : QVariant(known.value());
        if (const StoreStatus written = writer.addRecord(source.query, source.dt, event, index + 1); !written)
            return written;
        done.any = true;
        done.key = source.query.value(0).toLongLong();
        done.place = nextPlace;
        const int rank = rankOf[std::size_t(index)];
        while (!latestNow.empty() && !sortsAfter(latestNow.back().time, latestNow.back().rank, source.time, rank))
            latestNow.pop_back();
        latestNow.push_back({nextPlace++, source.time, rank});
        ++taken;
        StoreStatus failure;
        if (!advance(index, &failure) && !failure)
            return failure;
        if (++sinceCheck == CancelCheckRows) {
            sinceCheck = 0;
            if (token.isCancelled())
                return storeFailure(StoreError::Kind::Cancelled, QString());
        }
    }
    if (const StoreStatus committed = writer.commit(); !committed)
        return committed;
    copied = std::move(state);
    nextEvent = events;
    latest = std::move(latestNow);
    placed = nextPlace;
    if (growth)
        *growth = taken > 0 ? MergedGrowth::Appended : MergedGrowth::Nothing;
    return {};
}

StoreResult<MergedGrowth> MergedLogFile::appendNew(const CancelToken &token)
{
    QString unreadable;
    StoreResult<std::unique_ptr<MergedLogs>> opened = fromServer
        ? MergedLogs::openServer(serverUrl, names, QString(), OpenLogSettings())
        : MergedLogs::openFiles(sourcePaths, OpenLogSettings(), &unreadable);
    if (!opened)
        return fromServer ? Failure(opened.error()) : failureOf(unreadable, opened.error());
    const MergedLogs &logs = **opened;
    if (logs.mergedLogs().size() != copied.size())
        return MergedGrowth::Reordered;
    MergedGrowth growth = MergedGrowth::Nothing;
    const StoreStatus copiedNow = copy(
        logs, [this, &logs](int index) { return fromServer ? logs.place(index) : sourcePaths.value(index); }, token,
        nullptr, &growth);
    if (!copiedNow)
        return Failure(copiedNow.error());
    return growth;
}

QStringList logFilesWithAdded(const QStringList &shown, const QStringList &added)
{
    // A file that exists is known by its canonical path (through links and ".."); a
    // missing one by its absolute path, and it fails to open later, named.
    const auto identity = [](const QString &path) {
        const QFileInfo file(path);
        const QString canonical = file.canonicalFilePath();
        return canonical.isEmpty() ? file.absoluteFilePath() : canonical;
    };
    QStringList all;
    QStringList seen;
    for (const QString &path : shown + added) {
        const QString known = identity(path);
        if (seen.contains(known))
            continue;
        seen << known;
        all << path;
    }
    return all;
}
