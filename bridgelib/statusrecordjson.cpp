#include "statusrecordjson.h"

#include "stringutils.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

// A recursive-descent parser over the text; every step checks the end of the
// text first, so that a truncated file is an error and never a read past it.
class StatusRecordJson::Parser {
public:
    explicit Parser(const std::string &text) : text_(text) {}

    bool parseDocument(StatusRecordJson &value, std::string &error)
    {
        skipSpace();
        bool parsed = parseValue(value, 0);
        if (parsed) {
            skipSpace();
            if (!atEnd())
                parsed = fail("text after the value");
        }
        if (!parsed)
            error = error_;
        return parsed;
    }

private:
    bool fail(const char *what)
    {
        if (error_.empty())
            error_ = position_ >= text_.size() ? formatString("%s at the end of the text (truncated?)", what)
                                               : formatString("%s at offset %zu", what, position_);
        return false;
    }

    bool atEnd() const { return position_ >= text_.size(); }
    char peek() const { return text_[position_]; }

    void skipSpace()
    {
        while (!atEnd() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r'))
            ++position_;
    }

    bool expectWord(const char *word)
    {
        for (const char *c = word; *c; ++c) {
            if (atEnd() || peek() != *c)
                return fail("unknown word");
            ++position_;
        }
        return true;
    }

    bool parseValue(StatusRecordJson &value, int depth)
    {
        if (atEnd())
            return fail("a value expected");
        switch (peek()) {
        case '{':
            return parseObject(value, depth + 1);
        case '[':
            return parseArray(value, depth + 1);
        case '"':
            value.type_ = Type::String;
            return parseString(value.string_);
        case 't':
            value.type_ = Type::Bool;
            value.boolean_ = true;
            return expectWord("true");
        case 'f':
            value.type_ = Type::Bool;
            value.boolean_ = false;
            return expectWord("false");
        case 'n':
            value.type_ = Type::Null;
            return expectWord("null");
        default:
            return parseNumber(value);
        }
    }

    bool parseObject(StatusRecordJson &value, int depth)
    {
        if (depth > MaxDepth)
            return fail("nesting too deep");
        value.type_ = Type::Object;
        ++position_;
        skipSpace();
        if (!atEnd() && peek() == '}') {
            ++position_;
            return true;
        }
        for (;;) {
            skipSpace();
            if (atEnd() || peek() != '"')
                return fail("a member name expected");
            std::string name;
            if (!parseString(name))
                return false;
            skipSpace();
            if (atEnd() || peek() != ':')
                return fail("':' expected");
            ++position_;
            skipSpace();
            StatusRecordJson member;
            if (!parseValue(member, depth))
                return false;
            value.members_.emplace_back(std::move(name), std::move(member));
            skipSpace();
            if (atEnd())
                return fail("',' or '}' expected");
            if (peek() == '}') {
                ++position_;
                return true;
            }
            if (peek() != ',')
                return fail("',' or '}' expected");
            ++position_;
        }
    }

    bool parseArray(StatusRecordJson &value, int depth)
    {
        if (depth > MaxDepth)
            return fail("nesting too deep");
        value.type_ = Type::Array;
        ++position_;
        skipSpace();
        if (!atEnd() && peek() == ']') {
            ++position_;
            return true;
        }
        for (;;) {
            skipSpace();
            StatusRecordJson item;
            if (!parseValue(item, depth))
                return false;
            value.items_.push_back(std::move(item));
            skipSpace();
            if (atEnd())
                return fail("',' or ']' expected");
            if (peek() == ']') {
                ++position_;
                return true;
            }
            if (peek() != ',')
                return fail("',' or ']' expected");
            ++position_;
        }
    }

    bool parseHex4(unsigned &code)
    {
        code = 0;
        for (int i = 0; i < 4; ++i, ++position_) {
            if (atEnd())
                return fail("a \\u escape cut short");
            const char c = peek();
            code <<= 4;
            if (c >= '0' && c <= '9')
                code |= static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f')
                code |= static_cast<unsigned>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                code |= static_cast<unsigned>(c - 'A' + 10);
            else
                return fail("a bad \\u escape");
        }
        return true;
    }

    static void appendUtf8(std::string &out, unsigned code)
    {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    bool parseString(std::string &out)
    {
        ++position_;  // the opening quotation mark
        for (;;) {
            if (atEnd())
                return fail("an unterminated string");
            const char c = peek();
            ++position_;
            if (c == '"')
                return true;
            if (static_cast<unsigned char>(c) < 0x20) {
                --position_;
                return fail("a control character in a string");
            }
            if (c != '\\') {
                out += c;
                continue;
            }
            if (atEnd())
                return fail("an unterminated string");
            const char escape = peek();
            ++position_;
            switch (escape) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                unsigned code = 0;
                if (!parseHex4(code))
                    return false;
                if (code >= 0xD800 && code < 0xDC00) {
                    unsigned low = 0;
                    if (text_.compare(position_, 2, "\\u") != 0)
                        return fail("a lone surrogate");
                    position_ += 2;
                    if (!parseHex4(low))
                        return false;
                    if (low < 0xDC00 || low > 0xDFFF)
                        return fail("a lone surrogate");
                    code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                } else if (code >= 0xDC00 && code <= 0xDFFF) {
                    return fail("a lone surrogate");
                }
                appendUtf8(out, code);
                break;
            }
            default:
                --position_;
                return fail("a bad escape");
            }
        }
    }

    bool parseNumber(StatusRecordJson &value)
    {
        // The JSON grammar: -? (0 | [1-9][0-9]*) (. [0-9]+)? ([eE] [+-]? [0-9]+)?
        const size_t begin = position_;
        auto digits = [&] {
            const size_t first = position_;
            while (!atEnd() && peek() >= '0' && peek() <= '9')
                ++position_;
            return position_ > first;
        };
        if (!atEnd() && peek() == '-')
            ++position_;
        if (atEnd())
            return fail("a value expected");
        if (peek() == '0')
            ++position_;
        else if (!digits())
            return fail("a value expected");
        bool integral = true;
        if (!atEnd() && peek() == '.') {
            ++position_;
            integral = false;
            if (!digits())
                return fail("digits expected after '.'");
        }
        if (!atEnd() && (peek() == 'e' || peek() == 'E')) {
            ++position_;
            integral = false;
            if (!atEnd() && (peek() == '+' || peek() == '-'))
                ++position_;
            if (!digits())
                return fail("digits expected in the exponent");
        }
        const std::string number = text_.substr(begin, position_ - begin);
        value.type_ = Type::Number;
        value.integral_ = false;
        if (integral) {
            errno = 0;
            const long long parsed = std::strtoll(number.c_str(), nullptr, 10);
            if (errno != ERANGE) {
                value.integral_ = true;
                value.integer_ = parsed;
            }
        }
        return true;
    }

    const std::string &text_;
    size_t position_ = 0;
    std::string error_;
};

bool StatusRecordJson::parse(const std::string &text, StatusRecordJson &value, std::string &error)
{
    StatusRecordJson parsed;
    if (!Parser(text).parseDocument(parsed, error))
        return false;
    value = std::move(parsed);
    return true;
}

std::string StatusRecordJson::quote(const std::string &text)
{
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20)
                out += formatString("\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
            else
                out += c;
        }
    }
    return out + "\"";
}

const StatusRecordJson *StatusRecordJson::member(const std::string &name) const
{
    for (auto it = members_.rbegin(); it != members_.rend(); ++it) {
        if (it->first == name)
            return &it->second;
    }
    return nullptr;
}
