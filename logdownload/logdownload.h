// One device's log into one store: the terminal, the master, the transfer, the import
// and the engine that joins them, with the import policy every front end shares.
#pragma once

#include "engine/downloadengine.h"
#include "link/comhalfduplexterminal.h"
#include "link/portopener.h"
#include "logdownload/downloadtexts.h"
#include "protocol/logtransfer.h"
#include "protocol/modbusmaster.h"
#include "store/logimporter.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// What a front end learns of its download, and the one question it answers. Every
// call comes from inside LogDownload's tick() or repoll(), on the thread that drives it.
class LogDownloadHost
{
public:
    virtual ~LogDownloadHost() = default;

    // Asked once per tick, after the reply was handled: whether new requests are
    // wanted (a queued clear is sent either way).
    virtual bool downloadWanted() const = 0;
    // A received frame as it came (CRC included) with the master's verdict on it.
    virtual void frameReceived(const std::uint8_t *, std::size_t, ReplyResult) {}
    // A request as built (CRC included); it goes out only if requestSent follows.
    virtual void frameBuilt(const std::uint8_t *, std::size_t) {}
    virtual void requestSent() {}
    // A reply that counts as an exchange (accepted, or the device busy), with the
    // transfer's remaining count after it.
    virtual void replyCounted(std::uint32_t /*remaining*/) {}
    // The device's event set differs from the one the store knows: true to replace
    // the store's configuration (its captions are then read), false to keep it. The
    // records are stored either way.
    virtual bool confirmConfigurationUpdate() = 0;
    // The download has ended by itself; the transfer is stopped already.
    virtual void failed(const DownloadFailure &failure) = 0;
    // `count` more records are in the store for good: after each one when every
    // record commits alone, after each batch otherwise.
    virtual void recordsStored(std::uint32_t /*count*/) {}

    // The link. An open begun with startOpen has ended: the port is open (the host
    // starts its download now), or it could not be opened, and why.
    virtual void portOpened() {}
    virtual void portOpenFailed(const PortError & /*cause*/) {}
    // The open port failed (unplugged, connection closed): the download is paused and
    // the port is reopened by itself, with the same name and settings, until it opens
    // or the host closes it.
    virtual void portLost(const PortError & /*cause*/) {}
    // Reopening the lost port failed for the `attempt`-th time; the next try is in `next`.
    virtual void reconnectFailed(unsigned /*attempt*/, const PortError & /*cause*/, std::chrono::milliseconds /*next*/)
    {}
    // The lost port is open again; a download that was on resumes where the store ends.
    virtual void portRestored(unsigned /*attempts*/) {}
};

// How a download keeps time: the window's (a frame ends after ten empty reads of a
// character time each; the window's 100 ms tick sends at most one request), or the
// line's (a frame ends after 3.5 character times of silence, measured to the
// microsecond, and the driver waits for it with waitForFrame and sends at once).
enum class DownloadPace { Window, Line };

/*
 * The parts, as LogDownload wires them:
 *
 *   terminal (storage, worker) ═ engine ─ master ─ handler entry ─ transfer
 *                                   │                                 │ callbacks, with
 *                                   └─► host (frames, counts)         ▼ this as context
 *                                                      import policy ─► importer ─► store
 *                                                           └─► host (question, failure,
 *                                                                     records stored)
 *
 * The import policy, written once: the info reply's verdict (read the captions, skip
 * them, or ask the host), the fingerprints after the last caption, the resume point,
 * and every store failure ending the download through host.failed(). Records commit
 * one by one (the window), or in batches of at most a given age (the command line):
 * a batch opens when a reply is about to be handled, and is committed when the log
 * is read up, when it is old enough, when the download ends, before the question is
 * asked, and on flush().
 *
 * Several downloads may run in one process, each driven by one thread and each on
 * its own port and store.
 */
class LogDownload final : private DownloadObserver
{
public:
    using Clock = std::chrono::steady_clock;

