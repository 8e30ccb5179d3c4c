// Writing a download into a log file, without the window.

#include "store/devicetext.h"
#include "store/logfile.h"
#include "store/logimport.h"
#include "store/logschema.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QTest>

#include "tests/support/logfixture.h"

using LogFixture::rows;

Q_DECLARE_METATYPE(CaptionDecision)

// Records as index and count, in order of arrival.
using StoredRecords = QList<QPair<uint, int>>;

class tst_LogImport : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void decisions_data();
    void decisions();
    void fingerprintsRoundTrip();
    void halfKnownFingerprintsCountAsNew();
    void captionsInTheDeviceCodePage();
    void captionReplacesTheSameEvent();
    void resumeAfterNewestRecord_data();
    void resumeAfterNewestRecord();
    void resumeOnBrokenFileReadsNothing();
    void recordsStoredExactly();
    void failuresCarryTheQueryText();

private:
    QTemporaryDir *dir = nullptr;
    QSqlDatabase db;
};

void tst_LogImport::init()
{
    dir = new QTemporaryDir;
    db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    QVERIFY(createLogFile(db, dir->filePath(QStringLiteral("log.db"))).ok());
}

void tst_LogImport::cleanup()
{
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
    delete dir;
}

void tst_LogImport::decisions_data()
{
    QTest::addColumn<bool>("known");
    QTest::addColumn<uint>("storedId");
    QTest::addColumn<uint>("storedCaptions");
    QTest::addColumn<uint>("deviceId");
    QTest::addColumn<uint>("deviceCaptions");
    QTest::addColumn<CaptionDecision>("decision");

    QTest::newRow("new file") << false << 0u << 0u << 1u << 2u << CaptionDecision::NewFile;
    QTest::newRow("same") << true << 1u << 2u << 1u << 2u << CaptionDecision::UpToDate;
    QTest::newRow("texts changed") << true << 1u << 2u << 1u << 3u << CaptionDecision::TextsChanged;
    QTest::newRow("events changed") << true << 1u << 2u << 9u << 2u << CaptionDecision::EventsChanged;
    QTest::newRow("both changed") << true << 1u << 2u << 9u << 3u << CaptionDecision::EventsChanged;
    QTest::newRow("full range") << true << 0xFFFFFFFFu << 0x80000000u << 0xFFFFFFFFu << 0x80000000u
                                << CaptionDecision::UpToDate;
}

void tst_LogImport::decisions()
{
    QFETCH(bool, known);
    QFETCH(uint, storedId);
    QFETCH(uint, storedCaptions);
    QFETCH(uint, deviceId);
    QFETCH(uint, deviceCaptions);
    QFETCH(CaptionDecision, decision);

    StoredFingerprints stored;
    stored.known = known;
    stored.idHash = storedId;
    stored.captionHash = storedCaptions;
    QCOMPARE(decideCaptions(stored, deviceId, deviceCaptions), decision);
}

void tst_LogImport::fingerprintsRoundTrip()
{
    const StoreResult<StoredFingerprints> fresh = readFingerprints(db);
    QVERIFY(fresh.ok());
    QVERIFY(!fresh->known);

    // Values past the signed range come back unchanged.
    QVERIFY(writeFingerprints(db, 0xFFFFFFFFu, 0x80000001u).ok());
    const StoredFingerprints stored = readFingerprints(db).value();
    QVERIFY(stored.known);
    QCOMPARE(stored.idHash, 0xFFFFFFFFu);
    QCOMPARE(stored.captionHash, 0x80000001u);
    QCOMPARE(rows(db, QStringLiteral("SELECT idHash, captionHash FROM Info")), QStringList{"4294967295|2147483649"});
}

void tst_LogImport::halfKnownFingerprintsCountAsNew()
{
    QSqlQuery(db).exec(QStringLiteral("UPDATE Info SET idHash = 5"));
    QVERIFY(!readFingerprints(db)->known);
    QSqlQuery(db).exec(QStringLiteral("DELETE FROM Info"));
    QVERIFY(!readFingerprints(db)->known);
    // With no row, the update has nothing to set: the file stays as it is.
    QVERIFY(writeFingerprints(db, 1, 2).ok());
    QCOMPARE(rows(db, QStringLiteral("SELECT count(*) FROM Info")), QStringList{"0"});
}

