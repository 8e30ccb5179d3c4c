// The window's export on a thread of its own.

#include "presentation/logexport.h"

#include "presentation/csvexport.h"

#include <QSqlError>

struct LogExport::Result {
    bool written = false;
    bool cancelled = false;
    QString openError; // the reader's connection could not be made
    QSqlError readError;
};

LogExport::LogExport(QObject *parent) : QObject(parent)
{
    pool.setMaxThreadCount(1);
    progressTimer.setInterval(ProgressIntervalMs);
    connect(&progressTimer, &QTimer::timeout, this, [this] {
        if (shared)
            emit progressed(shared->lines.load());
    });
}

LogExport::~LogExport()
{
    cancel();
    token.cancel();
    pool.waitForDone();
}

bool LogExport::start(const std::shared_ptr<LogSource> &logSource, const LogFilter &filter, const QString &target)
{
    if (running)
        return false;
    running = true;
    source = logSource;
    path = target;
    shared = std::make_shared<Shared>();
    LogViewStatements statements;
    QString failure;
    // Which statements fit the log is asked on the view's own connection, here.
    const bool readable = source->readStatements(&statements, &failure);
    const LogReaderFactory openReader = source->readers();
    const std::shared_ptr<Shared> state = shared;

    OrderedWork<Result> work;
    work.chunks = 1;
    work.startThread = [readable, failure, statements, openReader, filter, target, state] {
        return [=](int, const CancelToken &) {
            Result result;
            if (!readable) {
                result.openError = failure;
                return result;
            }
            const std::unique_ptr<LogReader> reader = openReader();
            if (!reader->openError().isEmpty()) {
                result.openError = reader->openError();
                return result;
            }
            result.written = replaceCsvFile(target, [&](QIODevice &out) {
                return writeLogCsv(reader->database(), statements, out, filter, &result.readError,
                                   [&state](qint64 lines) {
                                       state->lines.store(lines);
                                       return !state->cancelled.load();
                                   });
            });
            // Cancelled after its last line, it is written all the same.
            result.cancelled = !result.written && state->cancelled.load();
            return result;
        };
    };
    work.deliver = [this](int, Result &result) { finish(result); };
    token = runOrdered(pool, this, std::move(work), 1);
    progressTimer.start();
    return true;
}

void LogExport::cancel()
{
    if (shared)
        shared->cancelled.store(true);
}

void LogExport::finish(const Result &result)
{
    progressTimer.stop();
    running = false;
    LogExportOutcome outcome;
    outcome.path = path;
    if (!result.openError.isEmpty()) {
        outcome.result = LogExportOutcome::ReadFailed;
        outcome.error = result.openError;
    } else if (result.readError.type() != QSqlError::NoError) {
        // A log that cannot be read (not a log file, locked by another program) is the
        // database's error; an empty table would pass for an empty log.
        outcome.result = LogExportOutcome::ReadFailed;
        outcome.error = source->errorText(result.readError);
    } else if (result.cancelled) {
        outcome.result = LogExportOutcome::Cancelled;
    } else if (!result.written) {
        outcome.result = LogExportOutcome::WriteFailed;
    } else {
        emit progressed(shared->lines.load());
    }
    source.reset();
    emit finished(outcome);
}
