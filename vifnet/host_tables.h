// What the library looks up in the host's tables: the adapter a virtual
// interface binds to, the adapter of the default route, and the answers to
// ARP and RARP requests (own adapters first, then the neighbours).
#pragma once

#include <optional>
#include <string>

#include "port.h"

namespace vifnet {

// The adapter whose IPv4 address or MAC address `text` names.
std::optional<HostAdapter> FindHostAdapter(const std::string& text);
std::optional<HostAdapter> DefaultRouteAdapter();

std::optional<Mac> LookupMac(DWORD ip);    // network byte order
std::optional<DWORD> LookupIp(const Mac& mac);

// The MAC the emulator derives from a guest IP: locally administered,
// unicast, the four address bytes behind 02-00.
Mac GuestMacFor(DWORD ip);

}  // namespace vifnet
