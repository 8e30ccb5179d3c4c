// One run of khronar-fetch: the port opened once, each device of the bus read in turn
// into its own log file by the download engine, as fast as the line allows.
#pragma once

#include "download/downloadengine.h"
#include "fetch/fetchoptions.h"
#include "protocol/logtransfer.h"
#include "protocol/modbusmaster.h"
#include "serial/comhalfduplexterminal.h"
#include "store/logimport.h"
#include "store/logimporter.h"

#include <QFile>
#include <QSqlDatabase>
#include <QString>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>

class Fetcher;

// What the engine reports, for the command line: no traffic is shown, the end of a
// download is a failure of the device being read.
class FetchObserver final : public DownloadObserver
{
public:
    explicit FetchObserver(Fetcher &fetcher) : fetcher(fetcher) {}
    bool downloadWanted() const override;
    void frameReceived(const std::uint8_t *, std::size_t, std::uint8_t) override {}
    void frameBuilt(const std::uint8_t *, std::size_t) override {}
    void requestSent() override {}
    void replyCounted() override {}
    void progressChanged(std::uint32_t) override {}
    void downloadStopped(DownloadStop reason, std::uint8_t exceptionCode) override;

private:
    Fetcher &fetcher;
};

/*
 * The driving loop, for each address in turn:
 *
 *   open or create the log file ─► engine.start(address)
 *   loop: stop flag? ─► engine.tick() ─► failed? read up (atRest)? ─► progress line
 *         (nothing taken and nothing sent: wait for the terminal's next frame)
 *   then --csv, --clear or --follow (which also re-polls once a second), close the file
 *
 * The transfer's callbacks reach the fetcher through theFetcher, as the
 * window's reach the window.
 */
class Fetcher
{
public:
    // `stop` is set from outside (a signal handler) to end the run between two
    // exchanges. `showProgress` draws the progress line on standard error;
    // `canAsk` allows the configuration question on standard input.
    Fetcher(const FetchOptions &options, const std::atomic<bool> &stop, bool showProgress, bool canAsk);
    ~Fetcher();
    Fetcher(const Fetcher &) = delete;
    Fetcher &operator=(const Fetcher &) = delete;

    // Opens the port, reads every device, closes the port. Returns an exit code.
    int run();

    // The import, called back by the transfer inside a tick.
    bool importLogInfo(std::uint16_t count, std::uint32_t idHash, std::uint32_t captionHash);
    void importCaption(std::uint16_t position, std::uint32_t eventId, const char *caption);
    std::uint32_t resumeIndex(std::uint32_t first, std::uint32_t span);
    void importRecord(std::uint32_t index, std::uint8_t count, std::uint8_t type, std::uint32_t deviceTime,
                      std::uint32_t eventId, const std::uint8_t *data, std::int32_t length);

private:
    friend class FetchObserver;
    using Clock = std::chrono::steady_clock;

    int fetchDevice(std::uint8_t address);
    int openLog(const QString &path);
    int exportCsv();
    // Ticks until `done` holds, the device fails or the stop flag is set; with
    // `follow`, until one of the latter two, re-polling and printing new records.
    int runEngine(const std::function<bool()> &done, bool follow = false);
    bool printNewRecords();
    // The statements of a reply go into the open batch; a batch is committed when
    // the device is read up, after BatchInterval, and whenever the loop ends.
    void beginBatch();
    bool commitBatch();
    // Ends the download of the current device with `code` and says why.
    void failDevice(int code, const QString &message);
    bool storeSucceeded(const StoreOutcome &outcome);
    bool agreeToConfigurationUpdate();

    void error(const QString &message);
    void drawProgress(bool force);
    void endProgressLine();
    void summarize();

    FetchOptions options;
    const std::atomic<bool> &stop;
    bool showProgress;
    bool canAsk;

    std::uint8_t terminalStorage[256];
    ComHalfDuplexTerminal terminal;
    LogTransfer transfer;
    ModbusFunctionHandler logFunctionEntry;
    ModbusMaster master;
    QSqlDatabase database;
    LogImporter importer;
    FetchObserver observer;
    DownloadEngine engine;
    QFile standardOutput;

    // The device being read.
    std::uint8_t address = 0;
    bool downloading = false;
    int failure = ExitDone;
    // What the progress line tells: before the info reply, captions, records.
    enum class Phase { Info, Captions, Records } phase = Phase::Info;
    std::uint32_t captionsStored = 0;
    std::uint32_t recordsStored = 0;
    std::uint32_t recordsUnprinted = 0;
    qint64 lastPrintedRowId = 0;
    Clock::time_point started;
    Clock::time_point lastDrawn;
    bool progressShown = false;
    bool batchOpen = false;
    Clock::time_point batchStarted;
};

// The one fetcher of the process while it exists; the transfer's callbacks reach it here.
extern Fetcher *theFetcher;

// The whole program on the arguments after its name: parses them, answers --help,
// --version and --list-ports, routes the stop signals and runs a fetcher.
int fetchMain(const QStringList &arguments);
