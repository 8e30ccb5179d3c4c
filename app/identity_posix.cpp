// Identity fixed at build time, for platforms whose executables have no version resource.

#include "app/identity.h"

#include "buildidentity.h"

namespace {

struct IdentityValue {
    const wchar_t *key;
    const wchar_t *value;
};

// The string block 0x040904E4 of the Windows version resource, with the same values.
const IdentityValue buildIdentity[] = {
    {L"ProductName", KHRONAR_PRODUCT_NAME},       {L"FileDescription", KHRONAR_FILE_DESCRIPTION},
    {L"InternalName", KHRONAR_INTERNAL_NAME},     {L"FileVersion", KHRONAR_FILE_VERSION},
    {L"ProductVersion", KHRONAR_PRODUCT_VERSION},
};

} // namespace

std::wstring identityString(const std::wstring & /*executablePath*/, const std::wstring &key, std::uint32_t translation)
{
    if (translation != IdentityTranslation)
        return std::wstring();
    for (const IdentityValue &entry : buildIdentity) {
        if (key == entry.key)
            return entry.value;
    }
    return std::wstring();
}
