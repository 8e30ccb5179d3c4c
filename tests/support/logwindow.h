// The window of the log view's tests: a main window shown offscreen with its settings kept
// aside, a log file made in a temporary folder and opened through the Open command, and
// the texts the filter bar shows.
#pragma once

#include "app/mainwindow.h"
#include "tests/support/logfixture.h"
#include "tests/support/modalanswer.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QSettings>
#include <QSpinBox>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>

namespace LogWindow {

// A wall-clock time of the device, as the table shows it.
inline QDateTime at(const QString &text)
{
    return QDateTime(QDate::fromString(text.left(10), QStringLiteral("yyyy-MM-dd")),
                     QTime::fromString(text.mid(11), QStringLiteral("HH:mm:ss")), Qt::UTC);
}

// "1 234 из 3 000", as the bar counts.
inline QString counted(int shown, int total)
{
    const auto grouped = [](int number) {
        QString digits = QString::number(number);
        for (int at = digits.size() - 3; at > 0; at -= 3)
            digits.insert(at, QLatin1Char(' '));
        return digits;
    };
    return QStringLiteral("%1 из %2").arg(grouped(shown), grouped(total));
}

// Waits until an export the window runs in the background has ended: the Export command
// is back (it is off while one runs). False when it does not end within a minute.
inline bool exportEnds(QWidget *window)
{
    QAction *exportLog = window->findChild<QAction *>(QStringLiteral("exportLog"));
    return exportLog != nullptr && QTest::qWaitFor([exportLog] { return exportLog->isEnabled(); }, 60000);
}

} // namespace LogWindow

// A test class derives from it (after QObject) and calls prepareSettings() from its
// initTestCase, showWindow() from init and closeWindow() from cleanup.
class LogWindowTest
{
protected:
    void prepareSettings()
    {
        settingsDir = std::make_unique<QTemporaryDir>();
        ModalAnswer::prepare(settingsDir->path());
    }
    void showWindow()
    {
        dir = std::make_unique<QTemporaryDir>();
        window = std::make_unique<MainWindow>();
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        clock = LogFixture::March15th2024;
    }
    void closeWindow()
    {
        window.reset();
        fixture.close();
        fixture = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("fixture"));
        QVERIFY2(ModalAnswer::allAnswered(), "an expected dialog never appeared");
        ModalAnswer::reset();
        QSettings(QStringLiteral("Tolmer"), QStringLiteral("Хронар")).clear();
    }
    // Makes "журнал.db", lets `fill` write it through `fixture`, and opens it with the Open
    // command.
    void openLog(const std::function<void()> &fill)
    {
        const QString file = QDir(dir->path()).filePath(QStringLiteral("журнал.db"));
        fixture = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("fixture"));
        QVERIFY(createLogFile(fixture, file).ok());
        fill();
        ModalAnswer::fileDialog(file);
        child<QAction>("actionOpen")->trigger();
        // A window manager gives the window back its activation when the dialog closes;
        // the offscreen platform does not.
        window->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
    }

    // Exports to `csv` through the Export command, answering its file dialog, and waits
    // until the export has ended (it runs in the background); the file's bytes, or "not
    // written".
    QByteArray exportTable(const QString &csv)
    {
        ModalAnswer::fileDialog(csv);
        child<QAction>("exportLog")->trigger();
        if (!LogWindow::exportEnds(window.get()))
            return QByteArray("export did not end");
        QFile written(csv);
        return written.open(QIODevice::ReadOnly) ? written.readAll() : QByteArray("not written");
    }

    // Gives the device of the table's `row` (in a view of several devices) a clock offset
    // as a user does: a right click on the row's device, «Поправка часов…» from the
    // menu, `typed` into the dialog's seconds and Enter. False when the menu or the
    // dialog did not come; the dialog's question in *asked.
    bool giveClockOffset(int row, const QString &typed, QString *asked = nullptr)
    {
        table()->scrollTo(table()->model()->index(row, 0));
        // A view of several logs reads its pages on a thread of its own: the row names its
        // device once its page is in.
        if (!QTest::qWaitFor([&] { return table()->model()->index(row, 1).data().isValid(); }, 20000))
            return false;
        const QRect cell = table()->visualRect(table()->model()->index(row, 0));
        if (!cell.isValid())
            return false;
        bool chosen = false;
        QTimer menuWatch;
        QObject::connect(&menuWatch, &QTimer::timeout, [&] {
            auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
            if (menu == nullptr || menu->actions().isEmpty())
                return;
            chosen = menu->actions().first()->text() == QStringLiteral("Поправка часов…");
            menu->setActiveAction(menu->actions().first());
            QTest::keyClick(menu, Qt::Key_Return);
        });
        menuWatch.start(20);
        const auto answered = ModalAnswer::widget(
            [](QWidget *top) { return top->findChild<QSpinBox *>(QStringLiteral("deviceClockOffset")) != nullptr; },
            [&](QWidget *top) {
                auto *seconds = top->findChild<QSpinBox *>(QStringLiteral("deviceClockOffset"));
                if (asked)
                    *asked = top->findChild<QLabel *>()->text();
                seconds->selectAll();
                QTest::keyClicks(seconds, typed);
                QTest::keyClick(seconds, Qt::Key_Return);
            });
        QContextMenuEvent click(QContextMenuEvent::Mouse, cell.center(),
                                table()->viewport()->mapToGlobal(cell.center()));
        QApplication::sendEvent(table()->viewport(), &click);
        return QTest::qWaitFor([&] { return *answered; }, 5000) && chosen;
    }

    template<typename Widget> Widget *child(const char *name) const
    {
        return window->findChild<Widget *>(QLatin1String(name));
    }
    QTableView *table() const { return child<QTableView>("tableView"); }
    QString countText() const { return child<QLabel>("filterCount")->text(); }

    std::unique_ptr<QTemporaryDir> settingsDir;
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<MainWindow> window;
    QSqlDatabase fixture;
    quint32 clock = LogFixture::March15th2024;
};