    LogDownload(LogDownloadHost &host, DownloadPace pace);
    ~LogDownload() override;
    LogDownload(const LogDownload &) = delete;
    LogDownload &operator=(const LogDownload &) = delete;

    // The port. openPort opens it before it returns (closing one that is open first);
    // startOpen begins the open in the background and returns at once, and a later
    // tick() tells the host how it ended. closePort closes the port, cancels an open
    // under way and ends any reconnecting.
    bool openPort(const std::string &portName, std::uint32_t baudRate, std::uint8_t parity, std::uint8_t stopBits);
    void startOpen(const std::string &portName, std::uint32_t baudRate, std::uint8_t parity, std::uint8_t stopBits);
    // Called on the opener's own thread whenever a background open (the first, or a
    // reopen of a lost port) has ended, so that the owner can call pollLink() on its
    // thread at once instead of at its next tick. May be empty.
    void setOpenWake(std::function<void()> wake) { openWake = std::move(wake); }
    // Takes in an open that has ended, without a tick of the download: the host
    // hears portOpened, portOpenFailed, portRestored or reconnectFailed from here too.
    void pollLink();
    void closePort();
    // The port is open and the line usable.
    bool portOpen() const { return link == Link::Open; }
    // The port is open, being opened, or lost and being reopened: the user is connected.
    bool connected() const { return link != Link::Closed; }
    bool opening() const { return link == Link::Opening; }
    bool reconnecting() const { return link == Link::Lost; }
    // Why the last open failed.
    const PortError &openError() const { return terminal.openError(); }
    // Reopening a lost port: the delay before the `attempt`-th try (1, 2, ...): every
    // second at first, backing off to every five seconds.
    static std::chrono::milliseconds reconnectDelay(unsigned attempt);
    // Called on the terminal's worker thread when a reply is in or the port is lost
    // (Line pace), so that an owner bound to an event loop ticks at once: it must only
    // post. Set it before the port is opened. May be empty.
    void setFrameWake(std::function<void()> wake) { terminal.setFrameHook(std::move(wake)); }
    // Waits at most `timeout` for a reply to be in (Line pace): the next tick takes it.
    void waitForFrame(std::chrono::microseconds timeout) { terminal.waitForFrame(timeout); }

    DownloadPace downloadPace() const { return pace; }

    // The store the import writes to, owned by the caller; null: every statement fails.
    // A batch open on the store it replaces is committed first.
    void setStore(LogStore *store);
    // Records commit in batches of at most `interval`; zero (the default): each alone.
    void setBatchInterval(std::chrono::milliseconds interval) { batchInterval = interval; }
    // How long a reply is waited for, and how often a request goes out unanswered
    // before the device counts as silent (1000 ms and 10, the window's, unless set).
    void setReplyTiming(std::uint16_t replyTimeoutMs, std::uint8_t attempts);
    // The clock batches are aged by; tests set their own.
    void setClock(std::function<Clock::time_point()> clock) { now = std::move(clock); }

    // Starts a download from the first state, for the device at `address`. While the
    // port is being reopened, it starts once the port is back.
    void start(std::uint8_t address);
    // Ends any download or clear.
    void stop();
    // Clears the device's log next, at the address the master holds.
    void clear();
    // One poll step (see DownloadEngine::tick).
    DownloadEngine::TickResult tick();
    // The once-a-second step: a resting transfer asks for the range again.
    void repoll() { engine.repoll(); }
    // Commits an open batch now (a run that ends); false, after host.failed(), when
    // the commit failed.
    bool flush();
    // The store failed between ticks (a statement it carried out later, on a thread of
    // its own): the download ends with the store's error as when a call of its fails,
    // and the host hears of it once.
    void storeFailed(const StoreError &error) { failStore(error); }

    // Nothing left to read and nothing on the line: the device's log is read up.
    bool atRest() const { return engine.atRest(); }
    bool clearing() const { return engine.clearing(); }
    bool tickRunning() const { return engine.tickRunning(); }
    std::uint32_t remaining() const { return engine.remaining(); }

