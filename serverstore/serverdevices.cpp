// The devices of the central database: their names, and a device's id by its name.

#include "serverstore/serverdevices.h"

#include "serverstore/serverconnection.h"
#include "serverstore/serverschema.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

void keepError(const QSqlError &failure, QString *error)
{
    if (error != nullptr && failure.type() != QSqlError::NoError)
        *error = serverErrorText(failure);
}

void keepError(const QSqlQuery &query, QString *error)
{
    keepError(query.lastError(), error);
}

} // namespace

QStringList listServerDevices(const QSqlDatabase &database, QString *error)
{
    QSqlQuery query(database);
    query.setForwardOnly(true);
    if (!query.exec(SchemaPresentSql) || !query.next()) {
        keepError(query, error);
        return {};
    }
    if (!query.value(0).toBool())
        return {};
    QStringList names;
    if (!query.exec(ListDevicesSql)) {
        keepError(query, error);
        return {};
    }
    while (query.next())
        names << query.value(0).toString();
    keepError(query, error);
    return names;
}

bool findServerDevice(const QSqlDatabase &database, const QString &name, qint64 *id, QString *error)
{
    QSqlQuery query(database);
    if (!query.prepare(SelectDeviceIdSql)) {
        *error = serverErrorText(query.lastError());
        return false;
    }
    query.bindValue(QStringLiteral(":name"), name);
    if (!query.exec()) {
        *error = serverErrorText(query.lastError());
        return false;
    }
    if (!query.next()) {
        *error = QStringLiteral("Устройство \"%1\" не найдено на сервере").arg(name);
        return false;
    }
    *id = query.value(0).toLongLong();
    return true;
}
