// Creating, opening and exporting log files through the window, as a user does it.

#include "app/mainwindow.h"
#include "logaccess/logmessages.h"

#include "app/largeblocks.h"

#include "tests/support/csvfixture.h"
#include "tests/support/hostilelog.h"
#include "tests/support/logfixture.h"
#include "tests/support/logwindow.h"
#include "tests/support/memorymeter.h"
#include "tests/support/pausemeter.h"
#include "tests/support/modalanswer.h"
#include "tests/support/notlogfiles.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QToolButton>
#include <QSettings>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace LogFixture;

class tst_LogCommands : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void createShowsAnEmptyLog();
    void cancelledDialogsChangeNothing();
    void createReplacesTheOpenFile();
    void createOverUndeletableFile();
    void openShowsTheRecords();
    void openVanishedFileKeepsThePreviousLog();
    void openFileThatIsNoLog_data();
    void openFileThatIsNoLog();
    void exportWithoutLogFile();
    void exportWritesTheTable();
    void exportThatCannotOpenItsFile();
    void exportThatCannotWrite();
    void hostileLogKeepsTheWindowResponsive();
    void exportRunsInTheBackground();
    void cancelledExportLeavesTheFileAsItWas_data();
    void cancelledExportLeavesTheFileAsItWas();

private:
    void trigger(const char *action) { window->findChild<QAction *>(QLatin1String(action))->trigger(); }
    QTableView *table() const { return window->findChild<QTableView *>(QStringLiteral("tableView")); }
    QString stored(const char *key) const
    {
        return QSettings(QStringLiteral("Tolmer"), QStringLiteral("Хронар")).value(QLatin1String(key)).toString();
    }
    QString path(const QString &name) const { return QDir(dir->path()).filePath(name); }
    // A hostile log file (captions of millions of characters, data of megabytes) of
    // `shape`, made in the test's folder and opened through the Open command;
    // `chosen` runs once its dialog has closed, before the file is opened.
    void openHostileLog(const HostileLog::Shape &shape, std::function<void()> chosen = {});
    // Every message on screen is shown: rows whose message needs the start of long data
    // show nothing until it has been read in the background.
    bool screenShown() const;
    // A log file with two records, made without the window.
    void makeLog(const QString &file);
    // The same, opened through the window's Open command; returns its path.
    QString openMadeLog();
    QStringList shownMessages() const;

    std::unique_ptr<QTemporaryDir> settingsDir;
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<MainWindow> window;
};

void tst_LogCommands::initTestCase()
{
    // The window as the application runs it.
    returnLargeBlocksAtOnce();
    settingsDir = std::make_unique<QTemporaryDir>();
    ModalAnswer::prepare(settingsDir->path());
}

void tst_LogCommands::init()
{
    dir = std::make_unique<QTemporaryDir>();
    window = std::make_unique<MainWindow>();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
}

void tst_LogCommands::cleanup()
{
    window.reset();
    QVERIFY2(ModalAnswer::allAnswered(), "an expected dialog never appeared");
    ModalAnswer::reset();
    QSettings(QStringLiteral("Tolmer"), QStringLiteral("Хронар")).clear();
}

void tst_LogCommands::makeLog(const QString &file)
{
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("fixture"));
        QVERIFY(createLogFile(db, file).ok());
        QCOMPARE(addCaption(db, 1, QStringLiteral("Давление \"#u\"")), QString());
        QCOMPARE(addRecord(db, 1, 1, QByteArray("\x07", 1)), QString());
        QCOMPARE(addRecord(db, 2, 2, QByteArray()), QString());
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("fixture"));
}

QString tst_LogCommands::openMadeLog()
{
    const QString file = path(QStringLiteral("log.db"));
    makeLog(file);
    ModalAnswer::fileDialog(file);
    trigger("actionOpen");
    return file;
}

QStringList tst_LogCommands::shownMessages() const
{
    QStringList messages;
    if (QAbstractItemModel *model = table()->model()) {
        for (int row = 0; row < model->rowCount(); ++row)
            messages << model->data(model->index(row, 2)).toString();
    }
    return messages;
}

