// The Modbus RTU master: frames requests, checks replies and hands them to the
// function handler whose transaction is pending.
#pragma once

#include <cstdint>

// Results of ModbusMaster::processReply and of a handler's response handler. An
// exception reply's result is the device's exception code itself, any value from 1 to
// 255 beside the two below (see exceptionResult). Named enums, so that a reply result,
// a builder result and an exception code cannot be mixed up unnoticed; the values are
// the ones on the wire and in the traffic monitor.
enum ReplyResult : std::uint8_t {
    ReplyAccepted = 0,
    ReplyUnexpected = 0x81, // well formed, but not the awaited answer
    ReplyCorrupt = 0x82,    // 0 or 1 bytes, or a CRC mismatch
};

// Results of ModbusMaster::buildRequest and of a handler's request builder.
enum RequestResult : std::uint8_t {
    RequestNone = 0,
    RequestWaiting = 1, // outstanding, reply time not yet over
    RequestSent = 2,    // a frame was written; its length is not 0
    RequestNoReply = 4, // sent the allowed number of times, no answer
};

// Exception codes a device answers with (the Modbus standard's); any other code is
// passed on as it came.
enum ModbusException : std::uint8_t {
    ExceptionIllegalFunction = 1,
    ExceptionIllegalDataAddress = 2,
    ExceptionIllegalDataValue = 3,
    ExceptionServerDeviceFailure = 4,
    ExceptionAcknowledge = 5, // accepted, still working: no message
    ExceptionServerBusy = 6,  // try again: counts as an exchange
    ExceptionNegativeAcknowledge = 7,
    ExceptionMemoryParityError = 8,
};

// The reply result of an exception reply with `code`.
constexpr ReplyResult exceptionResult(std::uint8_t code)
{
    return static_cast<ReplyResult>(code);
}

// Bit 7 of the function code marks an exception reply.
constexpr std::uint8_t ExceptionFlag = 0x80;

// The one function code this system uses: the event-log transfer.
constexpr std::uint8_t LogFunctionCode = 0x42;

// The largest frame, CRC included; frame buffers hold one byte more.
constexpr int MaxFrameLength = 255;

// Exception codes that end a download, with the text the user is shown. Code 6
// (device busy) is not an error, and codes not listed here are not reported.
struct ModbusExceptionMessage {
    ModbusException code;
    const char *text; // UTF-8
};
extern const ModbusExceptionMessage modbusExceptionMessages[6];

// The text for the exception reply `result`, or nullptr when it shows no message
// (code 5, 6 and codes not listed, and the results that are no exception).
const char *modbusExceptionMessage(ReplyResult result);

// One function code served by a higher protocol. The response handler gets the reply
// without its CRC (length >= 2, address at 0, function code at 1, bit 7 set for an
// exception) and returns a reply result. The request builder writes from offset 1 on
// (the master writes the address at 0), stores the frame length without CRC (at most
// 253) or leaves it 0, and returns a builder code.
struct ModbusFunctionHandler {
    std::uint8_t functionCode; // 0..127
    ReplyResult (*responseHandler)(void *context, const std::uint8_t *frame, std::uint8_t length);
    RequestResult (*requestBuilder)(void *context, std::uint8_t *frame, std::uint8_t *length);
    void *context;
};

struct ModbusMaster {
    // 0 accepts replies from any address. The owner writes it when a download starts.
    std::uint8_t deviceAddress = 1;
    // The owner's array; the master only reads it.
    const ModbusFunctionHandler *handlerTable = nullptr;
    // The handler whose request awaits its reply, or nullptr.
    const ModbusFunctionHandler *currentEntry = nullptr;
    std::uint8_t entryCount = 0;

    // Asks the pending handler, then every handler in table order, for the next
    // request, and writes it to `frame` (at least 256 bytes) with address and CRC.
    // `*length` is the full frame length, 0 when nothing was written.
    RequestResult buildRequest(std::uint8_t *frame, std::uint8_t *length);

    // Checks a received frame (`length` includes the CRC) and, when it answers the
    // pending request, passes it to that handler. Reads only `length` bytes.
    ReplyResult processReply(const std::uint8_t *frame, std::uint8_t length);
};
