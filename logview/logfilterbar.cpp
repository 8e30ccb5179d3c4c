// The log table's filter bar.

#include "logview/logfilterbar.h"

#include "messagetext/recordtypes.h"

#include <QAction>
#include <QDateTimeEdit>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QProgressBar>
#include <QShortcut>
#include <QStyle>
#include <QToolButton>
#include <QWidgetAction>

#include <algorithm>

namespace {

// A search shorter than this shows no progress bar; it would only flicker.
constexpr int ProgressDelayMs = 300;

// "1234567" as "1 234 567".
QString grouped(int number)
{
    QString digits = QString::number(number);
    for (int at = digits.size() - 3; at > (number < 0 ? 1 : 0); at -= 3)
        digits.insert(at, QLatin1Char(' '));
    return digits;
}

// Lays out the bar's two groups side by side when they fit, the second under the first
// otherwise, so that the bar never makes the window wider than it was made.
class TwoRowLayout : public QLayout
{
public:
    explicit TwoRowLayout(QWidget *parent) : QLayout(parent)
    {
        setContentsMargins(0, 0, 0, 0);
        setSpacing(6);
    }
    ~TwoRowLayout() override
    {
        while (QLayoutItem *item = takeAt(0))
            delete item;
    }

    void addItem(QLayoutItem *item) override { items.append(item); }
    int count() const override { return items.size(); }
    QLayoutItem *itemAt(int index) const override { return items.value(index); }
    QLayoutItem *takeAt(int index) override
    {
        return index >= 0 && index < items.size() ? items.takeAt(index) : nullptr;
    }
    Qt::Orientations expandingDirections() const override { return Qt::Horizontal; }
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override
    {
        return fitsOneRow(width) ? rowHeight() : rowHeight() * 2 + spacing();
    }
    QSize sizeHint() const override
    {
        if (items.size() < 2)
            return QSize();
        return QSize(items[0]->sizeHint().width() + spacing() + items[1]->sizeHint().width(), rowHeight());
    }
    QSize minimumSize() const override
    {
        if (items.size() < 2)
            return QSize();
        return QSize(std::max(items[0]->minimumSize().width(), items[1]->minimumSize().width()),
                     rowHeight() * 2 + spacing());
    }
    void setGeometry(const QRect &rect) override
    {
        QLayout::setGeometry(rect);
        if (items.size() < 2)
            return;
        const int height = rowHeight();
        if (fitsOneRow(rect.width())) {
            const int second = items[1]->sizeHint().width();
            items[0]->setGeometry(QRect(rect.x(), rect.y(), rect.width() - second - spacing(), height));
            items[1]->setGeometry(QRect(rect.right() - second + 1, rect.y(), second, height));
        } else {
            items[0]->setGeometry(QRect(rect.x(), rect.y(), rect.width(), height));
            items[1]->setGeometry(QRect(rect.x(), rect.y() + height + spacing(), rect.width(), height));
        }
    }

private:
    int rowHeight() const
    {
        int height = 0;
        for (const QLayoutItem *item : items)
            height = std::max(height, item->sizeHint().height());
        return height;
    }
    bool fitsOneRow(int width) const
    {
        return items.size() < 2 || width >= items[0]->minimumSize().width() + spacing() + items[1]->sizeHint().width();
    }

    QList<QLayoutItem *> items;
};

} // namespace

