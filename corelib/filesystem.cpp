#include "filesystem.h"

#include "logmanager.h"

#include <boost/filesystem.hpp>

namespace fs = boost::filesystem;

bool FileSystem::setCurrentDirectory(const std::string &path)
{
    try {
        fs::current_path(fs::path(path));
        return true;
    } catch (const fs::filesystem_error &error) {
        ORVEL_LOG(Error, error.what());
        return false;
    }
}

bool FileSystem::directoryExists(const std::string &path)
{
    boost::system::error_code code;
    const fs::file_status status = fs::status(fs::path(path), code);
    return !code && fs::is_directory(status);
}

bool FileSystem::remove(const std::string &path)
{
    try {
        return fs::remove(fs::path(path));
    } catch (const fs::filesystem_error &error) {
        ORVEL_LOG(Error, error.what());
        return false;
    }
}

bool FileSystem::rename(const std::string &from, const std::string &to)
{
    try {
        fs::rename(fs::path(from), fs::path(to));
        return true;
    } catch (const fs::filesystem_error &error) {
        ORVEL_LOG(Error, error.what());
        return false;
    }
}

bool FileSystem::createDirectory(const std::string &path)
{
    try {
        return fs::create_directory(fs::path(path));
    } catch (const fs::filesystem_error &error) {
        ORVEL_LOG(Error, error.what());
        return false;
    }
}

bool FileSystem::ensureDirectory(const std::string &path, const std::string &base)
{
    std::vector<std::string> chain;
    for (fs::path entry(path); !entry.empty(); entry = entry.parent_path()) {
        chain.insert(chain.begin(), entry.string());
        if (entry == entry.parent_path())
            break;
    }
    for (const std::string &entry : chain) {
        const std::string level = normalizePath(base.empty() ? entry : combine(base, entry), true);
        if (!directoryExists(level) && !createDirectory(level))
            return false;
    }
    return true;
}

bool FileSystem::getFiles(const std::string &path, std::vector<std::string> &files)
{
    try {
        for (fs::directory_iterator it{fs::path(path)}, end; it != end; ++it) {
            if (!fs::is_directory(it->status()))
                files.push_back(it->path().filename().string());
        }
        return true;
    } catch (const fs::filesystem_error &error) {
        ORVEL_LOG(Error, error.what());
        return false;
    }
}

bool FileSystem::getLastWriteTime(const std::string &path, int64_t &time)
{
    try {
        time = static_cast<int64_t>(fs::last_write_time(fs::path(path)));
        return true;
    } catch (const fs::filesystem_error &error) {
        ORVEL_LOG(Error, error.what());
        return false;
    }
}

bool FileSystem::getSpace(const std::string &path, uint64_t &capacity, uint64_t &available)
{
    try {
        // Asked first, as not every system refuses the space of a path that
        // is not there (Wine answers for its drive).
        if (!fs::exists(fs::path(path)))
            throw fs::filesystem_error("cannot tell the space of a path that does not exist", fs::path(path),
                                       boost::system::errc::make_error_code(boost::system::errc::no_such_file_or_directory));
        const fs::space_info space = fs::space(fs::path(path));
        capacity = static_cast<uint64_t>(space.capacity);
        available = static_cast<uint64_t>(space.available);
        return true;
    } catch (const fs::filesystem_error &error) {
        ORVEL_LOG(Error, error.what());
        return false;
    }
}

bool FileSystem::isAbsolute(const std::string &path)
{
    return !path.empty() && fs::path(path).is_absolute();
}

std::string FileSystem::normalizePath(const std::string &path, bool trailingSeparator)
{
    if (path.empty())
        return path;
    std::string result = path;
    for (char &c : result) {
        if (c == '/' || c == '\\')
            c = Separator;
    }
    if (trailingSeparator && result.back() != Separator)
        result += Separator;
    return result;
}

std::string FileSystem::combine(const std::string &base, const std::string &part)
{
    if (part.empty())
        return normalizePath(base, false);
    const size_t first = part.find_first_not_of("/\\");
    return normalizePath(base, true) + (first == std::string::npos ? std::string() : part.substr(first));
}
