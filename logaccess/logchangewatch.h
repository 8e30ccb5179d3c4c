// Hears a server announce that a device's log has new records, on the connection a view
// of that device reads with, so that the view takes them in at once.
#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class LogSourceReads;
class QSqlDatabase;

/*
 * A download into the central database (a collector's, khronar-fetch's or a window's)
 * announces each commit of new records on one channel, with the device's name. The
 * server delivers the announcement to every session listening, once the records are
 * committed. Where announcements are not delivered (a connection pooler in transaction
 * mode keeps no session to listen with), the view's once-a-second poll still finds the
 * records.
 *
 * Listening is set up and ended on the thread the connection lives on (a view's reader
 * thread); what is heard there reaches this object's thread.
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
    // Listens on the connection that `reads` reads with, on its thread.
    void listen(LogSourceReads &reads, const QString &device);
    // Stops listening; before the connection is closed (for a connection read on a
    // thread of its own: before its reads are handed another source).
    void stop();

signals:
    // New records of the device were committed.
    void changed();

private:
    struct Relay;
    std::shared_ptr<Relay> relay;
    // How to stop the listening set up last, on the connection's thread.
    std::function<void(std::function<void(const QSqlDatabase &)>)> onConnectionThread;
};
