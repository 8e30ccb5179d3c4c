// khronar-fetch's download run: the engine driven as fast as replies come, the import
// policy of the window, and what a person or a script sees of it.

#include "fetch/fetcher.h"

#include "fetch/console.h"
#include "fetch/exportonly.h"
#include "ports/portlist.h"

#include "buildidentity.h"

#include <cstdio>
#include <cstring>

namespace {

// How long the loop waits for a frame when a tick neither took a reply nor sent a
// request. The terminal ends the wait the moment a frame is in; this only bounds how
// late the stop flag, the re-poll and the reply deadlines are looked at.
constexpr auto IdleWait = std::chrono::milliseconds(20);
constexpr auto ProgressInterval = std::chrono::milliseconds(200);
// Records are committed in batches of at most this age: a commit per record would wait
// for the disk on every exchange. What a hard crash loses of a batch is read again by
// the next run, which resumes after the newest record stored.
constexpr std::chrono::milliseconds BatchInterval(500);
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

Fetcher::Fetcher(const FetchOptions &options, const std::atomic<bool> &stop, bool showProgress, bool canAsk)
    : options(options),
      stop(stop),
      showProgress(showProgress),
      canAsk(canAsk),
      // Not the window's pace: a frame ends after the line's own silence, and the next
      // request goes out at once.
      download(*this, DownloadPace::Line)
{
    download.setBatchInterval(BatchInterval);
}

Fetcher::~Fetcher()
{
    download.closePort();
    download.setStore(nullptr);
}

int Fetcher::run()
{
    if (!download.openPort(options.port.toUtf8().toStdString(), options.baudRate, options.parity, options.stopBits)) {
        error(QString::fromStdString(portOpenFailureText(options.port.toStdString(), download.openError())));
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
    download.closePort();
    return exitCode;
}

int Fetcher::fetchDevice(std::uint8_t device)
{
    address = device;
    failure = ExitDone;
    recordsUnprinted = 0;
    started = Clock::now();
    progressShown = false;

    int code = openLog();
    if (code == ExitDone) {
        downloading = true;
        download.start(address);
        // start() leaves the transfer in ReadInfo: it rests only once the range is read up.
        code = runEngine([this] { return download.atRest(); });
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
        download.clear();
        code = runEngine([this] { return !download.clearing(); });
    }
    if (code == ExitDone && options.follow) {
        // Only what arrives from now on is printed.
        lastPrintedRowId = log->newestRowId();
        recordsUnprinted = 0;
        code = runEngine(nullptr, true);
        endProgressLine();
    }
    downloading = false;
    download.stop();
    download.setStore(nullptr);
    // A server's device is free for other collectors from here on.
    log.reset();
    return code;
}

int Fetcher::openLog()
{
    OpenedFetchLog opened = openStore(options, address, [this] { return stop.load(); });
    if (!opened.log) {
        if (!opened.error.isEmpty())
            error(QStringLiteral("адрес %1: %2").arg(address).arg(opened.error));
        return opened.exitCode;
    }
    log = std::move(opened.log);
    download.setStore(&log->store());
    return ExitDone;
}

int Fetcher::exportCsv()
{
    const QString path = pathForAddress(options.csv, address);
    QString queryError;
    const bool written = log->exportCsv(path, &queryError);
    if (!queryError.isEmpty()) {
        error(QStringLiteral("адрес %1: %2").arg(address).arg(queryError));
        return ExitLogFileError;
    }
    if (written)
        return ExitDone;
    error(QStringLiteral("адрес %1: %2").arg(address).arg(cannotWriteFileText(path)));
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
        const DownloadEngine::TickResult result = download.tick();
        if (failure != ExitDone) {
            code = failure;
            break;
        }
        if (done && done())
            break;
        if (follow) {
            if (recordsUnprinted != 0 && !printNewRecords()) {
                code = ExitLogFileError;
                break;
            }
            if (Clock::now() - lastRepoll >= RepollInterval) {
                lastRepoll = Clock::now();
                download.repoll();
            }
        } else {
            drawProgress(false);
        }
        if (!result.replyTaken && !result.requestSent)
            download.waitForFrame(IdleWait);
    }
    // Whatever ended the loop, every record taken so far is stored, and when
    // following, printed too.
    if (!download.flush() && code == ExitDone)
        code = ExitLogFileError;
    if (follow && recordsUnprinted != 0 && !printNewRecords() && code == ExitDone)
        code = ExitLogFileError;
    return code;
}

bool Fetcher::printNewRecords()
{
    recordsUnprinted = 0;
    if (!standardOutput.isOpen() && !standardOutput.open(stdout, QIODevice::WriteOnly | QIODevice::Text))
        return false;
    if (log->writeCsvAfter(standardOutput, lastPrintedRowId, &lastPrintedRowId) && standardOutput.flush())
        return true;
    error(QStringLiteral("адрес %1: Не удается записать в стандартный вывод").arg(address));
    return false;
}

void Fetcher::failDevice(int code, const QString &message)
{
    downloading = false;
    download.stop();
    if (failure != ExitDone)
        return;
    failure = code;
    error(QStringLiteral("адрес %1: %2").arg(address).arg(message));
}

void Fetcher::failed(const DownloadFailure &reason)
{
    switch (reason.kind) {
    case FailureKind::NoReply:
        failDevice(ExitNoReply, failureText(reason));
        return;
    case FailureKind::DeviceException:
        failDevice(ExitDeviceException, failureText(reason));
        return;
    case FailureKind::StoreFailed:
        failDevice(ExitLogFileError, failureText(reason));
        return;
    }
}

void Fetcher::recordsStored(std::uint32_t count)
{
    recordsUnprinted += count;
}

bool Fetcher::confirmConfigurationUpdate()
{
    if (options.updateConfig != ConfigUpdate::Ask)
        return options.updateConfig == ConfigUpdate::Yes;
    // The question's first line says what differs.
    const QString difference = configurationQuestionText().section(QLatin1Char('\n'), 0, 0);
    if (!canAsk) {
        error(QStringLiteral("адрес %1: %2 Конфигурация не обновлена (--update-config yes обновит её), записи "
                             "добавляются.")
                  .arg(address)
                  .arg(difference));
        return false;
    }
    endProgressLine();
    writeStandardError(QStringLiteral("Адрес %1. %2\n%3 (y/N) ")
                           .arg(address)
                           .arg(configurationQuestionTitle(), configurationQuestionText()));
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
    const std::uint32_t left = download.remaining();
    const std::uint32_t recordsStored = download.recordsStored();
    QString line;
    if (download.phase() == LogDownload::Phase::Info) {
        line = QStringLiteral("адрес %1: опрос устройства").arg(address);
    } else if (download.phase() == LogDownload::Phase::Captions) {
        line
            = QStringLiteral("адрес %1: подписи %2, осталось %3").arg(address).arg(download.captionsStored()).arg(left);
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
    const std::uint32_t recordsStored = download.recordsStored();
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
    if (options.port.isEmpty())
        return exportLogFile(options);

    static std::atomic<bool> stopRequested{false};
    routeStopSignals(&stopRequested);
    Fetcher fetcher(options, stopRequested, standardErrorIsTerminal() && !options.quiet, standardInputIsTerminal());
    return fetcher.run();
}
