// The timeline strip: painting, tool tips, clicks and drags.

#include "logview/logtimelinestrip.h"

#include "logview/logtimeline.h"
#include "messagetext/recordtypes.h"

#include <QApplication>
#include <QHash>
#include <QHelpEvent>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>

#include <algorithm>
#include <cmath>

namespace {

constexpr int SideMargin = 6;
constexpr int TopMargin = 4;
constexpr int BarsHeight = 44;
constexpr int TickLength = 4;

// From the bottom up: errors first, so that where they pile up reads along the base line.
constexpr int StackOrder[RecordTypeCount] = {2, 1, 3, 0};

// The colour most of an icon is filled with: its most frequent opaque colour, leaving out
// the near-white and near-black of the signs drawn on it.
QColor fillColour(const QImage &icon)
{
    const QImage image = icon.convertToFormat(QImage::Format_ARGB32);
    QHash<QRgb, int> seen;
    for (int y = 0; y < image.height(); ++y) {
        const QRgb *line = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = line[x];
            const int lightest = std::max({qRed(pixel), qGreen(pixel), qBlue(pixel)});
            const int darkest = std::min({qRed(pixel), qGreen(pixel), qBlue(pixel)});
            if (qAlpha(pixel) == 255 && darkest < 225 && lightest > 70)
                ++seen[pixel];
        }
    }
    QRgb best = qRgb(128, 128, 128);
    int most = 0;
    for (auto it = seen.cbegin(); it != seen.cend(); ++it) {
        if (it.value() > most) {
            most = it.value();
            best = it.key();
        }
    }
    return QColor(best);
}

QString grouped(int number)
{
    QString digits = QString::number(number);
    for (int at = digits.size() - 3; at > 0; at -= 3)
        digits.insert(at, QLatin1Char(' '));
    return digits;
}

QDateTime wallClock(qint64 second)
{
    return QDateTime::fromSecsSinceEpoch(second, Qt::UTC);
}

} // namespace

LogTimelineStrip::LogTimelineStrip(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("timeline"));
    setAccessibleName(QStringLiteral("Шкала времени журнала"));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    timelineChanged();
}

void LogTimelineStrip::setTimeline(LogTimeline *timeline)
{
    if (shown)
        disconnect(shown, nullptr, this, nullptr);
    shown = timeline;
    if (shown) {
        connect(shown, &LogTimeline::changed, this, &LogTimelineStrip::timelineChanged);
        shown->setMaxBuckets(plotRect().width() / MinBarWidth);
    }
    timelineChanged();
}

LogTimeline *LogTimelineStrip::timeline() const
{
    return shown;
}

QColor LogTimelineStrip::typeColour(int type)
{
    static const QVector<QColor> colours = [] {
        QVector<QColor> all;
        for (int index = 0; index < RecordTypeCount; ++index)
            all.append(fillColour(QImage(QString::fromLatin1(RecordTypeIconPaths[index]))));
        return all;
    }();
    return colours.value(type >= 0 && type < RecordTypeCount ? type : 0);
}

QColor LogTimelineStrip::deviceColour(int device)
{
    // Told apart at a glance, also by most who see red and green alike, and none of
    // them close to the base's white.
    static const QRgb distinct[] = {0x4e79a7, 0xf28e2b, 0x59a14f, 0xe15759, 0xb07aa1, 0x76b7b2,
                                    0xedc948, 0x9c755f, 0xff9da7, 0x2f4b7c, 0x8cd17d, 0x7f7f7f};
    constexpr int Distinct = int(sizeof distinct / sizeof distinct[0]);
    if (device >= 0 && device < Distinct)
        return QColor(distinct[device]);
    // The golden angle keeps neighbours far apart on the wheel; three shades of each.
    const int hue = int(std::lround(std::fmod(std::max(device, 0) * 137.508, 360.0)));
    return QColor::fromHsv(hue, 150 + 40 * (device % 3), 210 - 35 * ((device / 3) % 3));
}

void LogTimelineStrip::setDeviceNames(const QStringList &names)
{
    deviceNames = names;
    timelineChanged();
}

int LogTimelineStrip::legendHeight() const
{
    return shown && shown->byDevice() ? fontMetrics().height() + 2 : 0;
}

int LogTimelineStrip::stripHeight() const
{
    return TopMargin + legendHeight() + BarsHeight + 1 + TickLength + fontMetrics().height() + 2;
}

QSize LogTimelineStrip::sizeHint() const
{
    return QSize(400, stripHeight());
}

