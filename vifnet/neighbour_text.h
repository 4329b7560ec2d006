// The kernel's neighbour table as /proc/net/arp shows it:
//   IP address  HW type  Flags  HW address  Mask  Device
// one entry a line after a header line.
#pragma once

#include <string_view>
#include <vector>

#include "port.h"

namespace vifnet {

struct Neighbour {
  DWORD ip = 0;  // network byte order
  Mac mac{};
};

// The complete entries of `text` (flag ATF_COM set, an Ethernet address);
// incomplete, malformed or cut lines are skipped.
std::vector<Neighbour> ParseNeighbourText(std::string_view text);

}  // namespace vifnet
