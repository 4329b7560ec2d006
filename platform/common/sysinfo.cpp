#include "platform/sysinfo.h"

#include "platform/machine.h"

namespace platform {

const SystemFacts& GetSystemFacts() { return TheMachine().Facts(); }

}  // namespace platform
