// The CSV table of a log, byte for byte.

#include "logaccess/csvexport.h"

#include "logaccess/mergedlogs.h"
#include "logaccess/openlog.h"

#include "logaccess/logviewstatements.h"
#include "messagetext/captionformat.h"

#include "tests/support/csvfixture.h"
#include "tests/support/hostilelog.h"
#include "tests/support/logfixture.h"
#include "tests/support/samplelog.h"
#include "tests/support/stationlogs.h"

#include <QBuffer>
#include <QDir>
#include <QTemporaryDir>
#include <QTest>
#include <QTextCodec>

using namespace LogFixture;
using CsvFixture::writeFileCsv;

class tst_CsvExport : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void lines_data();
    void lines();
    void encodingOfTheCodePage_data();
    void encodingOfTheCodePage();
    void fileInTheSystemsEncoding();
    void emptyLogWritesNothing();
    void failedQueryWritesNothing();
    void writeFailureIsReported();
    void filterKeepsTheLinesOfTheRowsShown_data();
    void filterKeepsTheLinesOfTheRowsShown();
    void filterOnAFileThatIsNoLog();
    void rowsAfterARowId();
    void followReadsThatFailAreErrors_data();
    void followReadsThatFailAreErrors();
    void everyRecordInItsOrder_data();
    void everyRecordInItsOrder();
    void hostileLogWrittenWhole_data();
    void hostileLogWrittenWhole();
    void progressAndCancel();
    void replacedOnlyWhenWrittenWhole_data();
    void replacedOnlyWhenWrittenWhole();
    void mergedLogs_data();
    void mergedLogs();
    void mergedDeviceNameIsAField();
    void mergedTimeOrder_data();
    void mergedTimeOrder();
    void mergedLogsThatCannotBeRead_data();
    void mergedLogsThatCannotBeRead();

