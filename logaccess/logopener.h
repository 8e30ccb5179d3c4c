// The errands of the window that may wait on a server, run off its thread: the devices
// a server has, a device's log opened, and the lock a download into it needs.
#pragma once

#include "logaccess/mergedlogfile.h"
#include "logaccess/openlog.h"
#include "logaccess/orderedwork.h"
#include "serverstore/serverlogstore.h"

#include <QObject>
#include <QStringList>
#include <QThreadPool>

#include <functional>
#include <memory>

// The names of a server's devices, or why the server could not be asked.
using ServerDeviceList = StoreResult<QStringList>;
using LogOpening = StoreResult<std::shared_ptr<OpenLog>>;
using ServerStoreOpening = StoreResult<std::shared_ptr<QueuedLogStore>>;
using MergedLogBuilding = StoreResult<std::shared_ptr<MergedLogFile>>;

// Connects to `url`, lists its devices and disconnects, on the calling thread: slow
// when the server is (at most its connect_timeout).
ServerDeviceList listServerDevicesAt(const ServerUrl &url, const QString &program);

/*
 * Each errand runs on a pool thread of this object's and its answer comes back on this
 * object's thread, to a `context` object: dropped when the context has gone, or when
 * the same errand was asked again (or cancelled) since. Nothing waits for a server
 * here; one that does not answer keeps a pool thread until libpq gives up on it (the
 * URL's connect_timeout, 10 seconds unless given), and the destructor waits for that.
 * What an answer brings (an open log, a store) is used on this object's thread.
 */
class LogOpener : public QObject
{
    Q_OBJECT

public:
    explicit LogOpener(QObject *parent = nullptr);
    ~LogOpener() override;

    void listDevices(const ServerUrl &url, QObject *context, std::function<void(const ServerDeviceList &)> done);
    void cancelListing();
    void open(const LogLocation &where, OpenLog::Purpose purpose, const OpenLogSettings &settings, QObject *context,
              std::function<void(const LogOpening &)> done);
    void cancelOpening();
    // The store with the lock of the server's device at `where`, for a download into it.
    void openDeviceStore(const LogLocation &where, const OpenLogSettings &settings, QObject *context,
                         std::function<void(const ServerStoreOpening &)> done);
    void cancelStoreOpening();
    // Several log files merged into one file (MergedLogFile::build), which may take a while
    // for large logs; cancelled, the build stops at its next check and leaves no file.
    void buildMerged(const QStringList &paths, const QVector<int> &clockOffsets, QObject *context,
                     std::function<void(const MergedLogBuilding &)> done);
    // The devices `names` of the server at `url` merged into one file
    // (MergedLogFile::buildFromServer), with the offsets the server keeps for them;
    // cancelled as buildMerged is.
    void buildMergedFromServer(const ServerUrl &url, const QStringList &names, QObject *context,
                               std::function<void(const MergedLogBuilding &)> done);
    // A first look at the same merges, of the newest records only
    // (MergedLogFile::buildNewest): quick, where the whole may take seconds. The answer
    // is null when there is no such look to take. It cancels a merge asked for before it,
    // and a merge asked for after it cancels it.
    void buildNewestMerged(const QStringList &paths, const QVector<int> &clockOffsets, int newestRecords,
                           QObject *context, std::function<void(const MergedLogBuilding &)> done);
    void buildNewestMergedFromServer(const ServerUrl &url, const QStringList &names, int newestRecords,
                                     QObject *context, std::function<void(const MergedLogBuilding &)> done);
    // Cancels the merges and their first looks.
    void cancelMerging();
    // The records the merged logs stored since, copied to the end of `merged`
    // (MergedLogFile::appendNew). Not cancelled by the errands above: `merged` is kept
    // alive by the errand until it ends.
    void appendToMerged(const std::shared_ptr<MergedLogFile> &merged, QObject *context,
                        std::function<void(const StoreResult<MergedGrowth> &)> done);
    // Keeps `seconds` as the clock offset of the server's device `name`.
    void setServerClockOffset(const ServerUrl &url, const QString &name, int seconds, QObject *context,
                              std::function<void(const StoreStatus &)> done);

private:
    QThreadPool pool;
    CancelToken listing;
    CancelToken opening;
    CancelToken storeOpening;
    CancelToken merging;
    CancelToken mergingNewest;
    CancelToken growing;
};
