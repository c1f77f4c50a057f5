// Any bytes as the text of a downloader's status file (bounded as the update reads it): the
// judgement of both runs never fails, and no text counts as a success without a success line.
#include <cstddef>
#include <cstdint>
#include <string>

#include "setup/environment.h"
#include "setup/update_steps.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > setup::kMaxStatusFileBytes) return 0;
    const std::string text(reinterpret_cast<const char*>(data), size);
    const bool download = setup::RunSucceeded(text, setup::kDownloadSuccessLine);
    const bool guid = setup::RunSucceeded(text, setup::kGuidSuccessLine);
    if ((download || guid) && text.find(setup::kDownloadSuccessLine) == std::string::npos &&
        text.find(setup::kGuidSuccessLine) == std::string::npos)
        __builtin_trap();
    return 0;
}
