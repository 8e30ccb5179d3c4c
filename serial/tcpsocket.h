// A TCP client connection as the network ports need it, one implementation per
// platform (tcpsocket_posix.cpp, tcpsocket_win.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A connected socket, or InvalidTcpSocket.
using TcpSocket = std::intptr_t;
constexpr TcpSocket InvalidTcpSocket = -1;

// Resolves `host` (name or literal, IPv4 or IPv6) and connects to the first address
// that answers within `timeoutMs` in all, with Nagle's delay off: a request is one
// small write that must leave at once. InvalidTcpSocket when none does.
TcpSocket tcpConnect(const std::string &host, std::uint16_t port, std::uint32_t timeoutMs);
// Waits at most `timeoutMs` for input and takes what has arrived: the count, 0 when
// nothing came, -1 when the connection is gone (closed by the peer or failed).
int tcpReceive(TcpSocket socket, std::uint8_t *data, std::size_t capacity, std::uint32_t timeoutMs);
// Sends all of `data`, waiting at most `timeoutMs` for room; false when the
// connection is gone or stays full.
bool tcpSend(TcpSocket socket, const std::uint8_t *data, std::size_t length, std::uint32_t timeoutMs);
void tcpClose(TcpSocket socket);
