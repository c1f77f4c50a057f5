// Fuzz target: the GUID and MAC files of provisioning runs. Their first field becomes the
// device's identity only when it is exactly 16 (GUID) or 12 (MAC) hex digits.
#include "automation/automation.h"
#include "automation/text_input.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace basAutomation;
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto fields = SplitDelimitedFields(text);
    size_t total = 0;
    for (const auto& f : fields) total += f.size();
    if (total > size) std::abort();
    const std::string first = fields.empty() ? std::string() : fields.front();

    ByteArray bytes;
    if (ParseGuidText(first, bytes) && bytes.size() != 8) std::abort();
    if (ParseMacText(first, bytes) && bytes.size() != 6) std::abort();
    // The whole text as one value too (a command-line "/G" value).
    if (ParseGuidText(text, bytes) && bytes.size() != 8) std::abort();
    return 0;
}
