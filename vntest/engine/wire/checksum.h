// The Internet checksum as the virtual-interface library computes it.
#pragma once

#include <span>

#include "platform/wintypes.h"
#include "vifnet.h"

namespace wire {

// A host-order number; a checksum field holds its big-endian bytes.
inline WORD InetChecksum(std::span<const BYTE> bytes) {
  return vifnet32_calc_inet_checksum(bytes.data(), static_cast<int>(bytes.size()));
}

}  // namespace wire
