// The main window as a user sees it at start, and the settings it remembers.

#include "app/errorbox.h"
#include "app/mainwindow.h"

#include "tests/support/modalanswer.h"

#include <QAction>
#include <QFileDialog>
#include <QImage>
#include <QLabel>
#include <QProgressBar>
#include <QSettings>
#include <QSpinBox>
#include <QStatusBar>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QToolBar>

#include <memory>

// Reads the window's private state that has no widget of its own.
class MainWindowProbe
{
public:
    static QString dirOpen(const MainWindow &w) { return w.dirOpen; }
    static QString dirSave(const MainWindow &w) { return w.dirSave; }
};

namespace {

const QString IconRoot = QStringLiteral(":/new/prefix/Resources/Icons/");

// A pixmap holds its pixels premultiplied, and converting them back rounds: pictures are
// compared in that form, or a half-transparent edge would differ by one step.
QImage iconImage(const QIcon &icon, QIcon::State state = QIcon::Off)
{
    return icon.pixmap(16, 16, QIcon::Normal, state).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

QImage resourceImage(const QString &relativePath)
{
    return QImage(IconRoot + relativePath).convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

} // namespace

class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void titleAndForm();
    void toolbarOrder();
    void actions_data();
    void actions();
    void statusBarAtStart();
    void addressBox();
    void iconBundle_data();
    void iconBundle();
    void windowIconIsTheDesktopIcon_data();
    void windowIconIsTheDesktopIcon();
    void firstStartHasNoDirectories();
    void storedDirectoriesAreRead();
    void errorBoxAsTheUserSeesIt();
    void fileDialogAnswered();

private:
    std::unique_ptr<QTemporaryDir> settingsDir;
    std::unique_ptr<MainWindow> window;
};

void tst_MainWindow::initTestCase()
{
    settingsDir = std::make_unique<QTemporaryDir>();
    QVERIFY(settingsDir->isValid());
    ModalAnswer::prepare(settingsDir->path());
}

void tst_MainWindow::init()
{
    window = std::make_unique<MainWindow>();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
}

void tst_MainWindow::cleanup()
{
    window.reset();
    QVERIFY2(ModalAnswer::allAnswered(), "an expected dialog never appeared");
    ModalAnswer::reset();
    QSettings(QStringLiteral("Tolmer"), QStringLiteral("Хронар")).clear();
}

void tst_MainWindow::titleAndForm()
{
    QCOMPARE(window->windowTitle(), QStringLiteral("Хронар "));
    QCOMPARE(window->objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(window->size(), QSize(800, 600));

    auto *table = window->findChild<QTableView *>(QStringLiteral("tableView"));
    QVERIFY(table != nullptr);
    QCOMPARE(window->centralWidget()->objectName(), QStringLiteral("centralwidget"));
    QVERIFY(table->model() == nullptr);

    QVERIFY(window->menuWidget() == nullptr || !window->menuWidget()->isVisible());
    auto *toolBar = window->findChild<QToolBar *>(QStringLiteral("toolBar"));
    QVERIFY(toolBar != nullptr);
    QCOMPARE(window->toolBarArea(toolBar), Qt::TopToolBarArea);
    QCOMPARE(toolBar->windowTitle(), QStringLiteral("toolBar"));
    QCOMPARE(window->statusBar()->objectName(), QStringLiteral("statusBar"));
}

void tst_MainWindow::toolbarOrder()
{
    auto *toolBar = window->findChild<QToolBar *>(QStringLiteral("toolBar"));
    QStringList seen;
    for (QAction *action : toolBar->actions()) {
        if (action->isSeparator()) {
            seen << QStringLiteral("|");
        } else if (QWidget *widget = toolBar->widgetForAction(action); widget && action->objectName().isEmpty()) {
            if (auto *label = qobject_cast<QLabel *>(widget))
                seen << QStringLiteral("label:") + label->text();
            else if (qobject_cast<QSpinBox *>(widget))
                seen << QStringLiteral("spinbox");
            else
                seen << QStringLiteral("widget");
        } else {
            seen << action->objectName();
        }
    }
    const QStringList expected = {QStringLiteral("actionCreate"),
                                  QStringLiteral("actionOpen"),
                                  QStringLiteral("actionAddLog"),
                                  QStringLiteral("actionCloseLogs"),
                                  QStringLiteral("actionOpenServer"),
                                  QStringLiteral("exportLog"),
                                  QStringLiteral("|"),
                                  QStringLiteral("connectButton"),
                                  QStringLiteral("label:Адрес: "),
                                  QStringLiteral("spinbox"),
                                  QStringLiteral("|"),
                                  QStringLiteral("actionDownload"),
                                  QStringLiteral("actionClearLog"),
                                  QStringLiteral("traffic")};
    QCOMPARE(seen, expected);
}

void tst_MainWindow::actions_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("toolTip");
    QTest::addColumn<QString>("icon");
    QTest::addColumn<bool>("checkable");

    // An action without a tool tip of its own shows its text as the tip.
    QTest::newRow("create") << "actionCreate"
                            << "Create"
                            << "Create"
                            << "ProjectManagment/16x16/time-new.png" << false;
    QTest::newRow("open") << "actionOpen"
                          << "Open"
                          << "Open"
                          << "ProjectManagment/16x16/time-open.png" << false;
    QTest::newRow("add log") << "actionAddLog" << QStringLiteral("Добавить журнал…")
                             << QStringLiteral("Добавить журнал…") << "ProjectManagment/16x16/time-add.png" << false;
    QTest::newRow("close logs") << "actionCloseLogs" << QStringLiteral("Закрыть журналы")
                                << QStringLiteral("Закрыть журналы") << "ProjectManagment/16x16/time-close.png"
                                << false;
    QTest::newRow("open server") << "actionOpenServer" << QStringLiteral("Открыть с сервера…")
                                 << QStringLiteral("Открыть с сервера…") << "ProjectManagment/16x16/time-server.png"
                                 << false;
    QTest::newRow("download") << "actionDownload"
                              << "Download"
                              << "Download"
                              << "ProjectManagment/16x16/time-download.png" << true;
    QTest::newRow("connect") << "connectButton" << QStringLiteral("Соединить") << QStringLiteral("Соединить")
                             << "HardwareNetwork/16x16/usb_connector-error.png" << true;
    QTest::newRow("traffic") << "traffic" << QStringLiteral("Трафик") << QStringLiteral("Трафик")
                             << "HardwareNetwork/16x16/hardware-stats.png" << true;
    QTest::newRow("export") << "exportLog" << QStringLiteral("Экспорт журнала") << QStringLiteral("Экспорт журнала")
                            << "Basic/16x16/save.png" << false;
    QTest::newRow("clear") << "actionClearLog" << QStringLiteral("Очистка журнала") << QStringLiteral("Очистка журнала")
                           << "ProjectManagment/16x16/time-erase.png" << false;
}

void tst_MainWindow::actions()
{
    QFETCH(QString, name);
    QFETCH(QString, text);
    QFETCH(QString, toolTip);
    QFETCH(QString, icon);
    QFETCH(bool, checkable);

    auto *action = window->findChild<QAction *>(name);
    QVERIFY(action != nullptr);
    QCOMPARE(action->parent(), window.get());
    QCOMPARE(action->text(), text);
    QCOMPARE(action->toolTip(), toolTip);
    QCOMPARE(action->isCheckable(), checkable);
    QVERIFY(!action->isChecked());
    QVERIFY(!action->icon().isNull());
    QCOMPARE(iconImage(action->icon()), resourceImage(icon));
}

void tst_MainWindow::statusBarAtStart()
{
    // What the status bar shows: the two counters; the link's state is hidden while
    // there is no link to speak of.
    QStringList texts;
    for (QLabel *label : window->statusBar()->findChildren<QLabel *>()) {
        if (!label->isHidden())
            texts << label->text();
    }
    QCOMPARE(texts, QStringList({QStringLiteral("Отправлено пакетов: 0"), QStringLiteral("Принято пакетов: 0")}));

    auto *progress = window->statusBar()->findChild<QProgressBar *>();
    QVERIFY(progress != nullptr);
    QVERIFY(progress->isHidden());
}

void tst_MainWindow::addressBox()
{
    auto *box = window->findChild<QSpinBox *>();
    QVERIFY(box != nullptr);
    QCOMPARE(box->minimum(), 1);
    QCOMPARE(box->maximum(), 255);
    QCOMPARE(box->value(), 1);
    QVERIFY(box->isVisible());

    // The user can type any address of the range, and nothing else.
    box->selectAll();
    QTest::keyClicks(box, QStringLiteral("255"));
    QCOMPARE(box->value(), 255);
    box->selectAll();
    QTest::keyClicks(box, QStringLiteral("0"));
    box->interpretText();
    QVERIFY(box->value() >= 1);
}

void tst_MainWindow::iconBundle_data()
{
    QTest::addColumn<QString>("path");
    const char *paths[] = {
        "ProjectManagment/16x16/time.png",
        "ProjectManagment/16x16/time-new.png",
        "ProjectManagment/16x16/time-open.png",
        "ProjectManagment/16x16/time-server.png",
        "ProjectManagment/16x16/time-download.png",
        "ProjectManagment/16x16/time-erase.png",
        "HardwareNetwork/16x16/usb_connector-error.png",
        "HardwareNetwork/16x16/usb_connector-ok.png",
        "HardwareNetwork/16x16/hardware-stats.png",
        "Basic/16x16/save.png",
        "HardwareNetwork/16x16/hardware-upload.png",
        "HardwareNetwork/16x16/hardware-download.png",
        "Basic/16x16/warning.png",
        "Basic/16x16/delete_button_error.png",
        "Basic/16x16/info.png",
        "Industry/16x16/manufacturing_process_1_gear-edit.png",
    };
    for (const char *path : paths)
        QTest::newRow(path) << QString::fromLatin1(path);
}

void tst_MainWindow::iconBundle()
{
    QFETCH(QString, path);
    const QImage image = resourceImage(path);
    QVERIFY2(!image.isNull(), qPrintable(IconRoot + path));
    QCOMPARE(image.size(), QSize(16, 16));

    // Something is drawn: at least a quarter of the pixels are not transparent.
    int opaque = 0;
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x)
            opaque += qAlpha(image.pixel(x, y)) > 0;
    QVERIFY2(opaque >= 64, qPrintable(QString::number(opaque)));
}

