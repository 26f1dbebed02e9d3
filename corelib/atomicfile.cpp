#include "atomicfile.h"

#include "filesystem.h"
#include "platform.h"
#include "stringutils.h"

#include <boost/filesystem.hpp>

AtomicFile::AtomicFile(std::string path, std::string temporaryPath, Durability durability)
    : path_(std::move(path)),
      temporaryPath_(std::move(temporaryPath)),
      durability_(durability),
      file_(std::fopen(temporaryPath_.c_str(), "wb")),
      opened_(file_ != nullptr)
{
}

AtomicFile::~AtomicFile()
{
    try {
        discard();
    } catch (...) {
        // Only the log line of a failed removal can throw (no memory for its text).
    }
}

bool AtomicFile::write(const void *bytes, size_t size)
{
    if (!file_ || failed_ || std::fwrite(bytes, 1, size, file_.get()) != size) {
        failed_ = true;
        return false;
    }
    return true;
}

AtomicFile::Result AtomicFile::commit()
{
    if (!file_)
        return Result::NotWritten;
    // A full disk may show only when the last of the content leaves the buffers.
    bool written = !failed_ && std::fflush(file_.get()) == 0 && !std::ferror(file_.get());
    if (written && durability_ == Durability::Synced)
        written = syncToDisk(file_.get());
    written = std::fclose(file_.release()) == 0 && written;
    if (!written)
        return Result::NotWritten;
    if (!FileSystem::rename(temporaryPath_, path_))
        return Result::NotRenamed;
    settled_ = true;
    return Result::Replaced;
}

bool AtomicFile::discard()
{
    if (settled_)
        return true;
    settled_ = true;
    file_.reset();
    if (!opened_ || FileSystem::remove(temporaryPath_))
        return true;
    // FileSystem::remove has logged why it failed; a file already gone is no failure.
    boost::system::error_code code;
    return !boost::filesystem::exists(boost::filesystem::path(temporaryPath_), code) && !code;
}

bool AtomicFile::replace(const std::string &path, const std::string &text, Durability durability)
{
    AtomicFile file(path, formatString("%s.%d.tmp", path.c_str(), Platform::instance().getProcessId()), durability);
    return file.write(text.data(), text.size()) && file.commit() == Result::Replaced;
}
