#include "engine/process_packet.h"

#include <span>

#include "engine/debug_mode.h"
#include "engine/wire/icmp_echo.h"
#include "shell/log.h"

namespace {

using wire::EthernetFrame;
using wire::IcmpEcho;
using wire::Ipv4Packet;

// IPv4 and ICMP echo headers; a packet worth answering carries at least one
// payload byte after them.
constexpr std::size_t kEchoHeadersLen = Ipv4Packet::kHeaderLen + IcmpEcho::kHeaderLen;

struct ChecksumVerdict {
  bool headerOk;
  bool icmpOk;
};

// Both sums are taken with both fields zeroed, header first; the received
// values go back afterwards so that a packet handed on is as it arrived.
ChecksumVerdict VerifyChecksums(Ipv4Packet& packet, IcmpEcho& echo) {
  const WORD receivedHeader = packet.checksum();
  const WORD receivedIcmp = echo.checksum();
  packet.set_checksum(0);
  echo.set_checksum(0);
  const WORD computedHeader = wire::InetChecksum(packet.header());
  const WORD computedIcmp = wire::InetChecksum(echo.bytes());
  packet.set_checksum(receivedHeader);
  echo.set_checksum(receivedIcmp);
  return {computedHeader == receivedHeader, computedIcmp == receivedIcmp};
}

}  // namespace

const char* PacketIgnoredText(int reason) {
  switch (reason) {
    case kIgnoreUnknownPacket: return "Unknown packet";
    case kIgnoreTooTiny: return "Too tiny";
    case kIgnoreFragmented: return "Fragmented";
    case kIgnoreBadIPVersion: return "Bad IP hdr version";
    case kIgnoreBadIPHeaderLength: return "Bad IP hdr length";
    case kIgnoreNotICMP: return "Not ICMP";
    case kIgnoreNotPing: return "Not ping";
    case kIgnoreBadICMPCode: return "Bad ICMP code";
    case kIgnoreBadIPChecksum: return "Bad IP hdr checksum";
    case kIgnoreBadICMPChecksum: return "Bad ICMP checksum";
    case kIgnoreNotReplyForUs: return "Not reply for us";
    case kIgnoreNotPingForUs: return "Not ping for us";
    default: return "(unknown)";
  }
}

void PacketIgnored(int reason) {
  if (DebugMode.load()) LogMsg("Packet was ignored (%s)\n", PacketIgnoredText(reason));
}

void ProcessPacket(PacketResponder& responder, CVN32TestView* view, INTERFACEREC& record, BYTE* buffer,
                   int length) {
  if (buffer == nullptr || length <= 0) return PacketIgnored(kIgnoreTooTiny);
  std::span<BYTE> ip(buffer, static_cast<std::size_t>(length));

  if (record.bTAPMode) {
    auto frame = EthernetFrame::New(ip);
    if (!frame) return PacketIgnored(kIgnoreTooTiny);
    switch (frame->ethertype()) {
      case wire::ethertype::kARP: return responder.HandleTapARPPacket(view, record, *frame);
      case wire::ethertype::kRARP: return responder.HandleTapRARPPacket(view, record, *frame);
      case wire::ethertype::kIPv4: ip = frame->payload(); break;
      default: return PacketIgnored(kIgnoreUnknownPacket);
    }
  }

  if (ip.size() <= kEchoHeadersLen) return PacketIgnored(kIgnoreTooTiny);
  auto packet = Ipv4Packet::New(ip);
  if (!packet) return PacketIgnored(kIgnoreTooTiny);

  if (packet->flags_fragment() & wire::ipv4::kFragmentMask) return PacketIgnored(kIgnoreFragmented);
  if (packet->version() != wire::ipv4::kVersion) return PacketIgnored(kIgnoreBadIPVersion);
  if (packet->header_words() != wire::ipv4::kHeaderWords) return PacketIgnored(kIgnoreBadIPHeaderLength);
  if (packet->protocol() != wire::ipv4::kProtocolICMP) return PacketIgnored(kIgnoreNotICMP);

  std::span<BYTE> afterHeader = ip.subspan(Ipv4Packet::kHeaderLen);
  const BYTE icmpType = afterHeader[IcmpEcho::field::TYPE];
  if (icmpType != wire::icmp::kEchoRequest && icmpType != wire::icmp::kEchoReply) {
    return PacketIgnored(kIgnoreNotPing);
  }
  if (afterHeader[IcmpEcho::field::CODE] != 0) return PacketIgnored(kIgnoreBadICMPCode);

  // The total length decides what the ICMP checksum covers. Padding after it
  // (short Ethernet frames are padded) is tolerated; a total length that
  // claims bytes that never arrived, or less than the two headers, would make
  // the checksum read outside the packet: such a packet is not processed.
  const std::size_t totalLen = packet->total_len();
  VN_ASSERT(totalLen == ip.size());
  VN_ASSERT(totalLen >= kEchoHeadersLen);
  if (totalLen > ip.size() || totalLen < kEchoHeadersLen) return PacketIgnored(kIgnoreTooTiny);

  auto echo = IcmpEcho::New(ip.subspan(Ipv4Packet::kHeaderLen, totalLen - Ipv4Packet::kHeaderLen));
  if (!echo) return PacketIgnored(kIgnoreTooTiny);
  const ChecksumVerdict verdict = VerifyChecksums(*packet, *echo);
  if (!verdict.headerOk) return PacketIgnored(kIgnoreBadIPChecksum);
  if (!verdict.icmpOk) return PacketIgnored(kIgnoreBadICMPChecksum);

  const bool forGuest = packet->dst_addr() == record.binInterface_IPAddr;
  if (icmpType == wire::icmp::kEchoRequest) {
    if (!forGuest) return PacketIgnored(kIgnoreNotPingForUs);
    return responder.AnswerEchoRequest(view, record, *packet);
  }
  if (!forGuest) return PacketIgnored(kIgnoreNotReplyForUs);
  responder.MatchEchoReply(view, record, *packet);
}
