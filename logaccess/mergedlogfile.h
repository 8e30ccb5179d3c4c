// Several logs shown as one: a log file of their own, made in a temporary folder, that
// holds the records of all of them merged on one time axis. Every reader of a log file
// (the view, its filter, scans, timeline, go-to-time) reads it unchanged. The logs are
// log files, or devices of one central database.
#pragma once

#include "logaccess/orderedwork.h"
#include "serverstore/serverurl.h"
#include "store/storeerror.h"

#include <QDateTime>
#include <QHash>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVector>

#include <functional>
#include <memory>
#include <vector>

/*
 * The file has a log file's tables (Info, Events, Log) and, besides, the devices
 * (MergedDevices: id, name, path) that the column `device` of each record refers to,
 * numbered from 1 in the order of sources().
 * Each device's captions are its own: they are numbered anew in the file, and its
 * records name them by those numbers. The records are stored in the merged order
 * (MergedOrder, as a merged export orders them), so Log.id ascends as they are shown.
 *
 * The file is deleted, with its folder, when the object goes.
 */
class MergedLogs;

// What a look at the merged logs for the records they stored since found.
enum class MergedGrowth {
    Nothing,  // no record stored since
    Appended, // records stored since, now at the merged file's end
    Reordered // a record stored since goes among those shown: merge the logs anew
};

class MergedLogFile
{
public:
    ~MergedLogFile();
    MergedLogFile(const MergedLogFile &) = delete;
    MergedLogFile &operator=(const MergedLogFile &) = delete;

    // Reads the log files at `paths` (each only read, on a connection of its own) into a
    // new merged file, on the calling thread, in one transaction. Fails with the error of
    // the first file that cannot be read, its text naming that file and its path in
    // *failedPath; with Cancelled, having left no file, once `token` is cancelled. Two
    // files of one name (in two folders) are refused: their device would be the same.
    // `clockOffsets` (by the index of the path; missing ones 0) are the seconds added to
    // each file's record times in the merged file, and marked in its device's name there
    // (deviceLabel); the files are only read.
    static StoreResult<std::unique_ptr<MergedLogFile>> build(const QStringList &paths,
                                                             const QVector<int> &clockOffsets = {},
                                                             const CancelToken &token = CancelToken(),
                                                             QString *failedPath = nullptr);

    // The devices named `names` of the server at `url`, read on one connection to it,
    // merged in the same way, each moved by the clock offset the server keeps for it.
    // Fails with the server's error (NotFound for a device not there), or Cancelled.
    static StoreResult<std::unique_ptr<MergedLogFile>> buildFromServer(const ServerUrl &url, const QStringList &names,
                                                                       const CancelToken &token = CancelToken());

    // A first look at the logs while build() or buildFromServer() reads the whole of
    // them: the same merge of only the newest records, every record of every log stored
    // from a time on, so that no log gives more than its `newestRecords` newest and one
    // gives about that many. Where no device's clock went back in that span, they are
    // the whole merge's last rows. Null when no log holds more than `newestRecords`
    // records (the whole is as quick), or when a log's keys are not in its display order
    // (only another program's file).
    static StoreResult<std::unique_ptr<MergedLogFile>> buildNewest(const QStringList &paths,
                                                                   const QVector<int> &clockOffsets, int newestRecords,
                                                                   const CancelToken &token = CancelToken());
    static StoreResult<std::unique_ptr<MergedLogFile>> buildNewestFromServer(const ServerUrl &url,
                                                                             const QStringList &names,
                                                                             int newestRecords,
                                                                             const CancelToken &token = CancelToken());
    // Of a file of the newest records only, the time (as the merged file shows it) from
    // which it holds them; invalid for a whole merge.
    const QDateTime &newestFrom() const { return newestFromTime; }