void tst_MainWindow::windowIconIsTheDesktopIcon_data()
{
    QTest::addColumn<int>("size");
    for (int size : {16, 32, 48, 64, 128, 256})
        QTest::newRow(qPrintable(QStringLiteral("%1x%1").arg(size))) << size;
}

// The window, the menu entry and the taskbar show one picture at every size.
void tst_MainWindow::windowIconIsTheDesktopIcon()
{
    QFETCH(int, size);
    const QIcon icon = window->windowIcon();
    QVERIFY(icon.availableSizes().contains(QSize(size, size)));

    const QString installed = QStringLiteral(KHRONAR_HICOLOR_DIR "/%1x%1/apps/khronar.png").arg(size);
    const QImage desktop = QImage(installed).convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QVERIFY2(!desktop.isNull(), qPrintable(installed));
    QCOMPARE(desktop.size(), QSize(size, size));
    QCOMPARE(icon.pixmap(size, size).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied), desktop);
}

void tst_MainWindow::firstStartHasNoDirectories()
{
    QCOMPARE(MainWindowProbe::dirOpen(*window), QString());
    QCOMPARE(MainWindowProbe::dirSave(*window), QString());
}

void tst_MainWindow::storedDirectoriesAreRead()
{
    window.reset();
    {
        QSettings stored(QStringLiteral("Tolmer"), QStringLiteral("Хронар"));
        stored.setValue(QStringLiteral("DirOpen"), QStringLiteral("/srv/logs"));
        stored.setValue(QStringLiteral("DirSave"), QStringLiteral("/home/engineer/Документы"));
    }
    window = std::make_unique<MainWindow>();
    QCOMPARE(MainWindowProbe::dirOpen(*window), QStringLiteral("/srv/logs"));
    QCOMPARE(MainWindowProbe::dirSave(*window), QStringLiteral("/home/engineer/Документы"));

    // Only the two directories live in the store.
    QSettings stored(QStringLiteral("Tolmer"), QStringLiteral("Хронар"));
    QCOMPARE(stored.allKeys().size(), 2);
#ifdef Q_OS_WIN
    // On Windows the store is the user's registry, under the organization's key.
    QSettings registry(QStringLiteral("HKEY_CURRENT_USER\\Software\\Tolmer\\Хронар"), QSettings::NativeFormat);
    QCOMPARE(registry.value(QStringLiteral("DirOpen")).toString(), QStringLiteral("/srv/logs"));
    QCOMPARE(registry.value(QStringLiteral("DirSave")).toString(), QStringLiteral("/home/engineer/Документы"));
#endif
}

