// Version resource reader on top of the Win32 version API.

#include "app/versionresource.h"

#include <windows.h>

#include <cstdio>
#include <vector>

std::wstring readVersionString(const std::wstring &filePath, const std::wstring &key, std::uint32_t translation)
{
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(filePath.c_str(), &ignored);
    if (size == 0)
        return std::wstring();

    std::vector<unsigned char> info(size);
    if (!GetFileVersionInfoW(filePath.c_str(), 0, size, info.data()))
        return std::wstring();

    wchar_t block[32];
    std::swprintf(block, sizeof block / sizeof block[0], L"\\StringFileInfo\\%08X\\",
                  static_cast<unsigned>(translation));
    const std::wstring query = block + key;

    std::wstring result;
    void *value = nullptr;
    UINT length = 0;
    // The reported length is not trusted: some resource compilers count the
    // terminating NUL and some do not, so the value is read up to its NUL.
    if (VerQueryValueW(info.data(), query.c_str(), &value, &length) && value != nullptr)
        result = static_cast<const wchar_t *>(value);
    return result;
}
