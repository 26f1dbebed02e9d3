#include "servicetesttools.h"

#include <boost/filesystem.hpp>

namespace servicetest {

size_t threadCount()
{
    size_t count = 0;
    boost::system::error_code error;
    for (boost::filesystem::directory_iterator it("/proc/self/task", error), end; !error && it != end;
         it.increment(error))
        ++count;
    return count;
}

} // namespace servicetest
