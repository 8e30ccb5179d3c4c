// One line of khronar-fetch: its port opened once, and every device on it read in turn
// into its own log by a LogDownload, as fast as the line allows. A run of the command
// line is one collector; a fleet runs one per line, each on a thread of its own.
#pragma once

#include "fetch/logtarget.h"
#include "fetch/fetchoptions.h"
#include "fetch/linemonitor.h"
#include "fetch/servicemanager.h"
#include "logdownload/logdownload.h"

#include <QFile>
#include <QString>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

// Sends a journal entry; false when it cannot (it is then said on standard error).
using JournalSender = std::function<bool(const QString &message, const JournalFields &fields)>;

// Standard error, shared by the collectors of a run: whole lines, never mixed, and the
// progress line of a single run redrawn in place. Under systemd, with standard error
// connected to the journal, events go to the journal instead, with their line, device
// and priority as fields of their own.
class CollectorConsole
{
public:
    explicit CollectorConsole(bool showProgress, JournalSender journal = {})
        : progressWanted(showProgress),
          journal(std::move(journal))
    {}

    // "khronar-fetch: " and `message` on a line of its own, or an error in the journal.
    void error(const QString &message);
    // An event of a line or of one of its devices: said as error() says it, or sent to
    // the journal with `fields`. One that only the journal keeps (a port opened, a
    // device back) is not said on standard error, whose lines stay as they were.
    void event(const QString &message, const JournalFields &fields, bool journalOnly = false);
    bool toJournal() const { return bool(journal); }
    // Text without a line end, after the progress line has been ended.
    void prompt(const QString &text);
    // Redraws the progress line; nothing when it is not wanted.
    void progress(const QString &line);
    // Ends the progress line, leaving `line` there when given.
    void endProgress(const QString &line = QString());
    bool showsProgress() const { return progressWanted; }

private:
    void write(const QString &text);

    std::mutex lock;
    const bool progressWanted;
    const JournalSender journal;
    bool progressShown = false;
};

// One device as a collector reads it.
class AlertDispatcher;

struct CollectorDevice {
    std::uint8_t address = 1;
    QString name;    // its name in a fleet; empty on a command line
    LogLocation log; // where its log goes
    QString csv;     // --csv: where its export goes, empty for none
};

// What became of one device in a run.
struct DeviceOutcome {
    QString line; // the fleet's line, empty on a command line
    QString name;
    std::uint8_t address = 1;
    std::uint32_t newRecords = 0;
    double seconds = 0;
    int exitCode = ExitDone;
    QString message; // why it failed, as it was said
};

struct CollectorSettings {
    QString lineName; // a fleet's section; empty on a command line
    QString port;
    std::uint32_t baudRate = 19200;
    std::uint8_t parity = 2;
    std::uint8_t stopBits = 0;
    ConfigUpdate updateConfig = ConfigUpdate::Ask;
    bool canAsk = false;
    bool follow = false;
    bool clear = false;
    // Printing the new records of a followed device on standard output (one device).
    bool printFollowed = false;
    // A lost port is waited for this long in a run that ends, before the line gives up
    // with exit code 3; a followed line waits for as long as it takes.
    int reconnectSeconds = 10;
    int lockWaitSeconds = 30;
    // A followed line whose port does not open at first tries again (a service whose
    // gateway is still down); a run from the command line gives up at once.
    bool retryFirstOpen = false;
    // Where a supervised line reports its state (a fleet's); null for none.
    LineMonitor *monitor = nullptr;
    // Where newly stored records go to be alerted on (a fleet's [alerts]); null for none.
    AlertDispatcher *alerts = nullptr;
};

/*
 * The driving loop of one device:
 *
 *   open its log (file or server) ─► download.start(address)
 *   loop: stop flag? ─► download.tick() ─► failed? read up (atRest)? ─► progress line
 *         (nothing taken and nothing sent: wait for the terminal's next frame;
 *          the port lost: LogDownload reopens it, the loop waits for it)
 *   then --csv, --clear or, for one device, --follow (re-polls once a second)
 *
 * Following several devices, or a fleet's line, the line goes round them: each is read up once a second,
 * and one that failed (a device that stops answering, a server that is down) waits
 * a while before it is tried again, while the others go on being read. A device whose
 * store refuses its records is not tried again in this run: the failure says so.
 *
 * The collector is the download's host: it answers the configuration question from
 * --update-config or the terminal, and turns a failure into the device's exit code.
 */
