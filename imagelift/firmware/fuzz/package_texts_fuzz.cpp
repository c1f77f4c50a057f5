// Fuzz target: the texts the download windows make of a package file: its header labels and its
// configuration data as indented text. Package files come from anywhere; no bytes may upset them.
#include "firmware/package_texts.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "bootloader/fwp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace basBootloader;
    const ByteArray bytes(data, data + size);

    // The whole input as configuration data: groups open and close in any order.
    const std::string text = imagelift_firmware::ConfigDataText(bytes);
    if (text.find_first_of("[]") != std::string::npos) std::abort();

    // The whole input as a package file, shown as the download window shows it.
    const FwpStruct package = ByteArrayToFwpStruct(bytes);
    if (IsValidFwp(package)) {
        imagelift_firmware::BuildDateText(package.Header);
        imagelift_firmware::VersionText(package.Header.SoftwareVersion);
    }
    return 0;
}
