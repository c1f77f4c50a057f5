// Fuzz target: the config ROM reader, the short texts taken from a parsed ROM and the text tree
// of the config ROM viewer. A node's ROM is whatever the node answers, so the input is served
// as node 0's ROM through the test double of the access library: its whole quadlets (most
// significant byte first) from 0xF0000400 on. The 1 to 3 bytes after them, when there are any,
// make one read of the walk fail: the first byte picks the read (counting from 1), the second
// the code it ends with.
//
// However the ROM is laid out, one reading stays within the layer's bounds of quadlet reads and
// tree lines, and every text comes out whole. The whole quadlets are also parsed as a ROM image.
#include "bus1394/config_rom_reader.h"
#include "bus1394/config_rom_texts.h"
#include "bus1394/config_rom_tree.h"
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
#include <vector>

namespace {

// The codes a failed read ends with.
const int32_t kFailureCodes[] = {bustest::fakefn::kNoResponse, bustest::fakefn::kAddressError,
                                 bas1394::kLibBusReset, bas1394::kLibTimedOut};

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

    bustest::FakeLibrary& fake = bustest::Fake();
    std::vector<uint32_t> rom;
    const size_t whole = size / 4 * 4;
    for (size_t at = 0; at < whole; at += 4) {
        rom.push_back(uint32_t(data[at]) << 24 | uint32_t(data[at + 1]) << 16 | uint32_t(data[at + 2]) << 8 |
                      data[at + 3]);
    }
    fake.AddRom(0, rom);
    if (size > whole) {
        const size_t failAt = data[whole];
        const int32_t code = kFailureCodes[size > whole + 1 ? data[whole + 1] % 4 : 0];
        fake.onRead = [failAt, code, count = size_t(0)](int32_t, uint32_t, int32_t) mutable -> std::optional<int32_t> {
            if (++count == failAt) return code;
            return std::nullopt;
        };
    }
    bas1394::NodeRecord node;
    node.DriverType = "vdev";
    node.NodeNumber = 0;
    node.Topology.LinkActive = 1;
    bas1394::State.NodeTable.assign(1, node);
    bas1394::State.TopologyReady = true;

    bas1394::ConfigRomRecord record;
    basConfigRom::GetFormattedConfigRom(0, record);
    if (fake.reads.size() > size_t(basConfigRom::kMaxRomQuadletReads)) std::abort();

    // The texts the device grid and the node table show.
    size_t textBytes = basConfigRom::GetModelText(record).size() + basConfigRom::GetVendorText(record).size() +
                       basConfigRom::GetHardwareVersion(record).size();
    if (basConfigRom::GetGuidText(record).size() != 17) std::abort();
    for (int32_t directoryKey : {0, 0x11, 0x03}) {
        for (int32_t key : {0x03, 0x17, 0x12}) textBytes += basConfigRom::GetKeyText(directoryKey, key, record).size();
    }

    // The viewer's tree and its report: every line followed by CR LF.
    basConfigRom::RecordingTree tree;
    basConfigRom::FormatConfigRomApple(tree, record);
    if (tree.NodeCount() > basConfigRom::kMaxRomTreeNodes) std::abort();
    size_t lines = 0;
    for (int32_t i = 1; i <= tree.NodeCount(); ++i) lines += tree.NodeText(i).size() + 2;
    if (basConfigRom::ConfigRomReport(tree).size() != lines) std::abort();

    // The same bytes parsed as a ROM image, with no node and no read of the bus, stay within the
    // same bounds.
    bas1394::ConfigRomRecord parsed;
    basConfigRom::ParseConfigRom(std::vector<uint8_t>(data, data + whole), parsed);
    basConfigRom::RecordingTree parsedTree;
    basConfigRom::FormatConfigRomApple(parsedTree, parsed);
    if (parsedTree.NodeCount() > basConfigRom::kMaxRomTreeNodes) std::abort();
    if (basConfigRom::GetGuidText(parsed).size() != 17) std::abort();

    (void)textBytes;
    bas1394::lib::Unload();
    return 0;
}
