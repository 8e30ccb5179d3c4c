// The bar above the log table in which the user narrows what the table shows: a text
// in the messages, the record types, a span of time; and how many rows that leaves.
#pragma once

#include "logaccess/logfilter.h"

#include <QDateTime>
#include <QTimer>
#include <QWidget>

class QAction;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QToolButton;
class LogBoundEdit;

/*
 * Children, by object name:
 *   filterText (QLineEdit)            text, case-insensitive; red with the reason when
 *   filterRegex (QToolButton)         it is an invalid regular expression
 *   filterType0 .. filterType3        checked: records of that type are shown
 *   filterFrom, filterTo              bounds, inclusive; "—" (the minimum) is no bound
 *   filterDevice (QToolButton)        with several devices in view: a list of them, each
 *     filterDeviceList (QListWidget)  with a check box (checked: its records are shown)
 *   filterClear (QToolButton)         every filter off, as Esc anywhere in the bar
 *   filterProgress (QProgressBar)     while a long search runs
 *   filterCount (QLabel)              "1 234 из 200 000": rows shown, records in the log
 * Every change sends filterEdited with the whole filter.
 */
class LogFilterBar : public QWidget
{
    Q_OBJECT

public:
    explicit LogFilterBar(QWidget *parent = nullptr);

    LogFilter filter() const;
    // Every filter off.
    void clear();
    // The span of time, both ends included; an invalid end is no bound.
    void setTimeSpan(const QDateTime &first, const QDateTime &last);
    // The devices in view, as the device column names them; with fewer than two there is
    // no device filter. A new list shows every device but those of index in `hidden`.
    void setDevices(const QStringList &names, const QVector<int> &hidden = {});
    // A tool button for `action`, at the bar's end.
    void addTool(QAction *action);

    // Where the time edits go when first touched: the first and the last record's time.
    void setTimeHints(const QDateTime &oldest, const QDateTime &newest);
    void setCounts(int shown, int total);
    void setScanning(bool running);
    void setProgress(int done, int total);
    void setScanError(const QString &error);

    // The value of a time edit that means no bound, shown as "—".
    static QDateTime noBound();

signals:
    void filterEdited(const LogFilter &filter);

private:
    void edited();
    void markText(const LogFilter &filter);
    void markDevices();

    QWidget *searchGroup;
    QWidget *spanGroup;
    QHBoxLayout *spanLayout;
    QLineEdit *text;
    QToolButton *regex;
    QToolButton *types[4];
    LogBoundEdit *from;
    LogBoundEdit *to;
    QToolButton *devices;
    QListWidget *deviceList;
    QToolButton *clearButton;
    QProgressBar *progress;
    QLabel *count;
    QTimer progressDelay;
    LogFilter sent;
    // Several parts change at once: the model hears of the result only.
    bool changingSeveral = false;
};
