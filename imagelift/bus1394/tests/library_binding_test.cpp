// Loading a library file from the program folder and binding its functions by name.
#include <gtest/gtest.h>

#include <filesystem>

#include "bus1394/access_library.h"
#include "bus1394/transactions.h"
#include "tests/bus_fixture.h"
#include "vbrt/error.h"

namespace bustest {
namespace {

using namespace bas1394;

class LibraryBindingTest : public BusTest {
protected:
    void SetUp() override {
        BusTest::SetUp();
        lib::Unload();
        ctx_.App.Path = BUS1394_FAKE_LIBRARY_DIR;
    }
};

TEST_F(LibraryBindingTest, RefusedRegistrationKeepsTheModule) {
    // Started from the program folder: the library file is also in the current folder.
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(BUS1394_FAKE_LIBRARY_DIR);
    const int32_t module = LoadVsk1394Dll(9);
    std::filesystem::current_path(before);
    EXPECT_TRUE(Find("CurDir = '" BUS1394_FAKE_LIBRARY_DIR "'"));
    EXPECT_TRUE(Find("Dir(Vsk1394api.dll) = 'Vsk1394api.dll'"));
    EXPECT_NE(module, 0);
    EXPECT_EQ(State.LibraryModule, module);
    EXPECT_TRUE(Find("LoadLibrary call returned, module handle = 0x"));
    EXPECT_EQ(Find("RegisterClient failed in bas1394.LoadVsk1394Dll, code 0")->level, basDebug::WARNING);
}

TEST_F(LibraryBindingTest, FunctionsAreLookedUpWhenFirstCalled) {
    ASSERT_NE(LoadVsk1394Dll(0), 0);
    EXPECT_TRUE(Find("No window passed to bas1394.LoadVsk1394Dll.  Receiving callbacks will not be possible "
                     "(Bus Reset and Incoming Transaction notices)"));
    try {
        SetDllMessageLevel(5);
        FAIL();
    } catch (const vb::Error& e) {
        EXPECT_EQ(e.Number(), 453);
        EXPECT_EQ(e.Description(), "Can't find DLL entry point SetDebugSpew in Vsk1394api.dll");
    }
    UnloadVsk1394Dll();
    EXPECT_EQ(State.LibraryModule, 0);
    EXPECT_FALSE(lib::IsLoaded());
}

}  // namespace
}  // namespace bustest