void tst_LogCommands::createShowsAnEmptyLog()
{
    const QString file = path(QStringLiteral("новый.db"));
    const auto dialog = ModalAnswer::fileDialog(file);
    trigger("actionCreate");

    QVERIFY(dialog->seen);
    QVERIFY(dialog->saving);
    QCOMPARE(dialog->title, QStringLiteral("Создать файл журнала"));
    QCOMPARE(dialog->nameFilters, QStringList{QStringLiteral("Файлы журнала (*.db)")});
    QCOMPARE(dialog->parent, window.get());
    QVERIFY(QFile::exists(file));
    QCOMPARE(stored("DirOpen"), dir->path());

    QTableView *view = table();
    QVERIFY(view->model() != nullptr);
    QCOMPARE(view->model()->rowCount(), 0);
    QCOMPARE(view->model()->headerData(2, Qt::Horizontal).toString(), QStringLiteral("Сообщение"));
    QVERIFY(view->isColumnHidden(3));
    QCOMPARE(view->selectionBehavior(), QAbstractItemView::SelectRows);
    QCOMPARE(view->selectionMode(), QAbstractItemView::SingleSelection);
    QCOMPARE(view->editTriggers(), QAbstractItemView::NoEditTriggers);
    QCOMPARE(view->horizontalHeader()->sectionResizeMode(2), QHeaderView::Stretch);

    // The next dialog starts where this file was made.
    const auto next = ModalAnswer::fileDialog(QString());
    trigger("actionOpen");
    QCOMPARE(next->directory, dir->path());
}

void tst_LogCommands::cancelledDialogsChangeNothing()
{
    for (const char *action : {"actionCreate", "actionOpen"}) {
        const auto dialog = ModalAnswer::fileDialog(QString());
        trigger(action);
        QVERIFY(dialog->seen);
    }
    QVERIFY(table()->model() == nullptr);
    QCOMPARE(stored("DirOpen"), QString());
}

void tst_LogCommands::createReplacesTheOpenFile()
{
    const QString file = openMadeLog();
    QCOMPARE(shownMessages().size(), 2);

    ModalAnswer::fileDialog(file);
    const auto confirm = ModalAnswer::messageBox(QMessageBox::Yes); // the dialog's "replace it?"
    trigger("actionCreate");
    QVERIFY(confirm->seen);
    QCOMPARE(shownMessages(), QStringList());
    QCOMPARE(table()->model()->rowCount(), 0);
}

void tst_LogCommands::createOverUndeletableFile()
{
    // A folder named like a log file with something inside: it cannot be removed.
    const QString file = path(QStringLiteral("занято.db"));
    QVERIFY(QDir().mkpath(file + QStringLiteral("/inside")));
    // The dialog would enter a folder, so the name is typed for a file that the
    // folder then takes the place of.
    const QString chosen = path(QStringLiteral("будет.db"));
    ModalAnswer::fileDialog(chosen, [&] { QVERIFY(QDir().rename(file, chosen)); });
    const auto box = ModalAnswer::messageBox(QMessageBox::Ok);
    trigger("actionCreate");
    QVERIFY(box->seen);
    QCOMPARE(box->title, QStringLiteral("Ошибка"));
    QCOMPARE(box->text, QStringLiteral("Не удается заменить файл"));
    QCOMPARE(box->icon, QMessageBox::Critical);
    QCOMPARE(stored("DirOpen"), dir->path());

    // No log file is open afterwards.
    const auto exportBox = ModalAnswer::messageBox(QMessageBox::Ok);
    trigger("exportLog");
    QCOMPARE(exportBox->text, QStringLiteral("Файл журнала не открыт"));
}

void tst_LogCommands::openShowsTheRecords()
{
    const QString file = path(QStringLiteral("log.db"));
    makeLog(file);
    const auto dialog = ModalAnswer::fileDialog(file);
    trigger("actionOpen");
    QCOMPARE(dialog->title, QStringLiteral("Открыть файл журнала"));
    QVERIFY(!dialog->saving);
    QCOMPARE(dialog->nameFilters, QStringList{QStringLiteral("Файлы журнала (*.db)")});
    QCOMPARE(shownMessages(), QStringList({QStringLiteral("Давление \"7\""), QStringLiteral("Неизвестное событие")}));
    QCOMPARE(stored("DirOpen"), dir->path());
}

void tst_LogCommands::openVanishedFileKeepsThePreviousLog()
{
    const QString first = path(QStringLiteral("first.db"));
    makeLog(first);
    ModalAnswer::fileDialog(first);
    trigger("actionOpen");

    QTemporaryDir other;
    const QString vanishing = QDir(other.path()).filePath(QStringLiteral("исчез.db"));
    makeLog(vanishing);
    ModalAnswer::fileDialog(vanishing, [&] { QVERIFY(QFile::remove(vanishing)); });
    const auto box = ModalAnswer::messageBox(QMessageBox::Ok);
    trigger("actionOpen");

    QCOMPARE(box->text, QStringLiteral("Не удается найти файл \"%1\"").arg(QDir::toNativeSeparators(vanishing)));
    // The directory was remembered before the failure.
    QCOMPARE(stored("DirOpen"), other.path());
    QCOMPARE(shownMessages().size(), 2);

    // And the first file is still the open one.
    const QString csv = path(QStringLiteral("out.csv"));
    ModalAnswer::fileDialog(csv);
    trigger("exportLog");
    QVERIFY(LogWindow::exportEnds(window.get()));
    QFile written(csv);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll().count('\n'), 2);
}

