// Listening for a device's new records on the server's change channel.

#include "logaccess/logchangewatch.h"

#include "logaccess/sourcereads.h"
#include "serverstore/serverschema.h"

#include <QMutex>
#include <QPointer>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QVariant>

// What the connection's thread holds of a watch: the watch itself, until it stops (the
// lock keeps it from going away while an announcement is passed on to it), and the
// connection made there to the driver.
struct LogChangeWatch::Relay {
    QMutex lock;
    LogChangeWatch *watch = nullptr;
    QString device;
    // Touched on the connection's thread only.
    QPointer<QSqlDriver> driver;
    QMetaObject::Connection heard;
};

LogChangeWatch::LogChangeWatch(QObject *parent) : QObject(parent) {}

LogChangeWatch::~LogChangeWatch()
{
    stop();
}

namespace {

// On the connection's thread: subscribes and passes what is heard of the device on. (A
// template: the relay is the watch's own type.)
template<typename RelayType> bool subscribe(const std::shared_ptr<RelayType> &relay, const QSqlDatabase &database)
{
    QSqlDriver *driver = database.driver();
    if (driver == nullptr || !database.isOpen() || !driver->hasFeature(QSqlDriver::EventNotifications)
        || !driver->subscribeToNotification(LogChangeChannel))
        return false;
    relay->driver = driver;
    relay->heard = QObject::connect(
        driver,
        QOverload<const QString &, QSqlDriver::NotificationSource, const QVariant &>::of(&QSqlDriver::notification),
        driver, [relay](const QString &channel, QSqlDriver::NotificationSource, const QVariant &payload) {
            if (channel != LogChangeChannel || payload.toString() != relay->device)
                return;
            QMutexLocker locked(&relay->lock);
            if (relay->watch != nullptr)
                QMetaObject::invokeMethod(relay->watch, &LogChangeWatch::changed, Qt::QueuedConnection);
        });
    return true;
}

template<typename RelayType> void unsubscribe(const std::shared_ptr<RelayType> &relay)
{
    QObject::disconnect(relay->heard);
    if (!relay->driver.isNull())
        relay->driver->unsubscribeFromNotification(LogChangeChannel);
    relay->driver.clear();
}

} // namespace

bool LogChangeWatch::listen(const QSqlDatabase &database, const QString &device)
{
    stop();
    relay = std::make_shared<Relay>();
    relay->watch = this;
    relay->device = device;
    onConnectionThread = [](std::function<void(const QSqlDatabase &)> work) { work(QSqlDatabase()); };
    if (subscribe(relay, database))
        return true;
    relay.reset();
    return false;
}

void LogChangeWatch::listen(LogSourceReads &reads, const QString &device)
{
    stop();
    relay = std::make_shared<Relay>();
    relay->watch = this;
    relay->device = device;
    QPointer<LogSourceReads> readsOf(&reads);
    onConnectionThread = [readsOf](std::function<void(const QSqlDatabase &)> work) {
        if (readsOf)
            readsOf->onConnectionThread(std::move(work));
    };
    const std::shared_ptr<Relay> listening = relay;
    reads.onConnectionThread([listening](const QSqlDatabase &database) { subscribe(listening, database); });
}

void LogChangeWatch::stop()
{
    if (!relay)
        return;
    {
        QMutexLocker locked(&relay->lock);
        relay->watch = nullptr;
    }
    const std::shared_ptr<Relay> stopping = relay;
    relay.reset();
    onConnectionThread([stopping](const QSqlDatabase &) { unsubscribe(stopping); });
    onConnectionThread = nullptr;
}
