// The ARP payload (Ethernet/IPv4, 28 bytes) of the IP helper's ARP test.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace platform::linuxhost {

constexpr std::size_t kArpPayloadSize = 28;

// A request from (senderMac, senderIp) for targetIp; addresses in network order.
std::array<std::uint8_t, kArpPayloadSize> BuildArpRequest(const std::array<std::uint8_t, 6>& senderMac,
                                                          std::uint32_t senderIp, std::uint32_t targetIp);

// True when `data` is an Ethernet/IPv4 ARP reply sent by `fromIp`; its
// sender hardware address goes to `mac`.
bool ParseArpReply(const std::uint8_t* data, std::size_t size, std::uint32_t fromIp, std::array<std::uint8_t, 6>* mac);

}  // namespace platform::linuxhost
