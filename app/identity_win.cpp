// Identity from the executable's own version resource.

#include "app/identity.h"
#include "app/versionresource.h"

std::wstring identityString(const std::wstring &executablePath, const std::wstring &key, std::uint32_t translation)
{
    return readVersionString(executablePath, key, translation);
}
