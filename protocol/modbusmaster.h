// The Modbus RTU master: frames requests, checks replies and hands them to the
// function handler whose transaction is pending.
#pragma once

#include <cstdint>

// Results of ModbusMaster::processReply and of a handler's response handler. Any other
// value from 1 to 255 is the exception code of an exception reply.
constexpr std::uint8_t ReplyAccepted = 0;
constexpr std::uint8_t ReplyUnexpected = 0x81; // well formed, but not the awaited answer
constexpr std::uint8_t ReplyCorrupt = 0x82;    // 0 or 1 bytes, or a CRC mismatch

// Results of ModbusMaster::buildRequest and of a handler's request builder.
constexpr std::uint8_t RequestNone = 0;
constexpr std::uint8_t RequestWaiting = 1; // outstanding, reply time not yet over
constexpr std::uint8_t RequestSent = 2;    // a frame was written; its length is not 0
constexpr std::uint8_t RequestNoReply = 4; // sent the allowed number of times, no answer

// Exception codes a device answers with (the Modbus standard's); any other code is
// passed on as it came.
constexpr std::uint8_t ExceptionIllegalFunction = 1;
constexpr std::uint8_t ExceptionIllegalDataAddress = 2;
constexpr std::uint8_t ExceptionIllegalDataValue = 3;
constexpr std::uint8_t ExceptionServerDeviceFailure = 4;
constexpr std::uint8_t ExceptionAcknowledge = 5; // accepted, still working: no message
constexpr std::uint8_t ExceptionServerBusy = 6;  // try again: counts as an exchange
constexpr std::uint8_t ExceptionNegativeAcknowledge = 7;
constexpr std::uint8_t ExceptionMemoryParityError = 8;

// Bit 7 of the function code marks an exception reply.
constexpr std::uint8_t ExceptionFlag = 0x80;

// The one function code this system uses: the event-log transfer.
constexpr std::uint8_t LogFunctionCode = 0x42;

// The largest frame, CRC included; frame buffers hold one byte more.
constexpr int MaxFrameLength = 255;

// Exception codes that end a download, with the text the user is shown. Code 6
// (device busy) is not an error, and codes not listed here are not reported.
struct ModbusExceptionMessage {
    std::uint8_t code;
    const char *text; // UTF-8
};
extern const ModbusExceptionMessage modbusExceptionMessages[6];

// The text for exception `code`, or nullptr when that code shows no message.
const char *modbusExceptionMessage(std::uint8_t code);

// One function code served by a higher protocol. The response handler gets the reply
// without its CRC (length >= 2, address at 0, function code at 1, bit 7 set for an
// exception) and returns a reply result. The request builder writes from offset 1 on
// (the master writes the address at 0), stores the frame length without CRC (at most
// 253) or leaves it 0, and returns a builder code.
struct ModbusFunctionHandler {
    std::uint8_t functionCode; // 0..127
    std::uint8_t (*responseHandler)(void *context, const std::uint8_t *frame, std::uint8_t length);
    std::uint8_t (*requestBuilder)(void *context, std::uint8_t *frame, std::uint8_t *length);
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
    std::uint8_t buildRequest(std::uint8_t *frame, std::uint8_t *length);

    // Checks a received frame (`length` includes the CRC) and, when it answers the
    // pending request, passes it to that handler. Reads only `length` bytes.
    std::uint8_t processReply(const std::uint8_t *frame, std::uint8_t length);
};