void tst_MainWindow::errorBoxAsTheUserSeesIt()
{
    const auto box = ModalAnswer::messageBox(QMessageBox::Ok);
    showErrorBox(window.get(), QStringLiteral("Файл журнала не открыт"));

    QVERIFY(box->seen);
    QVERIFY(box->pressed);
    QCOMPARE(box->title, QStringLiteral("Ошибка"));
    QCOMPARE(box->text, QStringLiteral("Файл журнала не открыт"));
    QCOMPARE(box->icon, QMessageBox::Critical);
    QCOMPARE(box->buttons, QList<QMessageBox::StandardButton>{QMessageBox::Ok});
    QCOMPARE(box->parent, window.get());
}

void tst_MainWindow::fileDialogAnswered()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("журнал.db"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();

    const auto chosen = ModalAnswer::fileDialog(path);
    const QString result = QFileDialog::getOpenFileName(window.get(), QStringLiteral("Открыть"), dir.path(),
                                                        QStringLiteral("Журнал (*.db)"));
    QVERIFY(chosen->seen);
    QCOMPARE(result, path);
    QCOMPARE(chosen->directory, dir.path());
    QCOMPARE(chosen->nameFilters, QStringList{QStringLiteral("Журнал (*.db)")});
    QVERIFY(!chosen->saving);

    const auto cancelled = ModalAnswer::fileDialog(QString());
    QVERIFY(QFileDialog::getSaveFileName(window.get(), QString(), dir.path()).isEmpty());
    QVERIFY(cancelled->seen);
    QVERIFY(cancelled->saving);
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