class LineCollector final : private LogDownloadHost
{
public:
    // `stop` is set from outside (a signal handler) to end the run between two
    // exchanges.
    LineCollector(const CollectorSettings &settings, std::vector<CollectorDevice> devices,
                  const std::atomic<bool> &stop, CollectorConsole &console);
    ~LineCollector() override;
    LineCollector(const LineCollector &) = delete;
    LineCollector &operator=(const LineCollector &) = delete;

    // Opens the port, reads every device, closes the port. Returns the exit code of
    // the worst outcome (the highest code); outcomes() tells each device's.
    int run();
    const std::vector<DeviceOutcome> &outcomes() const { return results; }

private:
    using Clock = std::chrono::steady_clock;
    struct DeviceState;

    // LogDownloadHost
    bool downloadWanted() const override { return downloading; }
    bool confirmConfigurationUpdate() override;
    void failed(const DownloadFailure &failure) override;
    void recordsStored(std::uint32_t count) override;
    void frameReceived(const std::uint8_t *bytes, std::size_t length, ReplyResult result) override;
    void requestSent() override;
    void portLost(const PortError &cause) override;
    void reconnectFailed(unsigned attempt, const PortError &cause, std::chrono::milliseconds next) override;
    void portRestored(unsigned attempts) override;
    // The current device was read up to its newest record.
    void readUp();

    // Whether a followed line goes round its devices, resting one that fails: with
    // several, and in a fleet with any number (a service's line never gives up a
    // device); a single device from the command line is followed on its own instead.
    bool goesRound() const;
    bool openPort();
    int collectOnce(DeviceState &device);
    void followAll();
    int openLog(DeviceState &device);
    int exportCsv(DeviceState &device);
    // Ticks until `done` holds, the device fails, the port is lost for longer than a
    // run may wait, or the stop flag is set; with `follow`, until one of the latter,
    // re-polling and printing new records.
    int runEngine(const std::function<bool()> &done, bool follow = false);
    bool printNewRecords();
    // Whether the records a download stores are looked at after it (for the metrics).
    bool watchesRecords() const { return settings.monitor != nullptr || settings.alerts != nullptr; }
    // Notes where the current device's log ends, as it is opened.
    void noteLogEnd();
    // Notes the time of the current device's record at `rowId` as its newest.
    void noteNewestRecord(qint64 rowId);
    // Looks at the records stored since the last look: the newest one's time, and each
    // record for the alerts.
    void takeNewRecords();
    // Ends the download of the current device with `code` and says why.
    void failDevice(int code, const QString &message);
    // What the user is told of a failure of the current device's log.
    QString logFailureText(const QString &error) const;
    // What is said of a store's failure; notes whether the device is given up for it.
    QString storeFailureText(const QString &text, const StoreError &error);
    // Ends the whole line: every device not yet done gets `code` and `message`.
    void failLine(int code, const QString &message);
    // The device's name in messages: "адрес 7", or in a fleet "feeder-1".
    QString label() const;
    // Says `message` about the line, or with `aboutDevice` about the current device,
    // with a syslog priority for the journal (3 error, 4 warning, 5 notice, 6 info).
    void say(const QString &message, int priority = 3, bool aboutDevice = false, bool journalOnly = false);
    void drawProgress(bool force);
    void summarize();

    CollectorSettings settings;
    const std::atomic<bool> &stop;
    CollectorConsole &console;
    std::vector<DeviceState> devices;
    std::vector<DeviceOutcome> results;

    LogDownload download;
    QFile standardOutput;

    // The device being read.
    DeviceState *current = nullptr;
    bool downloading = false;
    int failure = ExitDone;
    QString failureMessage;
    // The current device's store refused what it was given (a constraint, a file that
    // is no log): trying again would only fail again.
    bool storeRefused = false;
    std::uint32_t recordsUnprinted = 0;
    std::uint32_t recordsUntaken = 0;
    qint64 lastPrintedRowId = 0;
    Clock::time_point started;
    Clock::time_point lastDrawn;
    // Since when the port has been lost; unset while it is open.
    bool lost = false;
    Clock::time_point lostSince;
    PortError lostCause;
    // A request is out and no frame has come back for it yet.
    bool awaitingReply = false;
    // The current device rests read up: its monitor has been told.
    bool toldReadUp = false;
};