QSize LogTimelineStrip::minimumSizeHint() const
{
    return QSize(100, stripHeight());
}

QRect LogTimelineStrip::plotRect() const
{
    return QRect(SideMargin, TopMargin + legendHeight(), std::max(1, width() - 2 * SideMargin), BarsHeight);
}

double LogTimelineStrip::xOf(qint64 second) const
{
    const QRect plot = plotRect();
    const double span = double(shown->viewEnd() - shown->viewStart());
    return plot.left() + double(second - shown->viewStart()) * plot.width() / span;
}

int LogTimelineStrip::bucketAtX(int x) const
{
    if (!shown || !shown->hasView() || shown->buckets().isEmpty())
        return -1;
    const QRect plot = plotRect();
    if (x < plot.left() || x > plot.right())
        return -1;
    const double span = double(shown->viewEnd() - shown->viewStart());
    const qint64 offset = qint64(std::floor((x - plot.left() + 0.5) * span / plot.width()));
    const qint64 second = std::min(shown->viewStart() + offset, shown->viewEnd() - 1);
    return shown->grid().bucketAt(second);
}

QRect LogTimelineStrip::columnRect(int first, int last) const
{
    const QRect plot = plotRect();
    const int left = int(std::floor(xOf(shown->bucketFrom(first))));
    const int right = std::max(left + 1, int(std::floor(xOf(shown->bucketUntil(last)))));
    return QRect(left, plot.top(), right - left, plot.height());
}

void LogTimelineStrip::timelineChanged()
{
    if (hovered >= 0 && (!shown || hovered >= shown->buckets().size()))
        hovered = -1;
    // The legend's row comes and goes with the bars by device.
    const bool legend = legendHeight() > 0;
    if (legend != legendShown) {
        legendShown = legend;
        updateGeometry();
    }
    QString description;
    if (shown && shown->hasView()) {
        description = QStringLiteral(
                          "Записи журнала по времени с %1 по %2, столбец — %3; записей: %4, больше всего "
                          "в одном столбце: %5.%6 Наведите указатель на столбец, чтобы увидеть его записи по "
                          "%7; щелчок переходит к первой записи столбца, протяжка выбирает время, двойной "
                          "щелчок возвращает весь журнал.")
                          .arg(timelineTimeText(shown->viewStart()), timelineTimeText(shown->viewEnd() - 1),
                               timelineStepText(shown->grid().step), grouped(shown->countedRecords()),
                               grouped(shown->largestBucket()),
                               legend ? QStringLiteral(" Столбцы разделены по устройствам: %1.")
                                            .arg(deviceNames.join(QStringLiteral(", ")))
                                      : QString(),
                               legend ? QStringLiteral("устройствам") : QStringLiteral("типам"));
    } else {
        description = QStringLiteral("Записи журнала по времени: нет записей.");
    }
    setAccessibleDescription(description);
    update();
}

QString LogTimelineStrip::bucketText(int bucket) const
{
    const TimelineCounts &counts = shown->buckets().at(bucket);
    QStringList lines;
    lines << timelineSpanText(shown->bucketFrom(bucket), shown->bucketUntil(bucket), shown->grid().step);
    lines << QStringLiteral("Записей: %1").arg(grouped(counts.total()));
    if (!shown->byDevice()) {
        for (int type = 0; type < RecordTypeCount; ++type)
            lines << QStringLiteral("%1: %2").arg(QString::fromUtf8(RecordTypeNames[type]),
                                                  grouped(counts.byType[type]));
        return lines.join(QLatin1Char('\n'));
    }
    // The devices with records in the bar; a station's dozens would not fit a screen.
    constexpr int MaxLines = 20;
    int listed = 0;
    int more = 0;
    for (int device = 0; device < counts.byDevice.size(); ++device) {
        if (counts.byDevice[device] == 0)
            continue;
        if (listed == MaxLines) {
            ++more;
            continue;
        }
        ++listed;
        const QString name = deviceNames.value(device, QStringLiteral("№%1").arg(device + 1));
        lines << QStringLiteral("%1: %2").arg(name, grouped(counts.byDevice[device]));
    }
    if (more > 0)
        lines << QStringLiteral("и ещё устройств: %1").arg(more);
    return lines.join(QLatin1Char('\n'));
}

bool LogTimelineStrip::event(QEvent *event)
{
    if (event->type() == QEvent::ToolTip) {
        const auto *help = static_cast<QHelpEvent *>(event);
        const int bucket = bucketAtX(help->pos().x());
        if (bucket < 0 || dragging) {
            QToolTip::hideText();
            event->ignore();
        } else {
            QToolTip::showText(help->globalPos(), bucketText(bucket), this, columnRect(bucket, bucket));
        }
        return true;
    }
    return QWidget::event(event);
}

