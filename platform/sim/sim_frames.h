// The few frame kinds the simulated LAN understands (Ethernet II, ARP for
// IPv4, IPv4, ICMP echo): parsed from checked byte spans, emitted fresh.
// Frames come from callers of the devices and stations, so every parse checks
// lengths first and gives nothing for what it cannot read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "platform/sim/sim_host.h"

namespace platform::sim {

using Bytes = std::vector<BYTE>;
using ByteSpan = std::span<const BYTE>;

constexpr WORD kEtherTypeIpv4 = 0x0800;
constexpr WORD kEtherTypeArp = 0x0806;
constexpr std::size_t kEthernetHeader = 14;
constexpr Mac kBroadcastMac{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

inline bool IsGroupMac(const Mac& m) { return (m[0] & 1) != 0; }

struct Ethernet {
  Mac dest{};
  Mac source{};
  WORD type = 0;
  ByteSpan payload;
};
std::optional<Ethernet> ParseEthernet(ByteSpan frame);

struct Arp {
  WORD op = 0;  // 1 request, 2 reply
  Mac senderMac{};
  DWORD senderIp = 0;  // network byte order
  Mac targetMac{};
  DWORD targetIp = 0;
};
std::optional<Arp> ParseArp(ByteSpan payload);  // Ethernet/IPv4 ARP only

struct Ipv4 {
  BYTE ttl = 0;
  BYTE protocol = 0;
  DWORD source = 0;  // network byte order
  DWORD dest = 0;
  ByteSpan payload;  // up to the total length
};
// Drops what a host would drop: bad version, header length or checksum.
std::optional<Ipv4> ParseIpv4(ByteSpan packet);

struct IcmpEcho {
  BYTE type = 0;  // 8 request, 0 reply
  WORD id = 0;    // as on the wire (host order of the big-endian field)
  WORD sequence = 0;
  ByteSpan data;
};
std::optional<IcmpEcho> ParseIcmpEcho(ByteSpan payload);  // checks the checksum

// The Internet checksum (one's complement sum), of the data as it stands.
WORD InternetChecksum(ByteSpan data);

Bytes EmitEthernet(const Mac& dest, const Mac& source, WORD type, ByteSpan payload);
Bytes EmitArp(WORD op, const Mac& senderMac, DWORD senderIp, const Mac& targetMac, DWORD targetIp);
Bytes EmitIpv4(DWORD source, DWORD dest, BYTE protocol, BYTE ttl, WORD id, ByteSpan payload);
Bytes EmitIcmpEcho(BYTE type, WORD id, WORD sequence, ByteSpan data);

}  // namespace platform::sim
