// A log view's reads on its source's connection, in place or on a thread of their own.

#include "logaccess/sourcereads.h"

#include <QThread>

LogSourceReads::LogSourceReads(QObject *parent) : QObject(parent), source(std::make_shared<NoLogSource>()) {}

LogSourceReads::~LogSourceReads()
{
    forget();
    retire();
    for (QThread *thread : qAsConst(retired)) {
        thread->wait();
        delete thread;
    }
}

void LogSourceReads::setSource(std::shared_ptr<LogSource> replacement)
{
    forget();
    retire();
    source = std::move(replacement);
    if (!source || source->readsInPlace()) {
        if (!source)
            source = std::make_shared<NoLogSource>();
        return;
    }
    readerThread = new QThread;
    readerThread->setObjectName(QStringLiteral("khronar-log-reads"));
    reader = new QObject;
    reader->moveToThread(readerThread);
    connect(readerThread, &QThread::finished, reader, &QObject::deleteLater);
    source->moveToThread(readerThread);
    readerThread->start();
}

void LogSourceReads::post(std::function<void()> task)
{
    QMetaObject::invokeMethod(reader, std::move(task), Qt::QueuedConnection);
}

void LogSourceReads::onConnectionThread(std::function<void(const QSqlDatabase &)> work)
{
    if (inPlace()) {
        work(source->database());
        return;
    }
    std::shared_ptr<LogSource> reading = source;
    post([reading, work] { work(reading->database()); });
}

void LogSourceReads::retire()
{
    if (readerThread == nullptr)
        return;
    QThread *thread = readerThread;
    readerThread = nullptr;
    // After the reads asked so far: the connection comes back to this thread, where its
    // owner closes it, and the reader thread ends.
    std::shared_ptr<LogSource> leaving = source;
    QThread *home = this->thread();
    post([leaving, home] {
        leaving->moveToThread(home);
        QThread::currentThread()->quit();
    });
    reader = nullptr;
    retired.append(thread);
    connect(thread, &QThread::finished, this, [this, thread] {
        if (retired.removeOne(thread)) {
            thread->wait();
            thread->deleteLater();
        }
    });
}
