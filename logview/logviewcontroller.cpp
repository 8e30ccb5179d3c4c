// The log view's wiring and its go-to commands.

#include "logview/logviewcontroller.h"

#include "logview/dialoggototime.h"
#include "logview/logfilterbar.h"
#include "logview/logtimeline.h"
#include "logview/logtimelinestrip.h"
#include "logview/logviewmodel.h"

#include <QAction>
#include <QHeaderView>
#include <QIcon>
#include <QMainWindow>
#include <QScrollBar>
#include <QStatusBar>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QStyledItemDelegate>
#include <QTableView>

#include <algorithm>

namespace {

QAction *windowAction(QMainWindow *window, const char *name, const QString &text, const QKeySequence &keys)
{
    auto *action = new QAction(text, window);
    action->setObjectName(QLatin1String(name));
    action->setShortcut(keys);
    action->setShortcutContext(Qt::WindowShortcut);
    action->setToolTip(QStringLiteral("%1 (%2)").arg(text, keys.toString(QKeySequence::NativeText)));
    window->addAction(action);
    return action;
}

// The message column draws no more of a message than its cell can show, and at most
// MaxDrawnCharacters of it: a message of thousands of characters (the start of a hostile
// one) would otherwise be laid out whole on every paint and every size hint. The column
// is as wide as the longest message on screen when the log is shown, so the cap also
// keeps it from growing to hundreds of screens.
class MessageDelegate final : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    static constexpr int MaxDrawnCharacters = 1024;

protected:
    void initStyleOption(QStyleOptionViewItem *option, const QModelIndex &index) const override
    {
        QStyledItemDelegate::initStyleOption(option, index);
        // Every character is a pixel wide at least; a size hint has no cell to fit.
        const int width = option->rect.width();
        const int fits = width > 0 ? std::min(width, MaxDrawnCharacters) : MaxDrawnCharacters;
        if (option->text.size() > fits + 1)
            option->text = option->text.left(fits) + QStringLiteral("…");
    }
};

} // namespace

LogViewController::LogViewController(QMainWindow *window, QTableView *table, LogViewModel *model, LogFilterBar *bar,
                                     LogTimelineStrip *strip)
    : QObject(window),
      window(window),
      table(table),
      model(model),
      bar(bar),
      timeline(new LogTimeline(model, this)),
      strip(strip),
      timelineByDevice(new QAction(QStringLiteral("По устройствам"), window)),
      goToTime(windowAction(window, "actionGoToTime", QStringLiteral("Перейти ко времени"),
                            QKeySequence(Qt::CTRL | Qt::Key_G))),
      goToOldest(windowAction(window, "actionGoToOldest", QStringLiteral("К первой записи"),
                              QKeySequence(Qt::CTRL | Qt::Key_Home))),
      goToNewest(windowAction(window, "actionGoToNewest", QStringLiteral("К последней записи"),
                              QKeySequence(Qt::CTRL | Qt::Key_End))),
      messageDelegate(new MessageDelegate(this))
{
    goToTime->setIcon(QIcon(QStringLiteral(":/new/prefix/Resources/Icons/ProjectManagment/16x16/time.png")));
    bar->addTool(goToTime);
    timelineByDevice->setObjectName(QStringLiteral("timelineByDevice"));
    timelineByDevice->setCheckable(true);
    timelineByDevice->setToolTip(QStringLiteral("Столбцы шкалы времени по устройствам, а не по типам записей"));
    timelineByDevice->setVisible(false);
    bar->addTool(timelineByDevice);
    connect(timelineByDevice, &QAction::toggled, timeline, &LogTimeline::setByDevice);

    connect(bar, &LogFilterBar::filterEdited, this, &LogViewController::filterEdited);
    connect(model, &LogViewModel::countsChanged, bar, &LogFilterBar::setCounts);
    connect(model, &LogViewModel::scanStarted, bar, [bar] { bar->setScanning(true); });
    connect(model, &LogViewModel::scanProgress, bar, &LogFilterBar::setProgress);
    connect(model, &LogViewModel::scanFinished, this, &LogViewController::scanFinished);
    connect(model, &LogViewModel::scanFailed, bar, &LogFilterBar::setScanError);
    connect(model, &LogViewModel::timeLocated, this, &LogViewController::timeLocated);
    connect(model, &LogViewModel::recordsAboutToBeAppended, this, [this] {
        const QScrollBar *scroll = this->table->verticalScrollBar();
        followAppend = scroll->value() == scroll->maximum();
    });
    connect(model, &LogViewModel::recordsAppended, this, [this] {
        if (followAppend)
            this->table->scrollToBottom();
    });
    // A log shown anew or refreshed, once its answers are in (at once for a log file).
    connect(model, &LogViewModel::logReloaded, this, &LogViewController::logRead);
    connect(model, &LogViewModel::logRefreshed, this, &LogViewController::logRead);
    connect(goToTime, &QAction::triggered, this, &LogViewController::askForTime);
    connect(goToOldest, &QAction::triggered, this, [this] { showRow(0); });
    connect(goToNewest, &QAction::triggered, this, [this] { showRow(this->model->rowCount() - 1); });

    strip->setTimeline(timeline);
    connect(strip, &LogTimelineStrip::bucketClicked, this, [this](const QDateTime &from, const QDateTime &until) {
        locateRequest = this->model->locateTime(from, until);
    });
    // Through the bar, so that the bar, the table and the count follow as they do for a
    // span typed there; the timeline then shows the span.
    connect(strip, &LogTimelineStrip::spanSelected, bar, &LogFilterBar::setTimeSpan);
    connect(strip, &LogTimelineStrip::wholeSpanRequested, bar, [bar] { bar->setTimeSpan(QDateTime(), QDateTime()); });
}

