// The log view in the window as a user works it: the filter bar, go to time and the
// ends of the log, the export of what is shown, and new records at the bottom.

#include "app/mainwindow.h"
#include "logaccess/csvexport.h"
#include "logview/dialoggototime.h"
#include "logview/logfilterbar.h"

#include "tests/support/csvfixture.h"
#include "tests/support/logwindow.h"
#include "tests/support/modalanswer.h"
#include "tests/support/samplelog.h"

#include <QAction>
#include <QBuffer>
#include <QDateTimeEdit>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QScrollBar>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTest>
#include <QToolButton>

using namespace LogFixture;
using namespace LogWindow;
using namespace SampleLog;

namespace {

constexpr int Records = 3000;

// Types `text` key by key, as a keyboard with a Russian layout does (keyClicks knows
// only ASCII).
void type(QWidget *widget, const QString &text)
{
    for (const QChar c : text)
        QTest::sendKeyEvent(QTest::Click, widget, Qt::Key(c.toUpper().unicode()), QString(c), Qt::NoModifier);
}

} // namespace

class tst_LogFilterBar : public QObject, protected LogWindowTest
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void barAsTheUserFindsIt();
    void typedTextFilters();
    void typeButtonsAndTimeSpan_data();
    void typeButtonsAndTimeSpan();
    void invalidRegularExpressionFiltersNothing();
    void clearAndEscapeBringBackEveryRecord();
    void selectedRecordStaysInView();
    void goToTime_data();
    void goToTime();
    void endsOfTheLog();
    void exportWritesWhatIsShown();
    void newRecordsAtTheBottom();
    void timeColumnOfALogOpenedEmpty();
    void captionsGoneAndBack();
    void deviceFilterListsTheDevicesInView();

private:
    // Opens a sample log through the Open command.
    void openSample();
    // The rows the window shows now, as messages, once they are all found.
    QStringList shownMessages() const;
    QStringList expectedMessages(const LogFilter &filter) const;
    void waitForFilter(const LogFilter &filter);
};

void tst_LogFilterBar::initTestCase()
{
    prepareSettings();
}

void tst_LogFilterBar::init()
{
    showWindow();
}

void tst_LogFilterBar::cleanup()
{
    closeWindow();
}

void tst_LogFilterBar::openSample()
{
    openLog([this] {
        QCOMPARE(addCaptions(fixture), QString());
        QCOMPARE(addRecords(fixture, Records, 1, &clock), QString());
    });
    QTRY_COMPARE(countText(), counted(Records, Records));
}

QStringList tst_LogFilterBar::shownMessages() const
{
    QStringList messages;
    const QAbstractItemModel *model = table()->model();
    for (int row = 0; row < model->rowCount(); ++row)
        messages << model->index(row, 2).data().toString();
    return messages;
}

QStringList tst_LogFilterBar::expectedMessages(const LogFilter &filter) const
{
    QStringList messages;
    for (const ExpectedRow &row : expectedRows(fixture, filter))
        messages << row.message;
    return messages;
}

void tst_LogFilterBar::waitForFilter(const LogFilter &filter)
{
    const QStringList expected = expectedMessages(filter);
    QTRY_COMPARE_WITH_TIMEOUT(countText(), counted(expected.size(), Records), 20000);
    QCOMPARE(shownMessages(), expected);
}

