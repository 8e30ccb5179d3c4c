// The application's identity (product and internal name) as this platform supplies it.
#pragma once

#include <cstdint>
#include <string>

// The string block the program reads its identity from: language 0x0409, code page 0x04E4.
constexpr std::uint32_t IdentityTranslation = 0x040904E4;

// The identity value `key` ("ProductName", "InternalName", ...) of the executable at
// `executablePath`, looked up in the string block `translation`. On Windows this reads
// the executable's version resource; elsewhere, where executables carry none, it
// answers from the values fixed at build time, which stand in the block 0x040904E4
// only. Empty when the block or the key is missing.
std::wstring identityString(const std::wstring &executablePath, const std::wstring &key, std::uint32_t translation);