private:
    QByteArray exportAll()
    {
        QBuffer buffer;
        buffer.open(QIODevice::WriteOnly | QIODevice::Text);
        const StoreStatus written = writeFileCsv(db, buffer);
        if (!written && written.error().kind == StoreError::Kind::Io)
            return QByteArray("write failed");
        return CsvFixture::withNewlines(buffer.data());
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

// The system's code page where it holds the log's characters; UTF-8 after a byte-order
// mark where it does not, rather than question marks in place of the Cyrillic.
void tst_CsvExport::encodingOfTheCodePage_data()
{
    QTest::addColumn<QByteArray>("codePage");
    QTest::addColumn<bool>("asUtf8WithMark");

    QTest::newRow("Russian Windows") << QByteArray("windows-1251") << false;
    QTest::newRow("UTF-8 (Linux)") << QByteArray("UTF-8") << false;
    QTest::newRow("Western-European Windows") << QByteArray("windows-1252") << true;
    QTest::newRow("Central-European Windows") << QByteArray("windows-1250") << true;
    // Cyrillic, but without every character of the devices' code page («, », …).
    QTest::newRow("ISO 8859-5") << QByteArray("ISO-8859-5") << true;
    QTest::newRow("KOI8-R") << QByteArray("KOI8-R") << true;
}

void tst_CsvExport::encodingOfTheCodePage()
{
    QFETCH(QByteArray, codePage);
    QFETCH(bool, asUtf8WithMark);

    QTextCodec *codec = QTextCodec::codecForName(codePage);
    QVERIFY(codec);
    QCOMPARE(addCaption(db, 9, QStringLiteral("Насос «ёЁ» №#u…")), QString());
    QCOMPARE(addRecord(db, 9, 1, QByteArray("\x07", 1)), QString());
    QCOMPARE(addRecord(db, 8, 3, QByteArray()), QString());
    const QString lines = QStringLiteral("\"2024-03-15 13:45:30\";\"Предупреждение\";\"Насос «ёЁ» №7…\"\n"
                                         "\"2024-03-15 13:45:30\";\"Изменение\";\"Неизвестное событие\"\n");

    const CsvEncoding encoding = csvEncodingFor(codec);
    QCOMPARE(encoding.byteOrderMark, asUtf8WithMark);
    const StoreResult<LogViewStatements> statements = LogViewStatements::ofLogFile(db);
    QVERIFY(statements.ok());
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    QVERIFY(writeLogCsv(db, *statements, buffer, LogFilter(), {}, encoding).ok());
    QCOMPARE(buffer.data(), asUtf8WithMark ? QByteArray("\xEF\xBB\xBF") + lines.toUtf8() : codec->fromUnicode(lines));
    // Nothing is lost either way.
    const QByteArray body = asUtf8WithMark ? buffer.data().mid(3) : buffer.data();
    QCOMPARE((asUtf8WithMark ? QTextCodec::codecForName("UTF-8") : codec)->toUnicode(body), lines);
}

// A file as the window and khronar-fetch write it: in the system's encoding, with the
// system's line ends (CR LF on Windows).
void tst_CsvExport::fileInTheSystemsEncoding()
{
    QCOMPARE(addCaption(db, 9, QStringLiteral("Пуск")), QString());
    QCOMPARE(addRecord(db, 9, 0, QByteArray()), QString());
    const StoreResult<LogViewStatements> statements = LogViewStatements::ofLogFile(db);
    QVERIFY(statements.ok());
    const QString path = dir->filePath(QStringLiteral("log.csv"));
    QVERIFY(exportLogCsvFile(db, *statements, path, LogFilter()).ok());
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
#ifdef Q_OS_WIN
    const QString lineEnd = QStringLiteral("\r\n");
#else
    const QString lineEnd = QStringLiteral("\n");
#endif
    const QString line = QStringLiteral("\"2024-03-15 13:45:30\";\"Информация\";\"Пуск\"") + lineEnd;
    const CsvEncoding encoding = systemCsvEncoding();
    QCOMPARE(encoding.codec == systemCodec(), !encoding.byteOrderMark);
    QCOMPARE(file.readAll(),
             (encoding.byteOrderMark ? QByteArray("\xEF\xBB\xBF") : QByteArray()) + encoding.codec->fromUnicode(line));
}

void tst_CsvExport::emptyLogWritesNothing()
{
    QCOMPARE(exportAll(), QByteArray());
    // An empty log is no error.
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    const StoreStatus written = writeFileCsv(db, buffer);
    QVERIFY(written.ok());
    QCOMPARE(written.error().text, QString());
}

void tst_CsvExport::failedQueryWritesNothing()
{
    QSqlQuery(db).exec(QStringLiteral("DROP TABLE Log"));
    QCOMPARE(exportAll(), QByteArray());

    // The caller learns why: a failed query is an error, not an empty log.
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    const StoreStatus written = writeFileCsv(db, buffer);
    QVERIFY(!written.ok());
    QVERIFY2(written.error().text.contains(QStringLiteral("no such table: Log")), qPrintable(written.error().text));
    QCOMPARE(written.error().kind, StoreError::Kind::NotALog);
    QCOMPARE(buffer.data(), QByteArray());
}

void tst_CsvExport::writeFailureIsReported()
{
    QCOMPARE(addCaption(db, 1, QStringLiteral("Пуск")), QString());
    QCOMPARE(addRecord(db, 1, 0, QByteArray()), QString());
    QBuffer readOnly;
    readOnly.open(QIODevice::ReadOnly);
    QTest::ignoreMessage(QtWarningMsg, "QIODevice::write (QBuffer): ReadOnly device");
    const StoreStatus written = writeFileCsv(db, readOnly);
    QVERIFY(!written.ok());
    QCOMPARE(written.error().kind, StoreError::Kind::Io);
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
    const StoreStatus written = writeFileCsv(db, buffer, filter);
    QVERIFY2(written.ok(), qPrintable(written.error().text));
    QCOMPARE(CsvFixture::withNewlines(buffer.data()), expected);
    if (filter.isEmpty())
        QCOMPARE(CsvFixture::withNewlines(buffer.data()), exportAll());
}

void tst_CsvExport::filterOnAFileThatIsNoLog()
{
    QSqlQuery(db).exec(QStringLiteral("DROP TABLE Events"));
    LogFilter filter;
    filter.types = 0b0001;
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    const StoreStatus written = writeFileCsv(db, buffer, filter);
    QVERIFY(!written.ok());
    QVERIFY2(written.error().text.contains(QStringLiteral("no such table: Events")), qPrintable(written.error().text));
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
    QCOMPARE(CsvFixture::withNewlines(buffer.data()), lines[1] + '\n' + lines[2] + '\n');
    // Nothing new: nothing written, and the same row id.
    QCOMPARE(log.value()->writeCsvAfter(buffer, 3).value(), qint64(3));
    QCOMPARE(CsvFixture::withNewlines(buffer.data()).count('\n'), 2);
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

// The export read a batch of records at a time gives the lines of the log view query,
// one per row, whatever the batches: made here from the query's rows.
void tst_CsvExport::everyRecordInItsOrder_data()
{
    QTest::addColumn<int>("records");
    QTest::addColumn<bool>("foreign");
    QTest::newRow("one") << 1 << false;
    QTest::newRow("a batch less one") << 1023 << false;
    QTest::newRow("a batch") << 1024 << false;
    QTest::newRow("a batch and one") << 1025 << false;
    QTest::newRow("several batches") << 3000 << false;
    QTest::newRow("another program's table") << 0 << true;
}

void tst_CsvExport::everyRecordInItsOrder()
{
    QFETCH(int, records);
    QFETCH(bool, foreign);
    quint32 clock = March15th2024;
    QCOMPARE(SampleLog::addCaptions(db), QString());
    QCOMPARE(SampleLog::addRecords(db, records, 3, &clock), QString());
    if (foreign)
        QCOMPARE(SampleLog::makeForeignLog(db), QString());
    // Ids with a gap, as another program's deletion leaves them.
    QSqlQuery(db).exec(QStringLiteral("DELETE FROM Log WHERE id BETWEEN 500 AND 1600"));
    static const char *const names[] = {"Информация", "Предупреждение", "Ошибка", "Изменение"};
    QByteArray expected;
    QSqlQuery rows(db);
    QVERIFY(rows.exec(LogViewSql));
    while (rows.next()) {
        QString message = rows.value(2).isNull() ? QStringLiteral("Неизвестное событие")
                                                 : formatCaption(rows.value(2).toString(), rows.value(3).toByteArray());
        message.replace(QLatin1Char('"'), QLatin1String("\"\""));
        expected += '"' + rows.value(1).toString().toLocal8Bit() + "\";\""
            + QString::fromUtf8(names[recordTypeIndex(rows.value(0))]).toLocal8Bit() + "\";\"" + message.toLocal8Bit()
            + "\"\n";
    }
    QVERIFY(!expected.isEmpty());
    QCOMPARE(exportAll(), expected);
}

// Captions of a million characters and data of megabytes: every line whole, with a text
// condition too (matched by the start of each message, as the table shows it).
void tst_CsvExport::hostileLogWrittenWhole_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("every");
    QTest::newRow("no filter") << QString() << 1;
    QTest::newRow("the long caption's start") << QStringLiteral("жжж") << 2;
    QTest::newRow("the long data's start") << QStringLiteral("данные aaa") << 2;
}

void tst_CsvExport::hostileLogWrittenWhole()
{
    QFETCH(QString, text);
    QFETCH(int, every);
    db.close();
    const QString path = dir->filePath(QStringLiteral("hostile.db"));
    // Two records of data fill a batch: the batches are cut by size too.
    HostileLog::Shape shape;
    shape.records = 5;
    shape.dataBytes = 4 * 1024 * 1024;
    shape.captionChars = 1000000;
    QCOMPARE(HostileLog::make(path, shape), QString());
    db.setDatabaseName(path);
    QVERIFY(db.open());
    LogFilter filter;
    filter.text = text;
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly | QIODevice::Text);
    const StoreStatus written = writeFileCsv(db, buffer, filter);
    QVERIFY2(written.ok(), qPrintable(written.error().text));
    const QList<QByteArray> all = HostileLog::expectedCsv(shape).split('\n');
    QByteArray expected;
    for (int line = 0; line + 1 < all.size(); ++line) {
        const bool longCaption = line % 2 == 0;
        if (every == 1 || longCaption == text.startsWith(QChar(0x0436)))
            expected += all[line] + '\n';
    }
    QVERIFY(CsvFixture::withNewlines(buffer.data()) == expected);
}

