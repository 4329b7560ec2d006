// Placeholder until the simulated host lands: the sim machine is not yet here.
#include <cstdio>
#include <cstdlib>

#include "platform/machine.h"

namespace platform {

std::unique_ptr<Machine> MakeSimMachine() {
  std::fprintf(stderr, "the simulated host is not built into this version\n");
  std::abort();
}

}  // namespace platform
