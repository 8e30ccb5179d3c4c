// The assertion helper's bookkeeping and output: one line per case, one more per
// failed condition.

#include "tests/windows/check.h"

#include <cstdio>

namespace check {

namespace {

int runCount = 0;
int failedCount = 0;
int skippedCount = 0;
bool currentFailed = false;
const char *skipReason = nullptr;

void appendEscaped(std::string &out, std::uint32_t codePoint)
{
    char escape[16];
    if (codePoint >= 0x20 && codePoint < 0x7F && codePoint != '\\' && codePoint != '"')
        out += static_cast<char>(codePoint);
    else {
        std::snprintf(escape, sizeof escape, codePoint > 0xFFFF ? "\\U%08X" : "\\u%04X",
                      static_cast<unsigned>(codePoint));
        out += escape;
    }
}

} // namespace

void run(const char *name, void (*body)())
{
    ++runCount;
    currentFailed = false;
    skipReason = nullptr;
    std::printf("RUN  %s\n", name);
    std::fflush(stdout);
    body();
    if (currentFailed) {
        ++failedCount;
        std::printf("FAIL %s\n", name);
    } else if (skipReason != nullptr) {
        ++skippedCount;
        std::printf("SKIP %s: %s\n", name, skipReason);
    } else {
        std::printf("PASS %s\n", name);
    }
    std::fflush(stdout);
}

bool verify(bool condition, const char *expression, const char *file, int line, const std::string &detail)
{
    if (condition)
        return true;
    currentFailed = true;
    std::printf("  %s:%d: %s%s%s\n", file, line, expression, detail.empty() ? "" : ": ", detail.c_str());
    std::fflush(stdout);
    return false;
}

void skip(const char *reason)
{
    skipReason = reason;
}

int casesRun()
{
    return runCount;
}

int casesFailed()
{
    return failedCount;
}

int casesSkipped()
{
    return skippedCount;
}

std::string describe(const std::string &text)
{
    // Bytes above 0x7F are shown one by one: the text may be in any 8-bit code page.
    std::string out = "\"";
    char escape[8];
    for (const char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x80) {
            appendEscaped(out, byte);
        } else {
            std::snprintf(escape, sizeof escape, "\\x%02X", byte);
            out += escape;
        }
    }
    return out + "\"";
}

std::string describe(const std::wstring &text)
{
    std::string out = "L\"";
    for (const wchar_t c : text)
        appendEscaped(out, static_cast<std::uint32_t>(c));
    return out + "\"";
}

std::string describe(const std::vector<std::uint8_t> &bytes)
{
    std::string out = "[";
    char hex[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : " %02X", bytes[i]);
        out += hex;
    }
    return out + "]";
}

} // namespace check
