// The download engine: the steps of one poll tick that join the serial terminal to the
// Modbus master and the transfer client, for any front end that drives them.
#pragma once

#include "link/comhalfduplexterminal.h"
#include "protocol/logtransfer.h"
#include "protocol/modbusmaster.h"

#include <cstddef>
#include <cstdint>

// Why the engine ended a download by itself.
enum class DownloadStop : std::uint8_t {
    DeviceException, // the device answered with an exception that has a message
    NoReply,         // the request went out the allowed number of times, unanswered
};

// What a download shows to its owner. Every call comes from inside tick() or
// repoll(), on the thread that drives the engine.
class DownloadObserver
{
public:
    virtual ~DownloadObserver() = default;

    // Asked once per tick, after the reply was handled: whether new requests are
    // wanted (a queued clear is sent either way).
    virtual bool downloadWanted() const = 0;
    // A received frame as it came (CRC included) with the master's verdict on it.
    virtual void frameReceived(const std::uint8_t *bytes, std::size_t length, ReplyResult result) = 0;
    // A request as built (CRC included); it goes out only if `sent` follows.
    virtual void frameBuilt(const std::uint8_t *bytes, std::size_t length) = 0;
    // The request just built was handed to the terminal.
    virtual void requestSent() = 0;
    // A reply that counts as an exchange (accepted, or the device busy).
    virtual void replyCounted() = 0;
    // The transfer's remaining count after a counted reply.
    virtual void progressChanged(std::uint32_t remaining) = 0;
    // The engine has stopped the transfer; `exception` is the exception reply's result
    // for DeviceException.
    virtual void downloadStopped(DownloadStop reason, ReplyResult exception) = 0;
};

/*
 * One tick, as the window runs it every 100 ms and the command line as soon as a
 * reply is in:
 *
 *   terminal.takeFrame ─► master.processReply ─► transfer ─► import callbacks
 *        │                    └─► observer: frameReceived, replyCounted, progress
 *        └─► releaseFrame
 *   downloadWanted or clearing? ─► master.buildRequest ─► observer: frameBuilt
 *        └─► terminal.sendRequest ─► observer: requestSent (the worker sends it)
 *
 * The engine holds references only: its owner (LogDownload) keeps the terminal, the
 * master (whose handler table names the transfer) and the transfer, and takes the
 * transfer's callbacks.
 */
class DownloadEngine
{
public:
    DownloadEngine(ComHalfDuplexTerminal &terminal, ModbusMaster &master, LogTransfer &transfer,
                   DownloadObserver &observer);
    DownloadEngine(const DownloadEngine &) = delete;
    DownloadEngine &operator=(const DownloadEngine &) = delete;

    // What one tick did.
    struct TickResult {
        bool replyTaken = false;  // a received frame was handed to the master
        bool requestSent = false; // a request went to the terminal
        bool stopped = false;     // the download ended (exception or no reply)
    };

    // One poll step. A tick started while another runs (from a box shown inside it,
    // whose event loop keeps the timers going) does nothing.
    TickResult tick();
    // The once-a-second step: a resting transfer asks for the range again, so new
    // device records are fetched while the download stays on.
    void repoll();

    // Starts a download from the first state, for the device at `address`.
    void start(std::uint8_t address);
    // Ends any download or clear.
    void stop();
    // Clears the device's log next, at the address the master holds.
    void clear();

    bool tickRunning() const { return running; }
    // Nothing left to read and nothing on the line: the device's log is read up.
    bool atRest() const;
    bool clearing() const { return transfer.isClearing(); }
    std::uint32_t remaining() const { return transfer.remaining(); }

private:
    bool takeReply(TickResult &result);
    void sendNextRequest(TickResult &result);

    ComHalfDuplexTerminal &terminal;
    ModbusMaster &master;
    LogTransfer &transfer;
    DownloadObserver &observer;
    bool running = false;
};
