// Parsing libpq connection URIs for the central log database.

#include "serverstore/serverurl.h"

#include <QRegularExpression>
#include <QSqlDatabase>
#include <QStringList>
#include <QUrl>

namespace {

const QString LongScheme = QStringLiteral("postgresql://");
const QString ShortScheme = QStringLiteral("postgres://");

// The connection parameters a URL may carry. Others (host, user, options...) would
// change what the URL's own parts say, or run settings on the server.
const QStringList AllowedParameters = {
    QStringLiteral("sslmode"),          QStringLiteral("sslrootcert"),      QStringLiteral("sslcert"),
    QStringLiteral("sslkey"),           QStringLiteral("sslcrl"),           QStringLiteral("connect_timeout"),
    QStringLiteral("keepalives"),       QStringLiteral("keepalives_idle"),  QStringLiteral("keepalives_interval"),
    QStringLiteral("keepalives_count"), QStringLiteral("tcp_user_timeout"),
};
const QStringList SslModes = {QStringLiteral("disable"), QStringLiteral("allow"),     QStringLiteral("prefer"),
                              QStringLiteral("require"), QStringLiteral("verify-ca"), QStringLiteral("verify-full")};

// Without a bound of its own, libpq waits for an unreachable server as long as TCP does.
const QString DefaultConnectTimeoutSeconds = QStringLiteral("10");

// Whole, even past a zero byte: one cut off there would name another database or user
// than the URL does.
QString decoded(const QString &part)
{
    const QByteArray bytes = QByteArray::fromPercentEncoding(part.toUtf8());
    return QString::fromUtf8(bytes.constData(), bytes.size());
}

// libpq's strings end at a zero byte, so a part that holds one ("%00") cannot be passed on.
bool holdsZero(const ServerUrl &url)
{
    const QChar zero(0);
    bool found = url.user.contains(zero) || url.password.contains(zero) || url.host.contains(zero)
        || url.database.contains(zero);
    for (const auto &parameter : url.parameters)
        found = found || parameter.first.contains(zero) || parameter.second.contains(zero);
    return found;
}

// A value of libpq's "key=value" connection string, quoted. QtSql joins the options
// with blanks after turning every ";" into one, so a value never holds a ";".
QString quotedOption(QString value)
{
    value.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    value.replace(QLatin1Char('\''), QLatin1String("\\'"));
    return QLatin1Char('\'') + value + QLatin1Char('\'');
}

ServerUrlParse failure(const QString &error)
{
    ServerUrlParse result;
    result.error = error;
    return result;
}

bool takeHostAndPort(const QString &hostPort, ServerUrl &url, QString *error)
{
    QString portText;
    if (hostPort.startsWith(QLatin1Char('['))) {
        const int close = hostPort.indexOf(QLatin1Char(']'));
        if (close < 0) {
            *error = QStringLiteral("the server URL's IPv6 address lacks its \"]\"");
            return false;
        }
        url.host = hostPort.mid(1, close - 1);
        const QString rest = hostPort.mid(close + 1);
        if (!rest.isEmpty() && !rest.startsWith(QLatin1Char(':'))) {
            *error = QStringLiteral("the server URL has something after its IPv6 address");
            return false;
        }
        portText = rest.mid(1);
    } else {
        const int colon = hostPort.indexOf(QLatin1Char(':'));
        url.host = decoded(colon < 0 ? hostPort : hostPort.left(colon));
        portText = colon < 0 ? QString() : hostPort.mid(colon + 1);
        if (colon >= 0 && portText.isEmpty()) {
            *error = QStringLiteral("the server URL has a \":\" but no port");
            return false;
        }
    }
    if (!portText.isEmpty()) {
        bool ok = false;
        const int port = portText.toInt(&ok);
        if (!ok || port < 1 || port > 65535 || !portText.at(0).isDigit()) {
            *error = QStringLiteral("the server URL's port \"%1\" is not 1 to 65535").arg(portText);
            return false;
        }
        url.port = port;
    }
    return true;
}

bool takeParameters(const QString &query, ServerUrl &url, QString *error)
{
    if (query.isEmpty())
        return true;
    for (const QString &pair : query.split(QLatin1Char('&'))) {
        const int equals = pair.indexOf(QLatin1Char('='));
        const QString key = decoded(equals < 0 ? pair : pair.left(equals));
        const QString value = equals < 0 ? QString() : decoded(pair.mid(equals + 1));
        if (!AllowedParameters.contains(key)) {
            *error = QStringLiteral("the server URL's parameter \"%1\" is not one of %2")
                         .arg(key, AllowedParameters.join(QStringLiteral(", ")));
            return false;
        }
        if (equals < 0 || value.isEmpty() || value.contains(QLatin1Char(';'))) {
            *error = QStringLiteral("the server URL's parameter \"%1\" wants a value (without \";\")").arg(key);
            return false;
        }
        if (key == QLatin1String("sslmode") && !SslModes.contains(value)) {
            *error
                = QStringLiteral("sslmode wants one of %1, not \"%2\"").arg(SslModes.join(QStringLiteral(", ")), value);
            return false;
        }
        url.parameters.append({key, value});
    }
    return true;
}

} // namespace

