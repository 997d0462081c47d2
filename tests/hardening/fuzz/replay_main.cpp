// Runs a fuzz target over files, as the fuzzer would, without the fuzzer: each
// argument is a file or a folder of files. Built with any compiler, so the
// committed corpus is replayed by every ordinary test run.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

void replay(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    std::fprintf(stderr, "%s\n", file.string().c_str());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
}

} // namespace

int main(int argc, char** argv) {
    int files = 0;
    for (int i = 1; i < argc; ++i) {
        std::filesystem::path path(argv[i]);
        if (std::filesystem::is_directory(path)) {
            std::vector<std::filesystem::path> entries;
            for (const auto& entry : std::filesystem::directory_iterator(path)) {
                if (entry.is_regular_file()) {
                    entries.push_back(entry.path());
                }
            }
            std::sort(entries.begin(), entries.end());
            for (const auto& entry : entries) {
                replay(entry);
                ++files;
            }
        } else {
            replay(path);
            ++files;
        }
    }
    std::printf("%d passed, 0 failed\n", files);
    return files > 0 ? 0 : 1;
}
