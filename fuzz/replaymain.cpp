// Replays a fuzz target's corpus without libFuzzer: every file of the
// folders (or the files) named on the command line goes once through
// LLVMFuzzerTestOneInput. Fails when nothing was replayed, so that a corpus
// that went missing does not pass unnoticed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

bool replay(const std::filesystem::path &path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "cannot read %s\n", path.string().c_str());
        return false;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // A copy of exactly the input's size, as libFuzzer passes it, so that the
    // sanitizers see a read beyond its end.
    std::vector<uint8_t> input(bytes.begin(), bytes.end());
    static const uint8_t nothing = 0;
    LLVMFuzzerTestOneInput(input.empty() ? &nothing : input.data(), input.size());
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    unsigned replayed = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path path(argv[i]);
        std::vector<std::filesystem::path> files;
        if (std::filesystem::is_directory(path)) {
            for (const auto &entry : std::filesystem::directory_iterator(path)) {
                if (entry.is_regular_file())
                    files.push_back(entry.path());
            }
        } else {
            files.push_back(path);
        }
        std::sort(files.begin(), files.end());
        for (const auto &file : files) {
            if (!replay(file))
                return 1;
            ++replayed;
        }
    }
    std::printf("%u inputs replayed\n", replayed);
    return replayed > 0 ? 0 : 1;
}
