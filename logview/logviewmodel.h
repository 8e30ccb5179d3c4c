// The model behind the log table: type icon, time and the message rendered from the
// event's caption, for logs of any size. It counts the records at once, reads the rows
// in pages around what the view asks for, renders only the messages it is asked for,
// keeps a bounded cache of pages, and finds the records that pass a filter off the
// user-interface thread.
#pragma once

#include "logaccess/logfilter.h"
#include "logaccess/logmessages.h"
#include "logaccess/logscan.h"
#include "logaccess/logsource.h"
#include "logaccess/logviewstatements.h"
#include "logaccess/orderedwork.h"
#include "logaccess/recordtimes.h"
#include "logaccess/sourcereads.h"
#include "logview/logrowindex.h"

#include <QAbstractTableModel>
#include <QDateTime>
#include <QHash>
#include <QSet>
#include <QSqlError>
#include <QThreadPool>
#include <QTimer>
#include <QVector>

#include <memory>
#include <vector>

/*
 * Without a filter the rows are those of the log view query (LogViewSql), in its
 * order, with its four columns (after the device's name in a log of several devices,
 * a merged log file); a filter keeps the rows that pass it, in the same
 * order. Which record stands on which row is a LogRowIndex; the rows themselves come
 * from the log a page at a time, by key, when the view asks for them.
 *
 *   reload()  a log was created or opened: count, learn the keys, start afresh
 *   refresh() the same log gained records (a download): append them, keep the rest
 *   setFilter() the user changed the filter: find the rows that pass, in the background
 *
 * What it shows of the records' times (the timeline) follows these three through
 * logReloaded, logRefreshed, filterChanged and, for a text, textMatchesFound.
 *
 * The model reads its source's connection through LogSourceReads: a log file's (the
 * application's default connection) on the model's own thread, at once; a server's on a
 * thread of its own, so that each of these steps goes on when its answer arrives, and a
 * row whose page is still on its way shows empty until then. The background passes read
 * the same log on connections of their own.
 */
class LogViewModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    explicit LogViewModel(QObject *parent = nullptr);
    ~LogViewModel() override;

    // Where the log is read: the log file on the default connection until told otherwise.
    // Setting it lets go of the log shown (closeLog()); reload() then shows the source's.
    void setSource(std::shared_ptr<LogSource> source);
    const std::shared_ptr<LogSource> &source() const { return logSource; }
    // The reads on the source's connection (to listen on it for a server's announcements).
    LogSourceReads &sourceReads() const { return *reads; }
    // Whether the source is read on this thread, every step done when it is asked for.
    bool readsInPlace() const { return reads->inPlace(); }

    // Shows the source's log from scratch. A log that cannot be read leaves no rows and
    // no columns, and its error in lastError().
    void reload();
    // Takes in what the open log gained since it was shown: records stored after the last
    // one shown (at the end, where a view at the bottom follows them) and captions
    // stored anew. Cheap when nothing changed; reload() when no log is shown yet.
    void refresh();
    // Stops the background work, closes its connections and shows nothing: the file is
    // about to be replaced or another one opened.
    void closeLog();
    // Whether reload() has shown a log since the last closeLog().
    bool isLoaded() const { return loaded; }
    QSqlError lastError() const { return error; }

    const LogFilter &filter() const { return currentFilter; }
    // Shows the records that pass `filter`; they are found in the background and arrive
    // in order (scanStarted ... scanFinished).
    void setFilter(const LogFilter &filter);

    // Every record of the log, shown or not.
    int totalRecords() const { return total; }
    // Whether the rows on show are still being found (or the log itself is still read).
    bool isScanning() const { return scanning || loading || indexing; }
    // The key (Log.id of a file) of the record on `row`; false while it is not known yet.
    bool keyOfRow(int row, qint64 *key) const;
    // The row of the record with `key`; -1 when it is not shown.
    int rowOfKey(qint64 key) const;
    // Looks for the first row shown at `time` or later (device wall-clock time), and with
    // `until` valid, no later than that; answers with timeLocated(request, row), row -1
    // when there is none. Returns the request.
    int locateTime(const QDateTime &time, const QDateTime &until = QDateTime());
    // The time of the first or the last record of the log as last read (when the log was
    // shown or refreshed); invalid for none.
    QDateTime edgeTime(bool newest) const { return edgeTimes[newest ? 1 : 0]; }
    // The smallest and the largest key of the log as last read, where the keys are in the
    // order shown; false for an empty log, or one not read yet.
    bool keyBounds(qint64 *low, qint64 *high) const;

    // The columns before those of a record (type, time, message, data): 1 for a log of
    // several devices (a merged log file), whose first column is the device's name.
    int deviceColumns() const { return valid && statements.hasDevices() ? 1 : 0; }

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &item, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // Rows read from the file at a time, and how many such pages are kept.
    static constexpr int PageRows = 128;
    static constexpr int MaxCachedPages = 32;
    // Pages asked of a source read on a thread of its own at once; the others wait, the
    // latest asked first (what is on screen now rather than what was scrolled past).
    static constexpr int MaxPageReads = 2;

signals:
    void filterChanged(const LogFilter &filter);
    // refresh() could not reach the store (a server gone): the rows shown stay as they are.
    void storeUnreachable(const QString &error);
    // `shown` rows of `total` records; sent whenever either changes.
    void countsChanged(int shown, int total);
    void scanStarted();
    void scanProgress(int done, int total);
    void scanFinished();
    // The rows on show could not all be found; those found stay.
    void scanFailed(const QString &error);
    // Around the rows a refresh appends at the end: a view at the bottom follows them.
    void recordsAboutToBeAppended();
    void recordsAppended();
    void timeLocated(int request, int row);
    // A log was shown from scratch (reload()), or none is (closeLog()).
    void logReloaded();
    // refresh() took in what the log gained (records, captions).
    void logRefreshed();
    // With a text in the filter: the times and types of records the search found, as it
    // finds them (again from the start after each reset of the rows).
    void textMatchesFound(const RecordTimes &found);

