// khronar-fetch's download run: the engine driven as fast as replies come, the import
// policy of the window, and what a person or a script sees of it.

#include "fetch/fetcher.h"

#include "download/transfercallbacks.h"
#include "fetch/console.h"
#include "ports/portlist.h"
#include "presentation/csvexport.h"
#include "store/logfile.h"

#include "buildidentity.h"

#include <QFileInfo>
#include <QSqlError>

#include <cstdio>
#include <cstring>

Fetcher *theFetcher = nullptr;

namespace {

// A connection of our own: a program that uses the library keeps its default one.
const QString ConnectionName = QStringLiteral("khronar-fetch");

// How long the loop waits for a frame when a tick neither took a reply nor sent a
// request. The terminal ends the wait the moment a frame is in; this only bounds how
// late the stop flag, the re-poll and the reply deadlines are looked at.
constexpr auto IdleWait = std::chrono::milliseconds(20);
constexpr auto ProgressInterval = std::chrono::milliseconds(200);
// Records are committed in batches of at most this age: a commit per record would wait
// for the disk on every exchange. What a hard crash loses of a batch is read again by
// the next run, which resumes after the newest record stored.
constexpr auto BatchInterval = std::chrono::milliseconds(500);
// New records are looked for once a second, as in the window.
constexpr auto RepollInterval = std::chrono::seconds(1);

void writeStandardError(const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stderr);
    std::fflush(stderr);
}

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool isYes(const QString &answer)
{
    static const QStringList yes = {QStringLiteral("y"), QStringLiteral("yes"), QStringLiteral("д"),
                                    QStringLiteral("да")};
    return yes.contains(answer.trimmed().toLower());
}

} // namespace

bool FetchObserver::downloadWanted() const
{
    return fetcher.downloading;
}

void FetchObserver::downloadStopped(DownloadStop reason, std::uint8_t exceptionCode)
{
    if (reason == DownloadStop::NoReply)
        fetcher.failDevice(ExitNoReply, QStringLiteral("Устройство не отвечает"));
    else
        fetcher.failDevice(ExitDeviceException, QString::fromUtf8(modbusExceptionMessage(exceptionCode)));
}

Fetcher::Fetcher(const FetchOptions &options, const std::atomic<bool> &stop, bool showProgress, bool canAsk)
    : options(options),
      stop(stop),
      showProgress(showProgress),
      canAsk(canAsk),
      terminalStorage{},
      terminal(terminalStorage, sizeof terminalStorage, ComHalfDuplexTerminal::LineSilence{}),
      transfer(),
      logFunctionEntry(),
      master(),
      observer(*this),
      engine(terminal, master, transfer, observer)
{
    // The transfer keeps its own retries, reply time-outs and attempts, as in the window.
    forwardTransferCallbacks<Fetcher, theFetcher>(transfer);
    logFunctionEntry = transfer.functionHandler();
    master.handlerTable = &logFunctionEntry;
    master.entryCount = 1;

    database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), ConnectionName);
    importer.setDatabase(database);
    theFetcher = this;
}

Fetcher::~Fetcher()
{
    terminal.close();
    database.close();
    importer.setDatabase(QSqlDatabase());
    database = QSqlDatabase();
    QSqlDatabase::removeDatabase(ConnectionName);
    theFetcher = nullptr;
}

int Fetcher::run()
{
    if (!terminal.open(options.port.toUtf8().toStdString(), options.baudRate, options.parity, options.stopBits)) {
        error(QString::fromStdString(portOpenFailureText(options.port.toStdString(), terminal.openError())));
        return ExitPortUnavailable;
    }
    int exitCode = ExitDone;
    for (const std::uint8_t device : options.addresses) {
        const int code = fetchDevice(device);
        if (code == ExitInterrupted) {
            exitCode = code;
            break;
        }
        if (exitCode == ExitDone)
            exitCode = code;
    }
    // Stops the worker between two frames; what was stored stays stored.
    terminal.close();
    return exitCode;
}

int Fetcher::fetchDevice(std::uint8_t device)
{
    address = device;
    failure = ExitDone;
    phase = Phase::Info;
    captionsStored = 0;
    recordsStored = 0;
    recordsUnprinted = 0;
    started = Clock::now();
    progressShown = false;

    int code = openLog(pathForAddress(options.db, address));
    if (code == ExitDone) {
        downloading = true;
        engine.start(address);
        // start() leaves the transfer in ReadInfo: it rests only once the range is read up.
        code = runEngine([this] { return engine.atRest(); });
        if (code == ExitDone)
            summarize();
        else
            endProgressLine();
    }
    if (code == ExitDone && !options.csv.isEmpty())
        code = exportCsv();
    if (code == ExitDone && options.clear) {
        // The clear goes out whatever downloadWanted says; nothing follows its reply.
        downloading = false;
        engine.clear();
        code = runEngine([this] { return !engine.clearing(); });
    }
    if (code == ExitDone && options.follow) {
        // Only what arrives from now on is printed.
        lastPrintedRowId = newestLogRowId(database);
        recordsUnprinted = 0;
        code = runEngine(nullptr, true);
        endProgressLine();
    }
    downloading = false;
    engine.stop();
    database.close();
    return code;
}

