// AtomicFile's flush to the disk on POSIX systems.
#include "atomicfile.h"

#include <cerrno>
#include <unistd.h>

bool AtomicFile::syncToDisk(std::FILE *file)
{
    int result;
    do {
        result = ::fsync(::fileno(file));
    } while (result != 0 && errno == EINTR);
    return result == 0;
}