void tst_LogCommands::openFileThatIsNoLog_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("error"); // part of what the export then reports

    using namespace NotLogFiles;
    QTest::newRow("empty file") << int(Empty) << "no such table: Log";
    QTest::newRow("text file") << int(Text) << "file is not a database";
    QTest::newRow("SQLite header, then garbage") << int(GarbageAfterHeader) << "file is not a database";
    QTest::newRow("another program's database") << int(OtherDatabase) << "no such table: Log";
    QTest::newRow("log file without Events") << int(LogWithoutEvents) << "no such table: Events";
    // Waits out SQLite's busy time-out on open and again on export.
    QTest::newRow("locked by another program") << int(LockedLog) << "database is locked";
}

void tst_LogCommands::openFileThatIsNoLog()
{
    QFETCH(int, kind);
    QFETCH(QString, error);
    const QString file = path(QStringLiteral("чужой.db"));
    const NotLogFiles::NotLogFile made(NotLogFiles::Kind(kind), file);
    QVERIFY(made.ready());

    // Opening says nothing; the table shows nothing.
    const auto unwanted = ModalAnswer::messageBox(QMessageBox::Ok);
    ModalAnswer::fileDialog(file);
    trigger("actionOpen");
    QVERIFY2(!unwanted->seen, qPrintable(unwanted->text));
    ModalAnswer::reset();
    QVERIFY(table()->model() != nullptr);
    QCOMPARE(table()->model()->rowCount(), 0);
    QCOMPARE(table()->model()->columnCount(), 0);

    // The export reports what the database says, as for any database error.
    const QString csv = path(QStringLiteral("out.csv"));
    ModalAnswer::fileDialog(csv);
    const auto box = ModalAnswer::messageBox(QMessageBox::Ok);
    trigger("exportLog");
    QVERIFY(LogWindow::exportEnds(window.get()));
    QVERIFY(box->seen);
    QCOMPARE(box->title, QStringLiteral("Ошибка"));
    QCOMPARE(box->icon, QMessageBox::Critical);
    QVERIFY2(box->text.contains(error), qPrintable(box->text));

    // A log file opened next is shown as usual.
    openMadeLog();
    QCOMPARE(shownMessages().size(), 2);
    QVERIFY(table()->isColumnHidden(3));
    QCOMPARE(table()->horizontalHeader()->sectionResizeMode(2), QHeaderView::Stretch);
}

void tst_LogCommands::exportWithoutLogFile()
{
    const auto box = ModalAnswer::messageBox(QMessageBox::Ok);
    trigger("exportLog");
    QVERIFY(box->seen);
    QCOMPARE(box->title, QStringLiteral("Ошибка"));
    QCOMPARE(box->text, QStringLiteral("Файл журнала не открыт"));
    QCOMPARE(box->buttons, QList<QMessageBox::StandardButton>{QMessageBox::Ok});
    QCOMPARE(stored("DirSave"), QString());
}

void tst_LogCommands::exportWritesTheTable()
{
    openMadeLog();

    QTemporaryDir target;
    const QString csv = QDir(target.path()).filePath(QStringLiteral("журнал.csv"));
    {
        QFile old(csv);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write(QByteArray(10000, 'x'));
    }
    const auto dialog = ModalAnswer::fileDialog(csv);
    const auto confirm = ModalAnswer::messageBox(QMessageBox::Yes);
    trigger("exportLog");
    QVERIFY(LogWindow::exportEnds(window.get()));
    QCOMPARE(dialog->title, QStringLiteral("Экспортировать журнал"));
    QCOMPARE(dialog->nameFilters, QStringList{QStringLiteral("Файл таблицы (*.csv)")});
    QVERIFY(dialog->saving);
    QVERIFY(confirm->seen);

    QFile written(csv);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(CsvFixture::withNewlines(written.readAll()),
             QStringLiteral("\"2024-03-15 13:45:30\";\"Предупреждение\";\"Давление \"\"7\"\"\"\n"
                            "\"2024-03-15 13:45:30\";\"Ошибка\";\"Неизвестное событие\"\n")
                 .toLocal8Bit());
    QCOMPARE(stored("DirSave"), target.path());
    QCOMPARE(stored("DirOpen"), dir->path());

    const auto next = ModalAnswer::fileDialog(QString());
    trigger("exportLog");
    QCOMPARE(next->directory, target.path());
}

