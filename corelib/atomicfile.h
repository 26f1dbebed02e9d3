#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

// Replaces one file whole: the content goes to a temporary file beside it,
// which is renamed over the file once complete, so that a reader sees the old
// file or the new one and never a part. The content may arrive in pieces
// (write as often as needed), as a backup does from the network; the
// temporary file exists, under its own name, from construction on. On every
// failure the temporary file is removed (by discard, or at the latest when
// this object goes), unless keep() says it is worth more than nothing. With
// Durability::Synced the content reaches the disk before the rename, so that
// a crash leaves the old file or the whole new one, never an empty one.
//
// Owned by the function that writes the file, used by one thread. The one
// system call that differs between the platforms, the flush to the disk, is
// in atomicfileposix.cpp and atomicfilewindows.cpp.
class AtomicFile {
public:
    enum class Durability {
        Cached,  // left to the system's cache: files rewritten often and worth little after a crash
        Synced,  // flushed to the disk before the rename
    };
    enum class Result {
        Replaced,    // the file holds the new content
        NotWritten,  // creating, writing, flushing or closing failed: the content is not whole
        NotRenamed,  // the temporary file holds the whole content, but it could not take the name
    };

    // Creates (or truncates) `temporaryPath` for binary writing; isOpen tells
    // whether that worked.
    AtomicFile(std::string path, std::string temporaryPath, Durability durability);
    // Discards the temporary file unless it was committed or kept.
    ~AtomicFile();
    AtomicFile(const AtomicFile &) = delete;
    AtomicFile &operator=(const AtomicFile &) = delete;

    bool isOpen() const { return opened_; }
    const std::string &temporaryPath() const { return temporaryPath_; }

    // Appends `size` bytes; false when they were not all taken (the content
    // is then incomplete and commit says NotWritten).
    bool write(const void *bytes, size_t size);
    // Flushes and closes the temporary file and renames it to the path.
    // After NotWritten or NotRenamed the temporary file is still there, for
    // the caller to discard (or to keep, after NotRenamed).
    Result commit();
    // The temporary file stays where it is when this object goes.
    void keep() { settled_ = true; }
    // Closes and removes the temporary file now, unless it was committed or
    // kept; false when it was there and could not be removed (the failure is
    // logged).
    bool discard();

    // Replaces `path` with `text` through the temporary file
    // "<path>.<process id>.tmp", which no failure leaves behind.
    static bool replace(const std::string &path, const std::string &text, Durability durability);

private:
    struct Closer {
        void operator()(std::FILE *file) const { std::fclose(file); }
    };

    // Flushes what the system holds of `file` to the disk.
    static bool syncToDisk(std::FILE *file);

    const std::string path_;
    const std::string temporaryPath_;
    const Durability durability_;
    std::unique_ptr<std::FILE, Closer> file_;
    const bool opened_;
    bool failed_ = false;   // a write failed
    bool settled_ = false;  // committed, kept or already removed
};
