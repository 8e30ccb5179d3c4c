// Clock offsets of the devices in a merged view.

#include "logaccess/clockoffsets.h"

#include <QFileInfo>
#include <QSettings>
#include <QUrl>

namespace {

const QString OffsetsGroup = QStringLiteral("ClockOffsets");

} // namespace

QString deviceLabel(const QString &name, int offsetSeconds)
{
    if (offsetSeconds == 0)
        return name;
    // Put together rather than through arg(): a name may hold "%1" itself.
    return name + QStringLiteral(" (") + (offsetSeconds > 0 ? QStringLiteral("+") : QString())
        + QString::number(offsetSeconds) + QStringLiteral(" с)");
}

QString FileClockOffsets::keyOf(const QString &path)
{
    // A settings key takes neither "/" nor "\" as itself (they part groups, and the
    // registry's keys on Windows), so the path is kept percent-encoded.
    return OffsetsGroup + QLatin1Char('/')
        + QString::fromLatin1(QUrl::toPercentEncoding(QFileInfo(path).absoluteFilePath()));
}

int FileClockOffsets::offsetOf(const QString &path) const
{
    bool ok = false;
    const int seconds = settings.value(keyOf(path)).toInt(&ok);
    return ok ? seconds : 0;
}

void FileClockOffsets::setOffset(const QString &path, int seconds)
{
    if (seconds == 0)
        settings.remove(keyOf(path));
    else
        settings.setValue(keyOf(path), seconds);
}
