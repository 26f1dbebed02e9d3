#pragma once

// Test helper: a multi-line text as its lines, for comparing line by line.

#include <sstream>
#include <string>
#include <vector>

inline std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        result.push_back(line);
    return result;
}
