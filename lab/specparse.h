// Parsing helpers shared by the command line's SPEC values (--printer, --server).
#pragma once

#include <string>
#include <vector>

namespace specparse {

// Parses a whole decimal integer within [low, high].
bool parseInteger(const std::string& text, long long low, long long high, long long& value);

// Parses a number of seconds (fractions allowed) within [0, 1e7].
bool parseSeconds(const std::string& text, double& value);

// Splits at every comma; an empty text gives no parts, a trailing comma an
// empty last part.
std::vector<std::string> splitAtCommas(const std::string& text);

// Splits "key=value" at its first '='; false when there is none.
bool splitKeyValue(const std::string& part, std::string& key, std::string& value);

}  // namespace specparse