void LogViewController::setDevices(const QStringList &names, const QVector<int> &hidden)
{
    bar->setDevices(names, hidden);
    strip->setDeviceNames(names);
    timelineByDevice->setVisible(names.size() > 1);
}

void LogViewController::refresh()
{
    if (model->isLoaded())
        model->refresh();
    else
        model->reload();
}

void LogViewController::logRead()
{
    // Columns come and go with the view query (a table dropped and restored behind the
    // tool's back): each time they come, they are laid out anew.
    if (!table->model() || model->columnCount() != presentedColumns)
        present();
    bar->setTimeHints(model->edgeTime(false), model->edgeTime(true));
    showNewestIfAsked();
}

void LogViewController::keepPlaceFromNewestWhenRead()
{
    const int rows = model->rowCount();
    const int top = table->rowAt(0);
    if (atNewest() || rows == 0 || top < 0) {
        newestWhenRead = true;
        return;
    }
    topFromNewest = rows - 1 - top;
    const QModelIndex current = table->currentIndex();
    currentFromNewest = current.isValid() ? rows - 1 - current.row() : -1;
}

void LogViewController::showNewestIfAsked()
{
    // Once the rows on show are all known: a filter's scan may follow the read.
    if ((!newestWhenRead && topFromNewest < 0) || !model->isLoaded() || model->isScanning())
        return;
    keepRecord = false;
    if (newestWhenRead) {
        newestWhenRead = false;
        topFromNewest = -1;
        currentFromNewest = -1;
        table->scrollToBottom();
        return;
    }
    const int last = model->rowCount() - 1;
    const int column = model->deviceColumns() + 1;
    if (currentFromNewest >= 0 && last - currentFromNewest >= 0)
        table->setCurrentIndex(model->index(last - currentFromNewest, column));
    if (last - topFromNewest >= 0)
        table->scrollTo(model->index(last - topFromNewest, column), QAbstractItemView::PositionAtTop);
    topFromNewest = -1;
    currentFromNewest = -1;
}

bool LogViewController::atNewest() const
{
    const QScrollBar *scroll = table->verticalScrollBar();
    return scroll->value() == scroll->maximum();
}

