// The config ROM as a tree of captioned nodes, one per ROM quadlet: address, raw value and a
// decoded description in IEEE 1212 / 1394 terms, nested as the ROM's directories and leaves
// nest. The captions in order of addition are the program's config ROM report (the viewer's
// copy and save write them one per line).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bus1394/config_rom_record.h"

namespace basConfigRom {

using bas1394::ConfigRomRecord;
using bas1394::LeafRecord;

// The node collection of a tree control as the formatter uses it. The window layer adapts its
// tree view; tests use RecordingTree.
class IConfigRomTree {
public:
    static constexpr int32_t tvwChild = 4;

    virtual ~IConfigRomTree() = default;
    virtual void ClearNodes() = 0;
    // Adds a node as the last child of the node keyed `relative` (top level without one).
    // Raises vb::Error 35602 for a key already present, 35601 for an unknown relative.
    // Returns the new node's index (1 = first node added).
    virtual int32_t AddNode(const std::optional<std::string>& relative, int32_t relationship,
                            const std::optional<std::string>& key, const std::string& text) = 0;
    virtual void SetExpanded(int32_t index, bool expanded) = 0;
    virtual int32_t NodeCount() const = 0;
    // Text of node `index` (1 .. NodeCount), in order of addition.
    virtual std::string NodeText(int32_t index) const = 0;
};

// A tree that only records: nodes in order of addition with their parent, key, text and
// expanded flag.
class RecordingTree final : public IConfigRomTree {
public:
    struct Node {
        int32_t parent = 0;  // 0 = top level
        std::optional<std::string> key;
        std::string text;
        bool expanded = false;
    };

    void ClearNodes() override;
    int32_t AddNode(const std::optional<std::string>& relative, int32_t relationship,
                    const std::optional<std::string>& key, const std::string& text) override;
    void SetExpanded(int32_t index, bool expanded) override;
    int32_t NodeCount() const override { return static_cast<int32_t>(nodes_.size()); }
    std::string NodeText(int32_t index) const override;

    const std::vector<Node>& Nodes() const { return nodes_; }
    // Index of the node with this key, 0 when none.
    int32_t Find(const std::string& key) const;

private:
    std::vector<Node> nodes_;
    std::map<std::string, int32_t> keys_;
};

// Every node text in order of addition, each followed by CR LF (the viewer's copy and save).
std::string ConfigRomReport(const IConfigRomTree& tree);

// Fills `tree` with the whole ROM: 1 success, -1 failure (logged).
int32_t FormatConfigRomApple(IConfigRomTree& tree, const ConfigRomRecord& rom);
int32_t FormatConfigRomBusInfoBlockApple(IConfigRomTree& tree, const ConfigRomRecord& rom);
int32_t FormatConfigRomDirectoryApple(IConfigRomTree& tree, const std::string& parentKey,
                                      const ConfigRomRecord& rom, int32_t directoryIndex);
int32_t FormatConfigRomLeafApple(IConfigRomTree& tree, const std::string& parentKey,
                                 int32_t leafIndex, int32_t keyId, LeafRecord leaf);

}  // namespace basConfigRom
