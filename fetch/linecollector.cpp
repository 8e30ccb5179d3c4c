// A line's run: the download engine driven as fast as replies come, the import policy
// of the window, a port that comes back by itself, and what a person or a script sees.

#include "fetch/linecollector.h"

#include "fetch/alertdispatcher.h"
#include "link/porterror.h"

#include <QDateTime>
#include <QStringList>

#include <algorithm>
#include <cstdio>
#include <thread>

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
// A followed device that failed is tried again after this, doubling up to the most.
constexpr auto FirstBackOff = std::chrono::seconds(5);
constexpr auto LongestBackOff = std::chrono::seconds(60);

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A record's time as the table shows it, back to the log's own seconds (the device's
// clock read as UTC); -1 for a time the table cannot show.
qint64 logSeconds(const QString &shown)
{
    QDateTime time = QDateTime::fromString(shown, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    time.setTimeSpec(Qt::UTC);
    return time.isValid() ? time.toSecsSinceEpoch() : -1;
}

bool isYes(const QString &answer)
{
    static const QStringList yes = {QStringLiteral("y"), QStringLiteral("yes"), QStringLiteral("д"),
                                    QStringLiteral("да")};
    return yes.contains(answer.trimmed().toLower());
}

} // namespace

void CollectorConsole::write(const QString &text)
{
    std::fputs(text.toLocal8Bit().constData(), stderr);
    std::fflush(stderr);
}

void CollectorConsole::error(const QString &message)
{
    if (journal && journal(message, JournalFields()))
        return;
    std::lock_guard<std::mutex> guard(lock);
    if (progressShown)
        write(QStringLiteral("\n"));
    progressShown = false;
    write(QStringLiteral("khronar-fetch: ") + message + QLatin1Char('\n'));
}

void CollectorConsole::event(const QString &message, const JournalFields &fields, bool journalOnly)
{
    if (journal && journal(message, fields))
        return;
    if (!journalOnly)
        error(message);
}

void CollectorConsole::prompt(const QString &text)
{
    std::lock_guard<std::mutex> guard(lock);
    if (progressShown)
        write(QStringLiteral("\n"));
    progressShown = false;
    write(text);
}

void CollectorConsole::progress(const QString &line)
{
    if (!progressWanted)
        return;
    std::lock_guard<std::mutex> guard(lock);
    progressShown = true;
    // Back to the start of the line, and the rest of the old one erased.
    write(QLatin1Char('\r') + line + QStringLiteral("\033[K"));
}

void CollectorConsole::endProgress(const QString &line)
{
    std::lock_guard<std::mutex> guard(lock);
    if (!line.isEmpty() && progressWanted)
        write(QLatin1Char('\r') + line + QStringLiteral("\033[K\n"));
    else if (progressShown)
        write(QStringLiteral("\n"));
    progressShown = false;
}

struct LineCollector::DeviceState {
    CollectorDevice device;
    std::size_t index = 0; // in the line's order
    std::unique_ptr<OpenLog> log;
    DeviceOutcome outcome;
    bool reached = false;
    // Its failure was said, and its coming back is not yet.
    bool saidFailing = false;
    // The newest record looked at (row id); its log's end when it was opened.
    qint64 lastSeenRowId = 0;
    // Its log was empty when opened, and it has not yet been read up: what is stored
    // is its history, which alerts only where a rule asks for it.
    bool history = false;
    // Following: when it is read next, and how often in a row it failed.
    Clock::time_point due;
    unsigned failuresInRow = 0;
};

LineCollector::LineCollector(const CollectorSettings &settings, std::vector<CollectorDevice> list,
                             const std::atomic<bool> &stop, CollectorConsole &console)
    : settings(settings),
      stop(stop),
      console(console),
      // Not the window's pace: a frame ends after the line's own silence, and the next
      // request goes out at once.
      download(*this, DownloadPace::Line)
{
    download.setBatchInterval(BatchInterval);
    for (CollectorDevice &device : list) {
        DeviceState state;
        state.index = devices.size();
        state.outcome.line = settings.lineName;
        state.outcome.name = device.name;
        state.outcome.address = device.address;
        state.device = std::move(device);
        devices.push_back(std::move(state));
    }
}

LineCollector::~LineCollector()
{
    download.closePort();
    download.setStore(nullptr);
}

int LineCollector::run()
{
    if (openPort()) {
        if (goesRound()) {
            followAll();
            // Followed, a line ends only when it is stopped: a clean stop, whatever its
            // devices' last rounds gave (their failures were said when they came).
            for (DeviceState &device : devices) {
                device.outcome.exitCode = ExitInterrupted;
                device.outcome.message = QStringLiteral("прервано");
            }
        } else {
            for (DeviceState &device : devices) {
                const int code = collectOnce(device);
                if (code == ExitInterrupted || (code == ExitPortUnavailable && lost))
                    break;
            }
        }
    }
    // Stops the worker between two frames; what was stored stays stored. The logs are
    // closed on the thread that opened them: a database connection belongs to its thread.
    download.closePort();
    download.setStore(nullptr);
    for (DeviceState &device : devices)
        device.log.reset();
    // Devices the run never came to: interrupted, or the line given up.
    results.clear();
    int worst = ExitDone;
    for (DeviceState &device : devices) {
        if (!device.reached && device.outcome.exitCode == ExitDone) {
            device.outcome.exitCode = stop.load() ? ExitInterrupted : failure;
            device.outcome.message = stop.load() ? QStringLiteral("прервано") : failureMessage;
        }
        results.push_back(device.outcome);
        worst = std::max(worst, device.outcome.exitCode);
    }
    return worst;
}

bool LineCollector::goesRound() const
{
    return settings.follow && (devices.size() > 1 || !settings.lineName.isEmpty());
}

bool LineCollector::openPort()
{
    const std::string port = settings.port.toUtf8().toStdString();
    for (unsigned attempt = 1;; ++attempt) {
        if (download.openPort(port, settings.baudRate, settings.parity, settings.stopBits)) {
            if (settings.monitor)
                settings.monitor->portOpened();
            say(QStringLiteral("порт \"%1\" открыт").arg(settings.port), 6, false, true);
            return true;
        }
        const QString message = QString::fromStdString(portOpenFailureText(port, download.openError()));
        if (settings.monitor)
            settings.monitor->portOpenFailed(settings.retryFirstOpen);
        if (!settings.retryFirstOpen) {
            failLine(ExitPortUnavailable, message);
            return false;
        }
        // A service whose gateway is down at boot: said once, then tried again and again.
        if (attempt == 1)
            say(message + QStringLiteral("; попытки продолжаются"), 4);
        const auto until = Clock::now() + LogDownload::reconnectDelay(attempt);
        while (Clock::now() < until) {
            if (stop.load()) {
                failLine(ExitInterrupted, QStringLiteral("прервано"));
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
}

void LineCollector::failLine(int code, const QString &message)
{
    failure = code;
    failureMessage = message;
    if (code != ExitInterrupted)
        say(message);
}

int LineCollector::collectOnce(DeviceState &device)
{
    current = &device;
    device.reached = true;
    failure = ExitDone;
    failureMessage.clear();
    storeRefused = false;
    recordsUnprinted = 0;
    awaitingReply = false;
    toldReadUp = false;
    started = Clock::now();

    int code = device.log ? ExitDone : openLog(device);
    if (code == ExitDone) {
        // Following several devices, each keeps its log open between rounds: the
        // download must write to this device's, not to the one read last.
        download.setStore(device.log->store());
        downloading = true;
        download.start(device.device.address);
        // start() leaves the transfer in ReadInfo: it rests only once the range is read up.
        code = runEngine([this] { return download.atRest(); });
        // Read up, every record of it looked at: what comes from now on is new.
        if (code == ExitDone) {
            device.history = false;
            summarize();
        } else
            console.endProgress();
    }
    if (code == ExitDone && !device.device.csv.isEmpty())
        code = exportCsv(device);
    if (code == ExitDone && settings.clear) {
        // The clear goes out whatever downloadWanted says; nothing follows its reply.
        downloading = false;
        download.clear();
        code = runEngine([this] { return !download.clearing(); });
    }
    if (code == ExitDone && settings.follow && !goesRound()) {
        // Only what arrives from now on is printed.
        const StoreResult<qint64> newest = device.log->newestRowId();
        if (newest) {
            lastPrintedRowId = *newest;
            recordsUnprinted = 0;
            code = runEngine(nullptr, true);
        } else {
            // Without the newest row, every record would be printed as if it were new.
            failDevice(ExitLogFileError, logFailureText(newest.error().text));
            code = ExitLogFileError;
        }
        console.endProgress();
    }
    downloading = false;
    download.stop();
    device.outcome.newRecords += download.recordsStored();
    device.outcome.seconds += secondsSince(started);
    device.outcome.exitCode = code;
    device.outcome.message = code == ExitDone ? QString() : failureMessage;
    // A run that ends lets go of the log at once (a server's device is then free for
    // other collectors); a followed line keeps it for the next round.
    if (!settings.follow || code != ExitDone) {
        download.setStore(nullptr);
        device.log.reset();
    }
    current = nullptr;
    return code;
}

void LineCollector::followAll()
{
    for (DeviceState &device : devices)
        device.due = Clock::now();
    while (!stop.load()) {
        auto next = std::min_element(devices.begin(), devices.end(),
                                     [](const DeviceState &a, const DeviceState &b) { return a.due < b.due; });
        if (next->due > Clock::now()) {
            // Nothing due: the link is still looked after (a lost port comes back).
            download.tick();
            std::this_thread::sleep_for(std::min<Clock::duration>(IdleWait, next->due - Clock::now()));
            continue;
        }
        const Clock::time_point began = Clock::now();
        const int code = collectOnce(*next);
        if (code == ExitInterrupted)
            break;
        if (code == ExitDone) {
            next->failuresInRow = 0;
            next->due = began + RepollInterval;
            continue;
        }
        if (storeRefused) {
            next->due = Clock::time_point::max();
            continue;
        }
        // The others go on being read while this one rests.
        ++next->failuresInRow;
        auto backOff = FirstBackOff * (1u << std::min(next->failuresInRow - 1, 4u));
        next->due = Clock::now() + std::min<Clock::duration>(backOff, LongestBackOff);
    }
}

int LineCollector::openLog(DeviceState &device)
{
    StoreResult<std::unique_ptr<OpenLog>> opened = OpenLog::open(
        device.device.log, OpenLog::Purpose::Download,
        fetchLogSettings(settings.lockWaitSeconds, [this] { return stop.load(); }));
    if (!opened) {
        const StoreError &error = opened.error();
        if (error.kind == StoreError::Kind::Cancelled) {
            failure = ExitInterrupted;
            failureMessage = QStringLiteral("прервано");
            return failure;
        }
        failure = ExitLogFileError;
        // The URL's password is never shown; the server's message names no password.
        failureMessage = storeFailureText(QStringLiteral("%1: %2").arg(device.device.log.place(), error.text), error);
        device.saidFailing = true;
        say(QStringLiteral("%1: %2").arg(label(), failureMessage), 3, true);
        return failure;
    }
    device.log = std::move(opened).value();
    download.setStore(device.log->store());
    if (watchesRecords())
        noteLogEnd();
    return ExitDone;
}

int LineCollector::exportCsv(DeviceState &device)
{
    const QString &path = device.device.csv;
    const StoreStatus exported = device.log->exportCsv(path);
    if (exported)
        return ExitDone;
    // A file that cannot be written says so whole; the log's own failure says where.
    failDevice(ExitLogFileError,
               exported.error().kind == StoreError::Kind::Io ? exported.error().text
                                                             : logFailureText(exported.error().text));
    return ExitLogFileError;
}

int LineCollector::runEngine(const std::function<bool()> &done, bool follow)
{
    Clock::time_point lastRepoll = Clock::now();
    int code = ExitDone;
    for (;;) {
        if (stop.load()) {
            code = ExitInterrupted;
            failureMessage = QStringLiteral("прервано");
            break;
        }
        const DownloadEngine::TickResult result = download.tick();
        if (failure != ExitDone) {
            code = failure;
            break;
        }
        // A run that ends waits for a lost port only so long; a followed line for ever.
        if (lost && !settings.follow && Clock::now() - lostSince >= std::chrono::seconds(settings.reconnectSeconds)) {
            failLine(ExitPortUnavailable,
                     QString::fromStdString(portLostText(settings.port.toUtf8().toStdString(), lostCause)));
            code = ExitPortUnavailable;
            break;
        }
        if (download.atRest() != toldReadUp) {
            toldReadUp = !toldReadUp;
            if (toldReadUp)
                readUp();
        }
        if (recordsUntaken != 0)
            takeNewRecords();
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
        if (!download.portOpen())
            std::this_thread::sleep_for(IdleWait);
        else if (!result.replyTaken && !result.requestSent)
            download.waitForFrame(IdleWait);
    }
    // Whatever ended the loop, every record taken so far is stored, and when
    // following, printed too.
    if (!download.flush() && code == ExitDone)
        code = failure;
    if (follow && recordsUnprinted != 0 && !printNewRecords() && code == ExitDone)
        code = ExitLogFileError;
    if (recordsUntaken != 0)
        takeNewRecords();
    return code;
}

void LineCollector::noteLogEnd()
{
    const StoreResult<qint64> newest = current->log->newestRowId();
    // A log that cannot be read here fails the download itself, and says so there.
    if (!newest)
        return;
    current->lastSeenRowId = *newest;
    current->history = *newest == 0;
    noteNewestRecord(*newest);
}

void LineCollector::noteNewestRecord(qint64 rowId)
{
    if (rowId <= 0 || !settings.monitor)
        return;
    // The newest record alone: the one after the row before it. Its time is only
    // shown; a log that cannot be read now leaves it unknown until the next records.
    const StoreResult<qint64> read = current->log->recordsAfter(rowId - 1, [this](const ShownRecord &record) {
        if (logSeconds(record.time) >= 0)
            settings.monitor->newestRecord(current->index, logSeconds(record.time));
    });
    static_cast<void>(read);
}

void LineCollector::takeNewRecords()
{
    recordsUntaken = 0;
    if (current == nullptr || !current->log)
        return;
    // Without a rule to take them, the records need not be read (and their messages
    // rendered) again: the newest one's time is all the metrics want.
    if (!settings.alerts || (current->history && !settings.alerts->takesHistory())) {
        const StoreResult<qint64> newest = current->log->newestRowId();
        if (newest && *newest != current->lastSeenRowId) {
            current->lastSeenRowId = *newest;
            noteNewestRecord(*newest);
        }
        return;
    }
    qint64 newestTime = -1;
    const StoreResult<qint64> last = current->log->recordsAfter(current->lastSeenRowId, [&](const ShownRecord &record) {
        if (logSeconds(record.time) >= 0)
            newestTime = logSeconds(record.time);
        if (settings.alerts) {
            AlertRecord alert;
            alert.line = settings.lineName;
            alert.device = label();
            alert.address = current->device.address;
            alert.time = record.time;
            alert.type = record.type;
            alert.message = record.message;
            settings.alerts->recordStored(alert, current->history);
        }
    });
    // A store that cannot be read now is read again at the next records.
    if (!last)
        return;
    current->lastSeenRowId = *last;
    if (newestTime >= 0 && settings.monitor)
        settings.monitor->newestRecord(current->index, newestTime);
}

bool LineCollector::printNewRecords()
{
    recordsUnprinted = 0;
    if (!settings.printFollowed)
        return true;
    if (!standardOutput.isOpen() && !standardOutput.open(stdout, QIODevice::WriteOnly | QIODevice::Text))
        return false;
    const StoreResult<qint64> printed = current->log->writeCsvAfter(standardOutput, lastPrintedRowId);
    if (printed && standardOutput.flush()) {
        lastPrintedRowId = *printed;
        return true;
    }
    if (!printed && printed.error().kind != StoreError::Kind::Io)
        failDevice(ExitLogFileError, logFailureText(printed.error().text));
    else
        failDevice(ExitLogFileError, QStringLiteral("Не удается записать в стандартный вывод"));
    return false;
}

QString LineCollector::logFailureText(const QString &error) const
{
    // A server's failures name the server first, as its failure to open does (never
    // with the URL's password; the server's message names no password).
    if (current != nullptr && current->device.log.onServer)
        return QStringLiteral("%1: %2").arg(current->device.log.place(), error);
    return error;
}

QString LineCollector::storeFailureText(const QString &text, const StoreError &error)
{
    // A server that is gone or a file locked for a while is tried again later; a store
    // that refuses the records, or is no log this program can use, would refuse them
    // again.
    storeRefused = error.kind == StoreError::Kind::Refused || error.kind == StoreError::Kind::NotALog;
    if (storeRefused && goesRound())
        return text + QStringLiteral("; устройство больше не опрашивается");
    return text;
}

void LineCollector::failDevice(int code, const QString &message)
{
    downloading = false;
    download.stop();
    if (failure != ExitDone)
        return;
    if (settings.monitor && current != nullptr)
        settings.monitor->deviceFailed(current->index);
    failure = code;
    failureMessage = message;
    if (current != nullptr)
        current->saidFailing = true;
    say(QStringLiteral("%1: %2").arg(label(), message), 3, true);
}

void LineCollector::failed(const DownloadFailure &reason)
{
    if (reason.kind == FailureKind::NoReply && awaitingReply && settings.monitor)
        settings.monitor->reply(ReplyKind::TimedOut);
    awaitingReply = false;
    switch (reason.kind) {
    case FailureKind::NoReply:
        failDevice(ExitNoReply, failureText(reason));
        return;
    case FailureKind::DeviceException:
        failDevice(ExitDeviceException, failureText(reason));
        return;
    case FailureKind::StoreFailed:
        failDevice(ExitLogFileError, storeFailureText(logFailureText(failureText(reason)), reason.store));
        return;
    }
}

void LineCollector::recordsStored(std::uint32_t count)
{
    recordsUnprinted += count;
    if (watchesRecords())
        recordsUntaken += count;
    if (settings.monitor && current != nullptr)
        settings.monitor->recordsStored(current->index, count);
}

void LineCollector::frameReceived(const std::uint8_t *, std::size_t, ReplyResult result)
{
    awaitingReply = false;
    if (!settings.monitor)
        return;
    ReplyKind kind = ReplyKind::Exception;
    if (result == ReplyAccepted)
        kind = ReplyKind::Accepted;
    else if (result == ReplyCorrupt)
        kind = ReplyKind::CrcError;
    else if (result == ReplyUnexpected)
        kind = ReplyKind::Unexpected;
    settings.monitor->reply(kind);
}

void LineCollector::requestSent()
{
    // A request sent while the one before is unanswered is its resend: that one timed out.
    if (awaitingReply && settings.monitor)
        settings.monitor->reply(ReplyKind::TimedOut);
    awaitingReply = true;
}

void LineCollector::readUp()
{
    if (settings.monitor)
        settings.monitor->deviceReadUp(current->index, QDateTime::currentSecsSinceEpoch());
    if (current->saidFailing) {
        current->saidFailing = false;
        say(QStringLiteral("%1: снова на связи").arg(label()), 5, true, true);
    }
}

void LineCollector::portLost(const PortError &cause)
{
    awaitingReply = false;
    if (settings.monitor)
        settings.monitor->portLost();
    lost = true;
    lostSince = Clock::now();
    lostCause = cause;
    say(QString::fromStdString(portLostText(settings.port.toUtf8().toStdString(), cause))
            + QStringLiteral("; повторное подключение"),
        4);
}

void LineCollector::reconnectFailed(unsigned, const PortError &cause, std::chrono::milliseconds)
{
    if (settings.monitor)
        settings.monitor->alive();
    lostCause = cause;
}

void LineCollector::portRestored(unsigned)
{
    if (settings.monitor)
        settings.monitor->portRestored();
    lost = false;
    say(QStringLiteral("связь с портом \"%1\" восстановлена").arg(settings.port), 5);
}

bool LineCollector::confirmConfigurationUpdate()
{
    if (settings.updateConfig != ConfigUpdate::Ask)
        return settings.updateConfig == ConfigUpdate::Yes;
    // The question's first line says what differs.
    const QString difference = configurationQuestionText().section(QLatin1Char('\n'), 0, 0);
    if (!settings.canAsk) {
        say(QStringLiteral("%1: %2 Конфигурация не обновлена (--update-config yes обновит её), записи "
                           "добавляются.")
                .arg(label(), difference),
            4, true);
        return false;
    }
    console.prompt(QStringLiteral("Адрес %1. %2\n%3 (y/N) ")
                       .arg(current->device.address)
                       .arg(configurationQuestionTitle(), configurationQuestionText()));
    char answer[64] = {};
    // A stop signal interrupts the read: no answer, so no update.
    if (std::fgets(answer, sizeof answer, stdin) == nullptr)
        return false;
    return isYes(QString::fromLocal8Bit(answer));
}

QString LineCollector::label() const
{
    if (current == nullptr)
        return settings.port;
    if (!current->device.name.isEmpty())
        return current->device.name;
    return QStringLiteral("адрес %1").arg(current->device.address);
}

void LineCollector::say(const QString &message, int priority, bool aboutDevice, bool journalOnly)
{
    JournalFields fields;
    fields.priority = priority;
    fields.line = settings.lineName;
    if (aboutDevice && current != nullptr)
        fields.device = label();
    console.event(settings.lineName.isEmpty() ? message : QStringLiteral("[%1] %2").arg(settings.lineName, message),
                  fields, journalOnly);
}

void LineCollector::drawProgress(bool force)
{
    if (!console.showsProgress())
        return;
    const Clock::time_point now = Clock::now();
    if (!force && now - lastDrawn < ProgressInterval)
        return;
    lastDrawn = now;
    const std::uint32_t left = download.remaining();
    const std::uint32_t stored = download.recordsStored();
    QString line;
    if (lost) {
        line = QStringLiteral("%1: связь потеряна, повторное подключение").arg(label());
    } else if (download.phase() == LogDownload::Phase::Info) {
        line = QStringLiteral("%1: опрос устройства").arg(label());
    } else if (download.phase() == LogDownload::Phase::Captions) {
        line = QStringLiteral("%1: подписи %2, осталось %3").arg(label()).arg(download.captionsStored()).arg(left);
    } else {
        const double seconds = secondsSince(started);
        const double rate = seconds > 0 ? stored / seconds : 0;
        line = QStringLiteral("%1: записи %2, осталось %3, %4 зап/с")
                   .arg(label())
                   .arg(stored)
                   .arg(left)
                   .arg(rate, 0, 'f', 1);
        if (rate > 0 && left != 0)
            line += QStringLiteral(", ещё %1 с").arg(qint64(left / rate + 0.5));
    }
    console.progress(line);
}

void LineCollector::summarize()
{
    const double seconds = secondsSince(started);
    const std::uint32_t stored = download.recordsStored();
    console.endProgress(QStringLiteral("%1: новых записей %2 за %3 с (%4 зап/с)")
                            .arg(label())
                            .arg(stored)
                            .arg(seconds, 0, 'f', 1)
                            .arg(seconds > 0 ? stored / seconds : 0.0, 0, 'f', 1));
}
