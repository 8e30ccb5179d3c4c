// The line settings as people write them, on the command line and in a fleet file:
// "19200", "even", "1".
#pragma once

#include <QString>

#include <cstdint>

// Each parser takes the written value and stores the code the terminal takes. False,
// with `*error` in words that follow the setting's name ("wants ..., not "x""), for a
// value that is not allowed.
bool parseBaudRate(const QString &text, std::uint32_t *rate, QString *error);
bool parseParity(const QString &text, std::uint8_t *parity, QString *error);
bool parseStopBits(const QString &text, std::uint8_t *stopBits, QString *error);

// The rates a line may run at, in order, the last one joined by `lastJoin`:
// "1200, 2400, ..., 115200 or 230400".
QString baudRateList(const QString &lastJoin);
