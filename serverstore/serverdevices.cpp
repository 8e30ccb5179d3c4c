// The devices of the central database: their names, and a device's id by its name.

#include "serverstore/serverdevices.h"

#include "serverstore/serverconnection.h"
#include "serverstore/serverschema.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

StoreResult<QStringList> listServerDevices(const QSqlDatabase &database)
{
    QSqlQuery query(database);
    query.setForwardOnly(true);
    if (!query.exec(SchemaPresentSql) || !query.next())
        return Failure(serverError(query.lastError()));
    if (!query.value(0).toBool())
        return QStringList();
    QStringList names;
    if (!query.exec(ListDevicesSql))
        return Failure(serverError(query.lastError()));
    while (query.next())
        names << query.value(0).toString();
    // A connection lost half-way ends the rows as the last one would.
    if (query.lastError().isValid())
        return Failure(serverError(query.lastError()));
    return names;
}

StoreResult<QVector<ServerDevice>> findServerDevicesLike(const QSqlDatabase &database, const QString &pattern)
{
    QSqlQuery query(database);
    query.setForwardOnly(true);
    if (!query.exec(SchemaPresentSql) || !query.next())
        return Failure(serverError(query.lastError()));
    if (!query.value(0).toBool())
        return QVector<ServerDevice>();
    if (!query.prepare(ListDevicesLikeSql))
        return Failure(serverError(query.lastError()));
    query.bindValue(QStringLiteral(":pattern"), pattern);
    if (!query.exec())
        return Failure(serverError(query.lastError()));
    QVector<ServerDevice> devices;
    while (query.next())
        devices.push_back({query.value(1).toString(), query.value(0).toLongLong()});
    // A connection lost half-way ends the rows as the last one would.
    if (query.lastError().isValid())
        return Failure(serverError(query.lastError()));
    return devices;
}

StoreResult<qint64> findServerDevice(const QSqlDatabase &database, const QString &name)
{
    QSqlQuery query(database);
    if (!query.prepare(SelectDeviceIdSql))
        return Failure(serverError(query.lastError()));
    query.bindValue(QStringLiteral(":name"), name);
    if (!query.exec())
        return Failure(serverError(query.lastError()));
    if (!query.next()) {
        if (query.lastError().isValid())
            return Failure(serverError(query.lastError()));
        return storeFailure(StoreError::Kind::NotFound,
                            QStringLiteral("Устройство \"%1\" не найдено на сервере").arg(name));
    }
    return query.value(0).toLongLong();
}

StoreResult<int> serverDeviceClockOffset(const QSqlDatabase &database, qint64 device)
{
    QSqlQuery query(database);
    query.setForwardOnly(true);
    if (!query.exec(DeviceClockOffsetPresentSql) || !query.next())
        return Failure(serverError(query.lastError()));
    if (query.value(0).toInt() == 0)
        return 0;
    if (!query.prepare(SelectDeviceClockOffsetSql))
        return Failure(serverError(query.lastError()));
    query.bindValue(QStringLiteral(":device"), device);
    if (!query.exec())
        return Failure(serverError(query.lastError()));
    if (!query.next()) {
        if (query.lastError().isValid())
            return Failure(serverError(query.lastError()));
        return storeFailure(StoreError::Kind::NotFound, QStringLiteral("Устройство не найдено на сервере"));
    }
    return query.value(0).toInt();
}

StoreStatus setServerDeviceClockOffset(QSqlDatabase &database, qint64 device, int seconds)
{
    const StoreStatus prepared = prepareServerSchema(database);
    if (!prepared)
        return prepared;
    QSqlQuery query(database);
    if (!query.prepare(UpdateDeviceClockOffsetSql))
        return Failure(serverError(query.lastError()));
    query.bindValue(QStringLiteral(":offset"), seconds);
    query.bindValue(QStringLiteral(":device"), device);
    if (!query.exec())
        return Failure(serverError(query.lastError()));
    if (query.numRowsAffected() == 0)
        return storeFailure(StoreError::Kind::NotFound, QStringLiteral("Устройство не найдено на сервере"));
    return {};
}
