// The address khronar-devsim listens on, as its command line gives it.
#pragma once

#include <QString>

#include <cstdint>

// "[HOST:]PORT": "5020", "0.0.0.0:5020", "localhost:0", "[::1]:5020". The host is
// 127.0.0.1 when not given, and comes without the brackets. False with `*error`.
bool parseListenAddress(const QString &text, QString *host, std::uint16_t *port, QString *error);
