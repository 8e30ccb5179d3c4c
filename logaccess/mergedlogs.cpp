// Opening the logs of a merged export.

#include "logaccess/mergedlogs.h"

#include "logaccess/serverdialect.h"
#include "serverstore/serverconnection.h"
#include "serverstore/serverdevices.h"

#include <QFileInfo>

MergedLogs::~MergedLogs() = default;

QString MergedLogs::deviceNameOfFile(const QString &path)
{
    return QFileInfo(path).completeBaseName();
}

StoreResult<std::unique_ptr<MergedLogs>> MergedLogs::openFiles(const QStringList &paths,
                                                               const OpenLogSettings &settings, QString *failedPath)
{
    std::unique_ptr<MergedLogs> merged(new MergedLogs);
    for (const QString &path : paths) {
        StoreResult<std::unique_ptr<OpenLog>> log = OpenLog::open(LogLocation::file(path), OpenLog::Purpose::Read,
                                                                  settings);
        // A file that is no log shows it when its statements are made: before any line
        // of the export is written.
        StoreResult<LogViewStatements> statements = log ? log.value()->source()->statements()
                                                        : StoreResult<LogViewStatements>(Failure(log.error()));
        if (!statements) {
            if (failedPath)
                *failedPath = path;
            return Failure(statements.error());
        }
        merged->logs.push_back({deviceNameOfFile(path), log.value()->source()->database(), *statements});
        merged->files.push_back(std::move(log).value());
    }
    return merged;
}

StoreResult<std::unique_ptr<MergedLogs>> MergedLogs::openServer(const ServerUrl &url, const QStringList &names,
                                                                const QString &pattern, const OpenLogSettings &settings)
{
    std::unique_ptr<MergedLogs> merged(new MergedLogs);
    merged->serverPlace = url.displayName();
    merged->connection = std::make_unique<ServerConnection>();
    const StoreStatus opened = merged->connection->open(url, settings.program);
    if (!opened)
        return Failure(opened.error());
    QSqlDatabase &database = merged->connection->database();
    QVector<ServerDevice> devices;
    if (names.isEmpty()) {
        const StoreResult<QVector<ServerDevice>> found = findServerDevicesLike(database, pattern);
        if (!found)
            return Failure(found.error());
        if (found->isEmpty())
            return storeFailure(
                StoreError::Kind::NotFound,
                QStringLiteral("Ни одно устройство на сервере не подходит под шаблон \"%1\"").arg(pattern));
        devices = *found;
    } else {
        for (const QString &name : names) {
            const StoreResult<qint64> id = findServerDevice(database, name);
            if (!id)
                return Failure(id.error());
            devices.push_back({name, *id});
        }
    }
    for (const ServerDevice &device : devices) {
        merged->logs.push_back({device.name, database, serverLogStatements(device.id)});
        merged->serverIds << device.id;
    }
    return merged;
}

StoreResult<QVector<int>> MergedLogs::serverClockOffsets() const
{
    QVector<int> offsets;
    for (const qint64 id : serverIds) {
        const StoreResult<int> offset = serverDeviceClockOffset(connection->database(), id);
        if (!offset)
            return Failure(offset.error());
        offsets << *offset;
    }
    return offsets;
}

QStringList MergedLogs::names() const
{
    QStringList names;
    for (const MergedLog &log : logs)
        names << log.name;
    return names;
}

QString MergedLogs::place(int index) const
{
    if (connection || index < 0 || index >= int(files.size()))
        return serverPlace;
    return files[std::size_t(index)]->location().place();
}

StoreStatus MergedLogs::exportCsv(const QString &path, const LogFilter &filter, int *failedLog,
                                  const CsvExportProgress &progress) const
{
    return exportMergedLogCsvFile(logs, path, filter, failedLog, progress);
}
