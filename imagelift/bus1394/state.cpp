#include "bus1394/state.h"

namespace bas1394 {

ModuleState State;

void ResetModuleState() { State = ModuleState{}; }

}  // namespace bas1394
