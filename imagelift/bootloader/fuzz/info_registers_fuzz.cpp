// Fuzz target: the decoder of a target's info registers, the 104-byte block a device answers at
// the base of its protocol region. The input is that answer: served by the access library's test
// double from the region's base on (its whole quadlets; fewer than 104 bytes make the long read
// fail), read the way the target list reads it, and decoded on its own at any length. The dates
// and times in it become texts as the device grid shows them.
#include "bootloader/fwp.h"
#include "bootloader/info_registers.h"
#include "bootloader/records.h"
#include "bus1394/state.h"
#include "bus1394/transactions.h"
#include "clock/clock.h"
#include "support/program_context.h"
#include "tests/fake_library.h"
#include "tests/quiet_program.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

namespace {

using basBootloader::ByteArray;
using basBootloader::InfoRegisters;

// Every 8-byte field keeps its 8 bytes, and the texts made of them are formed.
size_t checkFields(const InfoRegisters& info) {
    for (const ByteArray* field : {&info.VendorId, &info.Guid, &info.SoftwareDate, &info.SoftwareTime,
                                   &info.BootloaderDate, &info.BootloaderTime, &info.DebugMonitorDate,
                                   &info.Reserved88}) {
        if (field->size() != 8) std::abort();
    }
    return basBootloader::FormatFwpDate(info.BootloaderDate).size() +
           basBootloader::FormatFwpTime(info.BootloaderTime).size() +
           basBootloader::FormatFwpLocalDateTime(info.SoftwareDate, info.SoftwareTime).size() +
           basBootloader::FormatFwpLocalDateTime(info.BootloaderDate, info.BootloaderTime).size() +
           basBootloader::FormatFwpLocalDateTime(info.DebugMonitorDate, info.Reserved88).size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    clk::ManualClock clock;
    clk::ScopedClock scopedClock(clock);
    imagelift::ProgramContext ctx;
    supporttest::CountingStatusWindow status;
    supporttest::QuietMainWindow main;
    ctx.StatusWindow0 = &status;
    ctx.MainChildForm = &main;
    imagelift::ScopedContext scopedContext(ctx);
    bas1394::ResetModuleState();
    bustest::BindFakeLibrary();
    bas1394::BindElapsedTimeToLibrary();

    std::vector<uint32_t> answer;
    for (size_t at = 0; at + 4 <= size; at += 4) {
        answer.push_back(uint32_t(data[at]) << 24 | uint32_t(data[at + 1]) << 16 | uint32_t(data[at + 2]) << 8 |
                         data[at + 3]);
    }
    bustest::Fake().AddRom(0, answer, basBootloader::kRegionLow);

    bas1394::NodeRecord node;
    node.DriverType = "vdev";
    node.NodeNumber = 0;
    node.Topology.LinkActive = 1;
    InfoRegisters read;
    const int32_t result = basBootloader::ReadInfoRegisters(node, read);
    if (result == 1) {
        // Only a target that speaks a known protocol is read to the end.
        if (!basBootloader::VerifyCompatibility(read) || size < size_t(basBootloader::kInfoRegistersBytes))
            std::abort();
    }
    size_t textBytes = checkFields(read);

    const InfoRegisters decoded = basBootloader::DecodeInfoRegisters(ByteArray(data, data + size));
    basBootloader::VerifyCompatibility(decoded);
    textBytes += checkFields(decoded);
    (void)textBytes;
    bas1394::lib::Unload();
    return 0;
}
