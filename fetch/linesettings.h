// The line settings as people write them, on the command line and in a fleet file:
// "19200", "even", "1".
#pragma once

#include "result/result.h"

#include <QString>

#include <cstdint>

// What a setting written by a person comes to: its value, or why it is not allowed, in
// words that follow the setting's name ("wants ..., not "x"").
template<typename T> using SettingResult = Result<T, QString>;

// Each parser takes the written value and gives the code the terminal takes.
SettingResult<std::uint32_t> parseBaudRate(const QString &text);
SettingResult<std::uint8_t> parseParity(const QString &text);
SettingResult<std::uint8_t> parseStopBits(const QString &text);

// The rates a line may run at, in order, the last one joined by `lastJoin`:
// "1200, 2400, ..., 115200 or 230400".
QString baudRateList(const QString &lastJoin);