void tst_LogImport::captionsInTheDeviceCodePage()
{
    // "Пуск #u" in Windows-1251, as the device sends it.
    const char text[] = "\xCF\xF3\xF1\xEA #u";
    QCOMPARE(decodeDeviceText(text, 7), QStringLiteral("Пуск #u"));
    QVERIFY(storeCaption(db, 0x80000000u, text).ok());
    QCOMPARE(rows(db, QStringLiteral("SELECT id, type, typeof(type), caption FROM Events")),
             QStringList{QStringLiteral("2147483648|0|text|Пуск #u")});
    // An empty caption is empty text, not a missing one (NULL is an unknown event).
    QVERIFY(!decodeDeviceText("", 0).isNull());
    QVERIFY(storeCaption(db, 7, "").ok());
    QCOMPARE(rows(db, QStringLiteral("SELECT caption, typeof(caption) FROM Events WHERE id = 7")),
             QStringList{QStringLiteral("|text")});
}

void tst_LogImport::captionReplacesTheSameEvent()
{
    QVERIFY(storeCaption(db, 3, "old").ok());
    QVERIFY(storeCaption(db, 3, "new").ok());
    QVERIFY(storeCaption(db, 4, "other").ok());
    QCOMPARE(rows(db, QStringLiteral("SELECT id, caption FROM Events ORDER BY id")), QStringList({"3|new", "4|other"}));
}

void tst_LogImport::resumeAfterNewestRecord_data()
{
    QTest::addColumn<StoredRecords>("stored");
    QTest::addColumn<uint>("expected");

    using Records = StoredRecords;
    QTest::newRow("empty log starts at the first index") << Records{} << 100u;
    QTest::newRow("after the newest") << Records{{100, 1}, {101, 3}} << 104u;
    QTest::newRow("newest by arrival, not by index") << Records{{200, 1}, {150, 2}} << 152u;
    QTest::newRow("across the wrap") << Records{{0xFFFFFFFFu, 2}} << 1u;
}

void tst_LogImport::resumeAfterNewestRecord()
{
    QFETCH(StoredRecords, stored);
    QFETCH(uint, expected);
    for (const auto &record : stored)
        QVERIFY(storeRecord(db, record.first, std::uint8_t(record.second), 0, 0, 1, QByteArray()).ok());
    const StoreResult<std::uint32_t> resume = resumePoint(db, 100);
    QVERIFY(resume.ok());
    QCOMPARE(uint(*resume), expected);
}

void tst_LogImport::resumeOnBrokenFileReadsNothing()
{
    // A failed read of the newest record is an error, never a resume from the start:
    // the download then asks for nothing (see tst_logdownload).
    QSqlQuery(db).exec(QStringLiteral("DROP TABLE Log"));
    const StoreResult<std::uint32_t> resume = resumePoint(db, 0xFFFFFFF0u);
    QVERIFY(!resume.ok());
    QVERIFY(resume.error().text.contains(QStringLiteral("Log")));
    QCOMPARE(resume.error().kind, StoreError::Kind::NotALog);
}

void tst_LogImport::recordsStoredExactly()
{
    QVERIFY(storeRecord(db, 0xFFFFFFFEu, 255, 3, 763825530, 0xFFFFFFFFu, QByteArray::fromHex("00ff10")).ok());
    QVERIFY(storeRecord(db, 1, 1, 0, 0, 1, QByteArray()).ok());
    QCOMPARE(rows(db, QStringLiteral("SELECT i, count, dt, type, event, hex(data), typeof(data) FROM Log ORDER BY id")),
             QStringList({"4294967294|255|1710510330|3|4294967295|00FF10|blob", "1|1|946684800|0|1||blob"}));
    QCOMPARE(rows(db, QStringLiteral("SELECT DATETIME(dt, 'unixepoch') FROM Log ORDER BY id")),
             QStringList({"2024-03-15 13:45:30", "2000-01-01 00:00:00"}));
}

void tst_LogImport::failuresCarryTheQueryText()
{
    QSqlQuery(db).exec(QStringLiteral("DROP TABLE Log"));
    QSqlQuery(db).exec(QStringLiteral("DROP TABLE Events"));
    QSqlQuery(db).exec(QStringLiteral("DROP TABLE Info"));
    const StoreResult<StoredFingerprints> fingerprints = readFingerprints(db);
    QVERIFY(!fingerprints.ok());
    for (const StoreError &error :
         {storeRecord(db, 1, 1, 0, 0, 1, QByteArray()).error(), storeCaption(db, 1, "x").error(),
          writeFingerprints(db, 1, 2).error(), fingerprints.error()}) {
        QVERIFY2(error.text.contains(QStringLiteral("no such table")), qPrintable(error.text));
        // The file is a database, but not a log file.
        QCOMPARE(error.kind, StoreError::Kind::NotALog);
    }
}

QTEST_GUILESS_MAIN(tst_LogImport)
#include "tst_logimport.moc"
