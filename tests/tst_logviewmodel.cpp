// The log table's model: what each cell shows for the records of a log file, row by
// row against the log view query, with filters, appended records, go-to-time and files
// that are no log files.

#include "logview/logviewmodel.h"

#include "logaccess/logmessages.h"
#include "logaccess/mergedlogfile.h"
#include "logaccess/mergedlogs.h"
#include "messagetext/captionformat.h"
#include "messagetext/recordtypes.h"

#include "tests/support/logfixture.h"
#include "tests/support/notlogfiles.h"
#include "tests/support/samplelog.h"
#include "tests/support/stationlogs.h"

#include <QColor>
#include <QImage>
#include <QPixmap>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSqlDriver>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

using namespace LogFixture;
using namespace SampleLog;

namespace {

const QString WorkedCaption = QStringLiteral("Канал #u: #`Норма``Авария`e, температура #+3.1I °C, код #4X, время #d");
const QByteArray WorkedData = QByteArray::fromHex("0201FA00AB007A0D872D");
const QString WorkedMessage = QStringLiteral(
    "Канал 2: Авария, температура +025.0 °C, код 00AB, время 15.03.2024 13:45:30");

// A pixmap holds its pixels premultiplied, and converting them back rounds: pictures are
// compared in that form, or a half-transparent edge would differ by one step.
QImage image(const QVariant &pixmap)
{
    return pixmap.value<QPixmap>().toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

QImage resource(const char *path)
{
    return QImage(QString::fromLatin1(path)).convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

// A wall-clock time of the device, as the table shows it.
QDateTime at(const char *text)
{
    const QString time = QString::fromLatin1(text);
    return QDateTime(QDate::fromString(time.left(10), QStringLiteral("yyyy-MM-dd")),
                     QTime::fromString(time.mid(11), QStringLiteral("HH:mm:ss")), Qt::UTC);
}

// A log file read as a server's device is: on a connection of its own that the view
// hands to a thread of its own, every step answered later.
class ThreadedFileSource final : public LogSource
{
public:
    explicit ThreadedFileSource(const QString &path)
    {
        connection = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), Name);
        connection.setDatabaseName(path);
        connection.open();
        known = LogViewStatements::ofLogFile(connection);
        // The background passes open the file read-only, as a file's do.
        readersOfFile = LogFileSource(Name).readers();
    }
    ~ThreadedFileSource() override
    {
        connection.close();
        connection = QSqlDatabase();
        QSqlDatabase::removeDatabase(Name);
    }

    QSqlDatabase database() const override { return connection; }
    StoreResult<LogViewStatements> statements() const override { return known; }
    LogReaderFactory readers() const override { return readersOfFile; }
    bool readsInPlace() const override { return false; }
    void moveToThread(QThread *thread) override { connection.driver()->moveToThread(thread); }

private:
    static constexpr const char *Name = "threaded-view";
    QSqlDatabase connection;
    StoreResult<LogViewStatements> known = LogViewStatements(true);
    LogReaderFactory readersOfFile;
};

// Every cell's display text, row by row, once the rows are read (a threaded source's
// come a page at a time); empty when they do not come.
QStringList shownCells(const LogViewModel &model)
{
    QStringList cells;
    for (int row = 0; row < model.rowCount(); ++row) {
        if (!QTest::qWaitFor([&] { return model.data(model.index(row, 1)).isValid(); }, 20000))
            return {};
        QStringList columns;
        for (int column = 0; column < model.columnCount(); ++column)
            columns << model.data(model.index(row, column)).toString();
        cells << columns.join(QLatin1Char('|'));
    }
    return cells;
}

// Every cell of every row in a shuffled order, so that pages are read, dropped and read
// again; empty when the model shows exactly `expected`, else the first difference.
QString compareRows(const LogViewModel &model, const QList<ExpectedRow> &expected)
{
    if (model.rowCount() != expected.size())
        return QStringLiteral("%1 rows instead of %2").arg(model.rowCount()).arg(expected.size());
    if (model.columnCount() != 4)
        return QStringLiteral("%1 columns").arg(model.columnCount());
    QImage icons[RecordTypeCount];
    for (int type = 0; type < RecordTypeCount; ++type)
        icons[type] = resource(RecordTypeIconPaths[type]);
    QVector<int> order(expected.size());
    std::iota(order.begin(), order.end(), 0);
    std::shuffle(order.begin(), order.end(), std::mt19937(7));
    for (const int row : order) {
        const ExpectedRow &want = expected[row];
        const QString where = QStringLiteral("row %1: ").arg(row);
        if (model.data(model.index(row, 0), Qt::EditRole) != want.type)
            return where + QStringLiteral("type %1").arg(model.data(model.index(row, 0), Qt::EditRole).toString());
        if (model.data(model.index(row, 0)) != QVariant(QString()))
            return where + QStringLiteral("type column shows text");
        if (image(model.data(model.index(row, 0), Qt::DecorationRole)) != icons[recordTypeIndex(want.type)])
            return where + QStringLiteral("icon");
        if (model.data(model.index(row, 1)).toString() != want.time.toString()
            || model.data(model.index(row, 1)).isNull() != want.time.isNull())
            return where + QStringLiteral("time %1").arg(model.data(model.index(row, 1)).toString());
        if (model.data(model.index(row, 2)).toString() != want.message)
            return where
                + QStringLiteral("message \"%1\" instead of \"%2\"")
                      .arg(model.data(model.index(row, 2)).toString(), want.message);
        if (model.data(model.index(row, 2), Qt::EditRole) != want.caption)
            return where + QStringLiteral("caption");
        const QVariant background = model.data(model.index(row, 2), Qt::BackgroundRole);
        if (want.caption.isNull() ? background.value<QColor>() != QColor(Qt::red) : background.isValid())
            return where + QStringLiteral("background");
        if (model.data(model.index(row, 3)).toByteArray() != want.data.left(4096))
            return where + QStringLiteral("data");
    }
    return QString();
}

// The rows a model shows once they are all found, each as "device|time|message": the
// device `device`, or with `device` empty, the model's first column.
QStringList shownRecords(LogViewModel &model, const QString &device = QString())
{
    if (!QTest::qWaitFor([&] { return !model.isScanning(); }, 20000))
        return {QStringLiteral("still scanning")};
    const int first = device.isEmpty() ? 1 : 0;
    QStringList rows;
    for (int row = 0; row < model.rowCount(); ++row) {
        rows << QStringList({device.isEmpty() ? model.data(model.index(row, 0)).toString() : device,
                             model.data(model.index(row, first + 1)).toString(),
                             model.data(model.index(row, first + 2)).toString()})
                    .join(QLatin1Char('|'));
    }
    return rows;
}

// A log file open on a connection of its own, named `name`, as long as the object lives.
struct NamedConnection {
    NamedConnection(const QString &name, const QString &path) : name(name)
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        db.open();
    }
    ~NamedConnection()
    {
        QSqlDatabase::database(name, false).close();
        QSqlDatabase::removeDatabase(name);
    }
    NamedConnection(const NamedConnection &) = delete;
    NamedConnection &operator=(const NamedConnection &) = delete;
    QString name;
};

} // namespace

