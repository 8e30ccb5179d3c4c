// Text from the device: captions arrive in the device's 8-bit code page.
#pragma once

#include <QString>

// Decodes `length` bytes of device text with the system's 8-bit code page (on
// Windows the ANSI code page). A system whose code page is UTF-8 (every Linux
// locale today) has no 8-bit code page, and reading a device's Windows-1251 text as
// UTF-8 would store garbage for good: there the text is read as Windows-1251.
QString decodeDeviceText(const char *bytes, int length);