void tst_CsvExport::progressAndCancel()
{
    quint32 clock = March15th2024;
    QCOMPARE(SampleLog::addCaptions(db), QString());
    QCOMPARE(SampleLog::addRecords(db, 2500, 9, &clock), QString());
    const LogViewStatements statements = LogViewStatements::ofLogFile(db).value();
    // Told after every line; stopped when the answer is no.
    QVector<qint64> told;
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly | QIODevice::Text);
    const StoreStatus written = writeLogCsv(db, statements, buffer, LogFilter(), [&told](qint64 lines) {
        told.append(lines);
        return lines < 1500;
    });
    QVERIFY(!written.ok());
    QCOMPARE(written.error().kind, StoreError::Kind::Cancelled);
    QCOMPARE(told.size(), 1500);
    QCOMPARE(told.first(), 1);
    QCOMPARE(told.last(), 1500);
    QCOMPARE(CsvFixture::withNewlines(buffer.data()),
             exportAll().left(int(CsvFixture::withNewlines(buffer.data()).size())));
    QCOMPARE(CsvFixture::withNewlines(buffer.data()).count('\n'), 1500);
}

// The window's export writes beside the chosen file and replaces it only at the end.
void tst_CsvExport::replacedOnlyWhenWrittenWhole_data()
{
    QTest::addColumn<QByteArray>("before"); // null: no file
    QTest::addColumn<bool>("succeeds");
    QTest::newRow("new, written") << QByteArray() << true;
    QTest::newRow("new, failed") << QByteArray() << false;
    QTest::newRow("replaced") << QByteArray("old lines\n") << true;
    QTest::newRow("kept") << QByteArray("old lines\n") << false;
}