class tst_LogViewModel : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void emptyLogStillHasHeaders();
    void typeIcons_data();
    void typeIcons();
    void typeColumnShowsNoText();
    void messages_data();
    void messages();
    void rowsInStoredOrder();

    void sameRowsAsTheViewQuery_data();
    void sameRowsAsTheViewQuery();
    void filters_data();
    void filters();
    void typeRuleInSqlAndInTheTable_data();
    void typeRuleInSqlAndInTheTable();
    void filterChangesWhileScanning();
    void appendedRecordsArriveAtTheEnd();
    void recordsAppendedDuringAScan();
    void changedCaptionsAreShownAndSearched();
    void locateTime_data();
    void locateTime();
    void filesThatAreNoLogFiles_data();
    void filesThatAreNoLogFiles();
    void foreignLogTable_data();
    void foreignLogTable();
    void longDataIsShownByItsFirstPart();
    void longMessagesAreShownByTheirStart_data();
    void longMessagesAreShownByTheirStart();
    void searchSeesTheStartOfALongMessage();
    void threadedSourceShowsWhatInPlaceShows();
    void closedLogShowsNothing();
    void tableDroppedBehindTheToolsBack();
    void mergedLogOfThreeDevices_data();
    void mergedLogOfThreeDevices();

private:
    void showLog() { model->reload(); }
    void waitForRows() { QTRY_VERIFY_WITH_TIMEOUT(!model->isScanning(), 20000); }
    void fillSample(int records, quint32 seed = 1);

    QTemporaryDir *dir = nullptr;
    QSqlDatabase db;
    LogViewModel *model = nullptr;
    quint32 clock = March15th2024;
};

void tst_LogViewModel::init()
{
    dir = new QTemporaryDir;
    db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    QVERIFY(createLogFile(db, dir->filePath(QStringLiteral("log.db"))).ok());
    model = new LogViewModel;
    clock = March15th2024;
}

void tst_LogViewModel::cleanup()
{
    delete model;
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
    delete dir;
}

void tst_LogViewModel::fillSample(int records, quint32 seed)
{
    QCOMPARE(SampleLog::addCaptions(db), QString());
    QCOMPARE(SampleLog::addRecords(db, records, seed, &clock), QString());
}

void tst_LogViewModel::emptyLogStillHasHeaders()
{
    showLog();
    QCOMPARE(model->rowCount(), 0);
    QCOMPARE(model->columnCount(), 4);
    QCOMPARE(model->headerData(0, Qt::Horizontal), QVariant(QStringLiteral("Тип")));
    QCOMPARE(model->headerData(1, Qt::Horizontal), QVariant(QStringLiteral("Время")));
    QCOMPARE(model->headerData(2, Qt::Horizontal), QVariant(QStringLiteral("Сообщение")));
    QVERIFY(!model->headerData(3, Qt::Horizontal).isValid());
    QVERIFY(!model->headerData(0, Qt::Horizontal, Qt::ToolTipRole).isValid());
    // Rows are numbered from 0.
    QCOMPARE(model->headerData(0, Qt::Vertical), QVariant(0));
    QCOMPARE(model->headerData(41, Qt::Vertical), QVariant(41));
}

void tst_LogViewModel::typeIcons_data()
{
    QTest::addColumn<QVariant>("storedType");
    QTest::addColumn<QString>("icon");
    const QString info = QStringLiteral(":/new/prefix/Resources/Icons/Basic/16x16/info.png");
    QTest::newRow("0 information") << QVariant(0) << info;
    QTest::newRow("1 warning") << QVariant(1) << QStringLiteral(":/new/prefix/Resources/Icons/Basic/16x16/warning.png");
    QTest::newRow("2 error") << QVariant(2)
                             << QStringLiteral(":/new/prefix/Resources/Icons/Basic/16x16/delete_button_error.png");
    QTest::newRow("3 change") << QVariant(
        3) << QStringLiteral(":/new/prefix/Resources/Icons/Industry/16x16/manufacturing_process_1_gear-edit.png");
    QTest::newRow("4 unknown") << QVariant(4) << info;
    QTest::newRow("255 unknown") << QVariant(255) << info;
    QTest::newRow("negative") << QVariant(-1) << info;
    QTest::newRow("not a number") << QVariant(QStringLiteral("авария")) << info;
}

