// The address list reader shared by khronar-fetch and the device simulator.

#include "protocol/addresslist.h"

#include <cctype>

namespace {

std::string trimmed(const std::string &text)
{
    std::size_t begin = 0, end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin])))
        ++begin;
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1])))
        --end;
    return text.substr(begin, end - begin);
}

bool addressNumber(const std::string &text, int *value)
{
    const std::string digits = trimmed(text);
    if (digits.empty() || digits.size() > 3)
        return false;
    int number = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return false;
        number = number * 10 + (c - '0');
    }
    *value = number;
    return number >= 1 && number <= 255;
}

} // namespace

bool parseAddressList(const std::string &text, std::vector<std::uint8_t> *addresses, std::string *error)
{
    std::vector<std::uint8_t> parsed;
    bool taken[256] = {};
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        const std::string part = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        const std::size_t dash = part.find('-');
        int low = 0, high = 0;
        const bool ok = dash == std::string::npos
            ? addressNumber(part, &low) && addressNumber(part, &high)
            : addressNumber(part.substr(0, dash), &low) && addressNumber(part.substr(dash + 1), &high);
        if (!ok || low > high) {
            *error = "wants a whole number from 1 to 255, or a list such as 1,3,7-9, not \"" + text + "\"";
            return false;
        }
        for (int address = low; address <= high; ++address) {
            if (taken[address]) {
                *error = "names device " + std::to_string(address) + " twice";
                return false;
            }
            taken[address] = true;
            parsed.push_back(std::uint8_t(address));
        }
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    *addresses = parsed;
    return true;
}