int Fetcher::openLog(const QString &path)
{
    // An existing file is continued, never replaced.
    const LogFileOutcome outcome = QFileInfo::exists(path) ? openLogFile(database, path)
                                                           : createLogFile(database, path);
    if (outcome.ok)
        return ExitDone;
    error(QStringLiteral("адрес %1: %2: %3").arg(address).arg(path, outcome.message));
    return ExitLogFileError;
}

int Fetcher::exportCsv()
{
    const QString path = pathForAddress(options.csv, address);
    QString queryError;
    const bool written = exportLogCsvFile(database, path, &queryError);
    if (!queryError.isEmpty()) {
        error(QStringLiteral("адрес %1: %2").arg(address).arg(queryError));
        return ExitLogFileError;
    }
    if (written)
        return ExitDone;
    error(QStringLiteral("адрес %1: Не удается записать файл \"%2\"").arg(address).arg(path));
    return ExitLogFileError;
}

int Fetcher::runEngine(const std::function<bool()> &done, bool follow)
{
    Clock::time_point lastRepoll = Clock::now();
    int code = ExitDone;
    for (;;) {
        if (stop.load()) {
            code = ExitInterrupted;
            break;
        }
        // Statements run only while a reply is handled.
        if (terminal.currentState() == TerminalBuffer::FrameReady)
            beginBatch();
        const DownloadEngine::TickResult result = engine.tick();
        if (failure != ExitDone) {
            code = failure;
            break;
        }
        if (done && done())
            break;
        if (batchOpen && (engine.atRest() || Clock::now() - batchStarted >= BatchInterval) && !commitBatch()) {
            code = ExitLogFileError;
            break;
        }
        if (follow) {
            if (recordsUnprinted != 0 && !batchOpen && !printNewRecords()) {
                code = ExitLogFileError;
                break;
            }
            if (Clock::now() - lastRepoll >= RepollInterval) {
                lastRepoll = Clock::now();
                engine.repoll();
            }
        } else {
            drawProgress(false);
        }
        if (!result.replyTaken && !result.requestSent)
            terminal.waitForFrame(IdleWait);
    }
    // Whatever ended the loop, every record taken so far is stored, and when
    // following, printed too.
    if (!commitBatch() && code == ExitDone)
        code = ExitLogFileError;
    if (follow && recordsUnprinted != 0 && !printNewRecords() && code == ExitDone)
        code = ExitLogFileError;
    return code;
}

void Fetcher::beginBatch()
{
    if (batchOpen)
        return;
    // Without a transaction each statement commits alone, which is as sound, only slower.
    batchOpen = database.transaction();
    batchStarted = Clock::now();
}

bool Fetcher::commitBatch()
{
    if (!batchOpen)
        return true;
    batchOpen = false;
    if (database.commit())
        return true;
    const QString message = database.lastError().text();
    database.rollback();
    failDevice(ExitLogFileError, message);
    return false;
}

bool Fetcher::printNewRecords()
{
    recordsUnprinted = 0;
    if (!standardOutput.isOpen() && !standardOutput.open(stdout, QIODevice::WriteOnly | QIODevice::Text))
        return false;
    if (writeLogCsvAfter(database, standardOutput, lastPrintedRowId, &lastPrintedRowId) && standardOutput.flush())
        return true;
    error(QStringLiteral("адрес %1: Не удается записать в стандартный вывод").arg(address));
    return false;
}

void Fetcher::failDevice(int code, const QString &message)
{
    downloading = false;
    engine.stop();
    if (failure != ExitDone)
        return;
    failure = code;
    error(QStringLiteral("адрес %1: %2").arg(address).arg(message));
}

bool Fetcher::storeSucceeded(const StoreOutcome &outcome)
{
    if (!outcome.ok)
        failDevice(ExitLogFileError, outcome.error);
    return outcome.ok;
}

bool Fetcher::importLogInfo(std::uint16_t count, std::uint32_t idHash, std::uint32_t captionHash)
{
    switch (importer.takeInfo(count, idHash, captionHash)) {
    case LogImporter::InfoVerdict::Failed:
        failDevice(ExitLogFileError, importer.error());
        return false;
    case LogImporter::InfoVerdict::SkipCaptions:
        return false;
    case LogImporter::InfoVerdict::ReadCaptions:
        phase = Phase::Captions;
        return true;
    case LogImporter::InfoVerdict::AskUser:
        if (!agreeToConfigurationUpdate())
            return false;
        break;
    case LogImporter::InfoVerdict::NewConfiguration:
        break;
    }
    storeSucceeded(importer.acceptConfiguration());
    phase = Phase::Captions;
    return true;
}

void Fetcher::importCaption(std::uint16_t position, std::uint32_t eventId, const char *caption)
{
    if (storeSucceeded(importer.storeCaption(position, eventId, caption)))
        ++captionsStored;
}