void LogTimelineStrip::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    if (shown)
        shown->setMaxBuckets(plotRect().width() / MinBarWidth);
}

void LogTimelineStrip::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::FontChange)
        updateGeometry();
}

void LogTimelineStrip::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton || bucketAtX(event->pos().x()) < 0) {
        QWidget::mousePressEvent(event);
        return;
    }
    pressed = true;
    dragging = false;
    pressX = dragX = event->pos().x();
}

void LogTimelineStrip::mouseMoveEvent(QMouseEvent *event)
{
    const int x = event->pos().x();
    if (pressed) {
        if (std::abs(x - pressX) >= QApplication::startDragDistance()) {
            dragging = true;
            QToolTip::hideText();
        }
        const QRect plot = plotRect();
        dragX = std::max(plot.left(), std::min(x, plot.right()));
        update();
        return;
    }
    const int bucket = bucketAtX(x);
    if (bucket != hovered) {
        hovered = bucket;
        update();
    }
}

void LogTimelineStrip::mouseReleaseEvent(QMouseEvent *event)
{
    // The release that ends a double click finds nothing pressed: it is no click.
    if (event->button() != Qt::LeftButton || !pressed) {
        QWidget::mouseReleaseEvent(event);
        return;
    }
    pressed = false;
    const bool wasDrag = dragging;
    dragging = false;
    if (wasDrag) {
        // Where the button comes up ends the span, wherever the last move was told.
        const QRect plot = plotRect();
        dragX = std::max(plot.left(), std::min(event->pos().x(), plot.right()));
    }
    update();
    const int first = bucketAtX(std::min(pressX, dragX));
    const int last = bucketAtX(std::max(pressX, dragX));
    if (first < 0 || last < 0)
        return;
    if (wasDrag) {
        emit spanSelected(wallClock(shown->bucketFrom(first)), wallClock(shown->bucketUntil(last) - 1));
        return;
    }
    const bool empty = shown->buckets().at(first).total() == 0;
    emit bucketClicked(wallClock(shown->bucketFrom(first)),
                       empty ? QDateTime() : wallClock(shown->bucketUntil(first) - 1));
}

void LogTimelineStrip::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton) {
        QWidget::mouseDoubleClickEvent(event);
        return;
    }
    pressed = false;
    dragging = false;
    emit wholeSpanRequested();
}

void LogTimelineStrip::leaveEvent(QEvent *event)
{
    QWidget::leaveEvent(event);
    if (hovered >= 0) {
        hovered = -1;
        update();
    }
}

void LogTimelineStrip::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Base));
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
    const QRect plot = plotRect();
    if (!shown || !shown->hasView()) {
        // A log without records; while the times are read, nothing yet.
        if (shown && !shown->isComputing() && shown->showsLog()) {
            painter.setPen(palette().color(QPalette::Disabled, QPalette::Text));
            painter.drawText(rect(), Qt::AlignCenter, QStringLiteral("Нет записей"));
        }
        return;
    }
    if (dragging) {
        const int first = bucketAtX(std::min(pressX, dragX));
        const int last = bucketAtX(std::max(pressX, dragX));
        if (first >= 0 && last >= 0) {
            QColor band = palette().color(QPalette::Highlight);
            band.setAlpha(70);
            painter.fillRect(columnRect(first, last), band);
        }
    } else if (hovered >= 0 && hovered < shown->buckets().size()) {
        QColor light = palette().color(QPalette::Highlight);
        light.setAlpha(35);
        painter.fillRect(columnRect(hovered, hovered), light);
    }
    paintBars(painter, plot);
    paintAxis(painter, plot);
    paintLegend(painter);
}