void tst_CsvExport::replacedOnlyWhenWrittenWhole()
{
    QFETCH(QByteArray, before);
    QFETCH(bool, succeeds);
    QTemporaryDir target;
    const QString csv = QDir(target.path()).filePath(QStringLiteral("журнал.csv"));
    if (!before.isNull()) {
        QFile old(csv);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write(before);
    }
    bool sawOld = false;
    const bool written = replaceCsvFile(csv, [&](QIODevice &out) {
        // The chosen file is as it was while the lines are written.
        QFile meanwhile(csv);
        sawOld = before.isNull() ? !meanwhile.exists()
                                 : meanwhile.open(QIODevice::ReadOnly) && meanwhile.readAll() == before;
        out.write("\"новое\"\n");
        return succeeds;
    });
    QCOMPARE(written, succeeds);
    QVERIFY(sawOld);
    QFile after(csv);
    if (succeeds) {
        QVERIFY(after.open(QIODevice::ReadOnly));
        // The file is written as text: its lines end in CR LF on Windows.
        QCOMPARE(CsvFixture::withNewlines(after.readAll()), QByteArray("\"новое\"\n"));
    } else if (before.isNull()) {
        QVERIFY(!after.exists());
    } else {
        QVERIFY(after.open(QIODevice::ReadOnly));
        QCOMPARE(after.readAll(), before);
    }
    // Nothing else left in the folder.
    QCOMPARE(QDir(target.path()).entryList(QDir::Files | QDir::Hidden).size(), after.exists() ? 1 : 0);
}

namespace {

QByteArray fileContent(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? CsvFixture::withNewlines(file.readAll()) : QByteArray("no file");
}

// The single export of the log file at `path` with `filter`.
QByteArray singleExport(const QString &path, const QString &csv, const LogFilter &filter)
{
    if (auto log = OpenLog::open(LogLocation::file(path), OpenLog::Purpose::Read)) {
        const StoreStatus exported = log.value()->exportCsv(csv, filter);
        if (!exported)
            return "export failed: " + exported.error().text.toUtf8();
    }
    return fileContent(csv);
}

} // namespace

