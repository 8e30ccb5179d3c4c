// The devices of the central database: their names, and a device's id by its name.
#pragma once

#include "store/storeerror.h"

#include <QString>
#include <QStringList>
#include <QVector>
#include <QtGlobal>

class QSqlDatabase;

// Every device name on the server, sorted. A database no collector has used yet has
// none.
StoreResult<QStringList> listServerDevices(const QSqlDatabase &database);

// A device of the server: its name and its key.
struct ServerDevice {
    QString name;
    qint64 id = 0;
};

// The devices whose names match `pattern`, a pattern of SQL's LIKE ("ПС-12%": "%" any
// text, "_" one character, "\" before either takes it as itself), by name; none when
// no name matches or no collector has used the database yet.
StoreResult<QVector<ServerDevice>> findServerDevicesLike(const QSqlDatabase &database, const QString &pattern);

// The id of the device named `name` (any text: it is only ever a bound value), or the
// server's error, or NotFound: "Устройство ... не найдено на сервере".
StoreResult<qint64> findServerDevice(const QSqlDatabase &database, const QString &name);

// The seconds added to the times of the device's records where they are shown, to
// bring a clock that runs ahead or behind to the others; 0 on a server that has never
// kept one. The records themselves are never changed.
StoreResult<int> serverDeviceClockOffset(const QSqlDatabase &database, qint64 device);
// Keeps the device's clock offset on the server (adding the column it is kept in to a
// schema that lacks it). The connection must be outside a transaction.
StoreStatus setServerDeviceClockOffset(QSqlDatabase &database, qint64 device, int seconds);