QString ServerUrl::displayName() const
{
    const QString shownHost = host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
    QString text = shownHost.isEmpty() ? QStringLiteral("localhost") : shownHost;
    if (port != -1)
        text += QLatin1Char(':') + QString::number(port);
    return text + QLatin1Char('/') + database;
}

QString ServerUrl::withoutPassword() const
{
    const auto encoded = [](const QString &part) { return QString::fromLatin1(QUrl::toPercentEncoding(part)); };
    QString text = LongScheme;
    if (!user.isEmpty())
        text += encoded(user) + QLatin1Char('@');
    text += host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : encoded(host);
    if (port != -1)
        text += QLatin1Char(':') + QString::number(port);
    text += QLatin1Char('/') + encoded(database);
    QStringList query;
    for (const auto &parameter : parameters)
        query << encoded(parameter.first) + QLatin1Char('=') + encoded(parameter.second);
    if (!query.isEmpty())
        text += QLatin1Char('?') + query.join(QLatin1Char('&'));
    return text;
}

bool isServerUrl(const QString &text)
{
    return text.startsWith(LongScheme) || text.startsWith(ShortScheme);
}

bool looksLikeUrl(const QString &text)
{
    static const QRegularExpression scheme(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*://"));
    return scheme.match(text).hasMatch();
}

ServerUrlParse parseServerUrl(const QString &text)
{
    if (!isServerUrl(text)) {
        const QString scheme = text.left(text.indexOf(QStringLiteral("://")) + 3);
        return failure(QStringLiteral("\"%1\" is no server URL: a server URL starts with postgresql:// or "
                                      "postgres://")
                           .arg(looksLikeUrl(text) ? scheme : QStringLiteral("...")));
    }
    QString rest = text.mid(text.startsWith(LongScheme) ? LongScheme.size() : ShortScheme.size());
    QString query;
    const int question = rest.indexOf(QLatin1Char('?'));
    if (question >= 0) {
        query = rest.mid(question + 1);
        rest.truncate(question);
    }
    const int slash = rest.indexOf(QLatin1Char('/'));
    if (slash < 0 || slash + 1 == rest.size())
        return failure(QStringLiteral("the server URL names no database (postgresql://HOST/DBNAME)"));

    ServerUrlParse result;
    ServerUrl &url = result.url;
    url.database = decoded(rest.mid(slash + 1));
    QString authority = rest.left(slash);
    // The password may hold an "@" of its own only percent-encoded; the last "@" ends it.
    const int at = authority.lastIndexOf(QLatin1Char('@'));
    if (at >= 0) {
        const QString userInfo = authority.left(at);
        authority = authority.mid(at + 1);
        const int colon = userInfo.indexOf(QLatin1Char(':'));
        url.user = decoded(colon < 0 ? userInfo : userInfo.left(colon));
        if (colon >= 0)
            url.password = decoded(userInfo.mid(colon + 1));
    }
    if (!takeHostAndPort(authority, url, &result.error) || !takeParameters(query, url, &result.error))
        return failure(result.error);
    if (holdsZero(url))
        return failure(QStringLiteral("the server URL holds a zero byte (%00), which no server name, user, password, "
                                      "database or parameter may"));
    return result;
}

void applyServerUrl(const ServerUrl &url, QSqlDatabase &database, const QString &applicationName)
{
    database.setHostName(url.host);
    database.setPort(url.port);
    database.setDatabaseName(url.database);
    database.setUserName(url.user);
    database.setPassword(url.password);
    QStringList options{QStringLiteral("application_name=") + quotedOption(applicationName)};
    bool timeoutGiven = false;
    for (const auto &parameter : url.parameters) {
        options << parameter.first + QLatin1Char('=') + quotedOption(parameter.second);
        timeoutGiven = timeoutGiven || parameter.first == QLatin1String("connect_timeout");
    }
    if (!timeoutGiven)
        options << QStringLiteral("connect_timeout=") + DefaultConnectTimeoutSeconds;
    database.setConnectOptions(options.join(QLatin1Char(';')));
}
