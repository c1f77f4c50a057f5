// Building stub; the implementation follows.
#include "bus/description.h"

namespace sim {
void RegisterNodeKind(const std::string&, NodeFactory) {}
bool IsNodeKindRegistered(const std::string&) { return false; }
std::vector<std::string> NodeKinds() { return {}; }
std::unique_ptr<Node> MakeNode(const std::string& kind, const NodeContext&) { throw DescriptionError("unknown node kind \"" + kind + "\""); }
void LoadDescription(Bus&, const nlohmann::json&, const std::filesystem::path&) {}
void LoadDescriptionFile(Bus&, const std::filesystem::path&, const std::filesystem::path&) {}
nlohmann::json DefaultDescription() { return {}; }
PhyConfig PhyFromJson(const nlohmann::json&) { return {}; }
nlohmann::json PhyToJson(const PhyConfig&) { return {}; }
}  // namespace sim
