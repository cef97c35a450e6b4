// Runs a libFuzzer target's checks, without libFuzzer, on every file named on the command line
// or found in a named folder (a missing folder holds nothing yet). The targets stop on a broken
// check with a trap, so the test fails on the file printed last.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        const fs::path p = argv[i];
        if (fs::is_directory(p)) {
            for (const auto& e : fs::directory_iterator(p))
                if (e.is_regular_file()) files.push_back(e.path());
        } else if (fs::exists(p)) {
            files.push_back(p);
        }
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& f : files) {
        std::printf("%s\n", f.string().c_str());
        std::fflush(stdout);
        std::ifstream in(f, std::ios::binary);
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::printf("%zu inputs replayed\n", files.size());
    return 0;
}
