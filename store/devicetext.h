// Text from the device: captions arrive in the device's 8-bit code page.
#pragma once

#include <QString>

// Decodes `length` bytes of device text, which devices send in Windows-1251, whatever
// the system's own 8-bit code page is. Never a null string: an empty caption is empty
// text, not a missing one.
QString decodeDeviceText(const char *bytes, int length);
