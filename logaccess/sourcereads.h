// The reads a log view makes on its source's own connection, each answered on the view's
// thread: at once for a source read in place (a log file, whose reads take microseconds),
// in order on a thread of the source's own for one across a network (a server's device),
// so that a server a slow link away holds up no paint.
#pragma once

#include "logaccess/logsource.h"

#include <QMetaObject>
#include <QObject>
#include <QSqlDatabase>
#include <QVector>

#include <functional>
#include <memory>

class QThread;

/*
 *   view thread                       reader thread (one per source read there)
 *   run(read, then) ───────────────►  read(connection)      one read after another
 *   then(result)  ◄── queued ────────┘                      in the order asked
 *
 * A read that is still on its way when forget() is called, or the source is replaced,
 * is done but its answer is dropped. A source that is replaced gets its connection back
 * on the view's thread once its last read is over; the reader thread then ends.
 */
class LogSourceReads : public QObject
{
    Q_OBJECT

public:
    explicit LogSourceReads(QObject *parent = nullptr);
    // Waits for the read in progress, if any: the connection is in use until it ends.
    ~LogSourceReads() override;

    // The source read from now on; its connection goes to a thread of its own unless the
    // source reads in place. Answers to reads of the source before are dropped.
    void setSource(std::shared_ptr<LogSource> source);
    // Whether reads are answered at once, on the calling thread.
    bool inPlace() const { return readerThread == nullptr; }

    // Runs `read` on the source's connection and then `then` with what it returned, on this
    // object's thread, unless forget() or setSource() is called in between.
    template<typename Result>
    void run(std::function<Result(const QSqlDatabase &)> read, std::function<void(Result &)> then)
    {
        if (inPlace()) {
            Result result = read(source->database());
            then(result);
            return;
        }
        const quint64 asked = generation;
        std::shared_ptr<LogSource> reading = source;
        post([this, reading, read, then, asked] {
            auto result = std::make_shared<Result>(read(reading->database()));
            // This object outlives every reader thread it started (its destructor waits).
            QMetaObject::invokeMethod(
                this,
                [this, result, then, asked] {
                    if (asked == generation)
                        then(*result);
                },
                Qt::QueuedConnection);
        });
    }
    // Answers to the reads asked so far are dropped.
    void forget() { ++generation; }
    // Runs `work` with the connection on the thread that reads it (listening for a
    // server's announcements must be set up and ended there); at once in place.
    void onConnectionThread(std::function<void(const QSqlDatabase &)> work);

private:
    void post(std::function<void()> task);
    void retire();

    std::shared_ptr<LogSource> source;
    QThread *readerThread = nullptr;
    QObject *reader = nullptr; // lives on readerThread: the reads are its queued calls
    // Threads of sources replaced, until their last read is over.
    QVector<QThread *> retired;
    quint64 generation = 0;
};
