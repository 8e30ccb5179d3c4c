// Entry point: one application object, one main window, the event loop.

#include "app/largeblocks.h"
#include "app/mainwindow.h"
#include "app/terminationsignals.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    returnLargeBlocksAtOnce();
    QApplication application(argc, argv);
    // The desktop entry's name: lets a Wayland taskbar find the entry and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("ru.tolmer.khronar"));
    // Logout and Ctrl+C end the event loop like closing the window, so the window's
    // destructor still stops the serial worker and closes the port.
    quitOnTerminationSignals();
    int exitCode = 0;
    {
        MainWindow window;
        window.show();
        exitCode = application.exec();
    } // the window goes first: its destructor stops the serial worker
    return exitCode;
}
