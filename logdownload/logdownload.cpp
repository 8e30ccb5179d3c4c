// One device's download: the wiring of its parts and the import policy.

#include "logdownload/logdownload.h"

ComHalfDuplexTerminal LogDownload::makeTerminal(std::uint8_t *storage, std::size_t length, DownloadPace pace)
{
    if (pace == DownloadPace::Window)
        return ComHalfDuplexTerminal(storage, length, ComHalfDuplexTerminal::WindowGapTicks);
    return ComHalfDuplexTerminal(storage, length, ComHalfDuplexTerminal::LineSilence{});
}

LogDownload::LogDownload(LogDownloadHost &host, DownloadPace pace)
    : host(host),
      pace(pace),
      terminalStorage{},
      terminal(makeTerminal(terminalStorage, sizeof terminalStorage, pace)),
      engine(terminal, master, transfer, *this)
{
    // The transfer keeps its own defaults: nothing pending, ten attempts a request,
    // 1000 ms for each reply.
    transfer.setCallbacks(
        {&LogDownload::onLogInfo, &LogDownload::onCaption, &LogDownload::onRange, &LogDownload::onRecord, this});
    logFunctionEntry = transfer.functionHandler();
    master.deviceAddress = 1;
    master.handlerTable = &logFunctionEntry;
    master.currentEntry = nullptr;
    master.entryCount = 1;
}

LogDownload::~LogDownload()
{
    // The worker must be gone before the storage it writes.
    terminal.close();
}

bool LogDownload::openPort(const std::string &portName, std::uint32_t baudRate, std::uint8_t parity,
                           std::uint8_t stopBits)
{
    closePort();
    portSettings = PortSettings{portName, baudRate, parity, stopBits};
    if (!terminal.open(portName, baudRate, parity, stopBits))
        return false;
    link = Link::Open;
    return true;
}

void LogDownload::startOpen(const std::string &portName, std::uint32_t baudRate, std::uint8_t parity,
                            std::uint8_t stopBits)
{
    closePort();
    portSettings = PortSettings{portName, baudRate, parity, stopBits};
    link = Link::Opening;
    startOpener();
}

void LogDownload::startOpener()
{
    opener.start(portSettings.name, portSettings.baudRate, portSettings.parity, portSettings.stopBits, openWake);
}

void LogDownload::pollLink()
{
    // Not inside a tick: a box shown there keeps its own order of events.
    if (engine.tickRunning())
        return;
    if (link == Link::Opening || (link == Link::Lost && reopening))
        tickLink();
}

void LogDownload::closePort()
{
    if (link == Link::Opening || reopening) {
        // Returns at once: a handshake in flight is abandoned, a port that opens
        // anyway is closed.
        opener.cancel();
        opener.take();
    }
    reopening = false;
    resumeAfterReopen = false;
    terminal.close();
    link = Link::Closed;
}

std::chrono::milliseconds LogDownload::reconnectDelay(unsigned attempt)
{
    static constexpr std::chrono::milliseconds delays[] = {
        std::chrono::milliseconds(1000), std::chrono::milliseconds(1000), std::chrono::milliseconds(1000),
        std::chrono::milliseconds(1000), std::chrono::milliseconds(1000), std::chrono::milliseconds(2000),
        std::chrono::milliseconds(3000), std::chrono::milliseconds(5000),
    };
    constexpr unsigned count = sizeof delays / sizeof delays[0];
    return delays[attempt == 0 ? 0 : (attempt <= count ? attempt - 1 : count - 1)];
}

bool LogDownload::tickLink()
{
    switch (link) {
    case Link::Closed:
        // The engine still runs: a request built without a port is shown, not sent.
        return true;
    case Link::Opening:
        if (opener.finished()) {
            if (terminal.attach(opener.take())) {
                link = Link::Open;
                host.portOpened();
            } else {
                link = Link::Closed;
                host.portOpenFailed(terminal.openError());
            }
        }
        return true;
    case Link::Open:
        if (!terminal.portLost())
            return true;
        // A reply that came in before the port went is taken first: it may hold the
        // last record the device sent. The worker ends it after its gap.
        switch (terminal.currentState()) {
        case TerminalBuffer::Receiving:
            return false;
        case TerminalBuffer::FrameReady:
            return true;
        default:
            loseLink();
            return false;
        }
    case Link::Lost:
        tryReopen();
        return link == Link::Open;
    }
    return true;
}

