#include "exception.h"

Exception::Exception(const std::string &message, const char *file, int line, const char *function)
    : message(message), file(file ? file : ""), line(line), function(function ? function : "")
{
}
