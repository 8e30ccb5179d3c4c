// The window's export on a thread of its own.

#include "logaccess/logexport.h"

#include "logaccess/csvexport.h"

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

bool LogExport::start(const std::shared_ptr<LogSource> &source, const LogFilter &filter, const QString &path)
{
    if (running)
        return false;
    // Which statements fit the log is asked on the view's own connection, here.
    const StoreResult<LogViewStatements> statements = source->statements();
    const LogReaderFactory openReader = source->readers();
    return run([statements, openReader, filter, path](const std::function<bool(qint64)> &progress) -> StoreStatus {
        if (!statements)
            return Failure(statements.error());
        const std::unique_ptr<LogReader> reader = openReader();
        const StoreStatus opened = reader->opened();
        if (!opened)
            return opened;
        return exportLogCsvFile(reader->database(), *statements, path, filter, progress);
    });
}

bool LogExport::run(std::function<StoreStatus(const std::function<bool(qint64)> &progress)> write)
{
    if (running)
        return false;
    running = true;
    shared = std::make_shared<Shared>();
    const std::shared_ptr<Shared> state = shared;
    OrderedWork<StoreStatus> work;
    work.chunks = 1;
    work.startThread = [write, state] {
        return [=](int, const CancelToken &) -> StoreStatus {
            return write([&state](qint64 lines) {
                state->lines.store(lines);
                return !state->cancelled.load();
            });
        };
    };
    work.deliver = [this](int, StoreStatus &outcome) { finish(outcome); };
    token = runOrdered(pool, this, std::move(work), 1);
    progressTimer.start();
    return true;
}

void LogExport::cancel()
{
    if (shared)
        shared->cancelled.store(true);
}

void LogExport::finish(const StoreStatus &outcome)
{
    progressTimer.stop();
    running = false;
    if (outcome)
        emit progressed(shared->lines.load());
    emit finished(outcome);
}
