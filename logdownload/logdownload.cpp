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
      terminalStorage{},
      terminal(makeTerminal(terminalStorage, sizeof terminalStorage, pace)),
      engine(terminal, master, transfer, *this)
{
    // The transfer keeps its own defaults: nothing pending, ten attempts a request,
    // 1000 ms for each reply.
    transfer.onLogInfo = &LogDownload::onLogInfo;
    transfer.onCaption = &LogDownload::onCaption;
    transfer.onRange = &LogDownload::onRange;
    transfer.onRecord = &LogDownload::onRecord;
    transfer.callbackContext = this;
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
    return terminal.open(portName, baudRate, parity, stopBits);
}

void LogDownload::closePort()
{
    terminal.close();
}

void LogDownload::setStore(LogStore *store)
{
    importer.setStore(store);
}

void LogDownload::setReplyTiming(std::uint16_t replyTimeoutMs, std::uint8_t attempts)
{
    transfer.replyTimeoutMs = replyTimeoutMs;
    transfer.attemptsPerRequest = attempts;
}

void LogDownload::start(std::uint8_t address)
{
    currentPhase = Phase::Info;
    captionCount = 0;
    recordCount = 0;
    hasFailed = false;
    engine.start(address);
}

void LogDownload::stop()
{
    engine.stop();
}

void LogDownload::clear()
{
    hasFailed = false;
    engine.clear();
}

DownloadEngine::TickResult LogDownload::tick()
{
    // Statements run only while a reply is handled, so that is when a batch opens.
    if (batchInterval.count() > 0 && !engine.tickRunning() && terminal.currentState() == TerminalBuffer::FrameReady)
        beginBatch();
    failedInTick = false;
    const DownloadEngine::TickResult result = engine.tick();
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
    if (!batchOpen)
        return true;
    batchOpen = false;
    const std::uint32_t records = batchRecords;
    batchRecords = 0;
    const StoreOutcome outcome = importer.currentStore()->commitBatch();
    if (!outcome.ok) {
        // Rolled back: those records are read again from the resume point next time.
        recordCount -= records;
        fail(DownloadFailure{FailureKind::StoreFailed, ReplyAccepted, outcome.error});
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

bool LogDownload::stored(const StoreOutcome &outcome)
{
    if (!outcome.ok)
        fail(DownloadFailure{FailureKind::StoreFailed, ReplyAccepted, outcome.error});
    return outcome.ok;
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
        fail(DownloadFailure{FailureKind::NoReply, ReplyAccepted, QString()});
    else
        fail(DownloadFailure{FailureKind::DeviceException, exception, QString()});
}

bool LogDownload::takeInfo(std::uint16_t count, std::uint32_t idHash, std::uint32_t captionHash)
{
    switch (importer.takeInfo(count, idHash, captionHash)) {
    case LogImporter::InfoVerdict::Failed:
        fail(DownloadFailure{FailureKind::StoreFailed, ReplyAccepted, importer.error()});
        return false;
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
    const ResumePoint resume = self->importer.resumeIndex(first, span);
    self->stored(resume.outcome);
    return resume.index;
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
    if (!self->stored(self->importer.storeRecord(record)))
        return;
    ++self->recordCount;
    if (self->batchOpen)
        ++self->batchRecords;
    else
        self->host.recordsStored(1);
}