void tst_LogCommands::exportThatCannotOpenItsFile()
{
    ModalAnswer::fileDialog(path(QStringLiteral("log.db")));
    trigger("actionCreate");

    // Between the choice and the write a folder took the file's name.
    QTemporaryDir target;
    const QString csv = QDir(target.path()).filePath(QStringLiteral("журнал.csv"));
    ModalAnswer::fileDialog(csv, [&] { QVERIFY(QDir().mkpath(csv + QStringLiteral("/x"))); });
    const auto box = ModalAnswer::messageBox(QMessageBox::Ok);
    trigger("exportLog");
    QVERIFY(LogWindow::exportEnds(window.get()));
    QVERIFY(box->seen);
    QCOMPARE(box->title, QStringLiteral("Ошибка"));
    QCOMPARE(box->text, QStringLiteral("Не удается записать файл \"%1\"").arg(csv));
    QCOMPARE(box->icon, QMessageBox::Critical);
    QCOMPARE(stored("DirSave"), target.path());
}

void tst_LogCommands::exportThatCannotWrite()
{
#ifdef Q_OS_WIN
    QSKIP("Windows has no device that opens and then fails every write, as /dev/full does");
#endif
    openMadeLog();

    // Opens fine, and every write fails: a full disk.
    ModalAnswer::fileDialog(QStringLiteral("/dev/full"));
    ModalAnswer::messageBox(QMessageBox::Yes);
    const auto box = ModalAnswer::messageBox(QMessageBox::Ok);
    trigger("exportLog");
    QVERIFY(LogWindow::exportEnds(window.get()));
    QVERIFY(box->seen);
    QCOMPARE(box->text, QStringLiteral("Не удается записать файл \"/dev/full\""));
}

void tst_LogCommands::openHostileLog(const HostileLog::Shape &shape, std::function<void()> chosen)
{
    const QString file = path(QStringLiteral("hostile.db"));
    QCOMPARE(HostileLog::make(file, shape), QString());
    ModalAnswer::fileDialog(file, std::move(chosen));
    trigger("actionOpen");
}

bool tst_LogCommands::screenShown() const
{
    const QAbstractItemModel *model = table()->model();
    if (model == nullptr || model->rowCount() == 0)
        return false;
    const int last = table()->rowAt(table()->viewport()->height() - 1);
    for (int row = 0; row <= (last >= 0 ? last : model->rowCount() - 1); ++row) {
        if (model->index(row, 2).data().toString().isEmpty())
            return false;
    }
    return true;
}

// A log file a customer might mail to do harm: the window opens it, shows it, searches
// it and shows its timeline without freezing and without holding its captions and data
// in memory. (The benchmark's file is 12 records of 10 MB data and a caption of 10 million
// characters; this one is smaller, and the window's pauses are still seconds long where
// it renders whole captions.)
void tst_LogCommands::hostileLogKeepsTheWindowResponsive()
{
    HostileLog::Shape shape;
    shape.dataBytes = 1024 * 1024;
    shape.captionChars = 2000000;
    MemoryMeter memory;
    const bool measured = memory.start();
    // Measured from the moment the file is chosen: the dialog's own pauses are Qt's.
    std::unique_ptr<PauseMeter> pauses;
    openHostileLog(shape, [&pauses] { pauses = std::make_unique<PauseMeter>(); });
    QVERIFY(pauses != nullptr);
    QTRY_VERIFY_WITH_TIMEOUT(screenShown(), 20000);
    const QAbstractItemModel *model = table()->model();
    QCOMPARE(model->rowCount(), shape.records);
    // The long caption by its start, said to be cut; the long data as ever, by its start.
    const QString first = model->index(0, 2).data().toString();
    QCOMPARE(first, QString(MaxShownMessage, QChar(0x0416)) + QStringLiteral("…"));
    QVERIFY(model->index(0, 2).data(Qt::ToolTipRole).isValid());
    QCOMPARE(model->index(1, 2).data().toString(),
             QStringLiteral("Данные ") + QString(4096, QLatin1Char('A')) + QStringLiteral("…"));
    QVERIFY(model->index(1, 2).data(Qt::ToolTipRole).isValid());
    // A search, and its timeline, over the same messages.
    auto *text = window->findChild<QLineEdit *>(QStringLiteral("filterText"));
    text->setText(QStringLiteral("жжж"));
    QTRY_COMPARE_WITH_TIMEOUT(window->findChild<QLabel *>(QStringLiteral("filterCount"))->text(),
                              QStringLiteral("6 из 12"), 20000);
    QTRY_VERIFY_WITH_TIMEOUT(screenShown(), 20000);
    QVERIFY2(pauses->longestMs() < 500, qPrintable(QStringLiteral("the window paused %1 ms").arg(pauses->longestMs())));
    if (measured && MemoryMeter::meaningful()) {
        // Its captions alone are 4 MB each as the window holds text; rendered whole for
        // every row, they took hundreds of megabytes.
        QVERIFY2(memory.peakGrowthMegabytes() < 80,
                 qPrintable(QStringLiteral("the window took %1 MB").arg(memory.peakGrowthMegabytes())));
    }
}

