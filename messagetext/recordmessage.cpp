// A record's message as everyone shows it.

#include "messagetext/recordmessage.h"

#include "messagetext/captionformat.h"

const QString UnknownEventText = QStringLiteral("Неизвестное событие");

QString wholeMessage(const QVariant &caption, const QByteArray &data)
{
    if (caption.isNull())
        return UnknownEventText;
    return formatCaption(caption.toString(), data);
}
