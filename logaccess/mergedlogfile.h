// Several log files shown as one: a log file of their own, made in a temporary folder,
// that holds the records of all of them merged on one time axis. Every reader of a log
// file (the view, its filter, scans, timeline, go-to-time) reads it unchanged.
#pragma once

#include "logaccess/orderedwork.h"
#include "store/storeerror.h"

#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVector>

#include <memory>

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

    // The merged file.
    const QString &path() const { return filePath; }
    // The log files merged, in the order given.
    const QStringList &sources() const { return sourcePaths; }
    // Their clock offsets, as merged: one per file.
    const QVector<int> &clockOffsets() const { return offsets; }
    // The devices' names as the merged file shows them, one per file (deviceLabel).
    QStringList deviceLabels() const;

private:
    MergedLogFile(const QStringList &paths, const QVector<int> &offsets) : sourcePaths(paths), offsets(offsets) {}

    QTemporaryDir folder;
    QString filePath;
    QStringList sourcePaths;
    QVector<int> offsets;
};

// The log files shown once `added` are added to those `shown`: the ones shown, then the
// ones added that are not among them yet (the same file under another path counts once).
QStringList logFilesWithAdded(const QStringList &shown, const QStringList &added);