void tst_LogFilterBar::barAsTheUserFindsIt()
{
    // The bar fits the window as it opens.
    QCOMPARE(window->size(), QSize(800, 600));
    QVERIFY(child<QWidget>("filterBar")->isVisible());
    QVERIFY(child<QWidget>("filterBar")->geometry().bottom() < table()->geometry().top());
    auto *text = child<QLineEdit>("filterText");
    QVERIFY(text != nullptr && text->isVisible() && text->text().isEmpty());
    QVERIFY(child<QToolButton>("filterRegex")->isCheckable());
    QVERIFY(!child<QToolButton>("filterRegex")->isChecked());
    const QStringList names = {"Информация", "Предупреждение", "Ошибка", "Изменение"};
    for (int type = 0; type < 4; ++type) {
        auto *button = child<QToolButton>(qPrintable(QStringLiteral("filterType%1").arg(type)));
        QVERIFY(button != nullptr && button->isVisible());
        QVERIFY(button->isCheckable() && button->isChecked());
        QCOMPARE(button->accessibleName(), names[type]);
    }
    for (const char *name : {"filterFrom", "filterTo"}) {
        auto *edit = child<QDateTimeEdit>(name);
        QVERIFY(edit != nullptr && edit->isVisible());
        QCOMPARE(edit->dateTime(), edit->minimumDateTime());
        QCOMPARE(edit->specialValueText(), QStringLiteral("—"));
        QCOMPARE(edit->text(), QStringLiteral("—"));
    }
    QVERIFY(child<QToolButton>("filterClear")->isVisible());
    // One log, one device: nothing to choose between.
    QVERIFY(!child<QToolButton>("filterDevice")->isVisible());
    QVERIFY(child<QLabel>("filterCount")->isVisible());
    QCOMPARE(child<QAction>("actionGoToTime")->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_G));
    QVERIFY(!child<QWidget>("filterProgress")->isVisible());

    // Before a log file is open the bar filters nothing, and nothing breaks.
    type(text, QStringLiteral("насос"));
    QVERIFY(table()->model() == nullptr);
    QCOMPARE(countText(), QString());
}

void tst_LogFilterBar::typedTextFilters()
{
    openSample();
    auto *text = child<QLineEdit>("filterText");
    // Key by key: each key starts the search over.
    type(text, QStringLiteral("ПОЛЬЗОВАТЕЛЬ ADMIN"));
    LogFilter filter;
    filter.text = QStringLiteral("ПОЛЬЗОВАТЕЛЬ ADMIN");
    waitForFilter(filter);
    QVERIFY(table()->model()->rowCount() > 0);
    for (const QString &message : shownMessages())
        QVERIFY2(message.startsWith(QStringLiteral("Пользователь admin")), qPrintable(message));

    // A record without a caption is found by the words the table shows for it.
    text->clear();
    type(text, QStringLiteral("неизвестное"));
    filter.text = QStringLiteral("неизвестное");
    waitForFilter(filter);
}

void tst_LogFilterBar::typeButtonsAndTimeSpan_data()
{
    QTest::addColumn<QList<int>>("typesOff");
    QTest::addColumn<QString>("from"); // empty: no bound
    QTest::addColumn<QString>("to");
    QTest::addColumn<QString>("text");

    QTest::newRow("information off, with the unknown codes") << QList<int>{0} << ""
                                                             << ""
                                                             << "";
    QTest::newRow("only errors") << QList<int>{0, 1, 3} << ""
                                 << ""
                                 << "";
    QTest::newRow("every type off") << QList<int>{0, 1, 2, 3} << ""
                                    << ""
                                    << "";
    QTest::newRow("from") << QList<int>() << "2024-03-16 00:00:00"
                          << ""
                          << "";
    QTest::newRow("to") << QList<int>() << ""
                        << "2024-03-15 20:00:00"
                        << "";
    QTest::newRow("from and to, to the second") << QList<int>() << "2024-03-15 18:00:01"
                                                << "2024-03-16 06:30:59"
                                                << "";
    QTest::newRow("types, time and text") << QList<int>{1, 3} << "2024-03-15 18:00:00"
                                          << "2024-03-16 12:00:00"
                                          << "насос";
}

