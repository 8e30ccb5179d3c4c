// One run of khronar-fetch: the port opened once, each device of the bus read in turn
// into its own log file by a LogDownload, as fast as the line allows.
#pragma once

#include "fetch/fetchlog.h"
#include "fetch/fetchoptions.h"
#include "logdownload/logdownload.h"

#include <QFile>
#include <QString>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

/*
 * The driving loop, for each address in turn:
 *
 *   open the log (file or server) ─► download.start(address)
 *   loop: stop flag? ─► download.tick() ─► failed? read up (atRest)? ─► progress line
 *         (nothing taken and nothing sent: wait for the terminal's next frame)
 *   then --csv, --clear or --follow (which also re-polls once a second), close the file
 *
 * The fetcher is the download's host: it answers the configuration question from
 * --update-config or the terminal, and turns a failure into the device's exit code.
 */
class Fetcher final : private LogDownloadHost
{
public:
    // `stop` is set from outside (a signal handler) to end the run between two
    // exchanges. `showProgress` draws the progress line on standard error;
    // `canAsk` allows the configuration question on standard input.
    Fetcher(const FetchOptions &options, const std::atomic<bool> &stop, bool showProgress, bool canAsk);
    ~Fetcher() override;
    Fetcher(const Fetcher &) = delete;
    Fetcher &operator=(const Fetcher &) = delete;

    // Opens the port, reads every device, closes the port. Returns an exit code.
    int run();

private:
    using Clock = std::chrono::steady_clock;

    // LogDownloadHost
    bool downloadWanted() const override { return downloading; }
    bool confirmConfigurationUpdate() override;
    void failed(const DownloadFailure &failure) override;
    void recordsStored(std::uint32_t count) override;

    int fetchDevice(std::uint8_t address);
    int openLog();
    int exportCsv();
    // Ticks until `done` holds, the device fails or the stop flag is set; with
    // `follow`, until one of the latter two, re-polling and printing new records.
    int runEngine(const std::function<bool()> &done, bool follow = false);
    bool printNewRecords();
    // Ends the download of the current device with `code` and says why.
    void failDevice(int code, const QString &message);

    void error(const QString &message);
    void drawProgress(bool force);
    void endProgressLine();
    void summarize();

    FetchOptions options;
    const std::atomic<bool> &stop;
    bool showProgress;
    bool canAsk;

    // The device's log while it is read: a log file, or its rows on a server.
    std::unique_ptr<FetchLog> log;
    LogDownload download;
    QFile standardOutput;

    // The device being read.
    std::uint8_t address = 0;
    bool downloading = false;
    int failure = ExitDone;
    std::uint32_t recordsUnprinted = 0;
    qint64 lastPrintedRowId = 0;
    Clock::time_point started;
    Clock::time_point lastDrawn;
    bool progressShown = false;
};

// The whole program on the arguments after its name: parses them, answers --help,
// --version and --list-ports, routes the stop signals and runs a fetcher.
int fetchMain(const QStringList &arguments);
