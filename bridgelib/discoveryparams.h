#pragma once

#include "object.h"

#include <string>
#include <unordered_map>

// The key=value text some discovery datagrams carry: lines separated by one
// line feed, keys and values trimmed of white space, a later key replacing an
// earlier one. Keys in use: "guid" and "gateway_port".
class DiscoveryParams : public Object {
public:
    explicit DiscoveryParams(const std::string &text = std::string());

    void parse(const std::string &text);
    // The lines, "guid" first and the others in key order, with no line feed
    // after the last.
    std::string toString() const;
    // The value, or "" when the key is absent.
    std::string get(const std::string &key) const;
    void set(const std::string &key, const std::string &value);

private:
    std::unordered_map<std::string, std::string> values_;
};