void tst_LogViewModel::typeIcons()
{
    QFETCH(QVariant, storedType);
    QFETCH(QString, icon);
    QCOMPARE(addCaption(db, 1, QStringLiteral("Пуск")), QString());
    QCOMPARE(addRecord(db, 1, storedType, QByteArray()), QString());
    showLog();
    QCOMPARE(model->rowCount(), 1);
    QCOMPARE(image(model->data(model->index(0, 0), Qt::DecorationRole)), resource(qPrintable(icon)));
}

void tst_LogViewModel::typeColumnShowsNoText()
{
    QCOMPARE(addRecord(db, 1, 2, QByteArray()), QString());
    showLog();
    const QVariant display = model->data(model->index(0, 0), Qt::DisplayRole);
    QVERIFY(display.isValid());
    QCOMPARE(display.toString(), QString());
    QCOMPARE(model->data(model->index(0, 0), Qt::EditRole).toInt(), 2);
    QCOMPARE(model->data(model->index(0, 1)).toString(), QStringLiteral("2024-03-15 13:45:30"));
}

void tst_LogViewModel::messages_data()
{
    QTest::addColumn<QVariant>("caption"); // stored under event 1, type 0; invalid: no caption row
    QTest::addColumn<int>("captionType");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("message");
    QTest::addColumn<bool>("red");

    QTest::newRow("rendered") << QVariant(WorkedCaption) << 0 << WorkedData << WorkedMessage << false;
    QTest::newRow("plain text") << QVariant(QStringLiteral("Пуск")) << 0 << QByteArray("\x01", 1)
                                << QStringLiteral("Пуск") << false;
    QTest::newRow("no data bytes") << QVariant(QStringLiteral("Уставка #u")) << 0 << QByteArray()
                                   << QStringLiteral("Уставка Ошибка данных") << false;
    QTest::newRow("empty caption") << QVariant(QStringLiteral("")) << 0 << WorkedData << QString() << false;
    QTest::newRow("no caption") << QVariant() << 0 << WorkedData << QStringLiteral("Неизвестное событие") << true;
    QTest::newRow("caption of another type")
        << QVariant(QStringLiteral("Пуск")) << 1 << WorkedData << QStringLiteral("Неизвестное событие") << true;
}

void tst_LogViewModel::messages()
{
    QFETCH(QVariant, caption);
    QFETCH(int, captionType);
    QFETCH(QByteArray, data);
    QFETCH(QString, message);
    QFETCH(bool, red);

    if (caption.isValid())
        QCOMPARE(addCaption(db, 1, caption, captionType), QString());
    QCOMPARE(addRecord(db, 1, 0, data), QString());
    showLog();

    const QModelIndex cell = model->index(0, 2);
    QCOMPARE(model->data(cell).toString(), message);
    const QVariant background = model->data(cell, Qt::BackgroundRole);
    if (red)
        QCOMPARE(background.value<QColor>(), QColor(Qt::red));
    else
        QVERIFY(!background.isValid());
    QCOMPARE(model->data(cell).toString(), message);
}

void tst_LogViewModel::rowsInStoredOrder()
{
    QCOMPARE(addCaption(db, 1, QStringLiteral("Запись #u")), QString());
    // Indexes out of order on purpose: the table keeps the order of arrival.
    for (quint8 n : {3, 1, 2})
        QCOMPARE(addRecord(db, 1, 0, QByteArray(1, char(n)), March15th2024 + n, n), QString());
    showLog();
    QStringList shown;
    for (int row = 0; row < model->rowCount(); ++row)
        shown << model->data(model->index(row, 2)).toString();
    QCOMPARE(shown, QStringList({"Запись 3", "Запись 1", "Запись 2"}));
}

void tst_LogViewModel::sameRowsAsTheViewQuery_data()
{
    QTest::addColumn<int>("records");
    QTest::addColumn<int>("deleteEvery"); // 0: the ids have no gaps

    QTest::newRow("one page") << 100 << 0;
    QTest::newRow("more pages than the cache holds") << 6000 << 0;
    QTest::newRow("ids with gaps") << 6000 << 7;
    QTest::newRow("every other record deleted") << 1000 << 2;
}

void tst_LogViewModel::sameRowsAsTheViewQuery()
{
    QFETCH(int, records);
    QFETCH(int, deleteEvery);
    fillSample(records);
    if (deleteEvery != 0)
        QCOMPARE(SampleLog::deleteEvery(db, deleteEvery), QString());
    const QList<ExpectedRow> expected = viewQueryRows(db);

    showLog();
    // The count is known at once, and so are the first and the last rows.
    QCOMPARE(model->rowCount(), expected.size());
    QCOMPARE(model->totalRecords(), expected.size());
    QCOMPARE(model->data(model->index(0, 2)).toString(), expected.first().message);
    QCOMPARE(model->data(model->index(expected.size() - 1, 2)).toString(), expected.last().message);
    waitForRows();
    QCOMPARE(compareRows(*model, expected), QString());
}

