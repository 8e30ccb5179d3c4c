// Files a user may pick as a log file that the tool cannot read as one, each made
// in a test's own directory the way another program would leave it.
#pragma once

#include "tests/support/logfixture.h"

#include <QByteArray>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>

namespace NotLogFiles {

enum Kind {
    Empty,              // zero bytes
    Text,               // a text file named like a log file
    GarbageAfterHeader, // the SQLite header, then bytes that are no database
    OtherDatabase,      // a database of some other program
    LogWithoutEvents,   // a log file (with a record) whose Events table is gone
    LockedLog,          // a good log file that another program holds locked
};

// The file at `path`, made on construction. A LockedLog stays locked until the
// object goes: a connection of its own keeps an exclusive transaction open, so
// readers wait out SQLite's busy time-out and then fail.
class NotLogFile
{
public:
    NotLogFile(Kind kind, const QString &path) : kind(kind)
    {
        switch (kind) {
        case Empty:
            made = write(path, QByteArray());
            break;
        case Text:
            made = write(path, QByteArrayLiteral("Журнал смены, 15.03.2024\nвсё в порядке\n"));
            break;
        case GarbageAfterHeader:
            made = write(path, QByteArray("SQLite format 3\0", 16) + QByteArray(4080, '\xA5'));
            break;
        case OtherDatabase:
            made = execute(path,
                           {QStringLiteral("CREATE TABLE Contacts(name TEXT, phone TEXT)"),
                            QStringLiteral("INSERT INTO Contacts VALUES('Иванов', '123')")});
            break;
        case LogWithoutEvents:
        case LockedLog:
            made = makeLog(path);
            if (made && kind == LogWithoutEvents)
                made = execute(path, {QStringLiteral("DROP TABLE Events")});
            if (made && kind == LockedLog)
                made = lock(path);
            break;
        }
    }
    ~NotLogFile()
    {
        if (kind == LockedLog) {
            {
                QSqlDatabase db = QSqlDatabase::database(QLatin1String(LockName), false);
                if (db.isOpen())
                    QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
                db.close();
            }
            QSqlDatabase::removeDatabase(QLatin1String(LockName));
        }
    }
    NotLogFile(const NotLogFile &) = delete;
    NotLogFile &operator=(const NotLogFile &) = delete;

    bool ready() const { return made; }

private:
    static constexpr const char *MakerName = "notlogfile-maker";
    static constexpr const char *LockName = "notlogfile-lock";

    static bool write(const QString &path, const QByteArray &bytes)
    {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    }

    static bool execute(const QString &path, const QStringList &statements)
    {
        bool ok = true;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QLatin1String(MakerName));
            db.setDatabaseName(path);
            ok = db.open();
            for (const QString &sql : statements)
                ok = ok && QSqlQuery(db).exec(sql);
            db.close();
        }
        QSqlDatabase::removeDatabase(QLatin1String(MakerName));
        return ok;
    }

    static bool makeLog(const QString &path)
    {
        bool ok = true;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QLatin1String(MakerName));
            ok = createLogFile(db, path).ok() && LogFixture::addCaption(db, 1, QStringLiteral("Пуск #u")).isEmpty()
                && LogFixture::addRecord(db, 1, 0, QByteArray("\x01", 1)).isEmpty();
            db.close();
        }
        QSqlDatabase::removeDatabase(QLatin1String(MakerName));
        return ok;
    }

    static bool lock(const QString &path)
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QLatin1String(LockName));
        db.setDatabaseName(path);
        return db.open() && QSqlQuery(db).exec(QStringLiteral("BEGIN EXCLUSIVE"));
    }

    Kind kind;
    bool made = false;
};

} // namespace NotLogFiles
