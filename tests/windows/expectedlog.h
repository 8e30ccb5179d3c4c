// What the device simulator serves, read from the same --log file it was started with:
// the captions and the records with the index positions they occupy.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ExpectedCaption {
    std::uint32_t eventId;
    std::string text; // UTF-8, as the file holds it
};

struct ExpectedRecord {
    std::uint32_t index;
    std::uint8_t count;
    std::uint8_t type;
    std::uint32_t time; // seconds since 2000-01-01 on the device clock
    std::uint32_t eventId;
    std::vector<std::uint8_t> data;
};

struct ExpectedLog {
    std::uint32_t firstIndex = 0;
    std::uint32_t endIndex = 0; // one past the last position, modulo 2^32
    std::vector<ExpectedCaption> captions;
    std::vector<ExpectedRecord> records;
};

// Parses the text of a --log file. False, with `error` naming the place, for text
// that is no such file or that this reader does not know: the expectations must not
// silently differ from what the simulator serves.
bool parseExpectedLog(const std::string &json, ExpectedLog *log, std::string *error);

// Reads and parses the --log file at `path`.
bool readExpectedLog(const std::string &path, ExpectedLog *log, std::string *error);
