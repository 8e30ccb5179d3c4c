// The window's CSV export: the records a view shows, written to a file off the
// user-interface thread, with its progress and a way to stop it.
#pragma once

#include "presentation/logfilter.h"
#include "presentation/logsource.h"
#include "presentation/orderedwork.h"

#include <QObject>
#include <QString>
#include <QThreadPool>
#include <QTimer>

#include <atomic>
#include <memory>

// How an export ended.
struct LogExportOutcome {
    enum Result { Written, Cancelled, ReadFailed, WriteFailed };
    Result result = Written;
    QString path;
    QString error; // ReadFailed: why the log could not be read, as its source words it
};

/*
 * One export at a time. It reads the log on a connection of its own, as the view's
 * background passes do (read-only for a file), so the window goes on drawing and
 * downloading meanwhile. The lines go to a temporary file beside the chosen one, which
 * takes the chosen file's place only once every line is written: an export cancelled
 * or failed leaves the chosen file as it was (see replaceCsvFile).
 *
 *   start() ──► pool thread: writeLogCsv into the temporary file, line by line
 *                  │ lines written (an atomic counter)   ◄── cancel(): stops it at the next line
 *   progressed() ◄─┘ every ProgressIntervalMs
 *   finished()   ◄── once, with the outcome
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
    void finished(const LogExportOutcome &outcome);

private:
    struct Shared {
        std::atomic<qint64> lines{0};
        std::atomic<bool> cancelled{false};
    };
    struct Result;
    void finish(const Result &result);

    QThreadPool pool;
    CancelToken token;
    std::shared_ptr<Shared> shared;
    std::shared_ptr<LogSource> source;
    QString path;
    QTimer progressTimer;
    bool running = false;
};
