// Name resolution goes to the machine: the real resolver or the simulated
// host's names.
#include "platform/names.h"

#include "platform/machine.h"

namespace platform {

DWORD ResolveIPv4(const std::string& name, DWORD* address) {
  if (!address) return WSANO_RECOVERY;
  return TheMachine().Names().Resolve(name, address);
}

}  // namespace platform
