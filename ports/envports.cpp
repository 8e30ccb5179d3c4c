// Splitting of the port list given in the environment.

#include "ports/envports.h"

std::vector<std::string> splitPortPaths(const char *list)
{
    std::vector<std::string> paths;
    if (list == nullptr)
        return paths;
    const std::string text(list);
    std::string::size_type start = 0;
    while (start <= text.size()) {
        std::string::size_type end = text.find(':', start);
        if (end == std::string::npos)
            end = text.size();
        if (end > start)
            paths.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return paths;
}
