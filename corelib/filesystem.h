#pragma once

#include <cstdint>
#include <string>
#include <vector>

// File-system helpers over Boost.Filesystem. They never throw: a failure is a
// false result and one Error line in the log that names the operation and the
// path. Paths built here use the system's separator (Separator). No state;
// any thread may call them.
class FileSystem {
public:
    // The separator of the paths that normalizePath and combine make, and
    // the separator of lists of paths in environment variables.
#ifdef _WIN32
    static constexpr char Separator = '\\';
    static constexpr char ListSeparator = ';';
#else
    static constexpr char Separator = '/';
    static constexpr char ListSeparator = ':';
#endif

    static bool setCurrentDirectory(const std::string &path);
    // True for a path that names its place without the current directory
    // (on Windows with its drive or share).
    static bool isAbsolute(const std::string &path);
    // True when `path` exists and is a directory.
    static bool directoryExists(const std::string &path);
    // True when a file or empty directory was deleted; false, silently, when
    // nothing existed at `path`.
    static bool remove(const std::string &path);
    static bool rename(const std::string &from, const std::string &to);
    // True when the directory was created; false, silently, when it existed.
    static bool createDirectory(const std::string &path);
    // Creates every missing level of `path` (each taken relative to `base`
    // when `base` is given), outermost first.
    static bool ensureDirectory(const std::string &path, const std::string &base = std::string());
    // Appends the names (last component only) of the entries of `path` that are
    // not directories, in listing order.
    static bool getFiles(const std::string &path, std::vector<std::string> &files);
    // Seconds since 1970-01-01 UTC of the file's last modification.
    static bool getLastWriteTime(const std::string &path, int64_t &time);
    // The size of the file system that holds `path` and the bytes of it that
    // this process may still write (what a user without privileges gets);
    // false for a path that does not exist.
    static bool getSpace(const std::string &path, uint64_t &capacity, uint64_t &available);

    // `path` with every slash and backslash made a Separator, and with one
    // trailing Separator added when `trailingSeparator` is set; an empty path
    // stays empty.
    static std::string normalizePath(const std::string &path, bool trailingSeparator);
    // `base` with a trailing separator, then `part` without its leading ones.
    static std::string combine(const std::string &base, const std::string &part);
};
