// A small assertion helper for the Windows check program, which runs under Wine
// without Qt: named cases, failed conditions reported with their place and values.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace check {

// Runs `body` as the case `name` and prints whether it passed.
void run(const char *name, void (*body)());

// Records a failed condition of the running case; returns `condition`, so that a case
// can give up where going on makes no sense: `if (!CHECK(open)) return;`.
bool verify(bool condition, const char *expression, const char *file, int line,
            const std::string &detail = std::string());

// Ends the running case as skipped: what it checks cannot be seen here, for `reason`.
// The caller returns right after.
void skip(const char *reason);

// Cases run, failed and skipped so far.
int casesRun();
int casesFailed();
int casesSkipped();

// Printable forms of the values CHECK_EQUAL compares. Text goes out as ASCII with
// escapes, so that the console's code page does not matter.
std::string describe(const std::string &text);
std::string describe(const std::wstring &text);
std::string describe(const std::vector<std::uint8_t> &bytes);
template<typename Number> std::string describe(Number value)
{
    std::ostringstream out;
    out << +value;
    return out.str();
}

template<typename Actual, typename Expected>
bool verifyEqual(const Actual &actual, const Expected &expected, const char *actualText, const char *expectedText,
                 const char *file, int line)
{
    if (actual == expected)
        return true;
    const std::string expression = std::string(actualText) + " == " + expectedText;
    return verify(false, expression.c_str(), file, line,
                  "actual " + describe(actual) + ", expected " + describe(expected));
}

} // namespace check

#define CHECK(condition) ::check::verify((condition), #condition, __FILE__, __LINE__)
#define CHECK_EQUAL(actual, expected) ::check::verifyEqual((actual), (expected), #actual, #expected, __FILE__, __LINE__)
