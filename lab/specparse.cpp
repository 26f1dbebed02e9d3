#include "specparse.h"

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace specparse {

bool parseInteger(const std::string& text, long long low, long long high, long long& value)
{
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < low || v > high)
        return false;
    value = v;
    return true;
}

bool parseSeconds(const std::string& text, double& value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    double v = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !(v >= 0) || v > 1e7)
        return false;
    value = v;
    return true;
}

std::vector<std::string> splitAtCommas(const std::string& text)
{
    std::vector<std::string> parts;
    std::stringstream stream(text);
    std::string part;
    while (std::getline(stream, part, ','))
        parts.push_back(part);
    if (!text.empty() && text.back() == ',')
        parts.push_back("");
    return parts;
}

bool splitKeyValue(const std::string& part, std::string& key, std::string& value)
{
    const std::size_t eq = part.find('=');
    if (eq == std::string::npos)
        return false;
    key = part.substr(0, eq);
    value = part.substr(eq + 1);
    return true;
}

}  // namespace specparse