void LogDownload::loseLink()
{
    const PortError cause = terminal.lostError();
    // A vanished port is not a silent device: the transfer is not left to run out of
    // attempts; it starts afresh from the store's end once the port is back.
    resumeAfterReopen = host.downloadWanted();
    engine.stop();
    commitBatch();
    terminal.close();
    link = Link::Lost;
    reopenAttempts = 0;
    reopening = false;
    nextReopen = now() + reconnectDelay(1);
    host.portLost(cause);
}

void LogDownload::tryReopen()
{
    if (reopening) {
        if (!opener.finished())
            return;
        reopening = false;
        if (terminal.attach(opener.take())) {
            link = Link::Open;
            const unsigned attempts = reopenAttempts;
            reopenAttempts = 0;
            if (resumeAfterReopen && host.downloadWanted())
                engine.start(deviceAddress);
            resumeAfterReopen = false;
            host.portRestored(attempts);
            return;
        }
        const std::chrono::milliseconds delay = reconnectDelay(reopenAttempts + 1);
        nextReopen = now() + delay;
        host.reconnectFailed(reopenAttempts, terminal.openError(), delay);
        return;
    }
    if (now() < nextReopen)
        return;
    ++reopenAttempts;
    reopening = true;
    startOpener();
}

void LogDownload::setStore(LogStore *store)
{
    if (store != importer.currentStore())
        commitBatch();
    importer.setStore(store);
}

void LogDownload::setReplyTiming(std::uint16_t replyTimeoutMs, std::uint8_t attempts)
{
    transfer.setReplyTiming(replyTimeoutMs, attempts);
}

void LogDownload::start(std::uint8_t address)
{
    currentPhase = Phase::Info;
    captionCount = 0;
    recordCount = 0;
    hasFailed = false;
    deviceAddress = address;
    if (link == Link::Lost)
        resumeAfterReopen = true;
    engine.start(address);
}

void LogDownload::stop()
{
    engine.stop();
    // What was taken is kept, as if it had been stored at once, and what a batch holds
    // is committed: the user who stops sees what was read.
    if (!engine.tickRunning())
        commitBatch();
}

void LogDownload::clear()
{
    hasFailed = false;
    engine.clear();
}

DownloadEngine::TickResult LogDownload::tick()
{
    // A tick inside a tick (a box's event loop) does nothing, the link's part neither.
    if (engine.tickRunning() || !tickLink())
        return DownloadEngine::TickResult{};
    // Statements run only while a reply is handled, so that is when a batch opens.
    if (batchInterval.count() > 0 && !engine.tickRunning() && terminal.currentState() == TerminalBuffer::FrameReady)
        beginBatch();
    failedInTick = false;
    const DownloadEngine::TickResult result = engine.tick();
    storeTakenRecords();
    // A download that ended keeps what it stored before: the batch is committed.
    if (batchOpen && (failedInTick || engine.atRest() || now() - batchStarted >= batchInterval))
        commitBatch();
    return result;
}

bool LogDownload::flush()
{
    return commitBatch();
}

void LogDownload::beginBatch()
{
    LogStore *store = importer.currentStore();
    if (batchOpen || store == nullptr)
        return;
    batchOpen = store->beginBatch();
    batchStarted = now();
    batchRecords = 0;
}

bool LogDownload::commitBatch()
{
    storeTakenRecords();
    if (!batchOpen)
        return true;
    batchOpen = false;
    const std::uint32_t records = batchRecords;
    batchRecords = 0;
    const StoreStatus committed = importer.currentStore()->commitBatch();
    if (!committed) {
        // Rolled back: those records are read again from the resume point next time.
        recordCount -= records;
        failStore(committed.error());
        return false;
    }
    if (records != 0)
        host.recordsStored(records);
    return true;
}

void LogDownload::fail(const DownloadFailure &failure)
{
    engine.stop();
    failedInTick = true;
    if (hasFailed)
        return;
    hasFailed = true;
    host.failed(failure);
}