void tst_LogViewModel::filters_data()
{
    QTest::addColumn<LogFilter>("filter");

    const auto types = [](int bits) {
        LogFilter filter;
        filter.types = bits;
        return filter;
    };
    const auto text = [](const QString &value, bool regex = false) {
        LogFilter filter;
        filter.text = value;
        filter.regex = regex;
        return filter;
    };
    LogFilter from, to, span, empty, combined;
    from.from = at("2024-03-16 00:00:00");
    to.to = at("2024-03-16 00:00:00");
    span.from = at("2024-03-15 18:00:00");
    span.to = at("2024-03-16 06:30:15");
    empty.from = at("2024-03-16 00:00:00");
    empty.to = at("2024-03-15 00:00:00");
    combined = span;
    combined.types = 0b0110;
    combined.text = QStringLiteral("НАСОС");

    QTest::newRow("information, with the unknown codes") << types(0b0001);
    QTest::newRow("warnings and errors") << types(0b0110);
    QTest::newRow("change") << types(0b1000);
    QTest::newRow("no type") << types(0);
    QTest::newRow("from") << from;
    QTest::newRow("to") << to;
    QTest::newRow("from and to") << span;
    QTest::newRow("from after to") << empty;
    QTest::newRow("text, any case") << text(QStringLiteral("пуск"));
    QTest::newRow("text with capitals in the caption") << text(QStringLiteral("дверь"));
    QTest::newRow("text of a field") << text(QStringLiteral("admin"));
    QTest::newRow("text of an error word") << text(QStringLiteral("ошибка данных"));
    QTest::newRow("unknown event") << text(QStringLiteral("неизвестное"));
    QTest::newRow("text nowhere") << text(QStringLiteral("нет такого"));
    QTest::newRow("text with regex characters, not a regex") << text(QStringLiteral("А,"));
    QTest::newRow("regular expression") << text(QStringLiteral("^насос [12]:"), true);
    QTest::newRow("regular expression with \\w") << text(QStringLiteral("\\bвошёл\\b"), true);
    QTest::newRow("invalid regular expression filters nothing") << text(QStringLiteral("насос ("), true);
    QTest::newRow("type, time and text") << combined;
}

void tst_LogViewModel::filters()
{
    QFETCH(LogFilter, filter);
    fillSample(3000);
    const QList<ExpectedRow> expected = expectedRows(db, filter);
    showLog();
    QSignalSpy finished(model, &LogViewModel::scanFinished);
    QSignalSpy changed(model, &LogViewModel::filterChanged);
    model->setFilter(filter);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.first().first().value<LogFilter>(), filter);
    waitForRows();
    QCOMPARE(model->rowCount(), expected.size());
    QCOMPARE(compareRows(*model, expected), QString());
    QCOMPARE(model->totalRecords(), 3000);

    // Cleared, the whole log is back.
    model->setFilter(LogFilter());
    waitForRows();
    QCOMPARE(compareRows(*model, viewQueryRows(db)), QString());
}

void tst_LogViewModel::typeRuleInSqlAndInTheTable_data()
{
    QTest::addColumn<QString>("stored"); // an SQL literal, in a column without type
    QTest::addColumn<int>("typeIndex");

    QTest::newRow("0") << "0" << 0;
    QTest::newRow("2") << "2" << 2;
    QTest::newRow("3") << "3" << 3;
    QTest::newRow("4") << "4" << 0;
    QTest::newRow("-1") << "-1" << 0;
    QTest::newRow("2 plus 2^32, no wrap") << "4294967298" << 0;
    QTest::newRow("largest") << "9223372036854775807" << 0;
    QTest::newRow("real 3.0") << "3.0" << 3;
    QTest::newRow("real 2.5, not rounded") << "2.5" << 0;
    QTest::newRow("real -0.0") << "-0.0" << 0;
    QTest::newRow("text 2") << "'2'" << 2;
    QTest::newRow("text with blanks") << "' 2\t'" << 2;
    QTest::newRow("text with plus and zeros") << "'+0003'" << 3;
    QTest::newRow("text zeros") << "'000'" << 0;
    QTest::newRow("text two signs") << "'++1'" << 0;
    QTest::newRow("text negative") << "'-1'" << 0;
    QTest::newRow("text real") << "'2.0'" << 0;
    QTest::newRow("text hexadecimal") << "'0x2'" << 0;
    QTest::newRow("text word") << "'авария'" << 0;
    QTest::newRow("text empty") << "''" << 0;
    QTest::newRow("bytes of a 1") << "x'31'" << 1;
    QTest::newRow("byte 1") << "x'01'" << 0;
    QTest::newRow("NULL") << "NULL" << 0;
}

void tst_LogViewModel::typeRuleInSqlAndInTheTable()
{
    QFETCH(QString, stored);
    QFETCH(int, typeIndex);
    QSqlQuery query(db);
    QVERIFY(query.exec(QStringLiteral("CREATE TABLE Log2(type)")));
    QVERIFY(query.exec(QStringLiteral("INSERT INTO Log2 VALUES(%1)").arg(stored)));
    QVERIFY(query.exec(QStringLiteral("SELECT type, %1 FROM Log2 l").arg(LogViewStatements().typeIndexSql())));
    QVERIFY(query.next());
    QCOMPARE(recordTypeIndex(query.value(0)), typeIndex);
    QCOMPARE(query.value(1).toInt(), typeIndex);
}

void tst_LogViewModel::filterChangesWhileScanning()
{
    fillSample(20000);
    showLog();
    // As a user types: each change cancels the scan before.
    LogFilter filter;
    for (const QString &typed : {QStringLiteral("н"), QStringLiteral("на"), QStringLiteral("нас"),
                                 QStringLiteral("насо"), QStringLiteral("насос 3")}) {
        filter.text = typed;
        model->setFilter(filter);
    }
    waitForRows();
    QCOMPARE(compareRows(*model, expectedRows(db, filter)), QString());
}

