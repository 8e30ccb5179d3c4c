// The CSV table of a log, byte for byte.

#include "logaccess/csvexport.h"

#include "logaccess/openlog.h"

#include "tests/support/logfixture.h"
#include "tests/support/samplelog.h"

#include <QBuffer>
#include <QTemporaryDir>
#include <QTest>

using namespace LogFixture;

class tst_CsvExport : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void lines_data();
    void lines();
    void emptyLogWritesNothing();
    void failedQueryWritesNothing();
    void writeFailureIsReported();
    void filterKeepsTheLinesOfTheRowsShown_data();
    void filterKeepsTheLinesOfTheRowsShown();
    void filterOnAFileThatIsNoLog();
    void rowsAfterARowId();
    void followReadsThatFailAreErrors_data();
    void followReadsThatFailAreErrors();

private:
    QByteArray exportAll()
    {
        QBuffer buffer;
        buffer.open(QIODevice::WriteOnly | QIODevice::Text);
        if (!writeLogCsv(db, buffer))
            return QByteArray("write failed");
        return buffer.data();
    }

    QTemporaryDir *dir = nullptr;
    QSqlDatabase db;
};

void tst_CsvExport::init()
{
    dir = new QTemporaryDir;
    db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    QVERIFY(createLogFile(db, dir->filePath(QStringLiteral("log.db"))).ok());
}

void tst_CsvExport::cleanup()
{
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
    delete dir;
}

void tst_CsvExport::lines_data()
{
    QTest::addColumn<QVariant>("caption"); // invalid: the event has no caption
    QTest::addColumn<QVariant>("type");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("line");

    QTest::newRow("quotes doubled in the message")
        << QVariant(QStringLiteral("Давление \"#s\" (#u)")) << QVariant(1) << QByteArray("high\0\x05", 6)
        << QStringLiteral("\"2024-03-15 13:45:30\";\"Предупреждение\";\"Давление \"\"high\"\" (5)\"\n");
    QTest::newRow("example") << QVariant(QStringLiteral("Давление \"высокое\"")) << QVariant(1) << QByteArray()
                             << QStringLiteral(
                                    "\"2024-03-15 13:45:30\";\"Предупреждение\";\"Давление \"\"высокое\"\"\"\n");
    QTest::newRow("information") << QVariant(QStringLiteral("Пуск")) << QVariant(0) << QByteArray()
                                 << QStringLiteral("\"2024-03-15 13:45:30\";\"Информация\";\"Пуск\"\n");
    QTest::newRow("error") << QVariant(QStringLiteral("Авария #u")) << QVariant(2) << QByteArray("\x07", 1)
                           << QStringLiteral("\"2024-03-15 13:45:30\";\"Ошибка\";\"Авария 7\"\n");
    QTest::newRow("change") << QVariant(QStringLiteral("Уставка; было #u")) << QVariant(3) << QByteArray("\x0A", 1)
                            << QStringLiteral("\"2024-03-15 13:45:30\";\"Изменение\";\"Уставка; было 10\"\n");
    QTest::newRow("type 4") << QVariant(QStringLiteral("Пуск")) << QVariant(4) << QByteArray()
                            << QStringLiteral("\"2024-03-15 13:45:30\";\"Информация\";\"Пуск\"\n");
    QTest::newRow("type 255") << QVariant(QStringLiteral("Пуск")) << QVariant(255) << QByteArray()
                              << QStringLiteral("\"2024-03-15 13:45:30\";\"Информация\";\"Пуск\"\n");
    QTest::newRow("type not a number") << QVariant(QStringLiteral("Пуск")) << QVariant(QStringLiteral("x"))
                                       << QByteArray()
                                       << QStringLiteral("\"2024-03-15 13:45:30\";\"Информация\";\"Пуск\"\n");
    QTest::newRow("no caption") << QVariant() << QVariant(2) << QByteArray("\x01", 1)
                                << QStringLiteral("\"2024-03-15 13:45:30\";\"Ошибка\";\"Неизвестное событие\"\n");
}

