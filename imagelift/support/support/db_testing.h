// Fault injection for the store's file steps (tests only): the hook is called with the name of
// the step about to run ("compact.vacuum", "compact.rename", "copy.file", "aside.rename") and
// may throw to make that step fail.
#pragma once

#include <functional>
#include <string_view>

namespace dbtesting {
using FaultHook = std::function<void(std::string_view step)>;
// Installs a hook (empty to remove) and returns the previous one.
FaultHook SetFaultHook(FaultHook hook);
}  // namespace dbtesting
