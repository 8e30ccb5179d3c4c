// Identity from the executable's own version resource.

#include "identity.h"
#include "versionresource.h"

std::wstring identityString(const std::wstring &executablePath, const std::wstring &key,
                            std::uint32_t translation)
{
    return readVersionString(executablePath, key, translation);
}