// Three devices whose times overlap (and share seconds), each over more than one batch
// of the reader: the merged export is the merge by hand of their single exports, with
// any filter; with one device it is that device's export, byte for byte. A device whose
// clock was set back keeps its own order.
void tst_CsvExport::mergedLogs_data()
{
    QTest::addColumn<LogFilter>("filter");
    QTest::addColumn<int>("devices");
    QTest::addColumn<bool>("setBack");

    LogFilter none, types, span, text, all;
    types.types = 0b0110;
    span.from = QDateTime(QDate(2024, 3, 15), QTime(13, 55), Qt::UTC);
    span.to = QDateTime(QDate(2024, 3, 15), QTime(14, 10, 30), Qt::UTC);
    text.text = QStringLiteral("НАСОС 2");
    all = span;
    all.types = 0b1001;
    all.text = QStringLiteral("^(насос|уставка) [0-9]");
    all.regex = true;
    QTest::newRow("three devices") << none << 3 << false;
    QTest::newRow("three devices, types") << types << 3 << false;
    QTest::newRow("three devices, span of time") << span << 3 << false;
    QTest::newRow("three devices, text") << text << 3 << false;
    QTest::newRow("three devices, every filter") << all << 3 << false;
    QTest::newRow("one device") << none << 1 << false;
    QTest::newRow("one device, every filter") << all << 1 << false;
    QTest::newRow("a clock set back") << none << 3 << true;
}

void tst_CsvExport::mergedLogs()
{
    QFETCH(LogFilter, filter);
    QFETCH(int, devices);
    QFETCH(bool, setBack);
    const QVector<StationLogs::Device> station = StationLogs::threeDevices();
    QStringList paths;
    QList<QPair<QString, QByteArray>> singles;
    for (int d = 0; d < devices; ++d) {
        const QString path = dir->filePath(QStringLiteral("станция/%1.db").arg(station[d].name));
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        QCOMPARE(
            StationLogs::makeLogFile(path, station[d].records, quint32(d + 7), station[d].start, setBack && d == 0),
            QString());
        paths << path;
        singles << qMakePair(station[d].name,
                             singleExport(path, dir->filePath(QStringLiteral("single-%1.csv").arg(d)), filter));
        QVERIFY2(!singles.last().second.startsWith("export failed"), singles.last().second.constData());
    }
    const StoreResult<std::unique_ptr<MergedLogs>> merged = MergedLogs::openFiles(paths, OpenLogSettings());
    QVERIFY2(merged.ok(), qPrintable(merged.error().text));
    QStringList names;
    for (const auto &single : singles)
        names << single.first;
    QCOMPARE(merged.value()->names(), names);
    const QString csv = dir->filePath(QStringLiteral("merged.csv"));
    const StoreStatus exported = merged.value()->exportCsv(csv, filter);
    QVERIFY2(exported.ok(), qPrintable(exported.error().text));
    const QByteArray written = fileContent(csv);

    if (devices == 1) {
        QCOMPARE(written, singles.first().second);
        return;
    }
    int lines = 0;
    for (const auto &[name, single] : singles) {
        lines += single.count('\n');
        QCOMPARE(StationLogs::linesOf(written, name), single);
    }
    QCOMPARE(int(written.count('\n')), lines);
    if (filter.isEmpty())
        QCOMPARE(lines, 1500 + 800 + 2600);
    else
        QVERIFY(lines > 0);
    // The clock set back puts that device's later records before the others' earlier
    // ones: no sort by time could keep them in order.
    if (!setBack)
        QCOMPARE(written, StationLogs::mergedByHand(singles));
}

// The device's name is quoted like the other fields, its double quotes doubled; a
// semicolon stays inside the quotes.
void tst_CsvExport::mergedDeviceNameIsAField()
{
    QCOMPARE(SampleLog::addCaptions(db), QString());
    QCOMPARE(addRecord(db, 2, 1, QByteArray(), March15th2024 + 1), QString());
    const QString other = dir->filePath(QStringLiteral("other.db"));
    QCOMPARE(StationLogs::makeLogFile(other, 1, 1, March15th2024), QString());
    QSqlDatabase second = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("second"));
    second.setDatabaseName(other);
    QVERIFY(second.open());
    {
        const std::vector<MergedLog> logs = {
            {QStringLiteral("Насос \"А\"; левый"), db, *LogViewStatements::ofLogFile(db)},
            {QStringLiteral("Ввод"), second, *LogViewStatements::ofLogFile(second)},
        };
        QBuffer buffer;
        buffer.open(QIODevice::WriteOnly | QIODevice::Text);
        const StoreStatus written = writeMergedLogCsv(logs, buffer, LogFilter());
        QVERIFY(written.ok());
        const QList<QByteArray> lines = CsvFixture::withNewlines(buffer.data()).split('\n');
        QCOMPARE(lines.size(), 3);
        QVERIFY2(lines[0].startsWith(QStringLiteral("\"Ввод\";\"2024-03-15 13:45:3").toLocal8Bit()),
                 lines[0].constData());
        QCOMPARE(lines[1],
                 QStringLiteral("\"Насос \"\"А\"\"; левый\";\"2024-03-15 13:45:31\";\"Предупреждение\";"
                                "\"Включение питания\"")
                     .toLocal8Bit());
    }
    second.close();
    second = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("second"));
}

