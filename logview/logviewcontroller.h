// Wires the log table, its model, the filter bar and the timeline together, and hosts
// the go-to commands: what the user sets in the bar reaches the model, what the model
// finds reaches the bar, a view at the bottom follows new records, a bar of the timeline
// clicked goes to its records and a span dragged on it becomes the bar's span of time.
#pragma once

#include <QObject>
#include <QVector>

class LogFilterBar;
class LogTimeline;
class LogTimelineStrip;
class LogViewModel;
class QAction;
class QAbstractItemDelegate;
class QMainWindow;
class QStringList;
class QTableView;
struct LogFilter;

/*
 * Commands, as actions of the window (shortcuts anywhere in it):
 *   actionGoToTime    Ctrl+G     the first row shown at or after a time (asks it)
 *   actionGoToOldest  Ctrl+Home  the first row
 *   actionGoToNewest  Ctrl+End   the last row
 * and in the filter bar, with several devices in view:
 *   timelineByDevice             the timeline's bars by device rather than by type
 */
class LogViewController : public QObject
{
    Q_OBJECT

public:
    LogViewController(QMainWindow *window, QTableView *table, LogViewModel *model, LogFilterBar *bar,
                      LogTimelineStrip *strip);

    // The window's refreshLogView: after closeLog(), the log open now from its start,
    // with the table's presentation; otherwise the records stored since.
    void refresh();
    // Before a log file is created or opened: the model lets go of the file it shows.
    void closeLog();
    // Whether the table shows its last row at the bottom: a view that follows new records.
    bool atNewest() const;
    // The log shown next goes to its last row once read, as a view that followed new
    // records before it was shown anew.
    void showNewestWhenRead() { newestWhenRead = true; }
    // The log shown next, which holds this one's rows at its end (and more before them),
    // keeps the place the table has in this one counted from the last row: its last row
    // when this one shows its last, else the same rows at the top and the same current
    // row, each as far from the end.
    void keepPlaceFromNewestWhenRead();

    QAction *goToTimeAction() const { return goToTime; }
    // The devices in view, as the device column names them (none for one log): the
    // device filter's list (all checked but those of index in `hidden`) and the
    // timeline's legend.
    void setDevices(const QStringList &names, const QVector<int> &hidden = {});

private:
    void logRead();
    void present();
    void filterEdited(const LogFilter &filter);
    void scanFinished();
    void showNewestIfAsked();
    void askForTime();
    void timeLocated(int request, int row);
    // Makes `row` current and scrolls it into the middle of the table.
    void showRow(int row);

    QMainWindow *window;
    QTableView *table;
    LogViewModel *model;
    LogFilterBar *bar;
    LogTimeline *timeline;
    LogTimelineStrip *strip;
    QAction *timelineByDevice;
    QAction *goToTime;
    QAction *goToOldest;
    QAction *goToNewest;
    // The message column's, wherever that column is.
    QAbstractItemDelegate *messageDelegate;
    // A refresh appends at the end; a view that was at the bottom goes along.
    bool followAppend = false;
    bool newestWhenRead = false;
    // Rows from the end of the row at the top and of the current row (none: -1), kept
    // for the log shown next.
    int topFromNewest = -1;
    int currentFromNewest = -1;
    // The record that was current when the filter changed: it is current again once the
    // rows of the new filter are known, if it is among them and the user did not scroll.
    bool keepRecord = false;
    qint64 keptKey = 0;
    int locateRequest = 0;
    int presentedColumns = -1;
};
