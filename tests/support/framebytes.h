// The frame buffer's received frame and a request to it as byte arrays, for the
// buffer's and the terminal's tests.
#pragma once

#include "link/terminalbuffer.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>

// The frame waiting in `buffer`, or nothing when none is ready.
inline QByteArray receivedFrame(const TerminalBuffer &buffer)
{
    const std::uint8_t *bytes = nullptr;
    std::size_t length = 0;
    if (!buffer.takeFrame(&bytes, &length))
        return QByteArray();
    return QByteArray(reinterpret_cast<const char *>(bytes), int(length));
}

inline bool sendRequest(TerminalBuffer &buffer, const QByteArray &request)
{
    return buffer.sendRequest(reinterpret_cast<const std::uint8_t *>(request.constData()),
                              std::uint8_t(request.size()));
}