// A bound of the span of time. At its minimum it shows "—", no bound; touched there
// (a click, a key, a step), it first goes to the log's own first or last time, so that
// neither the keys nor the calendar start in the year 2000.
class LogBoundEdit : public QDateTimeEdit
{
public:
    explicit LogBoundEdit(QWidget *parent) : QDateTimeEdit(parent)
    {
        setTimeSpec(Qt::UTC);
        setDisplayFormat(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        setDateTimeRange(LogFilterBar::noBound(), QDateTime(QDate(9999, 12, 31), QTime(23, 59, 59), Qt::UTC));
        setSpecialValueText(QStringLiteral("—"));
        setCalendarPopup(true);
        setDateTime(LogFilterBar::noBound());
        setToolTip(QStringLiteral("«—»: без границы; Delete убирает границу"));
    }

    bool isBound() const { return dateTime() != LogFilterBar::noBound(); }
    void setHint(const QDateTime &time) { hint = time; }

protected:
    void stepBy(int steps) override
    {
        if (leaveNoBound())
            return;
        QDateTimeEdit::stepBy(steps);
    }
    void mousePressEvent(QMouseEvent *event) override
    {
        leaveNoBound();
        QDateTimeEdit::mousePressEvent(event);
    }
    void keyPressEvent(QKeyEvent *event) override
    {
        if (event->key() == Qt::Key_Delete) {
            setDateTime(LogFilterBar::noBound());
            return;
        }
        if (!event->text().isEmpty() && event->text().at(0).isDigit())
            leaveNoBound();
        QDateTimeEdit::keyPressEvent(event);
    }

private:
    bool leaveNoBound()
    {
        if (isBound())
            return false;
        setDateTime(hint.isValid() ? hint : QDateTime(QDate::currentDate(), QTime(0, 0), Qt::UTC));
        return true;
    }

    QDateTime hint;
};

LogFilterBar::LogFilterBar(QWidget *parent)
    : QWidget(parent),
      searchGroup(new QWidget(this)),
      spanGroup(new QWidget(this)),
      text(new QLineEdit(searchGroup)),
      regex(new QToolButton(searchGroup)),
      types{},
      from(new LogBoundEdit(spanGroup)),
      to(new LogBoundEdit(spanGroup)),
      devices(new QToolButton(spanGroup)),
      deviceList(new QListWidget()),
      clearButton(new QToolButton(spanGroup)),
      progress(new QProgressBar(spanGroup)),
      count(new QLabel(spanGroup))
{
    setObjectName(QStringLiteral("filterBar"));
    auto *bar = new TwoRowLayout(this);
    bar->addWidget(searchGroup);
    bar->addWidget(spanGroup);
    auto *layout = new QHBoxLayout(searchGroup);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);
    spanLayout = new QHBoxLayout(spanGroup);
    spanLayout->setContentsMargins(0, 0, 0, 0);
    spanLayout->setSpacing(4);

    text->setObjectName(QStringLiteral("filterText"));
    text->setPlaceholderText(QStringLiteral("Найти в сообщениях"));
    text->setClearButtonEnabled(true);
    text->setMinimumWidth(140);
    layout->addWidget(text, 1);

    regex->setObjectName(QStringLiteral("filterRegex"));
    regex->setText(QStringLiteral(".*"));
    regex->setToolTip(QStringLiteral("Регулярное выражение"));
    regex->setCheckable(true);
    regex->setAutoRaise(true);
    layout->addWidget(regex);
    layout->addSpacing(6);

    for (int type = 0; type < RecordTypeCount; ++type) {
        QToolButton *button = new QToolButton(searchGroup);
        button->setObjectName(QStringLiteral("filterType%1").arg(type));
        button->setIcon(QIcon(QString::fromLatin1(RecordTypeIconPaths[type])));
        const QString name = QString::fromUtf8(RecordTypeNames[type]);
        button->setToolTip(type == 0 ? name + QStringLiteral(" (и записи неизвестных типов)") : name);
        button->setAccessibleName(name);
        button->setCheckable(true);
        button->setChecked(true);
        button->setAutoRaise(true);
        layout->addWidget(button);
        types[type] = button;
        connect(button, &QToolButton::toggled, this, &LogFilterBar::edited);
    }

    from->setObjectName(QStringLiteral("filterFrom"));
    to->setObjectName(QStringLiteral("filterTo"));
    auto *fromLabel = new QLabel(QStringLiteral("с"), spanGroup);
    fromLabel->setBuddy(from);
    spanLayout->addWidget(fromLabel);
    spanLayout->addWidget(from);
    auto *toLabel = new QLabel(QStringLiteral("по"), spanGroup);
    toLabel->setBuddy(to);
    spanLayout->addWidget(toLabel);
    spanLayout->addWidget(to);

