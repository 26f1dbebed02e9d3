#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// A JSON value as the status record needs it: null, true/false, numbers,
// strings, arrays and objects, with a parser for the record's reader and the
// string quoting of its writer. The parser takes any text and never throws:
// a malformed, truncated or too deeply nested text is an error with a
// message that says where. Numbers keep their exact value when they are
// integers in the range of int64_t. A plain value type; no thread concerns.
class StatusRecordJson {
public:
    enum class Type { Null, Bool, Number, String, Array, Object };

    // Nesting beyond this depth is refused (a hostile file must not exhaust
    // the stack).
    static constexpr int MaxDepth = 32;

    // Parses the whole of `text` (white space around the value allowed);
    // false with `error` set when it is not one JSON value.
    static bool parse(const std::string &text, StatusRecordJson &value, std::string &error);
    // `text` as a JSON string literal, quotes included: quotation marks,
    // backslashes and control characters escaped; other bytes kept as they are.
    static std::string quote(const std::string &text);

    Type type() const { return type_; }
    bool isNull() const { return type_ == Type::Null; }
    bool isBool() const { return type_ == Type::Bool; }
    bool isString() const { return type_ == Type::String; }
    bool isArray() const { return type_ == Type::Array; }
    bool isObject() const { return type_ == Type::Object; }
    // A number that is an integer in the range of int64_t.
    bool isInteger() const { return type_ == Type::Number && integral_; }

    bool boolean() const { return boolean_; }
    int64_t integer() const { return integer_; }
    const std::string &string() const { return string_; }
    const std::vector<StatusRecordJson> &items() const { return items_; }
    // The member called `name` of an object, or null when there is none (or
    // this is not an object).
    const StatusRecordJson *member(const std::string &name) const;

private:
    class Parser;

    Type type_ = Type::Null;
    bool boolean_ = false;
    bool integral_ = false;
    int64_t integer_ = 0;
    std::string string_;
    std::vector<StatusRecordJson> items_;
    // In the text's order; of a repeated name the last one counts.
    std::vector<std::pair<std::string, StatusRecordJson>> members_;
};