void tst_CsvExport::lines()
{
    QFETCH(QVariant, caption);
    QFETCH(QVariant, type);
    QFETCH(QByteArray, data);
    QFETCH(QString, line);

    if (caption.isValid())
        QCOMPARE(addCaption(db, 9, caption), QString());
    QCOMPARE(addRecord(db, 9, type, data), QString());

    QCOMPARE(exportAll(), line.toLocal8Bit());
}

void tst_CsvExport::emptyLogWritesNothing()
{
    QCOMPARE(exportAll(), QByteArray());
    // An empty log is no error.
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QString error;
    QVERIFY(writeLogCsv(db, buffer, &error));
    QCOMPARE(error, QString());
}

void tst_CsvExport::failedQueryWritesNothing()
{
    QSqlQuery(db).exec(QStringLiteral("DROP TABLE Log"));
    QCOMPARE(exportAll(), QByteArray());

    // The caller learns why.
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QString error;
    QVERIFY(writeLogCsv(db, buffer, &error));
    QVERIFY2(error.contains(QStringLiteral("no such table: Log")), qPrintable(error));
    QCOMPARE(buffer.data(), QByteArray());
}

void tst_CsvExport::writeFailureIsReported()
{
    QCOMPARE(addCaption(db, 1, QStringLiteral("Пуск")), QString());
    QCOMPARE(addRecord(db, 1, 0, QByteArray()), QString());
    QBuffer readOnly;
    readOnly.open(QIODevice::ReadOnly);
    QTest::ignoreMessage(QtWarningMsg, "QIODevice::write (QBuffer): ReadOnly device");
    QVERIFY(!writeLogCsv(db, readOnly));
}

void tst_CsvExport::filterKeepsTheLinesOfTheRowsShown_data()
{
    QTest::addColumn<LogFilter>("filter");
    const auto at = [](const char *text) {
        const QString time = QString::fromLatin1(text);
        return QDateTime(QDate::fromString(time.left(10), QStringLiteral("yyyy-MM-dd")),
                         QTime::fromString(time.mid(11), QStringLiteral("HH:mm:ss")), Qt::UTC);
    };
    LogFilter none, types, span, text, regex, invalid, all;
    types.types = 0b0101;
    span.from = at("2024-03-15 18:00:00");
    span.to = at("2024-03-15 23:59:59");
    text.text = QStringLiteral("\"высокое\"");
    regex.text = QStringLiteral("^Насос [0-2]:");
    regex.regex = true;
    invalid.text = QStringLiteral("Насос (");
    invalid.regex = true;
    all = span;
    all.types = 0b0011;
    all.text = QStringLiteral("пуск");
    QTest::newRow("none") << none;
    QTest::newRow("types") << types;
    QTest::newRow("from and to") << span;
    QTest::newRow("text with quotes") << text;
    QTest::newRow("regular expression") << regex;
    QTest::newRow("invalid regular expression") << invalid;
    QTest::newRow("all at once") << all;
}

void tst_CsvExport::filterKeepsTheLinesOfTheRowsShown()
{
    QFETCH(LogFilter, filter);
    quint32 clock = March15th2024;
    QCOMPARE(SampleLog::addCaptions(db), QString());
    // A caption whose messages hold quotes, doubled in the file.
    QCOMPARE(addCaption(db, 7, QStringLiteral("Давление \"#`норма``высокое`e\"")), QString());
    QCOMPARE(SampleLog::addRecords(db, 1500, 5, &clock), QString());
    for (quint8 value : {0, 1, 1, 0})
        QCOMPARE(addRecord(db, 7, 1, QByteArray(1, char(value)), clock++), QString());

    // The whole export's lines, one per row of the log view query, kept where the row
    // passes the filter.
    const QList<QByteArray> lines = exportAll().split('\n');
    const QList<SampleLog::ExpectedRow> rows = SampleLog::viewQueryRows(db);
    QCOMPARE(lines.size(), rows.size() + 1);
    QByteArray expected;
    for (int row = 0; row < rows.size(); ++row) {
        if (SampleLog::passes(rows[row], filter))
            expected += lines[row] + '\n';
    }
    // Every filter of the table keeps some lines of this log.
    QVERIFY(!expected.isEmpty());
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly | QIODevice::Text);
    QString error;
    QVERIFY(writeLogCsv(db, buffer, filter, &error));
    QCOMPARE(error, QString());
    QCOMPARE(buffer.data(), expected);
    if (filter.isEmpty())
        QCOMPARE(buffer.data(), exportAll());
}

