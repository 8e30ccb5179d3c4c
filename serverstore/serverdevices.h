// The devices of the central database: their names, and a device's id by its name.
#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

class QSqlDatabase;

// Every device name on the server, sorted. A database no collector has used yet has
// none. A failed query leaves its error in `error`.
QStringList listServerDevices(const QSqlDatabase &database, QString *error = nullptr);

// The id of the device named `name` (any text: it is only ever a bound value). False
// with the server's message, or with "Устройство ... не найдено на сервере".
bool findServerDevice(const QSqlDatabase &database, const QString &name, qint64 *id, QString *error);
