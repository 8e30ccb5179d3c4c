// The strip above the log table that shows the whole log at once: bars of records per
// span of time, stacked by type in the colours of the type icons (or, for several
// devices, by device, with a legend of their names), over a time axis.
#pragma once

#include <QDateTime>
#include <QPointer>
#include <QStringList>
#include <QWidget>

class LogTimeline;

/*
 * Object name "timeline". What it shows is LogTimeline's; the strip draws it and turns
 * the mouse into requests:
 *   hover          a tool tip with the bar's span of time and its records by type
 *   click          bucketClicked(from, until): the first record shown in the bar's span;
 *                  `until` invalid for an empty bar: the first record at or after it
 *   drag           spanSelected(from, to): the span of the bars dragged across, both
 *                  ends included
 *   double click   wholeSpanRequested(): back to the whole log
 */
class LogTimelineStrip : public QWidget
{
    Q_OBJECT

public:
    explicit LogTimelineStrip(QWidget *parent = nullptr);

    void setTimeline(LogTimeline *timeline);
    LogTimeline *timeline() const;

    // The rectangle of the bars, inside the strip; the axis is below it.
    QRect plotRect() const;
    // The bar under x (strip coordinates); -1 for none.
    int bucketAtX(int x) const;
    // The colour of a type's bars: the colour its icon is filled with.
    static QColor typeColour(int type);
    // The colour of a device's bars when they are stacked by device: distinct for the
    // first dozen, then spread round the colour wheel.
    static QColor deviceColour(int device);
    // The devices' names for the legend and the tool tips, by device index.
    void setDeviceNames(const QStringList &names);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    // A bar is never narrower than this, so that each can be pointed at.
    static constexpr int MinBarWidth = 5;

signals:
    void bucketClicked(const QDateTime &from, const QDateTime &until);
    void spanSelected(const QDateTime &from, const QDateTime &to);
    void wholeSpanRequested();

protected:
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    int stripHeight() const;
    // The row of the device legend above the bars; 0 when the bars are by type.
    int legendHeight() const;
    double xOf(qint64 second) const;
    // The columns of a bar, and of the bars between two of them.
    QRect columnRect(int first, int last) const;
    QString bucketText(int bucket) const;
    void timelineChanged();
    void paintBars(QPainter &painter, const QRect &plot) const;
    void paintAxis(QPainter &painter, const QRect &plot) const;
    void paintLegend(QPainter &painter) const;

    QPointer<LogTimeline> shown;
    QStringList deviceNames;
    bool legendShown = false;
    int hovered = -1;
    bool pressed = false;
    bool dragging = false;
    int pressX = 0;
    int dragX = 0;
};
