// Splitting of the port list given in the environment.

#include "portlist/envports.h"

namespace {

bool startsWithAt(const std::string &text, std::string::size_type at, const char *prefix)
{
    return text.compare(at, std::char_traits<char>::length(prefix), prefix) == 0;
}

// Where the entry that starts at `start` ends. A network port's URL holds colons
// of its own (HOST:PORT, an IPv6 literal): its entry runs past them to the colon
// that follows the port number.
std::string::size_type entryEnd(const std::string &text, std::string::size_type start)
{
    std::string::size_type hostStart;
    if (startsWithAt(text, start, "tcp://"))
        hostStart = start + 6;
    else if (startsWithAt(text, start, "mbtcp://"))
        hostStart = start + 8;
    else
        return text.find(':', start);
    std::string::size_type portColon = hostStart;
    if (hostStart < text.size() && text[hostStart] == '[') {
        portColon = text.find(']', hostStart);
        if (portColon == std::string::npos)
            return std::string::npos;
    }
    portColon = text.find(':', portColon);
    if (portColon == std::string::npos)
        return std::string::npos;
    return text.find(':', portColon + 1);
}

} // namespace

std::vector<std::string> splitPortPaths(const char *list)
{
    std::vector<std::string> paths;
    if (list == nullptr)
        return paths;
    const std::string text(list);
    std::string::size_type start = 0;
    while (start <= text.size()) {
        std::string::size_type end = entryEnd(text, start);
        if (end == std::string::npos)
            end = text.size();
        if (end > start)
            paths.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return paths;
}
