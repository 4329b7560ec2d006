// Each view against a fixed byte array: deconstruct, construct, parse, emit.
#include <gtest/gtest.h>

#include <vector>

#include "engine/wire/arp_packet.h"
#include "engine/wire/ethernet_frame.h"
#include "engine/wire/icmp_echo.h"
#include "engine/wire/ipv4_packet.h"
#include "vifnet_fake.h"

namespace {

using namespace wire;
using Bytes = std::vector<BYTE>;

DWORD Addr(BYTE a, BYTE b, BYTE c, BYTE d) {
  const BYTE bytes[4] = {a, b, c, d};
  DWORD address;
  std::memcpy(&address, bytes, 4);
  return address;
}

const MacAddress kGuestMac{0x02, 0x00, 0x5E, 0x80, 0x00, 0x04};
const MacAddress kHostMac{0x52, 0x54, 0x00, 0x12, 0x34, 0x56};

// A broadcast ARP request from the host (203.0.113.5) for 198.51.100.2.
const Bytes kArpRequestFrame = {
    0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x52, 0x54, 0x00, 0x12, 0x34, 0x56, 0x08, 0x06,  // Ethernet
    0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x01,                                      // ARP
    0x52, 0x54, 0x00, 0x12, 0x34, 0x56, 203,  0,    113,  5,                             // sender
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 198,  51,   100,  2};                            // target

// An echo request from 198.51.100.2 to 203.0.113.5 with the one payload byte 'a'.
const Bytes kEchoRequest = {0x45, 0x00, 0x00, 0x1d, 0x00, 0x00, 0x40, 0x00, 0x40, 0x01, 0xd4, 0xa4, 198,  51,  100,
                            2,    203,  0,    113,  5,    0x08, 0x00, 0x84, 0xca, 0x12, 0x34, 0x00, 0x01, 0x61};

TEST(PacketViews, ShortBytesAreTruncated) {
  Bytes bytes(41, 0);
  std::span<BYTE> all(bytes);
  EXPECT_STREQ(EthernetFrame::New(all.first(13)).error(), "truncated");
  EXPECT_TRUE(EthernetFrame::New(all.first(14)));
  EXPECT_STREQ(ArpPacket::New(all.first(27)).error(), "truncated");
  EXPECT_STREQ(Ipv4Packet::New(all.first(19)).error(), "truncated");
  EXPECT_STREQ(IcmpEcho::New(all.first(7)).error(), "truncated");
  EXPECT_STREQ(ArpPacket::New(all.subspan(14)).error(), "truncated") << "a 41-byte ARP frame";
}

TEST(PacketViews, EthernetAndArpDeconstructAndParse) {
  Bytes frame = kArpRequestFrame;
  auto ethernet = EthernetFrame::New(frame);
  ASSERT_TRUE(ethernet);
  EXPECT_EQ(ethernet->destination(), (MacAddress{0xff, 0xff, 0xff, 0xff, 0xff, 0xff}));
  EXPECT_EQ(ethernet->source(), kHostMac);
  EXPECT_EQ(ethernet->ethertype(), ethertype::kARP);
  EXPECT_EQ(ethernet->payload().size(), 28u);

  auto arpView = ArpPacket::New(ethernet->payload());
  ASSERT_TRUE(arpView);
  EXPECT_EQ(arpView->operation(), arp::kRequest);
  auto repr = ArpRepr::Parse(*arpView);
  ASSERT_TRUE(repr.has_value());
  EXPECT_EQ(*repr, (ArpRepr{arp::kRequest, kHostMac, Addr(203, 0, 113, 5), MacAddress{}, Addr(198, 51, 100, 2)}));

  frame[18] = 8;  // another hardware address length
  EXPECT_FALSE(ArpRepr::Parse(*ArpPacket::New(EthernetFrame::New(frame)->payload())).has_value());
}

TEST(PacketViews, EthernetAndArpEmitTheSameBytes) {
  Bytes out(42, 0xEE);
  auto ethernet = EthernetFrame::New(out);
  EthernetRepr{{0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, kHostMac, ethertype::kARP}.Emit(*ethernet);
  auto arpView = ArpPacket::New(ethernet->payload());
  ArpRepr{arp::kRequest, kHostMac, Addr(203, 0, 113, 5), MacAddress{}, Addr(198, 51, 100, 2)}.Emit(*arpView);
  EXPECT_EQ(out, kArpRequestFrame);
}

TEST(PacketViews, ArpSettersRewriteInPlace) {
  Bytes frame = kArpRequestFrame;
  frame.resize(60, 0);  // padded
  auto arpView = ArpPacket::New(EthernetFrame::New(frame)->payload());
  ASSERT_TRUE(arpView);
  EXPECT_EQ(arpView->bytes().size(), 28u) << "the view ends at the packet, not at the padding";
  arpView->set_operation(arp::kReply);
  arpView->set_sender_hardware_addr(kGuestMac);
  EXPECT_EQ(frame[21], 2);
  EXPECT_EQ(Bytes(frame.begin() + 22, frame.begin() + 28), Bytes(kGuestMac.begin(), kGuestMac.end()));
}

TEST(PacketViews, Ipv4AndIcmpDeconstructAndVerify) {
  Bytes bytes = kEchoRequest;
  auto packet = Ipv4Packet::New(bytes);
  ASSERT_TRUE(packet);
  EXPECT_EQ(packet->version(), 4);
  EXPECT_EQ(packet->header_words(), 5);
  EXPECT_EQ(packet->total_len(), 29);
  EXPECT_EQ(packet->flags_fragment(), ipv4::kDontFragment);
  EXPECT_EQ(packet->ttl(), 64);
  EXPECT_EQ(packet->protocol(), ipv4::kProtocolICMP);
  EXPECT_EQ(packet->checksum(), 0xd4a4);
  EXPECT_EQ(packet->src_addr(), Addr(198, 51, 100, 2));
  EXPECT_EQ(packet->dst_addr(), Addr(203, 0, 113, 5));
  EXPECT_EQ(packet->payload().size(), 9u);

  auto echo = IcmpEcho::New(packet->payload());
  ASSERT_TRUE(echo);
  EXPECT_EQ(echo->type(), icmp::kEchoRequest);
  EXPECT_EQ(echo->code(), 0);
  EXPECT_EQ(echo->checksum(), 0x84ca);
  EXPECT_EQ(echo->ident(), 0x1234);
  EXPECT_EQ(echo->seq_no(), 1);
  EXPECT_EQ(echo->payload().size(), 1u);

  // Refilling the checksums reproduces the received ones.
  packet->fill_checksum();
  echo->fill_checksum();
  EXPECT_EQ(bytes, kEchoRequest);
}

TEST(PacketViews, Ipv4PayloadNeverReachesPastTheBytes) {
  Bytes bytes = kEchoRequest;
  auto packet = Ipv4Packet::New(bytes);
  packet->set_total_len(60000);
  EXPECT_EQ(packet->payload().size(), 9u);
  packet->set_total_len(4);
  EXPECT_EQ(packet->payload().size(), 0u);
  bytes.resize(40, 0);  // padding after the total length
  packet = Ipv4Packet::New(bytes);
  packet->set_total_len(29);
  EXPECT_EQ(packet->payload().size(), 9u);
}

TEST(PacketViews, Ipv4AndIcmpParseAndEmit) {
  Bytes bytes = kEchoRequest;
  auto packet = Ipv4Packet::New(bytes);
  const Ipv4Repr ip = Ipv4Repr::Parse(*packet);
  EXPECT_EQ(ip, (Ipv4Repr{Addr(198, 51, 100, 2), Addr(203, 0, 113, 5), 1, 64, 0, 0x4000, 9}));
  auto echoView = IcmpEcho::New(packet->payload());
  const IcmpEchoRepr echo = IcmpEchoRepr::Parse(*echoView);
  EXPECT_EQ(echo.type, icmp::kEchoRequest);
  EXPECT_EQ(echo.ident, 0x1234);
  EXPECT_EQ(echo.seq_no, 1);
  ASSERT_EQ(echo.payload.size(), 1u);

  Bytes out(29, 0xEE);
  auto outPacket = Ipv4Packet::New(out);
  auto outEcho = IcmpEcho::New(outPacket->bytes().subspan(20));
  echo.Emit(*outEcho);  // the ICMP checksum first: the header's does not cover it
  ip.Emit(*outPacket);
  EXPECT_EQ(out, kEchoRequest);
}

}  // namespace
