// Reading string values from an executable's version resource (Windows only).
#pragma once

#include <cstdint>
#include <string>

// The value stored under `key` in the string block named by `translation`
// (language in the high 16 bits, code page in the low 16 bits) of the version
// resource of the executable at `filePath`. Empty when the file has no version
// resource, the resource cannot be loaded, or the block or key is missing.
std::wstring readVersionString(const std::wstring &filePath, const std::wstring &key, std::uint32_t translation);
