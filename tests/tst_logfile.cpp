// Creating and opening log files, without the window: the file format on disk and
// what each failure tells the user.

#include "store/logfile.h"
#include "store/logschema.h"

#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QTest>

#include "tests/support/logfixture.h"

using LogFixture::rows;

namespace {

bool insertRecord(const QSqlDatabase &db, quint32 index, int count, qint64 dt)
{
    QSqlQuery insert(db);
    insert.prepare(InsertRecordSql);
    insert.bindValue(QStringLiteral(":i"), index);
    insert.bindValue(QStringLiteral(":count"), count);
    insert.bindValue(QStringLiteral(":dt"), dt);
    insert.bindValue(QStringLiteral(":type"), 0);
    insert.bindValue(QStringLiteral(":event"), 7u);
    insert.bindValue(QStringLiteral(":data"), QByteArray(""));
    return insert.exec();
}

} // namespace

class tst_LogFile : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void schemaOnDisk_data();
    void schemaOnDisk();
    void freshFileContents();
    void createReplacesTheOpenFile();
    void createOverUndeletableFile();
    void createWithFailingStatement();
    void openMissingFileKeepsThePreviousOne();
    void openExistingFile();
    void recordIdsAreNeverReused();
    void deviceTimeZeroIsTheYear2000();

private:
    QTemporaryDir *dir = nullptr;
    QSqlDatabase db;
};

void tst_LogFile::init()
{
    dir = new QTemporaryDir;
    QVERIFY(dir->isValid());
    db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
}

void tst_LogFile::cleanup()
{
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
    delete dir;
}

void tst_LogFile::schemaOnDisk_data()
{
    QTest::addColumn<QString>("table");
    QTest::addColumn<QString>("sql");
    // The texts as other tools reading the file find them, tabs and all.
    QTest::newRow("Info") << "Info"
                          << "CREATE TABLE Info(\tidHash      INTEGER,\tcaptionHash INTEGER)";
    QTest::newRow("Events") << "Events"
                            << "CREATE TABLE Events (\tid      INTEGER NOT NULL,\ttype    CHAR NOT NULL,"
                               "\tcaption TINYINT(255),\tPRIMARY KEY(id, type))";
    QTest::newRow("Log") << "Log"
                         << "CREATE TABLE Log (\tid      INTEGER,\ti       INTEGER NOT NULL,"
                            "\tcount   TINYINT NOT NULL,\tdt      DATETIME NOT NULL,\ttype    TINYINT NOT NULL,"
                            "\tevent   INTEGER NOT NULL,\tdata    TINYINT(255),\tPRIMARY KEY(id AUTOINCREMENT))";
}

void tst_LogFile::schemaOnDisk()
{
    QFETCH(QString, table);
    QFETCH(QString, sql);
    QVERIFY(createLogFile(db, dir->filePath(QStringLiteral("a.db"))).ok());
    QCOMPARE(rows(db, QStringLiteral("SELECT sql FROM sqlite_master WHERE name = '%1'").arg(table)), QStringList{sql});
}

void tst_LogFile::freshFileContents()
{
    const QString path = dir->filePath(QStringLiteral("журнал.db"));
    const StoreStatus outcome = createLogFile(db, path);
    QVERIFY(outcome.ok());
    QVERIFY(db.isOpen());
    QCOMPARE(db.databaseName(), path);
    QVERIFY(QFile::exists(path));
    QCOMPARE(rows(db, QStringLiteral("SELECT idHash, captionHash FROM Info")), QStringList{"NULL|NULL"});
    QCOMPARE(rows(db, QStringLiteral("SELECT * FROM Events")), QStringList());
    QCOMPARE(rows(db, LogViewSql), QStringList());
}

void tst_LogFile::createReplacesTheOpenFile()
{
    const QString path = dir->filePath(QStringLiteral("a.db"));
    QVERIFY(createLogFile(db, path).ok());
    QVERIFY(insertRecord(db, 1, 1, 946684800));
    QCOMPARE(rows(db, QStringLiteral("SELECT count(*) FROM Log")), QStringList{"1"});

    QVERIFY(createLogFile(db, path).ok());
    QCOMPARE(rows(db, QStringLiteral("SELECT count(*) FROM Log")), QStringList{"0"});
    QCOMPARE(rows(db, QStringLiteral("SELECT count(*) FROM Info")), QStringList{"1"});
}