    // A list with check boxes in a drop-down rather than a menu of checkable actions: a
    // menu closes at each click, and unchecking five devices of sixteen would take five
    // trips.
    devices->setObjectName(QStringLiteral("filterDevice"));
    devices->setText(QStringLiteral("Устройства"));
    devices->setToolTip(QStringLiteral("Чьи записи показывать"));
    devices->setPopupMode(QToolButton::InstantPopup);
    devices->setAutoRaise(true);
    auto *deviceMenu = new QMenu(devices);
    auto *listAction = new QWidgetAction(deviceMenu);
    deviceList->setObjectName(QStringLiteral("filterDeviceList"));
    deviceList->setSelectionMode(QAbstractItemView::NoSelection);
    deviceList->setFrameShape(QFrame::NoFrame);
    listAction->setDefaultWidget(deviceList);
    deviceMenu->addAction(listAction);
    devices->setMenu(deviceMenu);
    devices->hide();
    spanLayout->addWidget(devices);
    connect(deviceList, &QListWidget::itemChanged, this, [this] {
        markDevices();
        edited();
    });

    clearButton->setObjectName(QStringLiteral("filterClear"));
    clearButton->setIcon(style()->standardIcon(QStyle::SP_DialogResetButton));
    clearButton->setToolTip(QStringLiteral("Сбросить фильтр (Esc)"));
    clearButton->setAutoRaise(true);
    spanLayout->addWidget(clearButton);
    spanLayout->addStretch(1);

    progress->setObjectName(QStringLiteral("filterProgress"));
    progress->setTextVisible(false);
    progress->setMaximumWidth(70);
    progress->hide();
    spanLayout->addWidget(progress);

    count->setObjectName(QStringLiteral("filterCount"));
    count->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    spanLayout->addWidget(count);

    connect(text, &QLineEdit::textChanged, this, &LogFilterBar::edited);
    connect(regex, &QToolButton::toggled, this, &LogFilterBar::edited);
    connect(from, &QDateTimeEdit::dateTimeChanged, this, &LogFilterBar::edited);
    connect(to, &QDateTimeEdit::dateTimeChanged, this, &LogFilterBar::edited);
    connect(clearButton, &QToolButton::clicked, this, &LogFilterBar::clear);
    auto *escape = new QShortcut(QKeySequence(Qt::Key_Escape), this, nullptr, nullptr, Qt::WidgetWithChildrenShortcut);
    connect(escape, &QShortcut::activated, this, &LogFilterBar::clear);

    progressDelay.setSingleShot(true);
    progressDelay.setInterval(ProgressDelayMs);
    connect(&progressDelay, &QTimer::timeout, progress, &QWidget::show);
}

QDateTime LogFilterBar::noBound()
{
    return QDateTime(QDate(2000, 1, 1), QTime(0, 0), Qt::UTC);
}

LogFilter LogFilterBar::filter() const
{
    LogFilter result;
    result.types = 0;
    for (int type = 0; type < RecordTypeCount; ++type) {
        if (types[type]->isChecked())
            result.types |= 1 << type;
    }
    if (from->isBound())
        result.from = wallClockSeconds(from->dateTime());
    if (to->isBound())
        result.to = wallClockSeconds(to->dateTime());
    result.text = text->text();
    result.regex = regex->isChecked();
    for (int device = 0; device < deviceList->count(); ++device) {
        if (deviceList->item(device)->checkState() != Qt::Checked)
            result.hiddenDevices.append(device);
    }
    return result;
}

void LogFilterBar::clear()
{
    // One change for the model, not one per widget.
    changingSeveral = true;
    text->clear();
    regex->setChecked(false);
    for (QToolButton *button : types)
        button->setChecked(true);
    from->setDateTime(noBound());
    to->setDateTime(noBound());
    for (int device = 0; device < deviceList->count(); ++device)
        deviceList->item(device)->setCheckState(Qt::Checked);
    changingSeveral = false;
    edited();
}

