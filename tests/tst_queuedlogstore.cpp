// A store written on a thread of its own: its answers, its order, and what happens after
// a statement fails.

#include "store/logfile.h"
#include "store/logfilestore.h"
#include "store/queuedlogstore.h"

#include <QAtomicInt>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <memory>

namespace {

DeviceRecord record(std::uint32_t index, std::uint8_t count = 1)
{
    DeviceRecord made;
    made.index = index;
    made.count = count;
    made.type = std::uint8_t(index % 4);
    made.deviceTime = 1000 + index;
    made.eventId = 7;
    made.data = QByteArray::number(index);
    return made;
}

// The file store, failing its `failAt`-th record (counted from 1) as a server gone.
class FailingStore final : public LogStore
{
public:
    FailingStore(const QSqlDatabase &database, int failAt) : file(database), failAt(failAt) {}

    StoreResult<StoredFingerprints> readFingerprints() override { return file.readFingerprints(); }
    StoreStatus writeFingerprints(std::uint32_t id, std::uint32_t caption) override
    {
        return file.writeFingerprints(id, caption);
    }
    StoreStatus storeCaption(std::uint32_t eventId, const char *text) override
    {
        return file.storeCaption(eventId, text);
    }
    StoreResult<std::uint32_t> resumePoint(std::uint32_t first) override { return file.resumePoint(first); }
    StoreStatus storeRecord(const DeviceRecord &stored) override
    {
        if (++records == failAt)
            return storeFailure(StoreError::Kind::Unreachable, QStringLiteral("сервер недоступен"));
        return file.storeRecord(stored);
    }
    bool beginBatch() override { return file.beginBatch(); }
    StoreStatus commitBatch() override { return file.commitBatch(); }

private:
    LogFileStore file;
    int failAt;
    int records = 0;
};

} // namespace

class tst_QueuedLogStore : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void answersAsTheStoreWould_data();
    void answersAsTheStoreWould();
    void failureStopsWhatComesAfterIt_data();
    void failureStopsWhatComesAfterIt();

private:
    std::shared_ptr<QueuedLogStore> queue(std::shared_ptr<LogStore> store);
    // The records of the file, as index:count in the order they were stored.
    QStringList storedRecords();

    QTemporaryDir *dir = nullptr;
    QSqlDatabase db;
};

void tst_QueuedLogStore::init()
{
    dir = new QTemporaryDir;
    db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    QVERIFY(createLogFile(db, dir->filePath(QStringLiteral("log.db"))).ok());
}

void tst_QueuedLogStore::cleanup()
{
    QueuedLogStore::finishAll();
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
    delete dir;
}

std::shared_ptr<QueuedLogStore> tst_QueuedLogStore::queue(std::shared_ptr<LogStore> store)
{
    QSqlDriver *driver = db.driver();
    const auto opened = QueuedLogStore::open(std::move(store),
                                             [driver](QThread *thread) { driver->moveToThread(thread); });
    return opened ? *opened : nullptr;
}

QStringList tst_QueuedLogStore::storedRecords()
{
    // Read on a connection of the test's own: the queue's went with its thread.
    QStringList found;
    {
        QSqlDatabase reader = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("reader"));
        reader.setDatabaseName(dir->filePath(QStringLiteral("log.db")));
        if (reader.open()) {
            QSqlQuery query(QStringLiteral("SELECT i, count FROM Log ORDER BY id"), reader);
            while (query.next())
                found << QStringLiteral("%1:%2").arg(query.value(0).toLongLong()).arg(query.value(1).toInt());
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("reader"));
    return found;
}

void tst_QueuedLogStore::answersAsTheStoreWould_data()
{
    // Records stored before the queue is made, and through it; whether through a batch.
    QTest::addColumn<QVector<int>>("before");
    QTest::addColumn<QVector<int>>("through");
    QTest::addColumn<bool>("batched");
    QTest::newRow("empty log, nothing written") << QVector<int>{} << QVector<int>{} << false;
    QTest::newRow("empty log, records one by one") << QVector<int>{} << QVector<int>{5, 6, 7} << false;
    QTest::newRow("records before, a batch through") << QVector<int>{1, 2} << QVector<int>{3, 4} << true;
    QTest::newRow("records before, nothing written") << QVector<int>{10, 11} << QVector<int>{} << false;
    // The newest by arrival, not the highest index: a device log that wrapped round.
    QTest::newRow("newest by arrival") << QVector<int>{900, 901} << QVector<int>{0, 1} << true;
}

