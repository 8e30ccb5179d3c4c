// The Modbus RTU master: request framing, reply checking and the handler table walk.

#include "protocol/modbusmaster.h"

#include "protocol/modbuscrc.h"

const ModbusExceptionMessage modbusExceptionMessages[6] = {
    {ExceptionIllegalFunction, "Неподдерживаемая функция"},
    {ExceptionIllegalDataAddress, "Недопустимый номер регистра"},
    {ExceptionIllegalDataValue, "Недопустимый значение регистра"},
    {ExceptionServerDeviceFailure, "Внутреняя ошибка устройства"},
    {ExceptionNegativeAcknowledge, "Устройство не может выполнить занную команду"},
    {ExceptionMemoryParityError, "Ошибка внешней памяти устройства"},
};

const char *modbusExceptionMessage(ReplyResult result)
{
    for (const ModbusExceptionMessage &entry : modbusExceptionMessages) {
        if (exceptionResult(entry.code) == result)
            return entry.text;
    }
    return nullptr;
}

RequestResult ModbusMaster::buildRequest(std::uint8_t *frame, std::uint8_t *length)
{
    // Byte 1 is a request's function code, which never carries the exception flag.
    frame[1] &= static_cast<std::uint8_t>(~ExceptionFlag);
    frame[0] = deviceAddress;
    *length = 0;

    RequestResult code = RequestNone;
    bool settled = false;
    // The pending handler goes first: it owns the line until it gives up its request.
    if (currentEntry) {
        code = currentEntry->requestBuilder ? currentEntry->requestBuilder(currentEntry->context, frame, length)
                                            : RequestNone;
        if (code == RequestWaiting || code == RequestSent) {
            settled = true;
        } else {
            currentEntry = nullptr;
            settled = code != RequestNone;
        }
    }

    // A pending handler that had nothing to send is asked once more here; builders
    // must therefore have no side effects when they answer RequestNone.
    for (std::uint8_t i = 0; !settled && i < entryCount; ++i) {
        const ModbusFunctionHandler &entry = handlerTable[i];
        if (!entry.requestBuilder)
            continue;
        code = entry.requestBuilder(entry.context, frame, length);
        if (code == RequestSent) {
            currentEntry = entry.responseHandler ? &entry : nullptr;
            settled = true;
        } else {
            currentEntry = nullptr;
            settled = code != RequestNone;
        }
    }

    if (*length != 0) {
        const std::uint16_t crc = modbusCrc(frame, *length);
        frame[*length] = static_cast<std::uint8_t>(crc & 0xFF);
        frame[*length + 1] = static_cast<std::uint8_t>(crc >> 8);
        *length = static_cast<std::uint8_t>(*length + 2);
    }
    return code;
}

ReplyResult ModbusMaster::processReply(const std::uint8_t *frame, std::uint8_t length)
{
    if (length < 2)
        return ReplyCorrupt;
    if (modbusCrc(frame, length) != 0)
        return ReplyCorrupt;
    length = static_cast<std::uint8_t>(length - 2);

    if (length < 2)
        return ReplyUnexpected;
    // Address 0 in the reply is accepted from any device, as is any reply while the
    // master itself is set to address 0.
    if (frame[0] != 0 && deviceAddress != 0 && frame[0] != deviceAddress)
        return ReplyUnexpected;

    // An exception reply carries the request's function code with the flag set.
    const std::uint8_t function = frame[1] & static_cast<std::uint8_t>(~ExceptionFlag);
    if (!currentEntry || function != currentEntry->functionCode)
        return ReplyUnexpected;
    if (!currentEntry->responseHandler)
        return ReplyUnexpected;

    const ReplyResult result = currentEntry->responseHandler(currentEntry->context, frame, length);
    // Busy (6) and stray replies keep the request pending; the builder resends it.
    if (result != exceptionResult(ExceptionServerBusy) && result != ReplyUnexpected)
        currentEntry = nullptr;
    return result;
}
