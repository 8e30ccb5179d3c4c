// Creating, opening and exporting log files through the window, as a user does it.

#include "app/mainwindow.h"

#include "tests/support/logfixture.h"
#include "tests/support/modalanswer.h"
#include "tests/support/notlogfiles.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QHeaderView>
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

private:
    void trigger(const char *action) { window->findChild<QAction *>(QLatin1String(action))->trigger(); }
    QTableView *table() const { return window->findChild<QTableView *>(QStringLiteral("tableView")); }
    QString stored(const char *key) const
    {
        return QSettings(QStringLiteral("Tolmer"), QStringLiteral("Хронар")).value(QLatin1String(key)).toString();
    }
    QString path(const QString &name) const { return QDir(dir->path()).filePath(name); }
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

    QCOMPARE(box->text, QStringLiteral("Не удается найти файл \"%1\"").arg(vanishing));
    // The directory was remembered before the failure.
    QCOMPARE(stored("DirOpen"), other.path());
    QCOMPARE(shownMessages().size(), 2);

    // And the first file is still the open one.
    const QString csv = path(QStringLiteral("out.csv"));
    ModalAnswer::fileDialog(csv);
    trigger("exportLog");
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
    QCOMPARE(dialog->title, QStringLiteral("Экспортировать журнал"));
    QCOMPARE(dialog->nameFilters, QStringList{QStringLiteral("Файл таблицы (*.csv)")});
    QVERIFY(dialog->saving);
    QVERIFY(confirm->seen);

    QFile written(csv);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QCOMPARE(written.readAll(),
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
    QVERIFY(box->seen);
    QCOMPARE(box->title, QStringLiteral("Ошибка"));
    QCOMPARE(box->text, QStringLiteral("Не удается записать файл \"%1\"").arg(csv));
    QCOMPARE(box->icon, QMessageBox::Critical);
    QCOMPARE(stored("DirSave"), target.path());
}

void tst_LogCommands::exportThatCannotWrite()
{
    openMadeLog();

    // Opens fine, and every write fails: a full disk.
    ModalAnswer::fileDialog(QStringLiteral("/dev/full"));
    ModalAnswer::messageBox(QMessageBox::Yes);
    const auto box = ModalAnswer::messageBox(QMessageBox::Ok);
    trigger("exportLog");
    QVERIFY(box->seen);
    QCOMPARE(box->text, QStringLiteral("Не удается записать файл \"/dev/full\""));
}

QTEST_MAIN(tst_LogCommands)
#include "tst_logcommands.moc"
