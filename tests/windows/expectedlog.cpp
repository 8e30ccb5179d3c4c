// A reader for the simulator's --log JSON: just enough JSON for that format (objects,
// arrays, strings, whole numbers), and the walk that gives each record its index.

#include "tests/windows/expectedlog.h"

#include <cstdio>
#include <map>
#include <memory>

namespace {

// The value of a hexadecimal digit, or -1.
int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

struct JsonValue {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    bool boolean = false;
    long long number = 0;
    std::string text;
    std::vector<JsonValue> items;
    std::map<std::string, JsonValue> members;
};

class JsonReader
{
public:
    explicit JsonReader(const std::string &text) : text(text) {}

    bool document(JsonValue *value)
    {
        if (!parseValue(value, 0))
            return false;
        skipBlanks();
        return at == text.size() || fail("text after the document");
    }

    std::string error;

private:
    static constexpr int MaxDepth = 32;

    bool fail(const std::string &what)
    {
        if (error.empty())
            error = "offset " + std::to_string(at) + ": " + what;
        return false;
    }

    void skipBlanks()
    {
        while (at < text.size() && (text[at] == ' ' || text[at] == '\t' || text[at] == '\n' || text[at] == '\r'))
            ++at;
    }

    bool literal(const char *word)
    {
        const std::string expected(word);
        if (text.compare(at, expected.size(), expected) != 0)
            return fail("unknown word");
        at += expected.size();
        return true;
    }

    bool parseValue(JsonValue *value, int depth)
    {
        if (depth > MaxDepth)
            return fail("nested too deep");
        skipBlanks();
        if (at >= text.size())
            return fail("value expected");
        const char c = text[at];
        if (c == '{')
            return parseObject(value, depth);
        if (c == '[')
            return parseArray(value, depth);
        if (c == '"') {
            value->kind = JsonValue::String;
            return parseString(&value->text);
        }
        if (c == '-' || (c >= '0' && c <= '9'))
            return parseNumber(value);
        if (c == 't' || c == 'f') {
            value->kind = JsonValue::Bool;
            value->boolean = c == 't';
            return literal(c == 't' ? "true" : "false");
        }
        if (c == 'n')
            return literal("null");
        return fail("value expected");
    }

    bool parseNumber(JsonValue *value)
    {
        value->kind = JsonValue::Number;
        const bool negative = text[at] == '-';
        if (negative)
            ++at;
        if (at >= text.size() || text[at] < '0' || text[at] > '9')
            return fail("digit expected");
        long long number = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            number = number * 10 + (text[at++] - '0');
            if (number > 0xFFFFFFFFFFLL)
                return fail("number too large");
        }
        if (at < text.size() && (text[at] == '.' || text[at] == 'e' || text[at] == 'E'))
            return fail("only whole numbers are read");
        value->number = negative ? -number : number;
        return true;
    }

