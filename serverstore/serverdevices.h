// The devices of the central database: their names, and a device's id by its name.
#pragma once

#include "store/storeerror.h"

#include <QString>
#include <QStringList>
#include <QtGlobal>

class QSqlDatabase;

// Every device name on the server, sorted. A database no collector has used yet has
// none.
StoreResult<QStringList> listServerDevices(const QSqlDatabase &database);

// The id of the device named `name` (any text: it is only ever a bound value), or the
// server's error, or NotFound: "Устройство ... не найдено на сервере".
StoreResult<qint64> findServerDevice(const QSqlDatabase &database, const QString &name);
