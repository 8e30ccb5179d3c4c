// The server URL parser with any text: a URL whose password-free form parses back to
// the same server, or a message; what is shown of a URL never depends on its password.

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
    // What is shown does not depend on the password at all.
    ServerUrl otherPassword = url;
    otherPassword.password = url.password + QStringLiteral("x");
    FUZZ_CHECK(otherPassword.withoutPassword() == shown, "the shown URL depends on the password");
    FUZZ_CHECK(otherPassword.displayName() == url.displayName(), "the server's name depends on the password");
    return 0;
}