void tst_LogViewModel::appendedRecordsArriveAtTheEnd()
{
    fillSample(500);
    showLog();
    const QModelIndex firstRow = model->index(0, 2);
    const QString firstMessage = model->data(firstRow).toString();
    QSignalSpy inserted(model, &QAbstractItemModel::rowsInserted);
    QSignalSpy appended(model, &LogViewModel::recordsAppended);
    QSignalSpy reset(model, &QAbstractItemModel::modelReset);

    // A download stores one record, then the window refreshes: at once, at the end.
    QCOMPARE(SampleLog::addRecords(db, 1, 2, &clock), QString());
    model->refresh();
    QCOMPARE(model->rowCount(), 501);
    QCOMPARE(inserted.count(), 1);
    QCOMPARE(inserted.first().at(1).toInt(), 500);
    QCOMPARE(appended.count(), 1);
    QCOMPARE(reset.count(), 0);
    QCOMPARE(model->data(firstRow).toString(), firstMessage);
    QCOMPARE(compareRows(*model, viewQueryRows(db)), QString());

    // Nothing new: nothing changes.
    model->refresh();
    QCOMPARE(inserted.count(), 1);

    // Many at once go to the background, and still arrive at the end.
    QCOMPARE(SampleLog::addRecords(db, 9000, 3, &clock), QString());
    model->refresh();
    waitForRows();
    QCOMPARE(reset.count(), 0);
    QCOMPARE(model->totalRecords(), 9501);
    QCOMPARE(compareRows(*model, viewQueryRows(db)), QString());

    // With a filter, only the new records that pass it.
    LogFilter errors;
    errors.types = 0b0100;
    model->setFilter(errors);
    waitForRows();
    const int before = model->rowCount();
    QCOMPARE(SampleLog::addRecords(db, 300, 4, &clock), QString());
    model->refresh();
    waitForRows();
    QVERIFY(model->rowCount() > before);
    QCOMPARE(compareRows(*model, expectedRows(db, errors)), QString());
    QCOMPARE(model->totalRecords(), 9801);
}

void tst_LogViewModel::recordsAppendedDuringAScan()
{
    fillSample(30000);
    showLog();
    LogFilter filter;
    filter.text = QStringLiteral("режим Пуск");
    model->setFilter(filter);
    QVERIFY(model->isScanning());
    // The download goes on while the text is looked for.
    for (int record = 0; record < 20; ++record) {
        QCOMPARE(SampleLog::addRecords(db, 10, 100 + record, &clock), QString());
        model->refresh();
    }
    waitForRows();
    QCOMPARE(compareRows(*model, expectedRows(db, filter)), QString());
    QCOMPARE(model->totalRecords(), 30200);

    // And with no filter and ids with gaps, whose rows are known only after a scan.
    QCOMPARE(SampleLog::deleteEvery(db, 5), QString());
    model->setFilter(LogFilter());
    model->reload();
    QCOMPARE(SampleLog::addRecords(db, 10, 200, &clock), QString());
    model->refresh();
    waitForRows();
    QCOMPARE(compareRows(*model, viewQueryRows(db)), QString());
}

void tst_LogViewModel::changedCaptionsAreShownAndSearched()
{
    fillSample(400);
    showLog();
    LogFilter filter;
    filter.text = QStringLiteral("запуск");
    model->setFilter(filter);
    waitForRows();
    QCOMPARE(model->rowCount(), 0);

    // A download reads the captions anew: "Включение питания" became "Запуск"; and
    // records came with them.
    QCOMPARE(addCaption(db, 2, QStringLiteral("Запуск")), QString());
    QCOMPARE(addRecords(db, 30, 2, &clock), QString());
    QSignalSpy counts(model, &LogViewModel::countsChanged);
    model->refresh();
    waitForRows();
    QVERIFY(model->rowCount() > 0);
    QCOMPARE(compareRows(*model, expectedRows(db, filter)), QString());
    QCOMPARE(model->totalRecords(), 430);
    QCOMPARE(counts.constLast().at(1).toInt(), 430);

    model->setFilter(LogFilter());
    QCOMPARE(addCaption(db, 3, QStringLiteral("Вход #s")), QString());
    model->refresh();
    QCOMPARE(compareRows(*model, viewQueryRows(db)), QString());
}

void tst_LogViewModel::locateTime_data()
{
    QTest::addColumn<QString>("time");
    QTest::addColumn<int>("types"); // the filter's
    QTest::addColumn<int>("row");

    // Records at 10:00, 10:05 (error), 10:10, then the clock set back: 09:00, 10:20 (error).
    QTest::newRow("exactly a record's time") << "2024-03-15 10:05:00" << 0xF << 1;
    QTest::newRow("between two records") << "2024-03-15 10:07:00" << 0xF << 2;
    QTest::newRow("before every record") << "2024-03-15 08:00:00" << 0xF << 0;
    QTest::newRow("after every record") << "2024-03-15 11:00:00" << 0xF << -1;
    QTest::newRow("the first in the table's order") << "2024-03-15 10:15:00" << 0xF << 4;
    QTest::newRow("among the errors shown") << "2024-03-15 10:06:00" << 0b0100 << 1;
    QTest::newRow("none shown after") << "2024-03-15 10:30:00" << 0b0100 << -1;
}

void tst_LogViewModel::locateTime()
{
    QFETCH(QString, time);
    QFETCH(int, types);
    QFETCH(int, row);
    QCOMPARE(addCaption(db, 1, QStringLiteral("Запись #u")), QString());
    const quint32 ten = March15th2024 - 3 * 3600 - 45 * 60 - 30; // 10:00:00
    const QList<QPair<quint32, int>> records = {
        {ten, 0}, {ten + 300, 2}, {ten + 600, 0}, {ten - 3600, 0}, {ten + 1200, 2}};
    for (const auto &record : records)
        QCOMPARE(addRecord(db, 1, record.second, QByteArray(1, '\x01'), record.first), QString());
    showLog();
    LogFilter filter;
    filter.types = types;
    model->setFilter(filter);

    QSignalSpy located(model, &LogViewModel::timeLocated);
    const int request = model->locateTime(at(qPrintable(time)));
    QVERIFY(located.wait(10000) || located.count() == 1);
    QCOMPARE(located.count(), 1);
    QCOMPARE(located.first().at(0).toInt(), request);
    QCOMPARE(located.first().at(1).toInt(), row);
}