void tst_LogFilterBar::typeButtonsAndTimeSpan()
{
    QFETCH(QList<int>, typesOff);
    QFETCH(QString, from);
    QFETCH(QString, to);
    QFETCH(QString, text);
    openSample();
    LogFilter filter;
    for (const int type : typesOff) {
        QTest::mouseClick(child<QToolButton>(qPrintable(QStringLiteral("filterType%1").arg(type))), Qt::LeftButton);
        filter.types &= ~(1 << type);
    }
    if (!from.isEmpty()) {
        child<QDateTimeEdit>("filterFrom")->setDateTime(at(from));
        filter.from = at(from);
    }
    if (!to.isEmpty()) {
        child<QDateTimeEdit>("filterTo")->setDateTime(at(to));
        filter.to = at(to);
    }
    type(child<QLineEdit>("filterText"), text);
    filter.text = text;
    waitForFilter(filter);
}

void tst_LogFilterBar::invalidRegularExpressionFiltersNothing()
{
    openSample();
    auto *text = child<QLineEdit>("filterText");
    const QColor normal = text->palette().color(QPalette::Base);
    QTest::mouseClick(child<QToolButton>("filterRegex"), Qt::LeftButton);
    type(text, QStringLiteral("насос ("));
    QVERIFY(text->palette().color(QPalette::Base) != normal);
    QVERIFY2(text->toolTip().contains(QStringLiteral("регулярное выражение")), qPrintable(text->toolTip()));
    QTRY_COMPARE(countText(), counted(Records, Records));
    QCOMPARE(table()->model()->rowCount(), Records);

    // Closed, it is an expression again.
    type(text, QStringLiteral("[12]):"));
    QCOMPARE(text->palette().color(QPalette::Base), normal);
    QCOMPARE(text->toolTip(), QString());
    LogFilter filter;
    filter.text = QStringLiteral("насос ([12]):");
    filter.regex = true;
    waitForFilter(filter);
}