void LogDownload::failStore(const StoreError &error)
{
    fail(DownloadFailure{FailureKind::StoreFailed, ReplyAccepted, error});
}

bool LogDownload::stored(const StoreStatus &status)
{
    if (!status)
        failStore(status.error());
    return status.ok();
}

void LogDownload::frameReceived(const std::uint8_t *bytes, std::size_t length, ReplyResult result)
{
    host.frameReceived(bytes, length, result);
}

void LogDownload::frameBuilt(const std::uint8_t *bytes, std::size_t length)
{
    host.frameBuilt(bytes, length);
}

void LogDownload::downloadStopped(DownloadStop reason, ReplyResult exception)
{
    if (reason == DownloadStop::NoReply)
        fail(DownloadFailure{FailureKind::NoReply, ReplyAccepted, StoreError()});
    else
        fail(DownloadFailure{FailureKind::DeviceException, exception, StoreError()});
}

bool LogDownload::takeInfo(std::uint16_t count, std::uint32_t idHash, std::uint32_t captionHash)
{
    const StoreResult<LogImporter::InfoVerdict> verdict = importer.takeInfo(count, idHash, captionHash);
    if (!verdict) {
        failStore(verdict.error());
        return false;
    }
    switch (*verdict) {
    case LogImporter::InfoVerdict::SkipCaptions:
        return false;
    case LogImporter::InfoVerdict::ReadCaptions:
        currentPhase = Phase::Captions;
        return true;
    case LogImporter::InfoVerdict::AskUser:
        // The store is not held locked while a person thinks.
        if (!commitBatch())
            return false;
        if (!host.confirmConfigurationUpdate())
            return false;
        break;
    case LogImporter::InfoVerdict::NewConfiguration:
        break;
    }
    stored(importer.acceptConfiguration());
    currentPhase = Phase::Captions;
    return true;
}

bool LogDownload::onLogInfo(void *context, std::uint16_t count, std::uint32_t idHash, std::uint32_t captionHash)
{
    return static_cast<LogDownload *>(context)->takeInfo(count, idHash, captionHash);
}

void LogDownload::onCaption(void *context, std::uint16_t position, std::uint32_t eventId, const char *text)
{
    auto *self = static_cast<LogDownload *>(context);
    if (self->stored(self->importer.storeCaption(position, eventId, text)))
        ++self->captionCount;
}

std::uint32_t LogDownload::onRange(void *context, std::uint32_t first, std::uint32_t span)
{
    auto *self = static_cast<LogDownload *>(context);
    self->currentPhase = Phase::Records;
    self->storeTakenRecords();
    const StoreResult<std::uint32_t> resume = self->importer.resumeIndex(first);
    if (resume)
        return *resume;
    self->failStore(resume.error());
    // Past the device's log: nothing is read.
    return first + span;
}

void LogDownload::onRecord(void *context, std::uint32_t index, std::uint8_t count, std::uint8_t type,
                           std::uint32_t time, std::uint32_t eventId, const std::uint8_t *data, std::size_t length)
{
    auto *self = static_cast<LogDownload *>(context);
    DeviceRecord record;
    record.index = index;
    record.count = count;
    record.type = type;
    record.deviceTime = time;
    record.eventId = eventId;
    record.data = QByteArray(reinterpret_cast<const char *>(data), int(length));
    // The window stores each record inside its tick, as it always has: a store that
    // fails ends the download before another request goes out.
    if (self->pace == DownloadPace::Window)
        self->storeRecord(record);
    else
        self->takenRecords.push_back(std::move(record));
}

void LogDownload::storeRecord(const DeviceRecord &record)
{
    if (!stored(importer.storeRecord(record)))
        return;
    ++recordCount;
    if (batchOpen)
        ++batchRecords;
    else
        host.recordsStored(1);
}

void LogDownload::storeTakenRecords()
{
    // One reply carries one record, so this holds at most one; a failed store drops
    // the rest, which the next download reads again from the resume point.
    std::vector<DeviceRecord> records;
    records.swap(takenRecords);
    for (const DeviceRecord &record : records) {
        if (hasFailed)
            break;
        storeRecord(record);
    }
}
