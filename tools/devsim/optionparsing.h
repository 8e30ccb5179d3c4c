// The command-line values of khronar-devsim that are more than one number: the list
// of device addresses and the address to listen on.
#pragma once

#include <QString>
#include <QVector>

#include <cstdint>

// "1", "1,2,3", "7-9", "1,4,7-9": addresses 1 to 255, each at most once, in the
// order given. False with `*error` saying what is wrong.
bool parseAddressList(const QString &text, QVector<std::uint8_t> *addresses, QString *error);

// "[HOST:]PORT": "5020", "0.0.0.0:5020", "localhost:0", "[::1]:5020". The host is
// 127.0.0.1 when not given, and comes without the brackets. False with `*error`.
bool parseListenAddress(const QString &text, QString *host, std::uint16_t *port, QString *error);
