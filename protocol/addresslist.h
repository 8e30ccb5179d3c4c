// Lists of device addresses as people write them on a command line: "1,3,7-12".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// "1", "1,2,3", "7-9", "1,4,7-9": addresses 1 to 255, each at most once, in the order
// written; blanks around the numbers are allowed. False, with `*error` saying what is
// wrong in words that follow the option's name ("wants a whole number ...").
bool parseAddressList(const std::string &text, std::vector<std::uint8_t> *addresses, std::string *error);