    static void appendUtf8(std::string *out, std::uint32_t codePoint)
    {
        if (codePoint < 0x80) {
            *out += static_cast<char>(codePoint);
        } else if (codePoint < 0x800) {
            *out += static_cast<char>(0xC0 | (codePoint >> 6));
            *out += static_cast<char>(0x80 | (codePoint & 0x3F));
        } else if (codePoint < 0x10000) {
            *out += static_cast<char>(0xE0 | (codePoint >> 12));
            *out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (codePoint & 0x3F));
        } else {
            *out += static_cast<char>(0xF0 | (codePoint >> 18));
            *out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
            *out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
            *out += static_cast<char>(0x80 | (codePoint & 0x3F));
        }
    }

    bool parseHex4(std::uint32_t *unit)
    {
        *unit = 0;
        for (int i = 0; i < 4; ++i, ++at) {
            if (at >= text.size())
                return fail("short \\u escape");
            const int digit = hexDigit(text[at]);
            if (digit < 0)
                return fail("bad \\u escape");
            *unit = *unit * 16 + static_cast<std::uint32_t>(digit);
        }
        return true;
    }

    bool parseString(std::string *out)
    {
        ++at; // the opening quote
        out->clear();
        while (at < text.size()) {
            const char c = text[at++];
            if (c == '"')
                return true;
            if (static_cast<unsigned char>(c) < 0x20)
                return fail("control character in a string");
            if (c != '\\') {
                *out += c;
                continue;
            }
            if (at >= text.size())
                break;
            const char escaped = text[at++];
            switch (escaped) {
            case '"':
            case '\\':
            case '/':
                *out += escaped;
                break;
            case 'b':
                *out += '\b';
                break;
            case 'f':
                *out += '\f';
                break;
            case 'n':
                *out += '\n';
                break;
            case 'r':
                *out += '\r';
                break;
            case 't':
                *out += '\t';
                break;
            case 'u': {
                std::uint32_t unit = 0;
                if (!parseHex4(&unit))
                    return false;
                if (unit >= 0xD800 && unit < 0xDC00) {
                    std::uint32_t low = 0;
                    if (text.compare(at, 2, "\\u") != 0)
                        return fail("lone surrogate");
                    at += 2;
                    if (!parseHex4(&low) || low < 0xDC00 || low > 0xDFFF)
                        return fail("lone surrogate");
                    unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                } else if (unit >= 0xDC00 && unit < 0xE000) {
                    return fail("lone surrogate");
                }
                appendUtf8(out, unit);
                break;
            }
            default:
                return fail("unknown escape");
            }
        }
        return fail("unterminated string");
    }

    // Skips blanks and takes `c` if it comes next.
    bool consume(char c)
    {
        skipBlanks();
        if (at >= text.size() || text[at] != c)
            return false;
        ++at;
        return true;
    }

    bool parseArray(JsonValue *value, int depth)
    {
        value->kind = JsonValue::Array;
        ++at;
        if (consume(']'))
            return true;
        do {
            value->items.emplace_back();
            if (!parseValue(&value->items.back(), depth + 1))
                return false;
        } while (consume(','));
        return consume(']') || fail("',' or ']' expected");
    }

    bool parseObject(JsonValue *value, int depth)
    {
        value->kind = JsonValue::Object;
        ++at;
        if (consume('}'))
            return true;
        do {
            skipBlanks();
            std::string key;
            if (at >= text.size() || text[at] != '"' || !parseString(&key))
                return fail("member name expected");
            if (!consume(':'))
                return fail("':' expected");
            if (value->members.count(key) != 0)
                return fail("member \"" + key + "\" twice");
            if (!parseValue(&value->members[key], depth + 1))
                return false;
        } while (consume(','));
        return consume('}') || fail("',' or '}' expected");
    }

    const std::string &text;
    std::size_t at = 0;
};

// The members of `object` the format allows; anything else is refused by name.
bool onlyKnownMembers(const JsonValue &object, const std::vector<std::string> &known, const std::string &place,
                      std::string *error)
{
    for (const auto &member : object.members) {
        bool found = false;
        for (const std::string &name : known)
            found = found || member.first == name;
        if (!found) {
            *error = place + "." + member.first + ": unknown key";
            return false;
        }
    }
    return true;
}

// A whole number in [low, high] under `name`, or `fallback` when it is absent.
bool numberMember(const JsonValue &object, const char *name, long long low, long long high, long long fallback,
                  const std::string &place, long long *value, std::string *error)
{
    const auto found = object.members.find(name);
    if (found == object.members.end()) {
        *value = fallback;
        return true;
    }
    if (found->second.kind != JsonValue::Number || found->second.number < low || found->second.number > high) {
        *error = place + "." + name + ": a whole number from " + std::to_string(low) + " to " + std::to_string(high)
            + " expected";
        return false;
    }
    *value = found->second.number;
    return true;
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian calendar).
long long daysFromCivil(long long year, unsigned month, unsigned day)
{
    year -= month <= 2 ? 1 : 0;
    const long long era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<long long>(dayOfEra) - 719468;
}

// "YYYY-MM-DD HH:MM:SS" on the device clock, as seconds since 2000-01-01.
bool deviceTimeFromText(const std::string &text, std::uint32_t *seconds)
{
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%4u-%2u-%2u %2u:%2u:%2u%c", &year, &month, &day, &hour, &minute, &second, &tail) != 6
        || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59)
        return false;
    const long long total = (daysFromCivil(year, month, day) - daysFromCivil(2000, 1, 1)) * 86400LL + hour * 3600LL
        + minute * 60LL + second;
    if (total < 0 || total > 0xFFFFFFFFLL)
        return false;
    *seconds = static_cast<std::uint32_t>(total);
    return true;
}

bool hexBytes(const std::string &text, std::vector<std::uint8_t> *bytes)
{
    bytes->clear();
    int high = -1;
    for (const char c : text) {
        if (c == ' ')
            continue;
        const int digit = hexDigit(c);
        if (digit < 0)
            return false;
        if (high < 0) {
            high = digit;
        } else {
            bytes->push_back(static_cast<std::uint8_t>(high * 16 + digit));
            high = -1;
        }
    }
    return high < 0;
}

