// The network ports: their URLs, the conversion between RTU frames and Modbus TCP
// ADUs, and the two port tables built on a platform's TCP connection.

#include "link/porttcp.h"
#include "link/tcpsocket.h"

#include "protocol/modbuscrc.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr char RtuOverTcpScheme[] = "tcp://";
constexpr char ModbusTcpScheme[] = "mbtcp://";

// A request is a few hundred bytes at most; a connection that cannot take them in
// this long is as good as gone.
constexpr std::uint32_t SendTimeoutMs = 3000;
// The RTU frame's address, function code and CRC: the least a request carries.
constexpr std::size_t MinRtuFrameLength = 4;

bool startsWith(const std::string &text, const char *prefix)
{
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// A decimal number of at most `maxDigits` digits, no sign, no more than `maximum`.
bool parseNumber(const std::string &text, std::size_t maxDigits, unsigned long maximum, unsigned long *value)
{
    if (text.empty() || text.size() > maxDigits)
        return false;
    unsigned long number = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        number = number * 10 + static_cast<unsigned long>(c - '0');
    }
    if (number > maximum)
        return false;
    *value = number;
    return true;
}

std::uint16_t bigEndian16(const std::uint8_t *data)
{
    return static_cast<std::uint16_t>((data[0] << 8) | data[1]);
}

// One open network port; its address is the port handle.
struct NetworkPort {
    TcpSocket socket = InvalidTcpSocket;
    // Set once the connection has failed: it is not retried, a new connect is.
    bool lost = false;
    // Modbus TCP only.
    int unit = -1;
    std::uint16_t nextTransaction = 1;
    bool awaitingReply = false;
    std::uint16_t transaction = 0;
    std::uint8_t address = 0;
    // Received bytes not yet taken: the start of an ADU whose rest is on its way.
    std::vector<std::uint8_t> pending;
};

NetworkPort *portOf(PortHandle handle)
{
    return reinterpret_cast<NetworkPort *>(handle);
}

PortHandle openNetworkPort(const char *portName, PortTransport transport, const PortWake *cancel, PortError *error)
{
    NetworkPortAddress address;
    if (!parseNetworkPort(portName, &address) || address.transport != transport) {
        setPortError(error, PortFailure::NoSuchPort, 0);
        return InvalidPortHandle;
    }
    const TcpSocket socket = tcpConnect(address.host, address.port, GatewayConnectTimeoutMs, cancel, error);
    if (socket == InvalidTcpSocket)
        return InvalidPortHandle;
    auto *port = new NetworkPort;
    port->socket = socket;
    port->unit = address.unit;
    return reinterpret_cast<PortHandle>(port);
}

int lostAgain(PortError *error)
{
    setPortError(error, PortFailure::PortLost, 0);
    return PortIoLost;
}

// Takes what the connection holds, waiting at most `timeoutUs`; PortIoLost once it
// is gone.
int receive(NetworkPort *port, std::uint8_t *data, std::size_t capacity, std::uint32_t timeoutUs, const PortWake *wake,
            PortError *error)
{
    if (port->lost)
        return lostAgain(error);
    const int count = tcpReceive(port->socket, data, capacity, timeoutUs, wake, error);
    if (count < 0)
        port->lost = true;
    return count;
}

int send(NetworkPort *port, const std::uint8_t *data, std::size_t length, PortError *error)
{
    if (port->lost)
        return lostAgain(error);
    const int sent = tcpSend(port->socket, data, length, SendTimeoutMs, error);
    if (sent < 0)
        port->lost = true;
    return sent;
}

// The first complete reply to the outstanding request among the pending bytes, as
// an RTU frame in `data`: its length, or 0 when none is complete yet. ADUs answering
// other transactions are dropped; so is everything after a header no peer sends,
// since the stream cannot be resynchronised from there.
int takeReply(NetworkPort *port, std::uint8_t *data, std::size_t capacity)
{
    for (;;) {
        std::size_t aduLength = 0;
        const MbapScan scan = mbapScan(port->pending.data(), port->pending.size(), &aduLength);
        if (scan == MbapScan::NeedMore)
            return 0;
        if (scan == MbapScan::Invalid) {
            port->pending.clear();
            return 0;
        }
        std::vector<std::uint8_t> frame;
        if (port->awaitingReply)
            frame = mbapUnwrap(port->pending.data(), aduLength, port->transaction, port->address);
        port->pending.erase(port->pending.begin(), port->pending.begin() + std::ptrdiff_t(aduLength));
        if (!frame.empty() && frame.size() <= capacity) {
            port->awaitingReply = false;
            std::copy(frame.begin(), frame.end(), data);
            return int(frame.size());
        }
    }
}

