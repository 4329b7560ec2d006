// Arbitrary frames and packets through classification. The first input byte
// picks the mode (bit 0: TAP) and the debug switch (bit 1); the rest is what
// the interface delivered. The responder reads every field of what it is
// handed, so the sanitizers see any view that reaches past the bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/debug_mode.h"
#include "engine/process_packet.h"
#include "engine/wire/arp_packet.h"
#include "engine/wire/icmp_echo.h"

namespace {

volatile unsigned g_sink;

void Touch(std::span<const BYTE> bytes) {
  unsigned sum = 0;
  for (BYTE b : bytes) sum += b;
  g_sink = g_sink + sum;
}

class ReadingResponder : public PacketResponder {
 public:
  void HandleTapARPPacket(CVN32TestView*, INTERFACEREC&, wire::EthernetFrame frame) override { ReadArp(frame); }
  void HandleTapRARPPacket(CVN32TestView*, INTERFACEREC&, wire::EthernetFrame frame) override { ReadArp(frame); }
  void AnswerEchoRequest(CVN32TestView*, INTERFACEREC&, wire::Ipv4Packet packet) override { ReadEcho(packet); }
  void MatchEchoReply(CVN32TestView*, INTERFACEREC&, wire::Ipv4Packet packet) override { ReadEcho(packet); }

 private:
  static void ReadArp(wire::EthernetFrame frame) {
    Touch(frame.bytes());
    if (auto arp = wire::ArpPacket::New(frame.payload())) {
      if (auto repr = wire::ArpRepr::Parse(*arp)) g_sink = g_sink + repr->operation;
    }
  }
  static void ReadEcho(wire::Ipv4Packet packet) {
    Touch(packet.bytes());
    // What the responders rely on: a total length inside the bytes handed
    // on and large enough for both headers.
    if (packet.total_len() > packet.bytes().size() || packet.total_len() < 28) __builtin_trap();
    auto echo = wire::IcmpEcho::New(packet.payload());
    if (!echo) __builtin_trap();
    Touch(echo->payload());
    // Answering rewrites the checksums in place.
    echo->fill_checksum();
    packet.fill_checksum();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static ReadingResponder responder;
  INTERFACEREC record;
  record.bTAPMode = (data[0] & 1) != 0;
  SetDebugMode((data[0] & 2) != 0);
  const BYTE guest[4] = {198, 51, 100, 2};
  std::memcpy(&record.binInterface_IPAddr, guest, 4);

  // An exact-size copy, so that any read past the end is caught.
  std::vector<BYTE> buffer(data + 1, data + size);
  ProcessPacket(responder, nullptr, record, buffer.empty() ? nullptr : buffer.data(),
                static_cast<int>(buffer.size()));
  return 0;
}
