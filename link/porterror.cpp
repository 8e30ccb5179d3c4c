// The texts of the port layer's failures: one table, in the words for a serial port
// and for a gateway.

#include "link/porterror.h"

#include "link/porttcp.h"

#include <cstdio>
#include <iterator>

namespace {

struct FailureText {
    PortFailure cause;
    const char *serial;
    const char *gateway;
};

// "%d" takes the system's code, "%u" the gateway's handshake time in seconds.
const FailureText FailureTexts[] = {
    {PortFailure::None, "", ""},
    {PortFailure::NoPermission, "нет доступа, добавьте пользователя в группу dialout", "нет доступа к сети"},
    {PortFailure::Busy, "порт занят другой программой", "порт занят другой программой"},
    {PortFailure::NoSuchPort, "порт не найден", "шлюз не найден"},
    {PortFailure::NotSerialPort, "это не последовательный порт", "это не последовательный порт"},
    {PortFailure::LineSettingsRefused, "порт не принимает параметры линии", "порт не принимает параметры линии"},
    {PortFailure::ConnectionRefused, "соединение отклонено", "шлюз отклонил соединение"},
    {PortFailure::HostUnreachable, "узел недоступен", "шлюз недоступен"},
    {PortFailure::TimedOut, "нет ответа", "шлюз не ответил за %u с"},
    {PortFailure::PortLost, "порт отключён", "шлюз разорвал соединение"},
    {PortFailure::Cancelled, "подключение отменено", "подключение отменено"},
    {PortFailure::Other, "системная ошибка %d", "системная ошибка %d"},
};
// With the holder's name and PID in the detail.
constexpr char BusyByText[] = "порт занят программой ";

std::string sentence(const char *start, const std::string &portName, const std::string &reason)
{
    return std::string(start) + " \"" + portName + "\": " + reason;
}

} // namespace

std::string portFailureReason(const std::string &portName, const PortError &error)
{
    if (error.cause == PortFailure::Busy && !error.detail.empty())
        return BusyByText + error.detail;
    const bool gateway = portTransportOf(portName) != PortTransport::Serial;
    for (const FailureText &entry : FailureTexts) {
        if (entry.cause != error.cause)
            continue;
        const char *format = gateway ? entry.gateway : entry.serial;
        char text[160];
        if (error.cause == PortFailure::TimedOut)
            std::snprintf(text, sizeof text, format, unsigned(GatewayConnectTimeoutMs / 1000));
        else if (error.cause == PortFailure::Other)
            std::snprintf(text, sizeof text, format, error.systemCode);
        else
            return format;
        return text;
    }
    static_assert(std::size(FailureTexts) == std::size_t(PortFailure::Other) + 1, "a text for every cause");
    return std::string();
}

std::string portOpenFailureText(const std::string &portName, const PortError &error)
{
    return sentence("Не удается открыть порт", portName, portFailureReason(portName, error));
}

std::string portLostText(const std::string &portName, const PortError &error)
{
    return sentence("Потеряна связь с портом", portName, portFailureReason(portName, error));
}
