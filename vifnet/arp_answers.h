// The library's answers to SIOCGARP and SIOCGRARP: what the guest would
// learn on its own link when the descriptor names an open interface, the
// host's tables otherwise (descriptor -1, before any interface is open).
#pragma once

#include <cstdint>

#include "interface.h"
#include "vifnet.h"

namespace vifnet {

// 0 or an errno value. `open` is the interface the descriptor names, or null.
int AnswerArpRequest(const Interface* open, uint32_t request, vn32_arpreq* arp);

}  // namespace vifnet
