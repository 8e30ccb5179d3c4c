// A record's message as everyone shows it: its caption rendered with its data, or the
// words for a record whose event has no caption.
#pragma once

#include <QByteArray>
#include <QString>
#include <QVariant>

// What a record without a caption shows instead of a message.
extern const QString UnknownEventText;

// The message of a record: "Неизвестное событие" when `caption` is NULL, else the
// caption rendered with `data`.
QString shownMessage(const QVariant &caption, const QByteArray &data);
