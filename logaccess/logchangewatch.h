// Hears a server announce that a device's log has new records, on the connection a view
// of that device reads with, so that the view takes them in at once.
#pragma once

#include <QObject>
#include <QPointer>
#include <QSqlDriver>
#include <QString>

class QSqlDatabase;
class QVariant;

/*
 * A download into the central database (a collector's, khronar-fetch's or a window's)
 * announces each commit of new records on one channel, with the device's name. The
 * server delivers the announcement to every session listening, once the records are
 * committed. Where announcements are not delivered (a connection pooler in transaction
 * mode keeps no session to listen with), the view's once-a-second poll still finds the
 * records.
 */
class LogChangeWatch : public QObject
{
    Q_OBJECT

public:
    explicit LogChangeWatch(QObject *parent = nullptr);
    ~LogChangeWatch() override;

    // Listens on `database`, whose driver lives on this object's thread, for `device`.
    // False when the driver cannot listen (not a server's connection): nothing is heard.
    bool listen(const QSqlDatabase &database, const QString &device);
    // Stops listening; before the connection is closed.
    void stop();
    bool listening() const { return !driver.isNull(); }

signals:
    // New records of the device were committed.
    void changed();

private:
    void announced(const QString &channel, QSqlDriver::NotificationSource source, const QVariant &payload);

    QPointer<QSqlDriver> driver;
    QString device;
};
