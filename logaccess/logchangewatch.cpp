// Listening for a device's new records on the server's change channel.

#include "logaccess/logchangewatch.h"

#include "serverstore/serverschema.h"

#include <QSqlDatabase>
#include <QVariant>

LogChangeWatch::LogChangeWatch(QObject *parent) : QObject(parent) {}

LogChangeWatch::~LogChangeWatch()
{
    stop();
}

bool LogChangeWatch::listen(const QSqlDatabase &database, const QString &deviceName)
{
    stop();
    QSqlDriver *candidate = database.driver();
    if (candidate == nullptr || !database.isOpen() || !candidate->hasFeature(QSqlDriver::EventNotifications)
        || !candidate->subscribeToNotification(LogChangeChannel))
        return false;
    driver = candidate;
    device = deviceName;
    connect(candidate,
            QOverload<const QString &, QSqlDriver::NotificationSource, const QVariant &>::of(&QSqlDriver::notification),
            this, &LogChangeWatch::announced);
    return true;
}

void LogChangeWatch::stop()
{
    if (driver.isNull())
        return;
    disconnect(driver, nullptr, this, nullptr);
    driver->unsubscribeFromNotification(LogChangeChannel);
    driver.clear();
}

void LogChangeWatch::announced(const QString &channel, QSqlDriver::NotificationSource, const QVariant &payload)
{
    if (channel == LogChangeChannel && payload.toString() == device)
        emit changed();
}
