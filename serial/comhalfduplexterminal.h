// The half-duplex serial terminal: a frame buffer plus the worker thread that reads
// the line into it and sends the requests committed to it.
#pragma once

#include "serial/serialport.h"
#include "serial/terminalbuffer.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>

// Threads: construction, open, close, isOpen and destruction run on the
// user-interface thread, as do the buffer's user-interface-side operations. The
// worker runs `run` and, through it, the buffer's worker side and setDirection.
// `portHandle` and `tickMs` are written only while no worker runs.
//
// The port itself is reached only through a table of functions: the one given to the
// constructor, or else the one its name asks for at each open (portMethodsFor).
class ComHalfDuplexTerminal : public TerminalBuffer
{
public:
    // Bytes the worker reads or writes at once.
    static constexpr std::size_t StagingSize = 1024;

    // `storage` (of `length` bytes) is owned by the caller and outlives the terminal.
    // The port table follows the name given to each open: a serial port or a network
    // transport.
    ComHalfDuplexTerminal(std::uint8_t *storage, std::size_t length, std::uint8_t gapTicks);
    // Reaches every port through `methods`, whatever its name; the table outlives the
    // terminal, normally a constant one.
    ComHalfDuplexTerminal(std::uint8_t *storage, std::size_t length, std::uint8_t gapTicks,
                          const SerialPortMethods &methods);
    ~ComHalfDuplexTerminal();
    ComHalfDuplexTerminal(const ComHalfDuplexTerminal &) = delete;
    ComHalfDuplexTerminal &operator=(const ComHalfDuplexTerminal &) = delete;

    // Closes a port that is open, then opens `portName` (UTF-8, "COM3", "ttyUSB0" or
    // a full path) and starts the worker. False, with the terminal closed, when the
    // port cannot be opened or configured. `parity` 0 none / 1 odd / 2 even,
    // `stopBits` 0 one / 1 one and a half / 2 two.
    bool open(const std::string &portName, std::uint32_t baudRate, std::uint8_t parity, std::uint8_t stopBits);
    // Stops and joins the worker, then closes the port. The buffer keeps its state.
    void close();
    bool isOpen() const { return portHandle != InvalidPortHandle; }

    // The read timeout in ms, about one character time: 10 bits, plus one for parity
    // and one for a stop bit beyond the first, at `baudRate`; at least 1.
    static std::uint32_t tickMilliseconds(std::uint32_t baudRate, std::uint8_t parity, std::uint8_t stopBits);
    // The silence that ends a frame, in ticks of tickMilliseconds, as the line's rate
    // asks: 3.5 character times, at least 1.75 ms above 19200 baud, rounded up to whole
    // ticks; 1 to 255. For a master that sends as soon as a reply is in; the window
    // keeps its own fixed gap (WindowGapTicks).
    static std::uint8_t frameGapTicks(std::uint32_t baudRate, std::uint8_t parity, std::uint8_t stopBits);
    // The window's gap: ten ticks, about ten character times and at least 10 ms.
    static constexpr std::uint8_t WindowGapTicks = 10;

    // Opens and configures the port through the terminal's table for `portName`;
    // InvalidPortHandle on any failure.
    PortHandle openPort(const std::string &portName, std::uint32_t baudRate, std::uint8_t parity,
                        std::uint8_t stopBits) const;
    static void run(ComHalfDuplexTerminal *terminal);
    // The buffer's direction hook: `buffer` is always a terminal's buffer part.
    static void setDirection(TerminalBuffer *buffer, bool transmitting);

private:
    void sendPass(TerminalOutput output, std::uint8_t *staging);
    void receivePass(TerminalOutput output, std::uint8_t *staging);

    const SerialPortMethods &methodsFor(const std::string &portName) const;

    // The table given to the constructor, or null to choose by name.
    const SerialPortMethods *fixedPort;
    // The open port's table (written only while no worker runs).
    const SerialPortMethods *port;
    std::thread worker;
    std::atomic<bool> transmitMode;
    std::atomic<bool> stopRequested;
    PortHandle portHandle;
    std::uint32_t tickMs;
};