PortHandle rawOpen(const char *portName, std::uint32_t, std::uint8_t, std::uint8_t, std::uint32_t,
                   const PortWake *cancel, PortError *error)
{
    return openNetworkPort(portName, PortTransport::RtuOverTcp, cancel, error);
}

int rawRead(PortHandle handle, std::uint8_t *data, std::size_t capacity, std::uint32_t timeoutUs, const PortWake *wake,
            PortError *error)
{
    return receive(portOf(handle), data, capacity, timeoutUs, wake, error);
}

int rawWrite(PortHandle handle, const std::uint8_t *data, std::size_t length, PortError *error)
{
    return send(portOf(handle), data, length, error);
}

void noLineErrors(PortHandle) {}

void purgeNetworkPort(PortHandle handle)
{
    NetworkPort *port = portOf(handle);
    port->pending.clear();
    port->awaitingReply = false;
    std::uint8_t discard[256];
    while (receive(port, discard, sizeof discard, 0, nullptr, nullptr) > 0) {}
}

void closeNetworkPort(PortHandle handle)
{
    NetworkPort *port = portOf(handle);
    tcpClose(port->socket);
    delete port;
}

PortHandle mbapOpen(const char *portName, std::uint32_t, std::uint8_t, std::uint8_t, std::uint32_t,
                    const PortWake *cancel, PortError *error)
{
    return openNetworkPort(portName, PortTransport::ModbusTcp, cancel, error);
}

int mbapRead(PortHandle handle, std::uint8_t *data, std::size_t capacity, std::uint32_t timeoutUs, const PortWake *wake,
             PortError *error)
{
    NetworkPort *port = portOf(handle);
    // A reply may already wait behind the one taken last.
    if (const int taken = takeReply(port, data, capacity))
        return taken;
    std::uint8_t received[2 * MaxMbapAduLength];
    const int count = receive(port, received, sizeof received, timeoutUs, wake, error);
    if (count <= 0)
        return count;
    port->pending.insert(port->pending.end(), received, received + count);
    return takeReply(port, data, capacity);
}

int mbapWrite(PortHandle handle, const std::uint8_t *data, std::size_t length, PortError *error)
{
    NetworkPort *port = portOf(handle);
    const std::uint16_t transaction = port->nextTransaction++;
    const std::vector<std::uint8_t> adu = mbapWrap(data, length, transaction, port->unit);
    if (adu.empty()) {
        setPortError(error, PortFailure::Other, 0);
        return PortIoFailed;
    }
    port->awaitingReply = true;
    port->transaction = transaction;
    port->address = data[0];
    const int sent = send(port, adu.data(), adu.size(), error);
    return sent < 0 ? sent : int(length);
}

const SerialPortMethods RtuOverTcpMethods = {
    rawOpen, rawRead, rawWrite, noLineErrors, purgeNetworkPort, closeNetworkPort,
};

const SerialPortMethods ModbusTcpMethods = {
    mbapOpen, mbapRead, mbapWrite, noLineErrors, purgeNetworkPort, closeNetworkPort,
};

} // namespace

PortTransport portTransportOf(const std::string &portName)
{
    if (startsWith(portName, RtuOverTcpScheme))
        return PortTransport::RtuOverTcp;
    if (startsWith(portName, ModbusTcpScheme))
        return PortTransport::ModbusTcp;
    return PortTransport::Serial;
}

