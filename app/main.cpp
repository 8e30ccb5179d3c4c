// Entry point: one application object, one main window, the event loop.

#include "app/mainwindow.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    int exitCode = 0;
    {
        MainWindow window;
        window.show();
        exitCode = application.exec();
    } // the window goes first: its destructor stops the serial worker
    return exitCode;
}
