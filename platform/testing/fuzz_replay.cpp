// Replays saved inputs through a fuzz target's entry point, so that every build runs the target
// over its seed corpus as an ordinary test (the fuzzing build links libFuzzer's driver instead).
//
//   <target>_fuzz_replay FILE_OR_FOLDER...
// A folder stands for its regular files, in name order. No input at all is a failure: a replay
// that read nothing would pass without testing anything.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

namespace fsys = std::filesystem;

// Seed inputs are small; anything larger is not a seed.
constexpr std::uintmax_t kMaxInputBytes = 16u << 20;

bool readInput(const fsys::path& path, std::vector<uint8_t>& bytes) {
    std::error_code ec;
    const std::uintmax_t size = fsys::file_size(path, ec);
    if (ec || size > kMaxInputBytes) return false;
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.resize(size_t(size));
    in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(size));
    return std::size_t(in.gcount()) == size;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<fsys::path> inputs;
    for (int i = 1; i < argc; ++i) {
        const fsys::path arg = argv[i];
        std::error_code ec;
        if (fsys::is_directory(arg, ec)) {
            std::vector<fsys::path> files;
            for (const auto& entry : fsys::directory_iterator(arg, ec)) {
                if (entry.is_regular_file()) files.push_back(entry.path());
            }
            std::sort(files.begin(), files.end());
            inputs.insert(inputs.end(), files.begin(), files.end());
        } else if (fsys::is_regular_file(arg, ec)) {
            inputs.push_back(arg);
        } else {
            std::fprintf(stderr, "no such input: %s\n", argv[i]);
            return 1;
        }
    }
    if (inputs.empty()) {
        std::fprintf(stderr, "no inputs to replay\n");
        return 1;
    }
    std::vector<uint8_t> bytes;
    for (const auto& path : inputs) {
        if (!readInput(path, bytes)) {
            std::fprintf(stderr, "cannot read %s (or it is larger than %ju bytes)\n", path.c_str(),
                         kMaxInputBytes);
            return 1;
        }
        std::printf("%s (%zu bytes)\n", path.c_str(), bytes.size());
        std::fflush(stdout);
        // A copy of exactly the input's size, so that a read past its end is caught.
        std::vector<uint8_t> exact(bytes);
        LLVMFuzzerTestOneInput(exact.data(), exact.size());
    }
    std::printf("replayed %zu inputs\n", inputs.size());
    return 0;
}
