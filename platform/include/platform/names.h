// Name resolution: a host name or a dotted text to one IPv4 address.
#pragma once

#include <string>

#include "platform/wintypes.h"

namespace platform {

// Returns 0 and the first IPv4 address (network byte order), or a sockets
// error code: WSAHOST_NOT_FOUND, WSATRY_AGAIN, WSANO_RECOVERY or WSANO_DATA.
DWORD ResolveIPv4(const std::string& name, DWORD* address);

}  // namespace platform