void tst_LogViewModel::filesThatAreNoLogFiles_data()
{
    QTest::addColumn<int>("kind");
    using namespace NotLogFiles;
    QTest::newRow("empty file") << int(Empty);
    QTest::newRow("text file") << int(Text);
    QTest::newRow("SQLite header, then garbage") << int(GarbageAfterHeader);
    QTest::newRow("another program's database") << int(OtherDatabase);
    QTest::newRow("log file without Events") << int(LogWithoutEvents);
}

void tst_LogViewModel::filesThatAreNoLogFiles()
{
    QFETCH(int, kind);
    const QString path = dir->filePath(QStringLiteral("чужой.db"));
    const NotLogFiles::NotLogFile made(NotLogFiles::Kind(kind), path);
    QVERIFY(made.ready());
    db.close();
    db.setDatabaseName(path);
    QVERIFY(db.open());

    showLog();
    QCOMPARE(model->rowCount(), 0);
    QCOMPARE(model->columnCount(), 0);
    QVERIFY(model->lastError().isValid());
    // Nothing to filter, refresh or go to; and nothing breaks.
    LogFilter filter;
    filter.text = QStringLiteral("пуск");
    model->setFilter(filter);
    model->refresh();
    QSignalSpy located(model, &LogViewModel::timeLocated);
    model->locateTime(at("2024-03-15 13:45:30"));
    QVERIFY(located.wait(5000) || located.count() == 1);
    QCOMPARE(located.first().at(1).toInt(), -1);
    QCOMPARE(model->rowCount(), 0);
    QVERIFY(!model->data(model->index(0, 0)).isValid());
}

void tst_LogViewModel::foreignLogTable_data()
{
    QTest::addColumn<LogFilter>("filter");
    LogFilter none, info, text, time;
    info.types = 0b0001;
    text.text = QStringLiteral("насос");
    time.from = at("2024-03-15 13:45:31");
    QTest::newRow("no filter") << none;
    QTest::newRow("information") << info;
    QTest::newRow("text") << text;
    QTest::newRow("from") << time;
}

void tst_LogViewModel::foreignLogTable()
{
    QFETCH(LogFilter, filter);
    QCOMPARE(SampleLog::addCaptions(db), QString());
    QCOMPARE(SampleLog::makeForeignLog(db), QString());
    showLog();
    waitForRows();
    model->setFilter(filter);
    waitForRows();
    QCOMPARE(compareRows(*model, expectedRows(db, filter)), QString());
    // Its rows are looked up again when it grows.
    QCOMPARE(addRecord(db, 1, 0, QByteArray(4, '\x01')), QString());
    model->refresh();
    waitForRows();
    QCOMPARE(compareRows(*model, expectedRows(db, filter)), QString());
}

void tst_LogViewModel::longDataIsShownByItsFirstPart()
{
    QCOMPARE(addCaption(db, 1, QStringLiteral("Строка #s")), QString());
    QCOMPARE(addCaption(db, 2, QStringLiteral("Число #u, затем #s")), QString());
    const QByteArray big = QByteArray(3, 'x') + QByteArray(10 * 1024 * 1024, 'y');
    QCOMPARE(addRecord(db, 1, 0, big), QString());
    QCOMPARE(addRecord(db, 2, 1, QByteArray("\x07") + big), QString());
    QCOMPARE(addRecord(db, 1, 2, QByteArray("short\0", 6)), QString());
    showLog();
    QCOMPARE(model->rowCount(), 3);
    // The shown part of long data is read in the background; the rows take it when it is in.
    QSignalSpy changed(model, &QAbstractItemModel::dataChanged);
    QCOMPARE(model->data(model->index(2, 2)).toString(), QStringLiteral("Строка short"));
    // A field that reads the shown part to its end may read on in the whole data: the
    // table says the message is cut.
    QTRY_COMPARE_WITH_TIMEOUT(model->data(model->index(0, 2)).toString(),
                              QStringLiteral("Строка ") + QString::fromLatin1(big.left(4096)) + QStringLiteral("…"),
                              10000);
    QTRY_COMPARE_WITH_TIMEOUT(
        model->data(model->index(1, 2)).toString(),
        QStringLiteral("Число 7, затем ") + QString::fromLatin1(big.left(4095)) + QStringLiteral("…"), 10000);
    QVERIFY(!changed.isEmpty());
    QCOMPARE(model->data(model->index(0, 3)).toByteArray(), big.left(4096));
    QVERIFY(model->data(model->index(0, 2), Qt::ToolTipRole).isValid());
    QVERIFY(!model->data(model->index(2, 2), Qt::ToolTipRole).isValid());

    // The search sees the same messages.
    LogFilter filter;
    filter.text = QStringLiteral("xxxyyy");
    model->setFilter(filter);
    waitForRows();
    QCOMPARE(model->rowCount(), 2);
    filter.text = QString(4093, QLatin1Char('y'));
    model->setFilter(filter);
    waitForRows();
    QCOMPARE(model->rowCount(), 1);
}

