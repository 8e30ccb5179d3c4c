// Where khronar-fetch keeps a device's log.

#include "fetch/logtarget.h"

#include "serverstore/serverurl.h"

LogLocation logLocationFor(const FetchOptions &options, std::uint8_t address)
{
    if (fetchesToServer(options))
        return LogLocation::serverDevice(parseServerUrl(options.db).url, pathForAddress(options.device, address));
    return LogLocation::file(pathForAddress(options.db, address));
}

OpenLogSettings fetchLogSettings(int lockWaitSeconds, const std::function<bool()> &cancelled)
{
    OpenLogSettings settings;
    settings.program = QStringLiteral("khronar-fetch");
    settings.lockWait = std::chrono::seconds(lockWaitSeconds);
    settings.cancelled = cancelled;
    return settings;
}