void tst_CsvExport::filterOnAFileThatIsNoLog()
{
    QSqlQuery(db).exec(QStringLiteral("DROP TABLE Events"));
    LogFilter filter;
    filter.types = 0b0001;
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QString error;
    QVERIFY(writeLogCsv(db, buffer, filter, &error));
    QVERIFY2(error.contains(QStringLiteral("no such table: Events")), qPrintable(error));
    QCOMPARE(buffer.data(), QByteArray());
}

// What --follow prints: the lines of the records after a row id, and the row id of the
// last one, through the log as khronar-fetch opens it.
void tst_CsvExport::rowsAfterARowId()
{
    QCOMPARE(addCaption(db, 1, QStringLiteral("Пуск #u")), QString());
    for (int k = 1; k <= 3; ++k)
        QCOMPARE(addRecord(db, 1, 0, QByteArray(1, char(k))), QString());
    const QList<QByteArray> lines = exportAll().split('\n');
    auto log = OpenLog::open(LogLocation::file(db.databaseName()), OpenLog::Purpose::Read);
    QVERIFY(log.ok());
    QCOMPARE(log.value()->newestRowId().value(), qint64(3));
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly | QIODevice::Text);
    QCOMPARE(log.value()->writeCsvAfter(buffer, 1).value(), qint64(3));
    QCOMPARE(buffer.data(), lines[1] + '\n' + lines[2] + '\n');
    // Nothing new: nothing written, and the same row id.
    QCOMPARE(log.value()->writeCsvAfter(buffer, 3).value(), qint64(3));
    QCOMPARE(buffer.data().count('\n'), 2);
}

// A read that fails is an error, never an empty result or a zero: --follow would
// otherwise start after row 0 and print the whole log as if it were new, or print
// nothing of what arrives and say nothing.
void tst_CsvExport::followReadsThatFailAreErrors_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<bool>("newestFails");
    QTest::newRow("records gone") << "DROP TABLE Log" << true;
    QTest::newRow("captions gone") << "DROP TABLE Events" << false;
}

void tst_CsvExport::followReadsThatFailAreErrors()
{
    QFETCH(QString, damage);
    QFETCH(bool, newestFails);
    QCOMPARE(addRecord(db, 1, 0, QByteArray()), QString());
    QCOMPARE(addRecord(db, 1, 0, QByteArray()), QString());
    QVERIFY(QSqlQuery(db).exec(damage));
    auto log = OpenLog::open(LogLocation::file(db.databaseName()), OpenLog::Purpose::Read);
    QVERIFY(log.ok());

    const StoreResult<qint64> newest = log.value()->newestRowId();
    QCOMPARE(!newest.ok(), newestFails);
    if (newestFails) {
        QVERIFY2(newest.error().text.contains(QStringLiteral("no such table: Log")), qPrintable(newest.error().text));
        QCOMPARE(newest.error().kind, StoreError::Kind::NotALog);
    } else {
        QCOMPARE(newest.value(), qint64(2));
    }

    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly | QIODevice::Text);
    const StoreResult<qint64> after = log.value()->writeCsvAfter(buffer, 0);
    QVERIFY(!after.ok());
    QVERIFY2(after.error().text.contains(QStringLiteral("no such table")), qPrintable(after.error().text));
    QCOMPARE(after.error().kind, StoreError::Kind::NotALog);
    QCOMPARE(buffer.data(), QByteArray());
}

QTEST_GUILESS_MAIN(tst_CsvExport)
#include "tst_csvexport.moc"