// A message longer than the table shows is shown by its start with "…" after it, and its
// tool tip says so; one that fits is shown as it is.
void tst_LogViewModel::longMessagesAreShownByTheirStart_data()
{
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<bool>("cut");
    const QString zhe(MaxShownMessage, QChar(0x0416));
    QTest::newRow("two million characters") << QString(2000000, QChar(0x0416)) << QByteArray() << zhe + "…" << true;
    QTest::newRow("as long as shown") << zhe << QByteArray() << zhe << false;
    QTest::newRow("one character more") << zhe + "!" << QByteArray() << zhe + "…" << true;
    QTest::newRow("a field within") << "#u" + zhe << QByteArray("\x07", 1) << "7" + zhe.left(MaxShownMessage - 1) + "…"
                                    << true;
    QTest::newRow("a field after the start") << QString(20000, QLatin1Char('x')) + "#u" << QByteArray("\x05", 1)
                                             << QString(MaxShownMessage, QLatin1Char('x')) + "…" << true;
    QTest::newRow("short") << QStringLiteral("Пуск #u") << QByteArray("\x05", 1) << QStringLiteral("Пуск 5") << false;
    // Long data read only as far as its fields go: the message is whole.
    QTest::newRow("a field of long data")
        << QStringLiteral("Пуск #u") << QByteArray(5000, '\x07') << QStringLiteral("Пуск 7") << false;
}

void tst_LogViewModel::longMessagesAreShownByTheirStart()
{
    QFETCH(QString, caption);
    QFETCH(QByteArray, data);
    QFETCH(QString, shown);
    QFETCH(bool, cut);
    QCOMPARE(addCaption(db, 1, caption), QString());
    QCOMPARE(addRecord(db, 1, 0, data), QString());
    showLog();
    model->data(model->index(0, 2));
    QTRY_COMPARE_WITH_TIMEOUT(model->data(model->index(0, 2)).toString(), shown, 10000);
    QCOMPARE(model->data(model->index(0, 2), Qt::ToolTipRole).isValid(), cut);
    QVERIFY(!model->data(model->index(0, 2), Qt::BackgroundRole).isValid());
}

void tst_LogViewModel::searchSeesTheStartOfALongMessage()
{
    QCOMPARE(addCaption(db, 1, QString(1000000, QChar(0x0416)) + QStringLiteral(" конец")), QString());
    QCOMPARE(addCaption(db, 2, QStringLiteral("Пуск, конец")), QString());
    QCOMPARE(addRecord(db, 1, 0, QByteArray()), QString());
    QCOMPARE(addRecord(db, 2, 0, QByteArray()), QString());
    showLog();
    LogFilter filter;
    filter.text = QStringLiteral("жжж");
    model->setFilter(filter);
    waitForRows();
    QCOMPARE(model->rowCount(), 1);
    QCOMPARE(model->data(model->index(0, 2)).toString().size(), MaxShownMessage + 1);
    // What lies beyond the start is not searched.
    filter.text = QStringLiteral("конец");
    model->setFilter(filter);
    waitForRows();
    QCOMPARE(model->rowCount(), 1);
    QCOMPARE(model->data(model->index(0, 2)).toString(), QStringLiteral("Пуск, конец"));
}

void tst_LogViewModel::closedLogShowsNothing()
{
    fillSample(300);
    showLog();
    QVERIFY(model->isLoaded());
    model->closeLog();
    QVERIFY(!model->isLoaded());
    QCOMPARE(model->rowCount(), 0);
    // A refresh after that starts afresh.
    model->refresh();
    QVERIFY(model->isLoaded());
    QCOMPARE(model->rowCount(), 300);
}

void tst_LogViewModel::tableDroppedBehindTheToolsBack()
{
    fillSample(300);
    showLog();
    QVERIFY(QSqlQuery(db).exec(QStringLiteral("ALTER TABLE Events RENAME TO Gone")));
    // As the log view query fails: nothing shown, and nothing said.
    model->refresh();
    QCOMPARE(model->rowCount(), 0);
    QCOMPARE(model->columnCount(), 0);
    QVERIFY(model->lastError().text().contains(QStringLiteral("Events")));
    QVERIFY(QSqlQuery(db).exec(QStringLiteral("ALTER TABLE Gone RENAME TO Events")));
    model->refresh();
    QCOMPARE(compareRows(*model, viewQueryRows(db)), QString());
}

