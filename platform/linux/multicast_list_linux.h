// The kernel's list of the link-layer multicast addresses each interface
// listens to (/proc/net/dev_mcast): the adapter's multicast list.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace platform::linuxhost {

using MacAddress = std::array<std::uint8_t, 6>;

// The 6-byte addresses listed for interface `index`, in file order. Each
// line is "index name users global-users address-in-hex"; lines of other
// interfaces, addresses of another length and malformed lines are skipped.
std::vector<MacAddress> ParseMulticastList(const std::string& text, unsigned index);

}  // namespace platform::linuxhost
