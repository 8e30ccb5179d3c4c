// Ports behind a serial-to-Ethernet gateway: RTU frames over a TCP connection, raw
// ("tcp://HOST:PORT") or in Modbus TCP's MBAP envelope ("mbtcp://HOST:PORT[/UNIT]").
#pragma once

#include "link/serialport.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class PortTransport { Serial, RtuOverTcp, ModbusTcp };

// Where a network port is: HOST is a name, an IPv4 literal or an IPv6 literal without
// its brackets; `unit` is the Modbus TCP unit id, -1 for the device's address.
struct NetworkPortAddress {
    PortTransport transport = PortTransport::Serial;
    std::string host;
    std::uint16_t port = 0;
    int unit = -1;
};

// The transport a port name asks for, by its scheme alone; anything else is a
// serial port's name.
PortTransport portTransportOf(const std::string &portName);

// Parses "tcp://HOST:PORT" or "mbtcp://HOST:PORT[/UNIT]" (PORT 1..65535, UNIT
// 0..255, "[v6]" for IPv6). False for a serial port's name and for a malformed URL.
bool parseNetworkPort(const std::string &portName, NetworkPortAddress *address);

// The 7-byte MBAP header: transaction id, protocol 0, length of what follows the
// length field, unit id.
constexpr std::size_t MbapHeaderLength = 7;
// The longest ADU: the header and a PDU of at most 253 bytes.
constexpr std::size_t MaxMbapAduLength = MbapHeaderLength + 253;

// An RTU request (address, PDU, CRC) in its Modbus TCP envelope: the header with
// `transaction` and `unit` (the request's own address when -1), then the PDU. Empty
// when the frame has no PDU to carry.
std::vector<std::uint8_t> mbapWrap(const std::uint8_t *rtu, std::size_t length, std::uint16_t transaction, int unit);

// What the bytes at the head of a received stream hold.
enum class MbapScan { NeedMore, Complete, Invalid };

// Looks at the head of `data`: a complete ADU (its length in `aduLength`), an
// incomplete one, or a header no Modbus TCP peer sends (protocol other than 0, a
// length without a function code or beyond the largest PDU).
MbapScan mbapScan(const std::uint8_t *data, std::size_t length, std::size_t *aduLength);

// The RTU frame of a complete ADU that answers `transaction`: `address` (the
// request's), the PDU and its CRC. Empty for a reply to another transaction.
std::vector<std::uint8_t> mbapUnwrap(const std::uint8_t *adu, std::size_t aduLength, std::uint16_t transaction,
                                     std::uint8_t address);

// The port tables of the two transports (porttcp.cpp).
const SerialPortMethods &rtuOverTcpPort();
const SerialPortMethods &modbusTcpPort();