// The time texts of the log view query in the order of a merge.
void tst_CsvExport::mergedTimeOrder_data()
{
    QTest::addColumn<QString>("earlier");
    QTest::addColumn<QString>("later");
    QTest::newRow("a second") << "2024-03-15 13:45:30"
                              << "2024-03-15 13:45:31";
    QTest::newRow("a new year") << "2023-12-31 23:59:59"
                                << "2024-01-01 00:00:00";
    QTest::newRow("no time first") << ""
                                   << "0000-01-01 00:00:00";
    QTest::newRow("before year 0") << "-0001-12-31 23:59:59"
                                   << "0000-01-01 00:00:00";
    QTest::newRow("further before year 0") << "-4713-11-24 12:00:00"
                                           << "-0001-01-01 00:00:00";
    QTest::newRow("in a year before 0") << "-0001-01-01 00:00:00"
                                        << "-0001-02-01 00:00:00";
}

void tst_CsvExport::mergedTimeOrder()
{
    QFETCH(QString, earlier);
    QFETCH(QString, later);
    QVERIFY(mergedTimeBefore(earlier, later));
    QVERIFY(!mergedTimeBefore(later, earlier));
    QVERIFY(!mergedTimeBefore(later, later));
}

// Every log is opened and checked before a line is written: one that cannot be read
// names itself, and the CSV file is not made.
void tst_CsvExport::mergedLogsThatCannotBeRead_data()
{
    QTest::addColumn<QString>("second"); // "none": no file, "text": no database, "dropped": Log gone after opening
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("message");
    QTest::newRow("no such file") << "none" << int(StoreError::Kind::NotFound) << "Не удается найти файл";
    QTest::newRow("not a database") << "text" << int(StoreError::Kind::NotALog) << "file is not a database";
    QTest::newRow("records gone once opened") << "dropped" << int(StoreError::Kind::NotALog) << "no such table";
}

void tst_CsvExport::mergedLogsThatCannotBeRead()
{
    QFETCH(QString, second);
    QFETCH(int, kind);
    QFETCH(QString, message);
    const QStringList paths = {dir->filePath(QStringLiteral("a.db")), dir->filePath(QStringLiteral("b.db")),
                               dir->filePath(QStringLiteral("c.db"))};
    for (const QString &path : paths) {
        if (path != paths[1] || second == QLatin1String("dropped"))
            QCOMPARE(StationLogs::makeLogFile(path, 10, 3, March15th2024), QString());
    }
    if (second == QLatin1String("text")) {
        QFile text(paths[1]);
        QVERIFY(text.open(QIODevice::WriteOnly));
        text.write("Журнал смены\n");
    }
    const QString csv = dir->filePath(QStringLiteral("merged.csv"));
    QString failedPath;
    StoreStatus result = Failure(StoreError());
    StoreResult<std::unique_ptr<MergedLogs>> merged = MergedLogs::openFiles(paths, OpenLogSettings(), &failedPath);
    if (merged) {
        QCOMPARE(second, QStringLiteral("dropped"));
        QVERIFY(fileExec(paths[1], QStringLiteral("DROP TABLE Log")));
        int failedLog = -1;
        result = merged.value()->exportCsv(csv, LogFilter(), &failedLog);
        QCOMPARE(failedLog, 1);
        failedPath = merged.value()->place(failedLog);
    } else {
        result = Failure(merged.error());
    }
    QVERIFY(!result.ok());
    QCOMPARE(int(result.error().kind), kind);
    QVERIFY2(result.error().text.contains(message), qPrintable(result.error().text));
    QCOMPARE(failedPath, paths[1]);
    QVERIFY(!QFile::exists(csv));
}

QTEST_GUILESS_MAIN(tst_CsvExport)
#include "tst_csvexport.moc"
