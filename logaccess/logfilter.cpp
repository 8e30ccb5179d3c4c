// The log view's filter value.

#include "logaccess/logfilter.h"

#include <QRegularExpression>

bool LogFilter::operator==(const LogFilter &other) const
{
    return (types & AllTypes) == (other.types & AllTypes) && from == other.from && to == other.to && text == other.text
        && regex == other.regex && hiddenDevices == other.hiddenDevices;
}

bool LogFilter::hasTextCondition() const
{
    return !text.isEmpty() && (!regex || QRegularExpression(text).isValid());
}

QString LogFilter::textError() const
{
    if (!regex || text.isEmpty())
        return QString();
    const QRegularExpression expression(text);
    return expression.isValid() ? QString() : expression.errorString();
}

QDateTime wallClockSeconds(const QDateTime &time)
{
    if (!time.isValid())
        return QDateTime();
    const QTime clock = time.time();
    return QDateTime(time.date(), QTime(clock.hour(), clock.minute(), clock.second()), Qt::UTC);
}
