// The kernel's IPv4 routes and addresses, read over netlink (libnl-route).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/wintypes.h"

namespace platform::linuxhost {

struct RouteEntry {
  std::uint32_t destination = 0;  // network order
  unsigned prefixLength = 0;
  std::uint32_t gateway = 0;  // 0: on the link
  std::uint32_t preferredSource = 0;
  unsigned interfaceIndex = 0;
  std::uint32_t metric = 0;
  std::uint8_t protocol = 0;  // RTPROT_*
};

struct AddressEntry {
  std::uint32_t address = 0;  // network order
  unsigned prefixLength = 0;
  std::uint32_t broadcast = 0;
  unsigned interfaceIndex = 0;
  bool leased = false;  // a finite lifetime: handed out by a DHCP client
};

// The unicast routes of the main table. ERROR_SUCCESS or an error code.
DWORD ReadRoutes(std::vector<RouteEntry>* routes);
DWORD ReadAddresses(std::vector<AddressEntry>* addresses);

// The link's carrier as the kernel has it now (operational state follows it
// only later); nullopt when netlink cannot tell.
std::optional<bool> LinkCarrier(const std::string& name);

std::uint32_t MaskOfPrefix(unsigned prefixLength);  // network order

// The route the kernel's main table would take to `destination`: longest
// prefix, then lowest metric. Pure, over the rows given.
std::optional<RouteEntry> BestRoute(const std::vector<RouteEntry>& routes, std::uint32_t destination);

}  // namespace platform::linuxhost