bool parseNetworkPort(const std::string &portName, NetworkPortAddress *address)
{
    NetworkPortAddress parsed;
    parsed.transport = portTransportOf(portName);
    if (parsed.transport == PortTransport::Serial)
        return false;
    std::string rest = portName.substr(parsed.transport == PortTransport::RtuOverTcp ? std::strlen(RtuOverTcpScheme)
                                                                                     : std::strlen(ModbusTcpScheme));
    std::string::size_type hostEnd;
    if (!rest.empty() && rest[0] == '[') {
        hostEnd = rest.find(']');
        if (hostEnd == std::string::npos)
            return false;
        parsed.host = rest.substr(1, hostEnd - 1);
        // Only an IPv6 literal needs brackets, and it always has a colon.
        if (parsed.host.find(':') == std::string::npos
            || parsed.host.find_first_not_of("0123456789abcdefABCDEF:.") != std::string::npos)
            return false;
        ++hostEnd;
    } else {
        hostEnd = rest.find(':');
        if (hostEnd == std::string::npos)
            return false;
        parsed.host = rest.substr(0, hostEnd);
        if (parsed.host.find_first_of("/[]@?#") != std::string::npos)
            return false;
    }
    if (parsed.host.empty() || hostEnd >= rest.size() || rest[hostEnd] != ':')
        return false;
    rest = rest.substr(hostEnd + 1);
    const std::string::size_type slash = rest.find('/');
    unsigned long number = 0;
    if (!parseNumber(rest.substr(0, slash), 5, 65535, &number) || number == 0)
        return false;
    parsed.port = static_cast<std::uint16_t>(number);
    if (slash != std::string::npos) {
        // Raw RTU frames name their device themselves: a unit means nothing there.
        if (parsed.transport != PortTransport::ModbusTcp || !parseNumber(rest.substr(slash + 1), 3, 255, &number))
            return false;
        parsed.unit = int(number);
    }
    *address = parsed;
    return true;
}

std::vector<std::uint8_t> mbapWrap(const std::uint8_t *rtu, std::size_t length, std::uint16_t transaction, int unit)
{
    if (length < MinRtuFrameLength || length - 3 > MaxMbapAduLength - MbapHeaderLength)
        return {};
    const std::size_t pduLength = length - 3;
    const std::size_t following = pduLength + 1; // the unit id and the PDU
    std::vector<std::uint8_t> adu;
    adu.reserve(MbapHeaderLength + pduLength);
    adu.push_back(static_cast<std::uint8_t>(transaction >> 8));
    adu.push_back(static_cast<std::uint8_t>(transaction & 0xFF));
    adu.push_back(0);
    adu.push_back(0);
    adu.push_back(static_cast<std::uint8_t>(following >> 8));
    adu.push_back(static_cast<std::uint8_t>(following & 0xFF));
    adu.push_back(unit < 0 ? rtu[0] : static_cast<std::uint8_t>(unit));
    adu.insert(adu.end(), rtu + 1, rtu + 1 + pduLength);
    return adu;
}

MbapScan mbapScan(const std::uint8_t *data, std::size_t length, std::size_t *aduLength)
{
    // Checked as far as the bytes go, so that garbage is refused before its length
    // field has arrived.
    if (length >= 4 && bigEndian16(data + 2) != 0)
        return MbapScan::Invalid;
    if (length < 6)
        return MbapScan::NeedMore;
    const std::size_t following = bigEndian16(data + 4);
    // The unit id and at least a function code; a PDU of at most 253 bytes.
    if (following < 2 || following > MaxMbapAduLength - MbapHeaderLength + 1)
        return MbapScan::Invalid;
    const std::size_t total = 6 + following;
    if (length < total)
        return MbapScan::NeedMore;
    *aduLength = total;
    return MbapScan::Complete;
}

std::vector<std::uint8_t> mbapUnwrap(const std::uint8_t *adu, std::size_t aduLength, std::uint16_t transaction,
                                     std::uint8_t address)
{
    if (aduLength <= MbapHeaderLength || bigEndian16(adu) != transaction)
        return {};
    std::vector<std::uint8_t> frame;
    frame.reserve(aduLength - MbapHeaderLength + 3);
    // The master matches the reply to its request by address; a gateway addressed
    // by another unit id still answers that request.
    frame.push_back(address);
    frame.insert(frame.end(), adu + MbapHeaderLength, adu + aduLength);
    const std::uint16_t crc = modbusCrc(frame.data(), frame.size());
    frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<std::uint8_t>(crc >> 8));
    return frame;
}

const SerialPortMethods &rtuOverTcpPort()
{
    return RtuOverTcpMethods;
}

const SerialPortMethods &modbusTcpPort()
{
    return ModbusTcpMethods;
}

const SerialPortMethods &portMethodsFor(const std::string &portName)
{
    switch (portTransportOf(portName)) {
    case PortTransport::RtuOverTcp:
        return rtuOverTcpPort();
    case PortTransport::ModbusTcp:
        return modbusTcpPort();
    case PortTransport::Serial:
        break;
    }
    return platformSerialPort();
}
