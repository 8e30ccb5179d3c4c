// The server URL parser with any text: a URL whose password-free form parses back to
// the same server, or a message; neither the message nor what is shown of a URL ever
// holds its password.

#include "tests/fuzz/fuzzinput.h"

#include "serverstore/serverurl.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));
    const ServerUrlParse parsed = parseServerUrl(text);
    if (!parsed.error.isEmpty())
        return 0;
    const ServerUrl &url = parsed.url;
    FUZZ_CHECK(!url.database.isEmpty(), "a URL without a database accepted");
    FUZZ_CHECK(url.port == -1 || (url.port >= 1 && url.port <= 65535), "a port out of range");

    const QString shown = url.withoutPassword();
    const ServerUrlParse again = parseServerUrl(shown);
    FUZZ_CHECK(again.error.isEmpty(), "a URL's own form is refused");
    FUZZ_CHECK(again.url.user == url.user && again.url.host == url.host && again.url.port == url.port
                   && again.url.database == url.database && again.url.parameters == url.parameters,
               "a URL's own form names another server");
    FUZZ_CHECK(again.url.password.isEmpty(), "a password kept in the shown form");
    // A password that is no part of the rest of the URL must not be shown.
    const QString rest = url.user + url.host + url.database + QString::number(url.port);
    if (url.password.size() >= 3 && !rest.contains(url.password)) {
        bool inParameters = false;
        for (const auto &parameter : url.parameters)
            inParameters = inParameters || (parameter.first + parameter.second).contains(url.password);
        if (!inParameters) {
            FUZZ_CHECK(!shown.contains(url.password), "the password in the shown URL");
            FUZZ_CHECK(!url.displayName().contains(url.password), "the password in the server's name");
        }
    }
    return 0;
}
