// The window's CSV export: the records a view shows, written to a file off the
// user-interface thread, with its progress and a way to stop it.
#pragma once

#include "logaccess/logfilter.h"
#include "logaccess/logsource.h"
#include "logaccess/orderedwork.h"
#include "store/storeerror.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QThreadPool>
#include <QTimer>

#include <atomic>
#include <functional>
#include <memory>

/*
 * One export at a time. It reads the log on a connection of its own, as the view's
 * background passes do (read-only for a file), so the window goes on drawing and
 * downloading meanwhile. The lines go to a temporary file beside the chosen one, which
 * takes the chosen file's place only once every line is written: an export cancelled
 * or failed leaves the chosen file as it was (see exportLogCsvFile).
 *
 *   start() ──► pool thread: exportLogCsvFile, line by line
 *                  │ lines written (an atomic counter)   ◄── cancel(): stops it at the next line
 *   progressed() ◄─┘ every ProgressIntervalMs
 *   finished()   ◄── once: written, or Cancelled, or why not (the log's error, or Io
 *                    "Не удается записать файл ...")
 */
class LogExport : public QObject
{
    Q_OBJECT

public:
    explicit LogExport(QObject *parent = nullptr);
    // Stops a running export and waits for its thread; the chosen file stays as it was.
    ~LogExport() override;

    // Starts writing the records of `source` that pass `filter` to the file at `path`.
    // False, and nothing started, while another export runs.
    bool start(const std::shared_ptr<LogSource> &source, const LogFilter &filter, const QString &path);
    // Stops the export at its next line; finished() says Cancelled.
    void cancel();
    bool isRunning() const { return running; }

    static constexpr int ProgressIntervalMs = 100;

signals:
    // The lines written so far, now and then while the export runs.
    void progressed(qint64 lines);
    void finished(const StoreStatus &outcome);

private:
    struct Shared {
        std::atomic<qint64> lines{0};
        std::atomic<bool> cancelled{false};
    };
    // Runs `write` on the pool, with the progress it is to report and ask.
    bool run(std::function<StoreStatus(const std::function<bool(qint64)> &progress)> write);
    void finish(const StoreStatus &outcome);

    QThreadPool pool;
    CancelToken token;
    std::shared_ptr<Shared> shared;
    QTimer progressTimer;
    bool running = false;
};