    // How far the current download has come, for a progress line.
    enum class Phase { Info, Captions, Records };
    Phase phase() const { return currentPhase; }
    std::uint32_t captionsStored() const { return captionCount; }
    std::uint32_t recordsStored() const { return recordCount; }

private:
    // DownloadObserver: the engine's reports, passed on or turned into failures.
    bool downloadWanted() const override { return host.downloadWanted(); }
    void frameReceived(const std::uint8_t *bytes, std::size_t length, ReplyResult result) override;
    void frameBuilt(const std::uint8_t *bytes, std::size_t length) override;
    void requestSent() override { host.requestSent(); }
    void replyCounted() override {}
    void progressChanged(std::uint32_t remaining) override { host.replyCounted(remaining); }
    void downloadStopped(DownloadStop reason, ReplyResult exception) override;

    // The transfer's callbacks, reached through its context pointer.
    static bool onLogInfo(void *context, std::uint16_t count, std::uint32_t idHash, std::uint32_t captionHash);
    static void onCaption(void *context, std::uint16_t position, std::uint32_t eventId, const char *text);
    static std::uint32_t onRange(void *context, std::uint32_t first, std::uint32_t span);
    static void onRecord(void *context, std::uint32_t index, std::uint8_t count, std::uint8_t type, std::uint32_t time,
                         std::uint32_t eventId, const std::uint8_t *data, std::size_t length);

    static ComHalfDuplexTerminal makeTerminal(std::uint8_t *storage, std::size_t length, DownloadPace pace);
    // The link's part of a tick: an open that ended, a port found lost, a reopen due.
    // False while there is no open port to run the download on.
    bool tickLink();
    void loseLink();
    void tryReopen();
    void startOpener();
    bool takeInfo(std::uint16_t count, std::uint32_t idHash, std::uint32_t captionHash);
    // At the line's pace a record is stored after the next request has gone out, while
    // the line carries it; these are the records taken and not yet stored.
    void storeRecord(const DeviceRecord &record);
    void storeTakenRecords();
    // Ends the download with the store's error when `status` is one; true if not.
    bool stored(const StoreStatus &status);
    void failStore(const StoreError &error);
    void fail(const DownloadFailure &failure);
    void beginBatch();
    bool commitBatch();

    LogDownloadHost &host;
    const DownloadPace pace;
    std::vector<DeviceRecord> takenRecords;
    std::uint8_t terminalStorage[256];
    ComHalfDuplexTerminal terminal;
    // The port's name and settings, kept for reopening it.
    struct PortSettings {
        std::string name;
        std::uint32_t baudRate = 0;
        std::uint8_t parity = 0;
        std::uint8_t stopBits = 0;
    } portSettings;
    enum class Link { Closed, Opening, Open, Lost };
    Link link = Link::Closed;
    PortOpener opener;
    std::function<void()> openWake;
    bool reopening = false; // the opener is at work on a lost port
    unsigned reopenAttempts = 0;
    Clock::time_point nextReopen;
    // The device the download was reading when the port was lost, if it was.
    bool resumeAfterReopen = false;
    std::uint8_t deviceAddress = 1;
    LogTransfer transfer;
    ModbusFunctionHandler logFunctionEntry;
    ModbusMaster master;
    LogImporter importer;
    DownloadEngine engine;

    std::chrono::milliseconds batchInterval{0};
    std::function<Clock::time_point()> now = &Clock::now;
    bool batchOpen = false;
    bool failedInTick = false;
    // The download has ended with a failure since it started: a later one (the commit
    // of its batch, which a store may answer with the same error) is not reported again.
    bool hasFailed = false;
    Clock::time_point batchStarted;
    std::uint32_t batchRecords = 0;

    Phase currentPhase = Phase::Info;
    std::uint32_t captionCount = 0;
    std::uint32_t recordCount = 0;
};