void tst_LogFile::createOverUndeletableFile()
{
    // A directory where the file should be: it exists and cannot be removed as a file.
    const QString path = dir->filePath(QStringLiteral("busy.db"));
    QVERIFY(QDir().mkpath(path + QStringLiteral("/inside")));
    QVERIFY(createLogFile(db, dir->filePath(QStringLiteral("before.db"))).ok());

    const StoreStatus outcome = createLogFile(db, path);
    QVERIFY(!outcome.ok());
    QCOMPARE(outcome.error().text, QStringLiteral("Не удается заменить файл"));
    QCOMPARE(outcome.error().kind, StoreError::Kind::Io);
    QVERIFY(!db.isOpen());
}

void tst_LogFile::createWithFailingStatement()
{
    // SQLite cannot write its journal where a directory takes its name, so the
    // first statement fails after the file itself opened fine.
    const QString path = dir->filePath(QStringLiteral("nojournal.db"));
    QVERIFY(QDir().mkpath(path + QStringLiteral("-journal/x")));

    const StoreStatus outcome = createLogFile(db, path);
    QVERIFY(!outcome.ok());
    QVERIFY(!outcome.error().text.isEmpty());
    QVERIFY2(outcome.error().text != QStringLiteral("Не удается заменить файл"), qPrintable(outcome.error().text));
    QVERIFY(db.isOpen());
    QCOMPARE(rows(db, QStringLiteral("SELECT count(*) FROM sqlite_master")), QStringList{"0"});
}

void tst_LogFile::openMissingFileKeepsThePreviousOne()
{
    const QString before = dir->filePath(QStringLiteral("before.db"));
    QVERIFY(createLogFile(db, before).ok());
    const QString missing = dir->filePath(QStringLiteral("нет такого.db"));

    const StoreStatus outcome = openLogFile(db, missing);
    QVERIFY(!outcome.ok());
    QCOMPARE(outcome.error().text,
             QStringLiteral("Не удается найти файл \"%1\"").arg(QDir::toNativeSeparators(missing)));
    QCOMPARE(outcome.error().kind, StoreError::Kind::NotFound);
    QVERIFY(db.isOpen());
    QCOMPARE(db.databaseName(), before);
    QVERIFY(!QFile::exists(missing));
}

void tst_LogFile::openExistingFile()
{
    const QString first = dir->filePath(QStringLiteral("first.db"));
    const QString second = dir->filePath(QStringLiteral("second.db"));
    QVERIFY(createLogFile(db, first).ok());
    QVERIFY(insertRecord(db, 10, 2, 946684800 + 60));
    QVERIFY(createLogFile(db, second).ok());

    QVERIFY(openLogFile(db, first).ok());
    QCOMPARE(rows(db, QStringLiteral("SELECT i, count FROM Log")), QStringList{"10|2"});
}

void tst_LogFile::recordIdsAreNeverReused()
{
    QVERIFY(createLogFile(db, dir->filePath(QStringLiteral("a.db"))).ok());
    for (quint32 i = 0; i < 3; ++i)
        QVERIFY(insertRecord(db, i, 1, 946684800));
    QSqlQuery(db).exec(QStringLiteral("DELETE FROM Log"));
    QVERIFY(insertRecord(db, 3, 1, 946684800));
    QCOMPARE(rows(db, QStringLiteral("SELECT id FROM Log")), QStringList{"4"});
}

void tst_LogFile::deviceTimeZeroIsTheYear2000()
{
    QVERIFY(createLogFile(db, dir->filePath(QStringLiteral("a.db"))).ok());
    QVERIFY(insertRecord(db, 0, 1, 946684800));
    QVERIFY(insertRecord(db, 1, 1, 946684800 + 0xFFFFFFFFll));
    QCOMPARE(rows(db, QStringLiteral("SELECT DATETIME(dt, 'unixepoch', '+0 years') FROM Log ORDER BY id")),
             QStringList({"2000-01-01 00:00:00", "2136-02-07 06:28:15"}));
}

QTEST_GUILESS_MAIN(tst_LogFile)
#include "tst_logfile.moc"
