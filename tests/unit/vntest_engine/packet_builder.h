// Frames and packets for classification tests, built with the views.
#pragma once

#include <cstring>
#include <vector>

#include "engine/wire/ethernet_frame.h"
#include "engine/wire/icmp_echo.h"
#include "engine/wire/ipv4_packet.h"

namespace packet_builder {

using Bytes = std::vector<BYTE>;

inline DWORD Addr(BYTE a, BYTE b, BYTE c, BYTE d) {
  const BYTE bytes[4] = {a, b, c, d};
  DWORD address;
  std::memcpy(&address, bytes, 4);
  return address;
}

inline const DWORD kGuestIP = Addr(198, 51, 100, 2);
inline const DWORD kPeerIP = Addr(203, 0, 113, 5);
inline const wire::MacAddress kGuestMac{0x02, 0x00, 0x5E, 0x80, 0x00, 0x04};
inline const wire::MacAddress kPeerMac{0x52, 0x54, 0x00, 0x12, 0x34, 0x56};

// A valid echo message in an IPv4 packet, both checksums right.
inline Bytes Echo(BYTE type, DWORD source, DWORD destination, std::size_t payloadLen) {
  Bytes bytes(28);
  for (std::size_t i = 0; i < payloadLen; ++i) bytes.push_back(static_cast<BYTE>('a' + i % 26));
  auto packet = wire::Ipv4Packet::New(bytes);
  auto echo = wire::IcmpEcho::New(packet->bytes().subspan(20));
  echo->set_type(type);
  echo->set_ident(0x4242);
  echo->set_seq_no(7);
  echo->fill_checksum();
  wire::Ipv4Repr{source, destination, wire::ipv4::kProtocolICMP, 64, 0x1111, wire::ipv4::kDontFragment,
                 static_cast<WORD>(8 + payloadLen)}
      .Emit(*packet);
  return bytes;
}

inline Bytes EchoRequestToGuest(std::size_t payloadLen = 32) {
  return Echo(wire::icmp::kEchoRequest, kPeerIP, kGuestIP, payloadLen);
}

// Recomputes both checksums after a test changed a field.
inline void Refill(Bytes& ip) {
  auto packet = wire::Ipv4Packet::New(ip);
  const std::size_t total = std::min<std::size_t>(packet->total_len(), ip.size());
  if (total >= 28) wire::IcmpEcho::New(packet->bytes().subspan(20, total - 20))->fill_checksum();
  packet->fill_checksum();
}

inline Bytes Frame(WORD type, const Bytes& payload) {
  Bytes frame(14 + payload.size());
  auto ethernet = wire::EthernetFrame::New(frame);
  wire::EthernetRepr{kGuestMac, kPeerMac, type}.Emit(*ethernet);
  if (!payload.empty()) std::memcpy(frame.data() + 14, payload.data(), payload.size());
  return frame;
}

}  // namespace packet_builder