// The same log read in place and through a thread of its own (as a server's device is):
// the same rows, filtered rows and appended rows, and the same counts.
void tst_LogViewModel::threadedSourceShowsWhatInPlaceShows()
{
    fillSample(700);
    LogViewModel threaded;
    threaded.setSource(std::make_shared<ThreadedFileSource>(dir->filePath(QStringLiteral("log.db"))));
    QSignalSpy reloaded(&threaded, &LogViewModel::logReloaded);
    model->reload();
    threaded.reload();
    // Nothing is known until the thread answers.
    QCOMPARE(threaded.rowCount(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(reloaded.count(), 1, 20000);
    QCOMPARE(threaded.totalRecords(), model->totalRecords());
    QCOMPARE(threaded.edgeTime(true), model->edgeTime(true));
    const QStringList all = shownCells(*model);
    QCOMPARE(all.size(), 700);
    QCOMPARE(shownCells(threaded), all);

    LogFilter warnings;
    warnings.types = 1 << 1;
    model->setFilter(warnings);
    threaded.setFilter(warnings);
    waitForRows();
    QTRY_VERIFY_WITH_TIMEOUT(!threaded.isScanning(), 20000);
    QVERIFY(model->rowCount() > 0 && model->rowCount() < 700);
    QCOMPARE(shownCells(threaded), shownCells(*model));

    // Records stored since come in at the end of both.
    model->setFilter(LogFilter());
    threaded.setFilter(LogFilter());
    waitForRows();
    QTRY_VERIFY_WITH_TIMEOUT(!threaded.isScanning(), 20000);
    QCOMPARE(SampleLog::addRecords(db, 40, 7, &clock), QString());
    QSignalSpy refreshed(&threaded, &LogViewModel::logRefreshed);
    model->refresh();
    threaded.refresh();
    QTRY_COMPARE_WITH_TIMEOUT(threaded.rowCount(), 740, 20000);
    QCOMPARE(model->rowCount(), 740);
    QCOMPARE(threaded.totalRecords(), 740);
    QVERIFY(refreshed.count() >= 1);
    QCOMPARE(shownCells(threaded), shownCells(*model));
}

// Three devices' logs merged: the device's name comes first, then the columns of a
// single log; the rows are every device's rows as its own file shows them, with any
// filter, merged by time, then by device name, each device's in its own order; the count
// is the sum of the files'.
void tst_LogViewModel::mergedLogOfThreeDevices_data()
{
    QTest::addColumn<LogFilter>("filter");
    LogFilter none, types, text, regex, span;
    types.types = 0b0110;
    text.text = QStringLiteral("НАСОС 2");
    regex.text = QStringLiteral("^(насос|уставка) [0-9]");
    regex.regex = true;
    span.from = at("2024-03-15 13:55:00");
    span.to = at("2024-03-15 14:10:30");
    span.types = 0b1001;
    QTest::newRow("no filter") << none;
    QTest::newRow("types") << types;
    QTest::newRow("text") << text;
    QTest::newRow("regular expression") << regex;
    QTest::newRow("span of time and types") << span;
}

void tst_LogViewModel::mergedLogOfThreeDevices()
{
    QFETCH(LogFilter, filter);
    const QVector<StationLogs::Device> station = StationLogs::threeDevices();
    QStringList paths;
    for (int d = 0; d < 3; ++d) {
        paths << dir->filePath(station[d].name + QStringLiteral(".db"));
        QCOMPARE(StationLogs::makeLogFile(paths.last(), station[d].records, quint32(d + 7), station[d].start),
                 QString());
    }

    // Each file shown alone, with the filter: the reference.
    QStringList expected;
    int shownInFiles = 0;
    for (int d = 0; d < 3; ++d) {
        NamedConnection single(QStringLiteral("single"), paths[d]);
        LogViewModel alone;
        alone.setSource(std::make_shared<LogFileSource>(single.name));
        alone.reload();
        alone.setFilter(filter);
        QCOMPARE(alone.columnCount(), 4);
        QCOMPARE(alone.deviceColumns(), 0);
        const QStringList rows = shownRecords(alone, station[d].name);
        QCOMPARE(rows.size(), alone.rowCount());
        expected += rows;
        shownInFiles += alone.rowCount();
    }
    QVERIFY(shownInFiles > 0);
    std::stable_sort(expected.begin(), expected.end(), [](const QString &a, const QString &b) {
        const QString aTime = a.section(QLatin1Char('|'), 1, 1);
        const QString bTime = b.section(QLatin1Char('|'), 1, 1);
        return aTime != bTime ? aTime < bTime : a.section(QLatin1Char('|'), 0, 0) < b.section(QLatin1Char('|'), 0, 0);
    });

    const StoreResult<std::unique_ptr<MergedLogFile>> merged = MergedLogFile::build(paths);
    QVERIFY2(merged.ok(), qPrintable(merged.error().text));
    NamedConnection connection(QStringLiteral("merged"), merged.value()->path());
    model->setSource(std::make_shared<LogFileSource>(connection.name));
    QSignalSpy counts(model, &LogViewModel::countsChanged);
    showLog();
    QCOMPARE(model->columnCount(), 5);
    QCOMPARE(model->deviceColumns(), 1);
    QCOMPARE(model->headerData(0, Qt::Horizontal), QVariant(QStringLiteral("Устройство")));
    QCOMPARE(model->headerData(1, Qt::Horizontal), QVariant(QStringLiteral("Тип")));
    QCOMPARE(model->headerData(2, Qt::Horizontal), QVariant(QStringLiteral("Время")));
    QCOMPARE(model->headerData(3, Qt::Horizontal), QVariant(QStringLiteral("Сообщение")));
    model->setFilter(filter);
    const QStringList shown = shownRecords(*model);
    QCOMPARE(model->rowCount(), shownInFiles);
    QCOMPARE(model->totalRecords(), 1500 + 800 + 2600);
    QVERIFY(!counts.isEmpty());
    QCOMPARE(counts.last().at(0).toInt(), shownInFiles);
    QCOMPARE(counts.last().at(1).toInt(), 1500 + 800 + 2600);
    QCOMPARE(shown.size(), expected.size());
    for (int row = 0; row < shown.size(); ++row)
        QCOMPARE(shown[row], expected[row]);
    // Go to time over all three: the first row shown at that time or later, whatever
    // its device.
    QVERIFY(!shown.isEmpty());
    const QString middle = shown[shown.size() / 2].section(QLatin1Char('|'), 1, 1);
    const int first = int(
        std::find_if(shown.begin(), shown.end(),
                     [&middle](const QString &row) { return row.section(QLatin1Char('|'), 1, 1) >= middle; })
        - shown.begin());
    QSignalSpy located(model, &LogViewModel::timeLocated);
    const int request = model->locateTime(at(qPrintable(middle)));
    QTRY_COMPARE_WITH_TIMEOUT(located.count(), 1, 10000);
    QCOMPARE(located.first().at(0).toInt(), request);
    QCOMPARE(located.first().at(1).toInt(), first);
    // The type column still has its icon, the message its caption.
    if (model->rowCount() > 0) {
        QVERIFY(!model->data(model->index(0, 1), Qt::DecorationRole).value<QPixmap>().isNull());
        QCOMPARE(model->data(model->index(0, 1)), QVariant(QString()));
    }
    model->closeLog();
}

QTEST_MAIN(tst_LogViewModel)
#include "tst_logviewmodel.moc"
