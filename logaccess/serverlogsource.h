// One device's log on the central database as the log view's source.
#pragma once

#include "logaccess/logsource.h"
#include "serverstore/serverconnection.h"
#include "serverstore/serverurl.h"

#include <memory>

class QThread;

/*
 * The view reads the device's rows on a connection of a thread of its own (LogSourceReads);
 * each background pass connects on its own (ServerConnection, as "khronar HOST PID"). The
 * connection is made off the user-interface thread (OpenLog, opened by a LogOpener) and
 * handed on, so that a server that is slow to answer holds up no one.
 */
class ServerLogSource final : public LogSource
{
public:
    ServerLogSource(std::unique_ptr<ServerConnection> connection, const ServerUrl &url, const QString &device,
                    qint64 deviceId);
    // Reads on `database`, a connection that `owner` keeps open (a collector's store).
    ServerLogSource(const QSqlDatabase &database, std::shared_ptr<void> owner, const ServerUrl &url,
                    const QString &device, qint64 deviceId);

    QSqlDatabase database() const override;
    StoreResult<LogViewStatements> statements() const override;
    LogReaderFactory readers() const override;
    bool lostTheStore(const QSqlError &failure) const override;
    bool readsInPlace() const override { return false; }
    void moveToThread(QThread *thread) override;

    const ServerUrl &url() const { return serverUrl; }
    const QString &deviceName() const { return device; }
    // The device's key on the server.
    qint64 deviceId() const { return id; }
    // "db.example:5432/khronar: ПС-12": where the log is, never with the password.
    QString displayName() const;

private:
    std::shared_ptr<void> owner;
    QSqlDatabase connection;
    ServerUrl serverUrl;
    QString device;
    qint64 id;
};
