// A TCP client connection as the network ports need it, one implementation per
// platform (tcpsocket_posix.cpp, tcpsocket_win.cpp).
#pragma once

#include "link/porterror.h"

#include <cstddef>
#include <cstdint>
#include <string>

class PortWake;

// A connected socket, or InvalidTcpSocket.
using TcpSocket = std::intptr_t;
constexpr TcpSocket InvalidTcpSocket = -1;

// Resolves `host` (name or literal, IPv4 or IPv6) and connects to the first address
// that answers within `timeoutMs` in all, with Nagle's delay off: a request is one
// small write that must leave at once. InvalidTcpSocket, and why in `error`, when
// none does, or as soon as `cancel` (may be null) is signalled: the handshake in
// flight is abandoned, and a name lookup still running finishes on its own thread.
TcpSocket tcpConnect(const std::string &host, std::uint16_t port, std::uint32_t timeoutMs, const PortWake *cancel,
                     PortError *error);
// Waits at most `timeoutUs` microseconds for input, or until `wake` (may be null) is
// signalled, and takes what has arrived: the count, 0 when nothing came, PortIoLost
// when the connection is gone (closed by the peer, reset, failed).
int tcpReceive(TcpSocket socket, std::uint8_t *data, std::size_t capacity, std::uint32_t timeoutUs,
               const PortWake *wake, PortError *error);
// Sends all of `data`, waiting at most `timeoutMs` for room: `length`, or PortIoLost
// when the connection is gone or stays full.
int tcpSend(TcpSocket socket, const std::uint8_t *data, std::size_t length, std::uint32_t timeoutMs, PortError *error);
void tcpClose(TcpSocket socket);