// Fingerprints and the resume point answered from what was read and written, equal to
// the store's own answers once everything is written; the records in order.
void tst_QueuedLogStore::answersAsTheStoreWould()
{
    QFETCH(QVector<int>, before);
    QFETCH(QVector<int>, through);
    QFETCH(bool, batched);
    LogFileStore direct(db);
    QStringList expected;
    for (int index : before) {
        QVERIFY(direct.storeRecord(record(std::uint32_t(index))).ok());
        expected << QStringLiteral("%1:1").arg(index);
    }

    auto store = std::make_shared<LogFileStore>(db);
    std::shared_ptr<QueuedLogStore> queued = queue(store);
    QVERIFY(queued);
    QVERIFY(!queued->readFingerprints()->known);
    QVERIFY(queued->writeFingerprints(0x1234, 0xABCD).ok());
    QVERIFY(queued->storeCaption(7, "Событие").ok());
    if (batched)
        QVERIFY(queued->beginBatch());
    for (int index : through) {
        QVERIFY(queued->storeRecord(record(std::uint32_t(index))).ok());
        expected << QStringLiteral("%1:1").arg(index);
    }
    if (batched)
        QVERIFY(queued->commitBatch().ok());
    const StoredFingerprints fingerprints = *queued->readFingerprints();
    const std::uint32_t resume = *queued->resumePoint(77);
    queued.reset();
    store.reset();
    QueuedLogStore::finishAll();

    QCOMPARE(storedRecords(), expected);
    LogFileStore after(db);
    QCOMPARE(*after.resumePoint(77), resume);
    const StoredFingerprints stored = *after.readFingerprints();
    QVERIFY(stored.known && fingerprints.known);
    QCOMPARE(stored.idHash, fingerprints.idHash);
    QCOMPARE(stored.captionHash, fingerprints.captionHash);
}

void tst_QueuedLogStore::failureStopsWhatComesAfterIt_data()
{
    QTest::addColumn<bool>("batched");
    QTest::newRow("records one by one") << false;
    QTest::newRow("a batch") << true;
}

// A record that fails on the writer thread: the hook hears it once, every later call
// answers with it, and nothing queued after it is written.
void tst_QueuedLogStore::failureStopsWhatComesAfterIt()
{
    QFETCH(bool, batched);
    auto store = std::make_shared<FailingStore>(db, 3);
    std::shared_ptr<QueuedLogStore> queued = queue(store);
    QVERIFY(queued);
    QAtomicInt heard;
    queued->setFailureHook([&heard](const StoreError &) { heard.fetchAndAddRelaxed(1); });
    if (batched)
        QVERIFY(queued->beginBatch());
    for (std::uint32_t index = 1; index <= 5; ++index)
        QVERIFY(queued->storeRecord(record(index)).ok());
    // Answered with the failure if it is known by then, queued if not: either way the
    // batch is not committed.
    if (batched)
        (void)queued->commitBatch();
    QTRY_COMPARE_WITH_TIMEOUT(heard.loadRelaxed(), 1, 10000);

    const StoreStatus later = queued->storeRecord(record(6));
    QVERIFY(!later.ok());
    QCOMPARE(later.error().kind, StoreError::Kind::Unreachable);
    QVERIFY(!queued->commitBatch().ok());
    QVERIFY(!queued->resumePoint(0).ok());
    // A hook set after the failure hears of it at once.
    QAtomicInt late;
    queued->setFailureHook([&late](const StoreError &) { late.fetchAndAddRelaxed(1); });
    QCOMPARE(late.loadRelaxed(), 1);
    QCOMPARE(heard.loadRelaxed(), 1);

    queued.reset();
    store.reset();
    QueuedLogStore::finishAll();
    // A batch that failed is rolled back when its connection goes; alone, the records
    // before the failure stay.
    QCOMPARE(storedRecords(), batched ? QStringList() : QStringList({"1:1", "2:1"}));
}

QTEST_GUILESS_MAIN(tst_QueuedLogStore)
#include "tst_queuedlogstore.moc"
