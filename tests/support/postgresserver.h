// A PostgreSQL server of the test's own: a new cluster in a temporary folder, on a free
// port of 127.0.0.1, trusting every local login, without fsync; gone with the object.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <algorithm>
#include <memory>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

class PostgresServer
{
public:
    // The role the tests log in as (the cluster's superuser).
    static constexpr const char *Role = "khronar_test";

    PostgresServer() = default;
    PostgresServer(const PostgresServer &) = delete;
    PostgresServer &operator=(const PostgresServer &) = delete;
    ~PostgresServer()
    {
        if (dir)
            control({"stop", "-m", "immediate"});
    }

    // With fsync and synchronous commits, as a production server runs: for benchmarks.
    // Call before start().
    void setDurable(bool on) { durable = on; }

    // initdb and start. `timeZone` is the server's TimeZone, which every session gets
    // unless it sets its own. False, with error(), when anything fails.
    bool start(const QString &timeZone = QStringLiteral("Asia/Kathmandu"))
    {
        binDir = findBinaries();
        if (binDir.isEmpty())
            return fail(QStringLiteral("no PostgreSQL server in /usr/lib/postgresql/*/bin (apt-get install "
                                       "postgresql)"));
        dir = std::make_unique<QTemporaryDir>(QDir::tempPath() + QStringLiteral("/khronar-pg-XXXXXX"));
        if (!dir->isValid())
            return fail(QStringLiteral("no temporary folder"));
        // The server refuses to run as root: there it runs as the postgres user, which
        // owns the folder.
        if (::geteuid() == 0 && !run(QStringLiteral("chown"), {QStringLiteral("postgres:postgres"), dir->path()}))
            return false;
        if (!run(binDir + QStringLiteral("/initdb"),
                 {"-D", dataDir(), "--auth=trust", "-U", Role, "-E", "UTF8", "--no-locale", "--no-sync",
                  "--no-instructions"},
                 ::geteuid() == 0))
            return false;
        serverTimeZone = timeZone;
        // The port was free when asked for, but another test running beside this one
        // may take it before the server binds it: then another port.
        for (int attempt = 0; attempt < 5; ++attempt) {
            port = freePort();
            if (startServer())
                return true;
        }
        return false;
    }

    bool stop() { return control({"stop", "-m", "fast", "-w"}); }
    // As a server lost to a crash or a power cut: every session cut at once, without
    // the server finishing anything. startAgain() brings it back (with a recovery).
    bool stopImmediately() { return control({"stop", "-m", "immediate", "-w"}); }
    // A restart cuts every session, as a server restarted by its administrator does.
    bool restart() { return control({"restart", "-m", "fast", "-w", "-t", "60", "-o", serverOptions()}); }
    bool startAgain() { return startServer(); }

    // A URL for the database `database` (which createDatabase makes).
    QString url(const QString &database) const
    {
        return QStringLiteral("postgresql://%1@127.0.0.1:%2/%3").arg(QLatin1String(Role)).arg(port).arg(database);
    }
    int serverPort() const { return port; }
    const QString &error() const { return lastError; }

    // Runs `sql` with psql on the database `database`; the output rows, "|"-separated.
    QString psql(const QString &database, const QString &sql)
    {
        QProcess process;
        process.start(binDir + QStringLiteral("/psql"),
                      {"-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1", "-h", "127.0.0.1", "-p", QString::number(port),
                       "-U", Role, "-d", database, "-c", sql});
        if (!process.waitForFinished(60000) || process.exitCode() != 0) {
            lastError = QString::fromLocal8Bit(process.readAllStandardError());
            return QStringLiteral("error: ") + lastError;
        }
        return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
    }

    bool createDatabase(const QString &name)
    {
        return !psql(QStringLiteral("postgres"), QStringLiteral("CREATE DATABASE \"%1\"").arg(name))
                    .startsWith(QStringLiteral("error: "));
    }

private:
    QString dataDir() const { return dir->path() + QStringLiteral("/data"); }

    QString serverOptions() const
    {
        const QString speed = durable
            ? QString()
            : QStringLiteral(" -c fsync=off -c synchronous_commit=off -c full_page_writes=off");
        return QStringLiteral("-p %1 -k %2 -c listen_addresses=127.0.0.1 -c TimeZone=%3%4")
            .arg(port)
            .arg(dir->path(), serverTimeZone, speed);
    }

    bool startServer()
    {
        // -w waits until the server takes connections, up to -t seconds.
        return control(
            {"start", "-w", "-t", "60", "-l", dir->path() + QStringLiteral("/server.log"), "-o", serverOptions()});
    }

    bool control(const QStringList &arguments)
    {
        return run(binDir + QStringLiteral("/pg_ctl"), QStringList{"-D", dataDir()} + arguments, ::geteuid() == 0);
    }

    static QString findBinaries()
    {
        const QDir versions(QStringLiteral("/usr/lib/postgresql"));
        QStringList found = versions.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        // The newest version first: 15 before 9.6.
        std::sort(found.begin(), found.end(),
                  [](const QString &a, const QString &b) { return a.toDouble() > b.toDouble(); });
        for (const QString &version : found) {
            const QString bin = versions.filePath(version + QStringLiteral("/bin"));
            if (QFile::exists(bin + QStringLiteral("/initdb")) && QFile::exists(bin + QStringLiteral("/pg_ctl")))
                return bin;
        }
        return QString();
    }

    // A port nobody listens on now: the kernel's choice for a socket bound to port 0.
    static int freePort()
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        int port = 0;
        if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
            && ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
            port = ntohs(address.sin_port);
        if (fd >= 0)
            ::close(fd);
        return port;
    }

    bool run(const QString &program, const QStringList &arguments, bool asPostgres = false)
    {
        QProcess process;
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.setWorkingDirectory(dir ? dir->path() : QDir::tempPath());
        if (asPostgres)
            process.start(QStringLiteral("runuser"), QStringList{"-u", "postgres", "--", program} + arguments);
        else
            process.start(program, arguments);
        if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
            return fail(QStringLiteral("%1 %2: %3")
                            .arg(program, arguments.join(QLatin1Char(' ')), QString::fromLocal8Bit(process.readAll())));
        return true;
    }

    bool fail(const QString &message)
    {
        lastError = message;
        return false;
    }

    QString binDir;
    std::unique_ptr<QTemporaryDir> dir;
    int port = 0;
    QString serverTimeZone;
    bool durable = false;
    QString lastError;
};
