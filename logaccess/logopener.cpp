// Errands to servers on pool threads.

#include "logaccess/logopener.h"

#include "serverstore/serverconnection.h"
#include "serverstore/serverdevices.h"

#include <QPointer>
#include <QThread>

namespace {

// Runs `errand` once on a thread of `pool`; `done` gets its answer on `owner`'s thread
// while `context` lives and `token` has not been cancelled.
template<typename Answer>
CancelToken runErrand(QThreadPool &pool, QObject *owner, QObject *context,
                      std::function<Answer(const CancelToken &)> errand, std::function<void(const Answer &)> done)
{
    OrderedWork<Answer> work;
    work.chunks = 1;
    work.startThread = [errand] { return [errand](int, const CancelToken &token) { return errand(token); }; };
    work.deliver = [guard = QPointer<QObject>(context), done](int, Answer &answer) {
        if (guard)
            done(answer);
    };
    return runOrdered(pool, owner, std::move(work), 1);
}

// A merged file built, shared with the window that shows it.
MergedLogBuilding sharedMerge(StoreResult<std::unique_ptr<MergedLogFile>> built)
{
    if (!built)
        return Failure(built.error());
    return std::shared_ptr<MergedLogFile>(std::move(built).value());
}

} // namespace

ServerDeviceList listServerDevicesAt(const ServerUrl &url, const QString &program)
{
    ServerConnection connection;
    const StoreStatus opened = connection.open(url, program);
    if (!opened)
        return Failure(opened.error());
    return listServerDevices(connection.database());
}

LogOpener::LogOpener(QObject *parent) : QObject(parent)
{
    // A listing and an open, and the ones a user asked for meanwhile, left to end.
    pool.setMaxThreadCount(4);
}

LogOpener::~LogOpener()
{
    listing.cancel();
    opening.cancel();
    storeOpening.cancel();
    merging.cancel();
    mergingNewest.cancel();
    pool.waitForDone();
}

void LogOpener::listDevices(const ServerUrl &url, QObject *context, std::function<void(const ServerDeviceList &)> done)
{
    listing.cancel();
    const QString program = OpenLogSettings().program;
    listing = runErrand<ServerDeviceList>(
        pool, this, context, [url, program](const CancelToken &) { return listServerDevicesAt(url, program); },
        std::move(done));
}

void LogOpener::cancelListing()
{
    listing.cancel();
}

void LogOpener::open(const LogLocation &where, OpenLog::Purpose purpose, const OpenLogSettings &settings,
                     QObject *context, std::function<void(const LogOpening &)> done)
{
    opening.cancel();
    QThread *owner = thread();
    opening = runErrand<LogOpening>(
        pool, this, context,
        [where, purpose, settings, owner](const CancelToken &) -> LogOpening {
            StoreResult<std::unique_ptr<OpenLog>> opened = OpenLog::open(where, purpose, settings);
            if (!opened)
                return Failure(opened.error());
            std::shared_ptr<OpenLog> log = std::move(opened).value();
            log->moveToThread(owner);
            return log;
        },
        std::move(done));
}

void LogOpener::cancelOpening()
{
    opening.cancel();
}

void LogOpener::openDeviceStore(const LogLocation &where, const OpenLogSettings &settings, QObject *context,
                                std::function<void(const ServerStoreOpening &)> done)
{
    storeOpening.cancel();
    storeOpening = runErrand<ServerStoreOpening>(
        pool, this, context,
        [where, settings](const CancelToken &) { return OpenLog::openDeviceStore(where, settings); }, std::move(done));
}

void LogOpener::cancelStoreOpening()
{
    storeOpening.cancel();
}

void LogOpener::buildMerged(const QStringList &paths, const QVector<int> &clockOffsets, QObject *context,
                            std::function<void(const MergedLogBuilding &)> done)
{
    // A whole merge asked for now goes before a first look at an earlier one.
    mergingNewest.cancel();
    merging.cancel();
    merging = runErrand<MergedLogBuilding>(
        pool, this, context,
        [paths, clockOffsets](const CancelToken &token) {
            return sharedMerge(MergedLogFile::build(paths, clockOffsets, token));
        },
        std::move(done));
}

void LogOpener::buildMergedFromServer(const ServerUrl &url, const QStringList &names, QObject *context,
                                      std::function<void(const MergedLogBuilding &)> done)
{
    // A whole merge asked for now goes before a first look at an earlier one.
    mergingNewest.cancel();
    merging.cancel();
    merging = runErrand<MergedLogBuilding>(
        pool, this, context,
        [url, names](const CancelToken &token) {
            return sharedMerge(MergedLogFile::buildFromServer(url, names, token));
        },
        std::move(done));
}

void LogOpener::buildNewestMerged(const QStringList &paths, const QVector<int> &clockOffsets, int newestRecords,
                                  QObject *context, std::function<void(const MergedLogBuilding &)> done)
{
    // A first look begins a merge: the whole one asked for before goes.
    merging.cancel();
    mergingNewest.cancel();
    mergingNewest = runErrand<MergedLogBuilding>(
        pool, this, context,
        [paths, clockOffsets, newestRecords](const CancelToken &token) {
            return sharedMerge(MergedLogFile::buildNewest(paths, clockOffsets, newestRecords, token));
        },
        std::move(done));
}

void LogOpener::buildNewestMergedFromServer(const ServerUrl &url, const QStringList &names, int newestRecords,
                                            QObject *context, std::function<void(const MergedLogBuilding &)> done)
{
    // A first look begins a merge: the whole one asked for before goes.
    merging.cancel();
    mergingNewest.cancel();
    mergingNewest = runErrand<MergedLogBuilding>(
        pool, this, context,
        [url, names, newestRecords](const CancelToken &token) {
            return sharedMerge(MergedLogFile::buildNewestFromServer(url, names, newestRecords, token));
        },
        std::move(done));
}

void LogOpener::cancelMerging()
{
    merging.cancel();
    mergingNewest.cancel();
    growing.cancel();
}

void LogOpener::appendToMerged(const std::shared_ptr<MergedLogFile> &merged, QObject *context,
                               std::function<void(const StoreResult<MergedGrowth> &)> done)
{
    growing.cancel();
    growing = runErrand<StoreResult<MergedGrowth>>(
        pool, this, context, [merged](const CancelToken &token) { return merged->appendNew(token); }, std::move(done));
}

void LogOpener::setServerClockOffset(const ServerUrl &url, const QString &name, int seconds, QObject *context,
                                     std::function<void(const StoreStatus &)> done)
{
    const QString program = OpenLogSettings().program;
    // Not cancelled by a later errand: an offset the user gave is kept either way.
    runErrand<StoreStatus>(
        pool, this, context,
        [url, name, seconds, program](const CancelToken &) -> StoreStatus {
            ServerConnection connection;
            if (const StoreStatus opened = connection.open(url, program); !opened)
                return opened;
            const StoreResult<qint64> device = findServerDevice(connection.database(), name);
            if (!device)
                return Failure(device.error());
            return setServerDeviceClockOffset(connection.database(), *device, seconds);
        },
        std::move(done));
}