std::uint32_t Fetcher::resumeIndex(std::uint32_t first, std::uint32_t span)
{
    phase = Phase::Records;
    const ResumePoint resume = importer.resumeIndex(first, span);
    storeSucceeded(resume.outcome);
    return resume.index;
}

void Fetcher::importRecord(std::uint32_t index, std::uint8_t count, std::uint8_t type, std::uint32_t deviceTime,
                           std::uint32_t eventId, const std::uint8_t *data, std::int32_t length)
{
    if (storeSucceeded(importer.storeRecord(index, count, type, deviceTime, eventId, data, length))) {
        ++recordsStored;
        ++recordsUnprinted;
    }
}

bool Fetcher::agreeToConfigurationUpdate()
{
    if (options.updateConfig != ConfigUpdate::Ask)
        return options.updateConfig == ConfigUpdate::Yes;
    if (!canAsk) {
        error(QStringLiteral("адрес %1: Конфигурация журнала устройства отличается от открытого журнала. "
                             "Конфигурация не обновлена (--update-config yes обновит её), записи добавляются.")
                  .arg(address));
        return false;
    }
    // The file is not held locked while a person thinks.
    commitBatch();
    endProgressLine();
    writeStandardError(QStringLiteral("Адрес %1. Обновление конфигурации журнала\n"
                                      "Конфигурация журнала устройства отличается от открытого журнала.\n"
                                      "Обновить конфигурацию? (y/N) ")
                           .arg(address));
    char answer[64] = {};
    // A stop signal interrupts the read: no answer, so no update.
    if (std::fgets(answer, sizeof answer, stdin) == nullptr)
        return false;
    return isYes(QString::fromLocal8Bit(answer));
}

void Fetcher::error(const QString &message)
{
    endProgressLine();
    writeStandardError(QStringLiteral("khronar-fetch: ") + message + QLatin1Char('\n'));
}

void Fetcher::drawProgress(bool force)
{
    if (!showProgress)
        return;
    const Clock::time_point now = Clock::now();
    if (!force && progressShown && now - lastDrawn < ProgressInterval)
        return;
    lastDrawn = now;
    progressShown = true;
    const std::uint32_t left = engine.remaining();
    QString line;
    if (phase == Phase::Info) {
        line = QStringLiteral("адрес %1: опрос устройства").arg(address);
    } else if (phase == Phase::Captions) {
        line = QStringLiteral("адрес %1: подписи %2, осталось %3").arg(address).arg(captionsStored).arg(left);
    } else {
        const double seconds = secondsSince(started);
        const double rate = seconds > 0 ? recordsStored / seconds : 0;
        line = QStringLiteral("адрес %1: записи %2, осталось %3, %4 зап/с")
                   .arg(address)
                   .arg(recordsStored)
                   .arg(left)
                   .arg(rate, 0, 'f', 1);
        if (rate > 0 && left != 0)
            line += QStringLiteral(", ещё %1 с").arg(qint64(left / rate + 0.5));
    }
    // Back to the start of the line, and the rest of the old one erased.
    writeStandardError(QLatin1Char('\r') + line + QStringLiteral("\033[K"));
}

void Fetcher::endProgressLine()
{
    if (!progressShown)
        return;
    progressShown = false;
    writeStandardError(QStringLiteral("\n"));
}

void Fetcher::summarize()
{
    if (!showProgress)
        return;
    const double seconds = secondsSince(started);
    writeStandardError(QStringLiteral("\rадрес %1: новых записей %2 за %3 с (%4 зап/с)\033[K\n")
                           .arg(address)
                           .arg(recordsStored)
                           .arg(seconds, 0, 'f', 1)
                           .arg(seconds > 0 ? recordsStored / seconds : 0.0, 0, 'f', 1));
    progressShown = false;
}

int fetchMain(const QStringList &arguments)
{
    const FetchCommandLine commandLine = parseFetchCommandLine(arguments);
    if (!commandLine.error.isEmpty()) {
        writeStandardError(QStringLiteral("khronar-fetch: %1\nTry 'khronar-fetch --help'.\n").arg(commandLine.error));
        return ExitUsage;
    }
    const FetchOptions &options = commandLine.options;
    if (options.help) {
        std::fputs(fetchHelpText().toLocal8Bit().constData(), stdout);
        return ExitDone;
    }
    if (options.version) {
        std::fputs(
            QStringLiteral("khronar-fetch (%1) %2\n")
                .arg(QString::fromWCharArray(KHRONAR_PRODUCT_NAME), QString::fromWCharArray(KHRONAR_FILE_VERSION))
                .toLocal8Bit()
                .constData(),
            stdout);
        return ExitDone;
    }
    if (options.listPorts) {
        for (const QString &port : availablePortNames())
            std::fputs((port + QLatin1Char('\n')).toLocal8Bit().constData(), stdout);
        return ExitDone;
    }

    static std::atomic<bool> stopRequested{false};
    routeStopSignals(&stopRequested);
    Fetcher fetcher(options, stopRequested, standardErrorIsTerminal() && !options.quiet, standardInputIsTerminal());
    return fetcher.run();
}
