#pragma once

#include <stdexcept>
#include <string>

// The library's one exception type, raised for configuration errors and
// impossible requests and caught at a program's top level. It carries where it
// was raised: the source file, the line and the function's full signature.
class Exception : public std::exception {
public:
    Exception(const std::string &message, const char *file, int line, const char *function);

    const char *what() const noexcept override { return message.c_str(); }

    std::string message;
    std::string file;
    int line;
    std::string function;
};

// Raises an Exception with the message and the position of the statement.
#define THROW_EXCEPTION(message) throw Exception((message), __FILE__, __LINE__, __PRETTY_FUNCTION__)
