// Test support: a temporary platform root with an empty device store and INF folder, and small
// helpers to fill and read them.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

#include "devices/store.h"
#include "testing/temp_root.h"

namespace devices::fixture {

class StoreTest : public testing_support::TempRootTest {
protected:
    StoreTest() : TempRootTest("lumarel_devices") {}
    void SetUp() override {
        TempRootTest::SetUp();
        ASSERT_TRUE(EnsureFolders());
    }

    // Adds a node; its instance ID is made from its first hardware ID and its serial.
    std::string AddNode(std::initializer_list<std::string> ids, bool present = true) {
        DeviceNode node;
        node.hardwareIds = ids;
        node.present = present;
        node.instanceId = (node.hardwareIds.empty() ? std::string("ROOT") : node.hardwareIds[0]) + "\\" +
                          std::to_string(ListNodes().size());
        return WriteNode(node);
    }
    // Writes a file into the INF folder; the path as programs name it.
    std::string WriteInf(const std::string& name, const std::string& text) {
        std::ofstream(InfFolderNative() / name, std::ios::binary) << text;
        return std::string(kWindowsFolder) + "\\inf\\" + name;
    }
    // Writes a file under the root; its native path.
    std::string WriteFile(const std::string& relative, const std::string& text) {
        std::filesystem::path path = std::filesystem::path(root_) / relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << text;
        return path.string();
    }
    bool InfExists(const std::string& name) { return std::filesystem::exists(InfFolderNative() / name); }
    std::vector<std::string> HardwareIdsOfNodes() {
        std::vector<std::string> ids;
        for (const DeviceNode& n : ListNodes()) ids.insert(ids.end(), n.hardwareIds.begin(), n.hardwareIds.end());
        return ids;
    }
};

// A small INF in the Windows 4 style listing the given hardware IDs, one model line each.
inline std::string InfListing(std::initializer_list<std::string> ids) {
    std::string text = "[Version]\nSignature=\"$Windows NT$\"\n\n[Manufacturer]\n%Mfg%=Models\n\n[Models]\n";
    for (const std::string& id : ids) text += "%Desc%=Install," + id + "\n";
    text += "\n[Strings]\nMfg=\"Halvorin\"\nDesc=\"Test device\"\n";
    return text;
}

}  // namespace devices::fixture