void LogViewController::closeLog()
{
    keepRecord = false;
    model->closeLog();
    // The next refresh lays the table out for the file it then shows.
    presentedColumns = -1;
}

void LogViewController::present()
{
    presentedColumns = model->columnCount();
    table->setModel(model);
    // A file that is not a log file has no columns at all: only those there are are set.
    // A log of several devices has the device's name first, and the others after it.
    const int columns = model->columnCount();
    const int first = model->deviceColumns();
    for (int column = 0; column < columns; ++column) {
        table->setItemDelegateForColumn(column, column == first + 2 ? messageDelegate : nullptr);
        table->setColumnHidden(column, column == first + 3);
    }
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    // The rows on screen: Qt's own sample is the next thousand, which a log of a million
    // records would read and render for nothing.
    table->horizontalHeader()->setResizeContentsPrecision(0);
    table->resizeColumnsToContents();
    // A log opened empty (a new file a download is about to fill) has no time to measure:
    // the column takes a whole one, measured as the item delegate measures a cell.
    if (columns > first + 1) {
        QStyleOptionViewItem cell;
        cell.initFrom(table);
        cell.font = table->font();
        cell.features = QStyleOptionViewItem::HasDisplay;
        cell.text = QStringLiteral("0000-00-00 00:00:00");
        const int time = table->style()->sizeFromContents(QStyle::CT_ItemViewItem, &cell, QSize(), table).width()
            + (table->showGrid() ? 1 : 0);
        table->setColumnWidth(first + 1, std::max(table->columnWidth(first + 1), time));
    }
    // The message column takes the width left; the one it was in a log laid out before
    // (of one device or of several) is sized as the others are.
    for (int column = 0; column + 1 < columns; ++column) {
        if (column == first + 2)
            table->horizontalHeader()->setSectionResizeMode(column, QHeaderView::Stretch);
        else if (table->horizontalHeader()->sectionResizeMode(column) == QHeaderView::Stretch)
            table->horizontalHeader()->setSectionResizeMode(column, QHeaderView::Interactive);
    }
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->horizontalHeader()->setStretchLastSection(true);
}

void LogViewController::filterEdited(const LogFilter &filter)
{
    // While the rows of the last change are still found there is no current row; the
    // record kept then stays the one to come back to.
    const QModelIndex current = table->currentIndex();
    if (current.isValid())
        keepRecord = model->keyOfRow(current.row(), &keptKey);
    model->setFilter(filter);
    if (!model->isScanning())
        scanFinished();
}

void LogViewController::scanFinished()
{
    bar->setScanning(false);
    showNewestIfAsked();
    if (!keepRecord)
        return;
    keepRecord = false;
    const int row = model->rowOfKey(keptKey);
    if (row >= 0 && table->verticalScrollBar()->value() == 0)
        showRow(row);
}

void LogViewController::askForTime()
{
    if (model->columnCount() == 0)
        return;
    DialogGoToTime dialog(window);
    const QModelIndex current = table->currentIndex();
    const QDateTime shown = current.isValid()
        ? QDateTime::fromString(model->index(current.row(), model->deviceColumns() + 1).data().toString(),
                                QStringLiteral("yyyy-MM-dd HH:mm:ss"))
        : QDateTime();
    dialog.setTime(shown.isValid() ? shown : model->edgeTime(false));
    if (dialog.exec() != QDialog::Accepted)
        return;
    locateRequest = model->locateTime(dialog.time());
}

void LogViewController::timeLocated(int request, int row)
{
    if (request != locateRequest)
        return;
    if (row < 0) {
        window->statusBar()->showMessage(QStringLiteral("Нет записей в это время или позже"), 5000);
        return;
    }
    showRow(row);
}

void LogViewController::showRow(int row)
{
    if (row < 0 || row >= model->rowCount())
        return;
    const QModelIndex target = model->index(row, model->deviceColumns() + 1);
    table->setCurrentIndex(target);
    table->scrollTo(target, QAbstractItemView::PositionAtCenter);
}