void LogFilterBar::setDevices(const QStringList &names, const QVector<int> &hidden)
{
    changingSeveral = true;
    deviceList->clear();
    if (names.size() > 1) {
        for (int device = 0; device < names.size(); ++device) {
            auto *item = new QListWidgetItem(names[device], deviceList);
            item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
            item->setCheckState(hidden.contains(device) ? Qt::Unchecked : Qt::Checked);
        }
    }
    // Tall enough for every device up to a screenful, then scrolled.
    const int rows = std::min(deviceList->count(), 20);
    deviceList->setFixedHeight(rows * deviceList->sizeHintForRow(0) + 2 * deviceList->frameWidth() + 2);
    deviceList->setMinimumWidth(deviceList->sizeHintForColumn(0) + 40);
    devices->setVisible(names.size() > 1);
    markDevices();
    changingSeveral = false;
    edited();
}

void LogFilterBar::markDevices()
{
    int shown = 0;
    for (int device = 0; device < deviceList->count(); ++device)
        shown += deviceList->item(device)->checkState() == Qt::Checked ? 1 : 0;
    devices->setText(shown == deviceList->count()
                         ? QStringLiteral("Устройства")
                         : QStringLiteral("Устройства: %1 из %2").arg(shown).arg(deviceList->count()));
}

void LogFilterBar::setTimeSpan(const QDateTime &first, const QDateTime &last)
{
    changingSeveral = true;
    from->setDateTime(first.isValid() ? wallClockSeconds(first) : noBound());
    to->setDateTime(last.isValid() ? wallClockSeconds(last) : noBound());
    changingSeveral = false;
    edited();
}

void LogFilterBar::addTool(QAction *action)
{
    auto *button = new QToolButton(spanGroup);
    button->setDefaultAction(action);
    button->setAutoRaise(true);
    spanLayout->insertWidget(spanLayout->indexOf(clearButton) + 1, button);
    // A button outside a tool bar does not follow its action's visibility by itself.
    button->setVisible(action->isVisible());
    connect(action, &QAction::changed, button, [button, action] { button->setVisible(action->isVisible()); });
}

void LogFilterBar::edited()
{
    if (changingSeveral)
        return;
    const LogFilter current = filter();
    markText(current);
    if (current == sent)
        return;
    sent = current;
    emit filterEdited(current);
}

void LogFilterBar::markText(const LogFilter &current)
{
    const QString reason = current.textError();
    QPalette palette = text->palette();
    palette.setColor(QPalette::Base, reason.isEmpty() ? this->palette().color(QPalette::Base) : QColor(255, 205, 205));
    text->setPalette(palette);
    text->setToolTip(
        reason.isEmpty()
            ? QString()
            : QStringLiteral("Неверное регулярное выражение: %1. Фильтр по тексту не действует.").arg(reason));
}

void LogFilterBar::setTimeHints(const QDateTime &oldest, const QDateTime &newest)
{
    from->setHint(oldest);
    to->setHint(newest);
}

void LogFilterBar::setCounts(int shown, int total)
{
    count->setText(QStringLiteral("%1 из %2").arg(grouped(shown), grouped(total)));
}

void LogFilterBar::setScanning(bool running)
{
    if (running) {
        count->setToolTip(QString());
        progress->setRange(0, 0);
        if (!progress->isVisible() && !progressDelay.isActive())
            progressDelay.start();
    } else {
        progressDelay.stop();
        progress->hide();
    }
}

void LogFilterBar::setProgress(int done, int total)
{
    progress->setRange(0, total);
    progress->setValue(done);
}

void LogFilterBar::setScanError(const QString &error)
{
    setScanning(false);
    count->setToolTip(error);
    count->setText(count->text() + QStringLiteral(" (ошибка)"));
}
