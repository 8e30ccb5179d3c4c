// The log table's model: what each cell shows for the records of a log file.

#include "presentation/logviewmodel.h"

#include "tests/support/logfixture.h"

#include <QColor>
#include <QImage>
#include <QPixmap>
#include <QTemporaryDir>
#include <QTest>

using namespace LogFixture;

namespace {

const QString WorkedCaption = QStringLiteral("Канал #u: #`Норма``Авария`e, температура #+3.1I °C, код #4X, время #d");
const QByteArray WorkedData = QByteArray::fromHex("0201FA00AB007A0D872D");
const QString WorkedMessage = QStringLiteral(
    "Канал 2: Авария, температура +025.0 °C, код 00AB, время 15.03.2024 13:45:30");

QImage image(const QVariant &pixmap)
{
    return pixmap.value<QPixmap>().toImage().convertToFormat(QImage::Format_ARGB32);
}

QImage resource(const char *path)
{
    return QImage(QString::fromLatin1(path)).convertToFormat(QImage::Format_ARGB32);
}

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

private:
    QTemporaryDir *dir = nullptr;
    QSqlDatabase db;
    LogViewModel *model = nullptr;
    void showLog() { model->setQuery(LogViewSql, QSqlDatabase()); }
};

void tst_LogViewModel::init()
{
    dir = new QTemporaryDir;
    db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    QVERIFY(createLogFile(db, dir->filePath(QStringLiteral("log.db"))).ok);
    model = new LogViewModel;
}

void tst_LogViewModel::cleanup()
{
    delete model;
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
    delete dir;
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
    // Rendered anew each time: the same answer twice.
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

QTEST_MAIN(tst_LogViewModel)
#include "tst_logviewmodel.moc"