void LogTimelineStrip::paintBars(QPainter &painter, const QRect &plot) const
{
    const QVector<TimelineCounts> &buckets = shown->buckets();
    const int largest = shown->largestBucket();
    if (largest == 0)
        return;
    for (int bucket = 0; bucket < buckets.size(); ++bucket) {
        const TimelineCounts &counts = buckets[bucket];
        const int total = counts.total();
        if (total == 0)
            continue;
        QRect column = columnRect(bucket, bucket);
        // A gap between bars wide enough to have one.
        if (column.width() >= 4)
            column.setWidth(column.width() - 1);
        const int height = std::max(2, int(std::lround(double(total) * plot.height() / largest)));
        // From the bottom up, the parts that have records: by device in the order of
        // the list, or by type.
        QVector<QPair<int, QColor>> parts;
        if (shown->byDevice()) {
            for (int device = 0; device < counts.byDevice.size(); ++device) {
                if (counts.byDevice[device] > 0)
                    parts.append({counts.byDevice[device], deviceColour(device)});
            }
        } else {
            for (const int type : StackOrder) {
                if (counts.byType[type] > 0)
                    parts.append({counts.byType[type], typeColour(type)});
            }
        }
        // Each part gets at least a pixel: a single error under a thousand records of
        // information still shows.
        int remaining = parts.size();
        int left = std::max(height, remaining);
        int bottom = plot.bottom() + 1;
        for (const auto &part : parts) {
            --remaining;
            int segment = std::max(1, int(std::lround(double(part.first) * height / total)));
            segment = remaining == 0 ? left : std::min(segment, left - remaining);
            painter.fillRect(QRect(column.left(), bottom - segment, column.width(), segment), part.second);
            bottom -= segment;
            left -= segment;
        }
    }
    // The scale: the top of the plot is the largest bar.
    painter.setPen(QPen(palette().color(QPalette::Mid), 1, Qt::DotLine));
    painter.drawLine(plot.left(), plot.top(), plot.right(), plot.top());
    const QString scale = grouped(largest);
    QRect label = painter.fontMetrics().boundingRect(scale).adjusted(-2, 0, 2, 0);
    label.moveTopLeft(QPoint(plot.left() + 1, plot.top() + 1));
    QColor behind = palette().color(QPalette::Base);
    behind.setAlpha(190);
    painter.fillRect(label, behind);
    painter.setPen(palette().color(QPalette::Text));
    painter.drawText(label, Qt::AlignCenter, scale);
}

void LogTimelineStrip::paintAxis(QPainter &painter, const QRect &plot) const
{
    const int base = plot.bottom() + 1;
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawLine(plot.left(), base, plot.right(), base);
    const QFontMetrics metrics = painter.fontMetrics();
    const QVector<TimelineTick> ticks = timelineTicks(
        shown->viewStart(), shown->viewEnd(), plot.width(),
        [&metrics](const QString &text) { return metrics.horizontalAdvance(text); });
    const int textTop = base + TickLength;
    for (const TimelineTick &tick : ticks) {
        const int x = plot.left() + int(std::lround(tick.x));
        if (tick.mark) {
            painter.setPen(palette().color(QPalette::Mid));
            painter.drawLine(x, base, x, base + TickLength);
        }
        if (!tick.text.isEmpty()) {
            painter.setPen(palette().color(QPalette::Text));
            painter.drawText(
                QRect(x + (tick.mark ? 3 : 0), textTop, metrics.horizontalAdvance(tick.text) + 1, metrics.height()),
                Qt::AlignLeft | Qt::AlignVCenter, tick.text);
        }
    }
}

void LogTimelineStrip::paintLegend(QPainter &painter) const
{
    const int height = legendHeight();
    if (height == 0)
        return;
    const QFontMetrics metrics = painter.fontMetrics();
    const int swatch = std::max(6, metrics.height() - 6);
    const int right = width() - SideMargin;
    const int count = std::max(int(deviceNames.size()),
                               shown->buckets().isEmpty() ? 0 : shown->buckets()[0].byDevice.size());
    int x = SideMargin;
    for (int device = 0; device < count; ++device) {
        const QString name = deviceNames.value(device, QStringLiteral("№%1").arg(device + 1));
        const int wide = swatch + 4 + metrics.horizontalAdvance(name) + 12;
        // What does not fit is said as a number; the tool tips name every device.
        const QString rest = QStringLiteral("и ещё %1").arg(count - device);
        const bool last = device == count - 1;
        if (x + wide - 12 > right || (!last && x + wide + metrics.horizontalAdvance(rest) > right)) {
            painter.setPen(palette().color(QPalette::Text));
            painter.drawText(QRect(x, TopMargin, right - x, height), Qt::AlignLeft | Qt::AlignVCenter, rest);
            return;
        }
        painter.fillRect(QRect(x, TopMargin + (height - swatch) / 2, swatch, swatch), deviceColour(device));
        painter.setPen(palette().color(QPalette::Text));
        painter.drawText(QRect(x + swatch + 4, TopMargin, wide, height), Qt::AlignLeft | Qt::AlignVCenter, name);
        x += wide;
    }
}
