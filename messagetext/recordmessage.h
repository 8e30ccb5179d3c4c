// A record's message as everyone shows it: its caption rendered with its data, or the
// words for a record whose event has no caption.
#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>

// What a record without a caption shows instead of a message.
extern const QString UnknownEventText;

// The whole message of a record, as the export writes it and a server stores it:
// "Неизвестное событие" when `caption` is NULL, else the caption rendered with `data`.
QString wholeMessage(const QVariant &caption, const QByteArray &data);
