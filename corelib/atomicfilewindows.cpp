// AtomicFile's flush to the disk on Windows.
#include "atomicfile.h"

#include <io.h>

bool AtomicFile::syncToDisk(std::FILE *file)
{
    return ::_commit(::_fileno(file)) == 0;
}