bool readCaptions(const JsonValue &captions, ExpectedLog *log, std::string *error)
{
    if (captions.kind != JsonValue::Array) {
        *error = "captions: an array expected";
        return false;
    }
    for (std::size_t i = 0; i < captions.items.size(); ++i) {
        const JsonValue &caption = captions.items[i];
        const std::string place = "captions[" + std::to_string(i) + "]";
        if (caption.kind != JsonValue::Object) {
            *error = place + ": an object expected";
            return false;
        }
        long long eventId = 0;
        if (!onlyKnownMembers(caption, {"event", "text"}, place, error)
            || !numberMember(caption, "event", 0, 0xFFFFFFFFLL, -1, place, &eventId, error))
            return false;
        const auto text = caption.members.find("text");
        if (eventId < 0 || text == caption.members.end() || text->second.kind != JsonValue::String) {
            *error = place + ": event and text expected";
            return false;
        }
        log->captions.push_back(ExpectedCaption{static_cast<std::uint32_t>(eventId), text->second.text});
    }
    return true;
}

bool readRecords(const JsonValue &records, ExpectedLog *log, std::string *error)
{
    if (records.kind != JsonValue::Array) {
        *error = "records: an array expected";
        return false;
    }
    std::uint32_t position = log->firstIndex;
    for (std::size_t i = 0; i < records.items.size(); ++i) {
        const JsonValue &record = records.items[i];
        const std::string place = "records[" + std::to_string(i) + "]";
        if (record.kind != JsonValue::Object) {
            *error = place + ": an object expected";
            return false;
        }
        long long eventId = 0, type = 0, count = 0, gap = 0, time = 0;
        if (!onlyKnownMembers(record, {"event", "type", "time", "data", "count", "gap"}, place, error)
            || !numberMember(record, "event", 0, 0xFFFFFFFFLL, -1, place, &eventId, error)
            || !numberMember(record, "type", 0, 255, 0, place, &type, error)
            || !numberMember(record, "count", 1, 255, 1, place, &count, error)
            || !numberMember(record, "gap", 0, 0xFFFFFFFFLL, 0, place, &gap, error))
            return false;
        if (eventId < 0) {
            *error = place + ".event: missing";
            return false;
        }
        ExpectedRecord expected{0, static_cast<std::uint8_t>(count),    static_cast<std::uint8_t>(type),
                                0, static_cast<std::uint32_t>(eventId), {}};
        const auto timeMember = record.members.find("time");
        if (timeMember != record.members.end() && timeMember->second.kind == JsonValue::String) {
            if (!deviceTimeFromText(timeMember->second.text, &expected.time)) {
                *error = place + ".time: \"YYYY-MM-DD HH:MM:SS\" expected";
                return false;
            }
        } else {
            if (!numberMember(record, "time", 0, 0xFFFFFFFFLL, 0, place, &time, error))
                return false;
            expected.time = static_cast<std::uint32_t>(time);
        }
        const auto data = record.members.find("data");
        if (data != record.members.end()
            && (data->second.kind != JsonValue::String || !hexBytes(data->second.text, &expected.data)
                || expected.data.size() > 236)) {
            *error = place + ".data: at most 236 bytes in hexadecimal expected";
            return false;
        }
        // Positions wrap at 2^32, as on the device.
        position += static_cast<std::uint32_t>(gap);
        expected.index = position;
        position += expected.count;
        log->records.push_back(expected);
    }
    log->endIndex = position;
    return true;
}

} // namespace

bool parseExpectedLog(const std::string &json, ExpectedLog *log, std::string *error)
{
    *log = ExpectedLog();
    error->clear();
    JsonValue document;
    JsonReader reader(json);
    if (!reader.document(&document)) {
        *error = reader.error;
        return false;
    }
    if (document.kind != JsonValue::Object) {
        *error = "an object expected";
        return false;
    }
    long long firstIndex = 0;
    if (!onlyKnownMembers(document, {"firstIndex", "captions", "records"}, "log", error)
        || !numberMember(document, "firstIndex", 0, 0xFFFFFFFFLL, 0, "log", &firstIndex, error))
        return false;
    log->firstIndex = static_cast<std::uint32_t>(firstIndex);
    log->endIndex = log->firstIndex;
    const auto captions = document.members.find("captions");
    if (captions != document.members.end() && !readCaptions(captions->second, log, error))
        return false;
    const auto records = document.members.find("records");
    return records == document.members.end() || readRecords(records->second, log, error);
}

bool readExpectedLog(const std::string &path, ExpectedLog *log, std::string *error)
{
    std::unique_ptr<std::FILE, int (*)(std::FILE *)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file) {
        *error = path + ": cannot be opened";
        return false;
    }
    std::string json;
    char chunk[4096];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file.get())) > 0)
        json.append(chunk, got);
    if (std::ferror(file.get())) {
        *error = path + ": cannot be read";
        return false;
    }
    return parseExpectedLog(json, log, error);
}
