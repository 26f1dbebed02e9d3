#include "discoveryparams.h"

#include <algorithm>
#include <boost/algorithm/string.hpp>
#include <vector>

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

} // namespace

DiscoveryParams::DiscoveryParams(const std::string &text)
{
    if (!text.empty())
        parse(text);
}

void DiscoveryParams::parse(const std::string &text)
{
    values_.clear();
    std::vector<std::string> lines;
    boost::algorithm::split(lines, text, [](char c) { return c == '\n'; });
    for (const std::string &line : lines) {
        const size_t equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        const std::string key = boost::algorithm::trim_copy_if(line.substr(0, equals), isBlank);
        const std::string value = boost::algorithm::trim_copy_if(line.substr(equals + 1), isBlank);
        values_[key] = value;
    }
}

std::string DiscoveryParams::toString() const
{
    std::vector<std::string> keys;
    for (const auto &entry : values_)
        keys.push_back(entry.first);
    std::sort(keys.begin(), keys.end(), [](const std::string &a, const std::string &b) {
        if ((a == "guid") != (b == "guid"))
            return a == "guid";
        return a < b;
    });
    std::string text;
    for (const std::string &key : keys) {
        if (!text.empty())
            text += '\n';
        text += key + "=" + values_.at(key);
    }
    return text;
}

std::string DiscoveryParams::get(const std::string &key) const
{
    const auto found = values_.find(key);
    return found == values_.end() ? std::string() : found->second;
}

void DiscoveryParams::set(const std::string &key, const std::string &value)
{
    values_[key] = value;
}
