// Runs a fuzz target once over every file of the directories named on the command
// line, so that corpus and regression inputs are exercised without libFuzzer (and
// under whatever sanitizer the build uses). A missing directory is not an error: a
// target may have no regressions yet.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
    size_t runs = 0;
    for (int i = 1; i < argc; ++i) {
        std::error_code ec;
        if (!std::filesystem::is_directory(argv[i], ec)) continue;
        std::vector<std::filesystem::path> files;
        for (const auto& entry : std::filesystem::directory_iterator(argv[i], ec))
            if (entry.is_regular_file()) files.push_back(entry.path());
        std::sort(files.begin(), files.end());
        for (const auto& path : files) {
            std::ifstream in(path, std::ios::binary);
            std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                       std::istreambuf_iterator<char>());
            // A copy of exactly the file's length, so ASan sees any read past it.
            std::vector<uint8_t> input(bytes);
            LLVMFuzzerTestOneInput(input.empty() ? nullptr : input.data(), input.size());
            ++runs;
        }
    }
    std::printf("%zu inputs replayed\n", runs);
    return runs == 0 ? 1 : 0;
}