void tst_LogFilterBar::clearAndEscapeBringBackEveryRecord()
{
    openSample();
    const auto narrow = [this] {
        QTest::mouseClick(child<QToolButton>("filterType2"), Qt::LeftButton);
        child<QDateTimeEdit>("filterFrom")->setDateTime(at(QStringLiteral("2024-03-16 00:00:00")));
        type(child<QLineEdit>("filterText"), QStringLiteral("насос"));
        QTest::mouseClick(child<QToolButton>("filterRegex"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(countText() != counted(Records, Records), 20000);
    };
    const auto everythingOff = [this] {
        QCOMPARE(child<QLineEdit>("filterText")->text(), QString());
        QVERIFY(!child<QToolButton>("filterRegex")->isChecked());
        QVERIFY(child<QToolButton>("filterType2")->isChecked());
        QCOMPARE(child<QDateTimeEdit>("filterFrom")->text(), QStringLiteral("—"));
        QTRY_COMPARE_WITH_TIMEOUT(countText(), counted(Records, Records), 20000);
        QCOMPARE(shownMessages(), expectedMessages(LogFilter()));
    };

    narrow();
    QTest::mouseClick(child<QToolButton>("filterClear"), Qt::LeftButton);
    everythingOff();

    narrow();
    child<QLineEdit>("filterText")->setFocus();
    QTest::keyClick(child<QLineEdit>("filterText"), Qt::Key_Escape);
    everythingOff();

    // Delete takes one bound off.
    auto *from = child<QDateTimeEdit>("filterFrom");
    from->setDateTime(at(QStringLiteral("2024-03-16 00:00:00")));
    QTRY_VERIFY(countText() != counted(Records, Records));
    QTest::keyClick(from, Qt::Key_Delete);
    QCOMPARE(from->text(), QStringLiteral("—"));
    QTRY_COMPARE(countText(), counted(Records, Records));
}

void tst_LogFilterBar::selectedRecordStaysInView()
{
    openSample();
    LogFilter errors;
    errors.types = 0b0100;
    const QList<ExpectedRow> all = expectedRows(fixture, LogFilter());
    const QList<ExpectedRow> shown = expectedRows(fixture, errors);
    // An error far down the log, selected.
    const ExpectedRow &chosen = shown[shown.size() * 3 / 4];
    int chosenRow = -1;
    for (int row = all.size() - 1; row >= 0 && chosenRow < 0; --row) {
        if (all[row].message == chosen.message && all[row].time == chosen.time)
            chosenRow = row;
    }
    QVERIFY(chosenRow >= 0);
    const QModelIndex cell = table()->model()->index(chosenRow, 2);
    table()->scrollTo(cell);
    QTest::mouseClick(table()->viewport(), Qt::LeftButton, Qt::NoModifier, table()->visualRect(cell).center());
    QCOMPARE(table()->currentIndex().row(), chosenRow);
    table()->scrollToTop();

    for (const int type : {0, 1, 3})
        QTest::mouseClick(child<QToolButton>(qPrintable(QStringLiteral("filterType%1").arg(type))), Qt::LeftButton);
    waitForFilter(errors);
    const QModelIndex current = table()->currentIndex();
    QVERIFY(current.isValid());
    QCOMPARE(current.sibling(current.row(), 2).data().toString(), chosen.message);
    QCOMPARE(current.sibling(current.row(), 1).data(), chosen.time);
    QVERIFY(table()->visualRect(current).intersects(table()->viewport()->rect()));
}

void tst_LogFilterBar::goToTime_data()
{
    QTest::addColumn<QString>("time");
    QTest::addColumn<bool>("errorsOnly");
    QTest::newRow("a time inside the log") << "2024-03-16 02:00:00" << false;
    QTest::newRow("before the log") << "2024-01-01 00:00:00" << false;
    QTest::newRow("among the errors shown") << "2024-03-16 02:00:00" << true;
    QTest::newRow("after the log") << "2025-01-01 00:00:00" << false;
}

void tst_LogFilterBar::goToTime()
{
    QFETCH(QString, time);
    QFETCH(bool, errorsOnly);
    openSample();
    LogFilter filter;
    if (errorsOnly) {
        for (const int type : {0, 1, 3})
            QTest::mouseClick(child<QToolButton>(qPrintable(QStringLiteral("filterType%1").arg(type))), Qt::LeftButton);
        filter.types = 0b0100;
        waitForFilter(filter);
    }
    // The first row shown at that time or later, by the table's own texts.
    int expected = -1;
    const QList<ExpectedRow> rows = expectedRows(fixture, filter);
    for (int row = 0; row < rows.size() && expected < 0; ++row) {
        if (rows[row].time.toString() >= time)
            expected = row;
    }

    const auto dialog = ModalAnswer::widget([](QWidget *top) { return qobject_cast<DialogGoToTime *>(top) != nullptr; },
                                            [&time](QWidget *top) {
                                                auto *asked = static_cast<DialogGoToTime *>(top);
                                                QCOMPARE(asked->windowTitle(), QStringLiteral("Перейти ко времени"));
                                                asked->timeEdit()->setDateTime(at(time));
                                                asked->accept();
                                            });
    QTest::keyClick(table(), Qt::Key_G, Qt::ControlModifier);
    QVERIFY(*dialog);
    if (expected < 0) {
        QTRY_COMPARE(window->statusBar()->currentMessage(), QStringLiteral("Нет записей в это время или позже"));
        return;
    }
    QTRY_COMPARE(table()->currentIndex().row(), expected);
    QVERIFY(table()->visualRect(table()->currentIndex()).intersects(table()->viewport()->rect()));
}

void tst_LogFilterBar::endsOfTheLog()
{
    openSample();
    // From the bar too: the commands belong to the window.
    auto *button = child<QToolButton>("filterType1");
    button->setFocus();
    QTest::keyClick(button, Qt::Key_End, Qt::ControlModifier);
    QCOMPARE(table()->currentIndex().row(), Records - 1);
    QCOMPARE(table()->verticalScrollBar()->value(), table()->verticalScrollBar()->maximum());
    QTest::keyClick(table(), Qt::Key_Home, Qt::ControlModifier);
    QCOMPARE(table()->currentIndex().row(), 0);
    QCOMPARE(table()->verticalScrollBar()->value(), 0);
}

void tst_LogFilterBar::exportWritesWhatIsShown()
{
    openSample();
    // Without a filter: the export as it always was.
    QByteArray whole;
    {
        QBuffer buffer(&whole);
        buffer.open(QIODevice::WriteOnly | QIODevice::Text);
        QVERIFY(CsvFixture::writeFileCsv(fixture, buffer).ok());
    }
    const QList<QByteArray> lines = whole.split('\n');
    const QString csv = QDir(dir->path()).filePath(QStringLiteral("журнал.csv"));
    const auto exportTo = [&] { return exportTable(csv); };
    QCOMPARE(exportTo(), whole);

    // With one: the lines of the rows shown, and no other.
    QTest::mouseClick(child<QToolButton>("filterType0"), Qt::LeftButton);
    type(child<QLineEdit>("filterText"), QStringLiteral("насос"));
    LogFilter filter;
    filter.types = 0b1110;
    filter.text = QStringLiteral("насос");
    waitForFilter(filter);
    QByteArray expected;
    const QList<ExpectedRow> all = expectedRows(fixture, LogFilter());
    for (int row = 0; row < all.size(); ++row) {
        if (passes(all[row], filter))
            expected += lines[row] + '\n';
    }
    QVERIFY(!expected.isEmpty());
    ModalAnswer::messageBox(QMessageBox::Yes); // the dialog's "replace it?"
    QCOMPARE(exportTo(), expected);
}

void tst_LogFilterBar::newRecordsAtTheBottom()
{
    openSample();
    QScrollBar *scroll = table()->verticalScrollBar();
    table()->scrollToBottom();
    QCOMPARE(scroll->value(), scroll->maximum());

    // A download stores records and refreshes the view after each.
    for (int record = 0; record < 5; ++record) {
        QCOMPARE(addRecords(fixture, 1, 10 + record, &clock), QString());
        window->refreshLogView();
    }
    QCOMPARE(table()->model()->rowCount(), Records + 5);
    QCOMPARE(countText(), counted(Records + 5, Records + 5));
    QCOMPARE(scroll->value(), scroll->maximum());
    QCOMPARE(table()->rowAt(table()->viewport()->height() - 1), Records + 4);
    QCOMPARE(shownMessages(), expectedMessages(LogFilter()));

    // Scrolled up, the view stays where the user left it.
    table()->scrollTo(table()->model()->index(1000, 1), QAbstractItemView::PositionAtTop);
    const int top = table()->rowAt(0);
    for (int record = 0; record < 5; ++record) {
        QCOMPARE(addRecords(fixture, 1, 20 + record, &clock), QString());
        window->refreshLogView();
    }
    QCOMPARE(table()->model()->rowCount(), Records + 10);
    QCOMPARE(table()->rowAt(0), top);

    // With a filter, the new records that pass it come too.
    QTest::mouseClick(child<QToolButton>("filterType0"), Qt::LeftButton);
    LogFilter filter;
    filter.types = 0b1110;
    QTRY_COMPARE_WITH_TIMEOUT(shownMessages(), expectedMessages(filter), 20000);
    table()->scrollToBottom();
    QCOMPARE(addRecords(fixture, 40, 30, &clock), QString());
    window->refreshLogView();
    QTRY_COMPARE_WITH_TIMEOUT(shownMessages(), expectedMessages(filter), 20000);
    QCOMPARE(scroll->value(), scroll->maximum());
}

void tst_LogFilterBar::timeColumnOfALogOpenedEmpty()
{
    // A new file that a download then fills: its times are shown whole, not cut short.
    openLog([] {});
    QCOMPARE(addCaptions(fixture), QString());
    QCOMPARE(addRecords(fixture, 20, 1, &clock), QString());
    window->refreshLogView();
    QCOMPARE(table()->model()->rowCount(), 20);
    const int needed = static_cast<QAbstractItemView *>(table())->sizeHintForColumn(1);
    QVERIFY2(table()->columnWidth(1) >= needed,
             qPrintable(QStringLiteral("%1 < %2").arg(table()->columnWidth(1)).arg(needed)));
}

void tst_LogFilterBar::captionsGoneAndBack()
{
    openSample();
    // Another program takes the captions away during a download, then puts them back.
    QVERIFY(QSqlQuery(fixture).exec(QStringLiteral("ALTER TABLE Events RENAME TO Kept")));
    window->refreshLogView();
    QCOMPARE(table()->model()->columnCount(), 0);
    QVERIFY(QSqlQuery(fixture).exec(QStringLiteral("ALTER TABLE Kept RENAME TO Events")));
    window->refreshLogView();
    QCOMPARE(shownMessages(), expectedMessages(LogFilter()));
    // Laid out as after an open.
    QVERIFY(table()->isColumnHidden(3));
    QCOMPARE(table()->horizontalHeader()->sectionResizeMode(2), QHeaderView::Stretch);
}

QTEST_MAIN(tst_LogFilterBar)
#include "tst_logfilterbar.moc"

void tst_LogFilterBar::deviceFilterListsTheDevicesInView()
{
    LogFilterBar bar;
    bar.show();
    auto *button = bar.findChild<QToolButton *>(QStringLiteral("filterDevice"));
    auto *list = bar.findChild<QListWidget *>(QStringLiteral("filterDeviceList"));
    QVERIFY(button != nullptr && list != nullptr);
    QVERIFY(!button->isVisible());
    QSignalSpy edited(&bar, &LogFilterBar::filterEdited);
    const auto lastFilter = [&edited] { return edited.last().at(0).value<LogFilter>(); };

    bar.setDevices({QStringLiteral("rele-1"), QStringLiteral("rele-2 (+12 с)"), QStringLiteral("ПС-12")});
    QVERIFY(button->isVisible());
    QCOMPARE(list->count(), 3);
    QCOMPARE(list->item(1)->text(), QStringLiteral("rele-2 (+12 с)"));
    QVERIFY(bar.filter().isEmpty());

    // Unchecking a device hides its records, and the button says how many are shown.
    list->item(1)->setCheckState(Qt::Unchecked);
    QCOMPARE(lastFilter().hiddenDevices, QVector<int>{1});
    QVERIFY(!lastFilter().isEmpty());
    QVERIFY(!lastFilter().showsDevice(1) && lastFilter().showsDevice(2));
    QCOMPARE(button->text(), QStringLiteral("Устройства: 2 из 3"));
    list->item(0)->setCheckState(Qt::Unchecked);
    QCOMPARE(lastFilter().hiddenDevices, (QVector<int>{0, 1}));
    const int sent = edited.count();
    // The other conditions keep the devices', and clearing brings every device back in
    // one change.
    bar.setTimeSpan(QDateTime(QDate(2024, 3, 15), QTime(0, 0), Qt::UTC), QDateTime());
    QCOMPARE(lastFilter().hiddenDevices, (QVector<int>{0, 1}));
    bar.clear();
    QCOMPARE(edited.count(), sent + 2);
    QVERIFY(lastFilter().isEmpty());
    QCOMPARE(button->text(), QStringLiteral("Устройства"));

    // Another set of devices starts with every one shown; a single device has no filter.
    list->item(2)->setCheckState(Qt::Unchecked);
    bar.setDevices({QStringLiteral("a"), QStringLiteral("b")});
    QVERIFY(bar.filter().isEmpty());
    QCOMPARE(list->count(), 2);
    bar.setDevices({QStringLiteral("a")});
    QVERIFY(!button->isVisible());
    QCOMPARE(list->count(), 0);
    QVERIFY(bar.filter().isEmpty());
}