    // The merged file.
    const QString &path() const { return filePath; }
    // The log files merged, in the order given; none for a server's devices.
    const QStringList &sources() const { return sourcePaths; }
    // Whether the logs are devices of a server, and which (with the password given).
    bool onServer() const { return fromServer; }
    const ServerUrl &server() const { return serverUrl; }
    // The devices' own names, one per log: a file's name without folder and extension, or
    // the server's name of the device.
    const QStringList &deviceNames() const { return names; }
    // Their clock offsets, as merged: one per log.
    const QVector<int> &clockOffsets() const { return offsets; }
    // The devices' names as the merged file shows them, one per log (deviceLabel).
    QStringList deviceLabels() const;

    // Copies the records the logs stored since the merge (or the last call) to the end
    // of the file, in the merged order, in one transaction: what a download or a
    // collector adds to a log shown merged. That needs every one of them to sort after
    // the records the file holds, as they do when the devices' clocks agree; when one
    // would not, or names a caption the merge did not copy (the device was given new
    // ones), nothing is written and the answer is Reordered. A log whose keys are not in
    // its display order (only another program's file) is not followed. On the calling
    // thread; never beside another call, and fails as build() does.
    StoreResult<MergedGrowth> appendNew(const CancelToken &token = CancelToken());

private:
    MergedLogFile(const QStringList &names, const QVector<int> &offsets) : names(names), offsets(offsets) {}
    // `newestRecords` 0: the whole merge.
    static StoreResult<std::unique_ptr<MergedLogFile>> buildOfFiles(const QStringList &paths,
                                                                    const QVector<int> &clockOffsets, int newestRecords,
                                                                    const CancelToken &token, QString *failedPath);
    static StoreResult<std::unique_ptr<MergedLogFile>> buildOfServer(const ServerUrl &url, const QStringList &names,
                                                                     int newestRecords, const CancelToken &token);
    // `merged` with the records of `logs` copied in (only the newest, with
    // `newestRecords`: null when that would be the whole merge).
    static StoreResult<std::unique_ptr<MergedLogFile>> fill(std::unique_ptr<MergedLogFile> merged,
                                                            const MergedLogs &logs,
                                                            const std::function<QString(int)> &place, int newestRecords,
                                                            const CancelToken &token, QString *failedPath);
    // Sets where the copy of each log starts for buildNewest(); false when it would be
    // the whole merge.
    StoreResult<bool> startAtNewest(const MergedLogs &logs, int newestRecords,
                                    const std::function<QString(int)> &place);
    // Copies the logs into the file, in the merged order; a log that cannot be read fails
    // with its error named by `place` (a file's path, or the server). `growth`: only the
    // records after those copied before, at the end of the file made before.
    StoreStatus copy(const MergedLogs &logs, const std::function<QString(int)> &place, const CancelToken &token,
                     QString *failedPath, MergedGrowth *growth = nullptr);

    QTemporaryDir folder;
    QString filePath;
    QStringList sourcePaths;
    bool fromServer = false;
    ServerUrl serverUrl;
    QStringList names;
    QVector<int> offsets;
    QDateTime newestFromTime;

    // Where the copy stands, by log: the key of its last record copied and its place
    // in the file (none yet: absent), and its captions' keys -> their numbers in the
    // file.
    struct Copied {
        bool any = false;
        qint64 key = 0;
        qint64 place = -1;
        QHash<qint64, qint64> events;
    };
    std::vector<Copied> copied;
    qint64 nextEvent = 1;
    // A record by what the merged order compares: its time, then its log's rank by name.
    struct Placed {
        qint64 place;
        QString time;
        int rank;
    };
    // The records that sort after every record placed after them, by place: what sorts
    // latest after any place is the first of them past it. A log's next record goes at
    // the end only if it sorts after what follows the log's last record.
    std::vector<Placed> latest;
    qint64 placed = 0;
};

// The log files shown once `added` are added to those `shown`: the ones shown, then the
// ones added that are not among them yet (the same file under another path counts once).
QStringList logFilesWithAdded(const QStringList &shown, const QStringList &added);
