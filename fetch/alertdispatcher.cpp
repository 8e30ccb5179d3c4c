// The alert rules applied to new records, and their commands run off the lines' threads.

#include "fetch/alertdispatcher.h"

#include "fetch/commandprocess.h"
#include "fetch/linecollector.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include <algorithm>

namespace {

const char *const TypeNames[4] = {"info", "warning", "error", "change"};

// How long a collector that is told to stop goes on running queued commands.
constexpr auto StopGrace = std::chrono::seconds(10);
// An environment variable and a journal entry hold at most the start of a long message
// (the system limits the size of a program's environment); standard input has it whole.
constexpr int MaxShortMessage = 8192;

QString typeName(int type)
{
    return QLatin1String(TypeNames[type >= 0 && type < 4 ? type : 0]);
}

} // namespace

QByteArray alertRecordJson(const AlertRecord &record, const QString &rule)
{
    QJsonObject object;
    object.insert(QStringLiteral("rule"), rule);
    object.insert(QStringLiteral("line"), record.line);
    object.insert(QStringLiteral("device"), record.device);
    object.insert(QStringLiteral("address"), int(record.address));
    object.insert(QStringLiteral("time"), record.time);
    object.insert(QStringLiteral("type"), typeName(record.type));
    object.insert(QStringLiteral("message"), record.message);
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

AlertDispatcher::AlertDispatcher(std::vector<AlertRule> list, int commandsAtOnce, CollectorConsole &console)
    : rules(std::move(list)),
      console(console)
{
    const bool commands = std::any_of(rules.begin(), rules.end(),
                                      [](const AlertRule &rule) { return !rule.command.isEmpty(); });
    for (int i = 0; commands && i < commandsAtOnce; ++i)
        workers.emplace_back([this] { work(); });
}

AlertDispatcher::~AlertDispatcher()
{
    finish(true);
}

bool AlertDispatcher::takesHistory() const
{
    return std::any_of(rules.begin(), rules.end(), [](const AlertRule &rule) { return rule.history; });
}

void AlertDispatcher::recordStored(const AlertRecord &record, bool history)
{
    for (const AlertRule &rule : rules) {
        if (history && !rule.history)
            continue;
        if (rule.types != 0 && (rule.types & (1u << (record.type & 3))) == 0)
            continue;
        if (!rule.message.pattern().isEmpty() && !rule.message.match(record.message).hasMatch())
            continue;
        if (rule.journalPriority >= 0)
            say({&rule, record}, QStringLiteral("%1 %2").arg(record.time, record.message.left(MaxShortMessage)),
                rule.journalPriority);
        if (rule.command.isEmpty())
            continue;
        std::lock_guard<std::mutex> guard(lock);
        if (ending || queue.size() >= MaxQueued) {
            // Said at the first record lost, and then every hundredth.
            if (dropped++ % 100 == 0)
                say({&rule, record},
                    QStringLiteral("команда не запущена: %1 команд уже ждут очереди (всего пропущено %2)")
                        .arg(queue.size())
                        .arg(dropped),
                    3);
            continue;
        }
        queue.push_back({&rule, record});
        wake.notify_one();
    }
}

void AlertDispatcher::finish(bool stopping)
{
    std::unique_lock<std::mutex> guard(lock);
    if (workers.empty())
        return;
    const auto deadline = std::chrono::steady_clock::now() + StopGrace;
    const auto drained = [this] { return queue.empty() && running == 0; };
    if (stopping)
        idle.wait_until(guard, deadline, drained);
    else
        idle.wait(guard, drained);
    if (!queue.empty()) {
        console.error(QStringLiteral("сигналы: %1 команд не запущено, сборщик останавливается").arg(queue.size()));
        queue.clear();
    }
    ending = true;
    wake.notify_all();
    guard.unlock();
    for (std::thread &worker : workers)
        worker.join();
    workers.clear();
}

void AlertDispatcher::work()
{
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
        wake.wait(guard, [this] { return ending || !queue.empty(); });
        if (queue.empty())
            return;
        const Job job = queue.front();
        queue.pop_front();
        ++running;
        guard.unlock();
        runCommand(job);
        guard.lock();
        --running;
        if (queue.empty() && running == 0)
            idle.notify_all();
    }
}

void AlertDispatcher::runCommand(const Job &job)
{
    const AlertRule &rule = *job.rule;
    const AlertRecord &record = job.record;
    CommandProcess process;
    process.setProgram(rule.command.first());
    process.setArguments(rule.command.mid(1));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // systemd's word to the collector is not the command's: it is not the service.
    for (const char *name : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"})
        environment.remove(QLatin1String(name));
    environment.insert(QStringLiteral("KHRONAR_LINE"), record.line);
    environment.insert(QStringLiteral("KHRONAR_DEVICE"), record.device);
    environment.insert(QStringLiteral("KHRONAR_TIME"), record.time);
    environment.insert(QStringLiteral("KHRONAR_TYPE"), typeName(record.type));
    environment.insert(QStringLiteral("KHRONAR_MESSAGE"), record.message.left(MaxShortMessage));
    environment.insert(QStringLiteral("KHRONAR_RULE"), rule.name);
    process.setProcessEnvironment(environment);
    // What it prints is its own business; what it complains of goes where ours goes.
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start();
    if (!process.waitForStarted(5000)) {
        say(job, QStringLiteral("команда \"%1\" не запускается: %2").arg(rule.command.first(), process.errorString()),
            3);
        return;
    }
    // Written as the command reads it, while waiting: a command that reads nothing
    // does not hold the worker beyond its time limit.
    process.write(alertRecordJson(record, rule.name));
    process.closeWriteChannel();
    if (!process.waitForFinished(rule.timeoutSeconds * 1000)) {
        process.killAll();
        process.waitForFinished(5000);
        say(job,
            QStringLiteral("команда \"%1\" не закончилась за %2 с и остановлена")
                .arg(rule.command.first())
                .arg(rule.timeoutSeconds),
            3);
        return;
    }
    if (process.exitStatus() != QProcess::NormalExit)
        say(job, QStringLiteral("команда \"%1\" завершилась аварийно").arg(rule.command.first()), 3);
    else if (process.exitCode() != 0)
        say(job,
            QStringLiteral("команда \"%1\" завершилась с кодом %2").arg(rule.command.first()).arg(process.exitCode()),
            3);
}

void AlertDispatcher::say(const Job &job, const QString &what, int priority)
{
    JournalFields fields;
    fields.priority = priority;
    fields.line = job.record.line;
    fields.device = job.record.device;
    console.event(
        QStringLiteral("[%1] %2: сигнал «%3»: %4").arg(job.record.line, job.record.device, job.rule->name, what),
        fields);
}
