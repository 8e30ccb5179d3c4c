// Where the log view reads a log: a log file, or a log of another kind of store (one
// device of the central database) behind the same model, filter bar, timeline and export.
#pragma once

#include "logaccess/logviewstatements.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QString>

#include <functional>
#include <memory>

class QThread;

// A connection of a background pass's own: made on a pool thread, used and closed there.
class LogReader
{
public:
    virtual ~LogReader() = default;
    // Open, unless opened() says why not.
    virtual QSqlDatabase database() const = 0;
    virtual StoreStatus opened() const = 0;
};

// Makes a reader on the thread that calls it. It holds copies of what it needs, so it
// may be called on any thread, and outlive the source that made it.
using LogReaderFactory = std::function<std::unique_ptr<LogReader>()>;

// What reading a log without one says.
extern const QString NoLogText;

class LogSource
{
public:
    virtual ~LogSource() = default;

    // The connection the user-interface thread reads on.
    virtual QSqlDatabase database() const = 0;
    // Whether there is a log to show: the connection is open.
    bool isOpen() const { return database().isOpen(); }
    // The statements for the log as it is now (they read a failed statement's error as
    // this kind of store words it), or why the log cannot be read.
    virtual StoreResult<LogViewStatements> statements() const = 0;
    // How background passes connect to the same log; asked on the user-interface thread.
    virtual LogReaderFactory readers() const = 0;
    // Whether `failure`, of a statement on database(), means the store went out of reach
    // (a server gone), rather than that the log is not what it was: what is shown stays.
    virtual bool lostTheStore(const QSqlError & /*failure*/) const { return false; }
    // Whether the view may read database() on its own thread: its reads take microseconds
    // (a log file). A source across a network is read on a thread of its own instead
    // (LogSourceReads), so that a slow server holds up no paint.
    virtual bool readsInPlace() const { return true; }
    // Hands database() to `thread`, which reads on it from then on; called on the thread
    // that has it now.
    virtual void moveToThread(QThread * /*thread*/) {}
};

// No log: nothing to show (before a log is created or opened, and once it is closed).
class NoLogSource final : public LogSource
{
public:
    QSqlDatabase database() const override { return QSqlDatabase(); }
    StoreResult<LogViewStatements> statements() const override;
    LogReaderFactory readers() const override;
};

// A log file open on the connection named `connection` (by default the application's
// default connection); background passes open it read-only. It holds the name only: a
// connection removed by its owner is no log, not a dangling one.
class LogFileSource final : public LogSource
{
public:
    explicit LogFileSource(const QString &connection = QLatin1String(QSqlDatabase::defaultConnection))
        : connectionName(connection)
    {}

    QSqlDatabase database() const override;
    StoreResult<LogViewStatements> statements() const override;
    LogReaderFactory readers() const override;

private:
    QString connectionName;
};

// A log file that only the view reads, on a thread of its own (LogSourceReads) as a
// server's device is: a file of millions of records (several logs merged into one),
// whose count alone would hold up a paint. It opens the file read-only on a connection
// of its own, which it closes when it goes, on whichever thread lets go of it last.
class LogFileThreadSource final : public LogSource
{
public:
    // Fails with the file's error. `keep` (the owner of a temporary file, say) lives until
    // the connection is closed: a file still open cannot be deleted on Windows.
    static StoreResult<std::shared_ptr<LogFileThreadSource>> open(const QString &path,
                                                                  std::shared_ptr<const void> keep = nullptr);
    ~LogFileThreadSource() override;
    LogFileThreadSource(const LogFileThreadSource &) = delete;
    LogFileThreadSource &operator=(const LogFileThreadSource &) = delete;

    QSqlDatabase database() const override { return connection; }
    // As the file was when opened: asked on the view's thread, while the connection may
    // be busy on its own.
    StoreResult<LogViewStatements> statements() const override { return fileStatements; }
    LogReaderFactory readers() const override;
    bool readsInPlace() const override { return false; }
    void moveToThread(QThread *thread) override;

private:
    LogFileThreadSource() = default;

    // Declared first, to go last.
    std::shared_ptr<const void> kept;
    QString name;
    QSqlDatabase connection;
    StoreResult<LogViewStatements> fileStatements = LogViewStatements();
};
