// Fuzz target: the bus-description file reader. The input is the file's text, loaded onto a bus
// of the built-in node kinds and the Lumarel 460's own (its images, keys, timing and faults) on
// the manual clock. A description the reader refuses names its
// fault in a short message and leaves the bus as it was; one it accepts gives a bus whose nodes
// answer: every plugged node's config ROM is read from the local host as far as it goes, and the
// bus describes itself.
#include "bus/bus.h"
#include "bus/codes.h"
#include "bus/description.h"
#include "clock/clock.h"
#include "device/node_kinds.h"

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace {

namespace fsys = std::filesystem;

// The longest refusal: the file's name, a few fixed words and values quoted at most
// kMaxQuoted characters each.
constexpr size_t kMaxErrorBytes = 512;

// The file each input is written to, in a folder of the process's own that goes at exit.
class DescriptionFile {
public:
    DescriptionFile() : folder_(fsys::temp_directory_path() / ("description-fuzz-" + std::to_string(::getpid()))) {
        fsys::create_directories(folder_);
    }
    ~DescriptionFile() {
        std::error_code ec;
        fsys::remove_all(folder_, ec);
    }
    fsys::path Path() const { return folder_ / "bus.json"; }

private:
    fsys::path folder_;
};

const fsys::path& descriptionFile() {
    static const DescriptionFile folder;
    static const fsys::path file = folder.Path();
    return file;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    clk::ManualClock clock;
    clk::ScopedClock scopedClock(clock);
    sim::lumarel::RegisterNodeKinds();
    const fsys::path& file = descriptionFile();
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), std::streamsize(size));
    }

    sim::Bus bus;
    try {
        sim::LoadDescriptionFile(bus, file);
    } catch (const sim::DescriptionError& e) {
        if (std::string(e.what()).size() > kMaxErrorBytes + file.string().size()) std::abort();
        if (!bus.NodeIds().empty()) std::abort();
        return 0;
    }

    // Each plugged node's ROM, quadlet by quadlet until a read fails.
    const int host = bus.LocalHostPhy();
    for (int phy = 0; host >= 0 && phy < bus.NodeCount(); ++phy) {
        for (uint32_t at = 0; at < 1024; at += 4) {
            uint8_t quadlet[4];
            if (bus.Read(phy, sim::kCsrHigh, sim::kConfigRomBase + at, 4, quadlet, 0) != sim::kResultSuccess) break;
        }
    }
    if (bus.Describe().dump().empty()) std::abort();
    return 0;
}
