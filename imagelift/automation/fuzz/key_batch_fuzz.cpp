// Fuzz target: key-batch files and key data files, which operators write by hand (text or HTML).
// No entry may upset the parser; what it takes to perform is well formed, and what it refuses
// carries nothing.
#include "automation/automation.h"

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

// A batch folder with one key data file, so that write entries can find theirs.
const std::string& batchFolder() {
    static const std::string folder = [] {
        const std::filesystem::path p =
            std::filesystem::temp_directory_path() / ("key_batch_fuzz_" + std::to_string(::getpid()));
        std::filesystem::create_directories(p);
        std::ofstream(p / "data.txt") << "# data\r\nABCD\r\n";
        // Gone again when the run ends.
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(
                std::filesystem::temp_directory_path() / ("key_batch_fuzz_" + std::to_string(::getpid())), ec);
        });
        return p.string() + "/";
    }();
    return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace basAutomation;
    const std::string text(reinterpret_cast<const char*>(data), size);
    State.KeyDataFolder = batchFolder();

    // The parser refuses entry by entry (a device ID that is not hex bytes among them): nothing
    // leaves it, and one bad entry never costs the others.
    KeyOperationList operations(1);
    const size_t leftOut = ParseKeyOperations(text, "fuzz.txt", operations);
    for (size_t i = 1; i < operations.size(); ++i) {
        const KeyOperation& op = operations[i];
        if (op.Result != -1) std::abort();
        if (op.Refused) {
            // Refused as written: a FAILED row, with nothing read for it.
            if (!op.Data.empty()) std::abort();
            continue;
        }
        // To be performed: a read or a write of a named key on a named device, a write with the
        // data of its file.
        if (op.OperationType != kKeyRead && op.OperationType != kKeyWrite) std::abort();
        if (op.KeyName.empty() || op.DeviceId.empty()) std::abort();
        if (op.OperationType == kKeyWrite && op.Data != ByteArray{'A', 'B', 'C', 'D'}) std::abort();
        if (op.OperationType == kKeyRead && !op.Data.empty()) std::abort();
    }
    if (operations.size() > kMaxKeyOperations + 1) std::abort();
    if (leftOut > 0 && operations.size() != kMaxKeyOperations + 1) std::abort();

    ByteArray key;
    if (KeyDataFromText(text, key) == 1 && (key.empty() || key.size() > 65536)) std::abort();

    std::string line = text;
    std::vector<std::string> words;
    SplitArguments(line, words);
    for (const auto& w : words)
        if (w.empty() || w.find(' ') != std::string::npos) std::abort();
    return 0;
}
