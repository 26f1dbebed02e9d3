#pragma once

#include <boost/filesystem.hpp>
#include <string>

// Test helper: a fresh directory under the system's temporary folder, removed
// with everything in it when the helper goes.
class TempDirectory {
public:
    TempDirectory()
        : path_(boost::filesystem::temp_directory_path() / boost::filesystem::unique_path("orvel-test-%%%%-%%%%-%%%%"))
    {
        boost::filesystem::create_directories(path_);
    }
    ~TempDirectory()
    {
        boost::system::error_code ignored;
        boost::filesystem::remove_all(path_, ignored);
    }

    std::string path() const { return path_.string(); }
    std::string file(const std::string &name) const { return (path_ / name).string(); }

private:
    boost::filesystem::path path_;
};