private:
    struct CachedRow {
        bool present = false;
        qint64 key = 0;
        QVariant type;
        QVariant time;
        QVariant captionKey; // the caption itself is one of `captions`, shared by its rows
        QVariant data;
        QVariant device;       // a merged log's: the device's name
        bool longData = false; // data beyond MaxShownData: its shown part is on its way
        bool dataCut = false;  // the data is the shown part of longer data
        bool rendered = false;
        bool cut = false; // the message is longer than the table shows
        QString message;
    };
    struct CachedPage {
        std::vector<CachedRow> rows;
        bool partial = false; // rows whose keys were not known yet are missing
        bool reading = false; // its rows are on their way
        quint64 lastUse = 0;
    };
    // What each step reads of the log, on the source's connection.
    struct IndexFacts;
    struct LogFacts;
    struct RefreshFacts;
    struct AppendFacts;
    struct PageFacts;

    void setError(const QString &text);
    void cancelWork();
    void dropCache();
    // No log: no rows, no columns, nothing known of it.
    void forgetLog();
    void takeLogFacts(LogFacts &facts);
    // Reads what the rows of the current filter start from, then startIndex(); between
    // begin/endResetModel, which an answer that comes later makes of its own.
    void readIndex(bool withCount);
    void takeIndexFacts(IndexFacts &facts);
    // The index for the current filter; called between begin/endResetModel.
    void startIndex(const IndexFacts &facts);
    void takeBounds(bool any, qint64 low, qint64 high);
    void takeRefreshFacts(RefreshFacts &facts);
    void startScan(const LogScanSetup &setup, bool provisional, bool appending);
    LogScanSetup scanSetup(const LogFilter &filter) const;
    void takeChunk(quint64 generation, int chunk, const LogScanChunk &found);
    void finishScan(quint64 generation);
    // Once the rows on show are all known: what waited for them.
    void rowsKnown();
    void appendNew();
    void takeAppendFacts(AppendFacts &facts);
    void appendKeys(const QVector<qint64> &keys, bool appending);
    void flushPending();
    struct Locate {
        int request;
        QDateTime time;
        QDateTime until;
    };
    void startLocate(const Locate &locate);
    CachedRow *rowAt(int row) const;
    // Puts the rows read into their places on the page; the span of rows filled goes to
    // *first..*last when asked for (*last stays -1 for none).
    void fillPage(CachedPage *page, int pageNumber, const PageFacts &facts, int *first = nullptr,
                  int *last = nullptr) const;
    void askForPages() const;
    void takePage(quint64 generation, int pageNumber, PageFacts &facts);
    // The shown parts of long data are read in the background, when a row needs them: a
    // record of megabytes would hold up the paint of its row while the database reads all
    // of it.
    void askForLongData(qint64 key) const;
    void readLongData();
    void takeLongData(quint64 generation, qint64 key, const QVariant &data);

    std::shared_ptr<LogSource> logSource;
    LogSourceReads *reads;
    // Every fresh start (a log shown, a filter set, closed) drops the answers to what the
    // steps before it asked.
    quint64 viewGeneration = 0;
    // Inside the reset of reload() or setFilter(): an answer in place joins it.
    bool resetting = false;
    bool loading = false;  // the log's count and captions are on their way
    bool indexing = false; // what the filter's rows start from is on its way
    bool refreshing = false;
    bool refreshAgain = false;
    bool appendReading = false;
    bool appendAgain = false;
    QDateTime edgeTimes[2];
    bool boundsKnown = false;
    qint64 lowKey = 0;
    qint64 highKey = 0;
    bool loaded = false;
    bool valid = false; // the log view query runs on the open file
    QSqlError error;
    LogViewStatements statements;
    LogFilter currentFilter;
    LogRowIndex shown;
    int total = 0;
    // The rows shown cover every record with a key up to coveredKey.
    bool covered = false;
    qint64 coveredKey = 0;
    // The captions the rows show (by their start, as they are shown), read once rather
    // than with every row, and for the text condition of records appended on this thread.
    LogCaptions captions;

    QThreadPool pool;
    CancelToken scanToken;
    CancelToken locateToken;
    quint64 scanGeneration = 0;
    bool scanning = false;
    bool scanIsProvisional = false;
    bool scanIsAppend = false;
    // Keys a provisional scan delivers again that the head already has.
    int scanSkip = 0;
    // Rows found by a scan wait here a moment, so that the view takes them in a few
    // inserts rather than one per chunk.
    QVector<qint64> pendingKeys;
    QTimer flushTimer;
    qint64 scanHigh = 0;
    int scanChunks = 0;
    bool appendPending = false;
    int locateRequests = 0;
    QVector<Locate> pendingLocates;

    mutable QHash<int, CachedPage> pages;
    mutable quint64 useClock = 0;
    mutable quint64 pageGeneration = 0;
    mutable QVector<int> wantedPages;
    mutable int pageReads = 0;
    // Keys whose long data is being read, the reads, and their generation (a new one
    // whenever the log or the rows on show change).
    mutable QSet<qint64> longDataAsked;
    mutable QVector<qint64> longDataWanted; // asked, to be read once the paint is over
    QHash<quint64, CancelToken> longDataReads;
    quint64 longDataReadCount = 0;
    quint64 longDataGeneration = 0;
};