// The export of a hostile log runs beside the window, with its progress in the status
// bar, and writes every message whole.
void tst_LogCommands::exportRunsInTheBackground()
{
    HostileLog::Shape shape;
    shape.dataBytes = 2 * 1024 * 1024;
    shape.captionChars = 1000000;
    openHostileLog(shape);
    QTRY_VERIFY_WITH_TIMEOUT(screenShown(), 20000);
    auto *progress = window->findChild<QProgressBar *>(QStringLiteral("exportProgress"));
    auto *cancel = window->findChild<QToolButton *>(QStringLiteral("exportCancel"));
    QVERIFY(progress != nullptr && cancel != nullptr);
    QVERIFY(!progress->isVisible() && !cancel->isVisible());

    const QString csv = path(QStringLiteral("журнал.csv"));
    const PauseMeter pauses;
    ModalAnswer::fileDialog(csv);
    trigger("exportLog");
    // Running: its bar counts the table's rows, and the command waits for it to end.
    QVERIFY(progress->isVisible() && cancel->isVisible());
    QCOMPARE(progress->maximum(), shape.records);
    QVERIFY(!window->findChild<QAction *>(QStringLiteral("exportLog"))->isEnabled());
    QVERIFY(LogWindow::exportEnds(window.get()));
    QVERIFY(!progress->isVisible() && !cancel->isVisible());
    QVERIFY2(pauses.longestMs() < 500, qPrintable(QStringLiteral("the window paused %1 ms").arg(pauses.longestMs())));
    QFile written(csv);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QVERIFY(CsvFixture::withNewlines(written.readAll()) == HostileLog::expectedCsv(shape));
}

void tst_LogCommands::cancelledExportLeavesTheFileAsItWas_data()
{
    QTest::addColumn<QByteArray>("before"); // null: there was no file
    QTest::newRow("no file") << QByteArray();
    QTest::newRow("an earlier export") << QByteArray("\"2024-03-15 13:45:30\";\"Информация\";\"Пуск\"\n");
}

void tst_LogCommands::cancelledExportLeavesTheFileAsItWas()
{
    QFETCH(QByteArray, before);
    // Long enough to export that the cancel comes while it runs.
    HostileLog::Shape shape;
    shape.records = 24;
    shape.dataBytes = 4 * 1024 * 1024;
    shape.captionChars = 1000000;
    openHostileLog(shape);
    QTRY_VERIFY_WITH_TIMEOUT(screenShown(), 20000);
    QTemporaryDir target;
    const QString csv = QDir(target.path()).filePath(QStringLiteral("журнал.csv"));
    if (!before.isNull()) {
        QFile earlier(csv);
        QVERIFY(earlier.open(QIODevice::WriteOnly));
        earlier.write(before);
        ModalAnswer::messageBox(QMessageBox::Yes); // the dialog's "replace it?"
    }
    ModalAnswer::fileDialog(csv);
    trigger("exportLog");
    auto *cancel = window->findChild<QToolButton *>(QStringLiteral("exportCancel"));
    QVERIFY(cancel->isVisible());
    QTest::mouseClick(cancel, Qt::LeftButton);
    QVERIFY(LogWindow::exportEnds(window.get()));
    // Nothing said, nothing half written, nothing left beside it.
    QCOMPARE(QDir(target.path()).entryList(QDir::Files | QDir::Hidden),
             before.isNull() ? QStringList() : QStringList{QStringLiteral("журнал.csv")});
    if (!before.isNull()) {
        QFile kept(csv);
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), before);
    }
    // And the next export writes it whole.
    QTest::qWait(0);
    ModalAnswer::fileDialog(csv);
    if (!before.isNull())
        ModalAnswer::messageBox(QMessageBox::Yes);
    trigger("exportLog");
    QVERIFY(LogWindow::exportEnds(window.get()));
    QFile written(csv);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(CsvFixture::withNewlines(written.readAll()).size(), HostileLog::expectedCsv(shape).size());
}

QTEST_MAIN(tst_LogCommands)
#include "tst_logcommands.moc"
