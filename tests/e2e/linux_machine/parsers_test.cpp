// The linux machine's pure pieces: the resolver and os-release files, the
// capture buffer format, the ARP payload, ethtool feature names, the offload
// record and the route choice. No root, no kernel state.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "linux/arp_packet_linux.h"
#include "linux/capture_format.h"
#include "linux/multicast_list_linux.h"
#include "linux/netif_linux.h"
#include "linux/netlink_linux.h"
#include "linux/oid_answers_linux.h"
#include "linux/os_release_linux.h"
#include "linux/resolv_conf_linux.h"
#include "platform/npf.h"

namespace platform::linuxhost {
namespace {

std::uint32_t Ip(const char* text) { return inet_addr(text); }

TEST(ResolverConfig, ServersInOrderDomainLastWinsAndJunkSkipped) {
  ResolverConfig config = ParseResolverConfig(
      "# generated\n"
      "; old style comment\n"
      "domain first.example\n"
      "nameserver 198.51.100.53\n"
      "nameserver 2001:db8::1\n"
      "nameserver not-an-address\n"
      "nameserver\n"
      "options ndots:2\n"
      "search lab.example other.example\n"
      "nameserver 203.0.113.53   # trailing\n");
  ASSERT_EQ(config.servers.size(), 2u);
  EXPECT_EQ(config.servers[0], Ip("198.51.100.53"));
  EXPECT_EQ(config.servers[1], Ip("203.0.113.53"));
  EXPECT_EQ(config.domain, "lab.example");
}

TEST(ResolverConfig, EmptyAndBinaryTextGiveNothing) {
  EXPECT_TRUE(ParseResolverConfig("").servers.empty());
  std::string binary("\0\xff\n\x01nameserver\0 1.2.3.4", 24);
  ResolverConfig config = ParseResolverConfig(binary);
  EXPECT_TRUE(config.servers.empty());
  EXPECT_TRUE(config.domain.empty());
}

TEST(MulticastList, TheInterfacesWholeAddressesInFileOrderAndJunkSkipped) {
  const std::string text =
      "1    lo              1     0     010000000001\n"
      "3    mvt0            1     0     01005e000001\n"
      "3    mvt0            2     1     333300000001\n"
      "3    mvt0            1     0     01005E7F7F7\n"        // one digit short
      "3    mvt0            1     0     01005e00000g\n"       // not hex
      "x    mvt0            1     0     01005e000002\n"       // no index
      "3    mvt0            1     0     01005e000003 extra\n"  // a field too many
      "3    mvt0\n"
      "30   mvt00           1     0     01005e000004\n"
      "3    mvt0            1     0     01005EAABBCC";
  const std::vector<MacAddress> list = ParseMulticastList(text, 3);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0], (MacAddress{0x01, 0x00, 0x5e, 0x00, 0x00, 0x01}));
  EXPECT_EQ(list[1], (MacAddress{0x33, 0x33, 0x00, 0x00, 0x00, 0x01}));
  EXPECT_EQ(list[2], (MacAddress{0x01, 0x00, 0x5e, 0xaa, 0xbb, 0xcc}));
  EXPECT_TRUE(ParseMulticastList(text, 7).empty());
  const char binary[] = "\0\xff 3 a b c 01005e000001";
  EXPECT_TRUE(ParseMulticastList(std::string(binary, sizeof binary - 1), 3).empty());
}

TEST(OsRelease, QuotesEscapesCommentsAndBadLines) {
  auto fields = ParseOsReleaseFields(
      "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n"
      "# comment\n"
      "  VERSION_ID=\"12\"  \n"
      "VARIANT='Server Edition'\n"
      "ID=debian\n"
      "NAME=\"Say \\\"hi\\\" \\\\ there\"\n"
      "BROKEN=\"unterminated\n"
      "1BAD=x\n"
      "no equals sign\n"
      "EMPTY=\n");
  EXPECT_EQ(fields["PRETTY_NAME"], "Debian GNU/Linux 12 (bookworm)");
  EXPECT_EQ(fields["VERSION_ID"], "12");
  EXPECT_EQ(fields["VARIANT"], "Server Edition");
  EXPECT_EQ(fields["ID"], "debian");
  EXPECT_EQ(fields["NAME"], "Say \"hi\" \\ there");
  EXPECT_EQ(fields.count("BROKEN"), 0u);
  EXPECT_EQ(fields.count("1BAD"), 0u);
  EXPECT_EQ(fields["EMPTY"], "");
}

// Builds a capture-format buffer: each frame behind a header, aligned.
std::vector<std::uint8_t> CaptureBuffer(const std::vector<std::vector<std::uint8_t>>& frames, bool padLast) {
  std::vector<std::uint8_t> buffer;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    std::size_t at = buffer.size();
    buffer.resize(at + sizeof(npf::bpf_hdr));
    WriteCaptureHeader(buffer.data() + at, 1, 2, static_cast<std::uint32_t>(frames[i].size()),
                       static_cast<std::uint32_t>(frames[i].size()));
    buffer.insert(buffer.end(), frames[i].begin(), frames[i].end());
    if (i + 1 < frames.size() || padLast) buffer.resize(npf::Packet_WORDALIGN(buffer.size()));
  }
  return buffer;
}

TEST(CaptureBuffer, HeaderLayoutAndSplitRoundTrip) {
  std::vector<std::uint8_t> a(61, 0xAA), b(60, 0xBB), c(1, 0xCC);
  for (bool padLast : {false, true}) {
    std::vector<std::uint8_t> buffer = CaptureBuffer({a, b, c}, padLast);
    npf::bpf_hdr first;
    std::memcpy(&first, buffer.data(), sizeof first);
    EXPECT_EQ(first.bh_tstamp.tv_sec, 1);
    EXPECT_EQ(first.bh_tstamp.tv_usec, 2);
    EXPECT_EQ(first.bh_caplen, 61u);
    EXPECT_EQ(first.bh_datalen, 61u);
    EXPECT_EQ(first.bh_hdrlen, 20);
    std::vector<FrameSpan> frames;
    std::string why;
    ASSERT_TRUE(SplitCaptureBuffer(buffer.data(), buffer.size(), &frames, &why)) << why;
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].offset, 20u);
    EXPECT_EQ(frames[0].length, 61u);
    EXPECT_EQ(frames[1].offset, 84u + 20u);  // 20 + 61 rounded up to 84
    EXPECT_EQ(frames[1].length, 60u);
    EXPECT_EQ(buffer[frames[2].offset], 0xCC);
  }
}

// The driver's buffer hands out whole packets in arrival order, as many as
// fit, each where a read of one packet at a time would have put it.
TEST(CaptureQueue, ReadsTakeWholePacketsInOrderAndCutOnlyAFirstOneTooLarge) {
  CaptureQueue queue;
  EXPECT_TRUE(queue.empty());
  std::vector<std::vector<std::uint8_t>> sent;
  for (std::size_t size : {61u, 60u, 1u, 300u}) {
    sent.emplace_back(size, static_cast<std::uint8_t>(size));
    queue.Append(7, 9, static_cast<std::uint32_t>(size + 4), sent.back().data(), size);
  }
  EXPECT_EQ(queue.bytes(), CaptureRoomOf(61) + CaptureRoomOf(60) + CaptureRoomOf(1) + CaptureRoomOf(300));

  // Room for the first two and the header of the third, not its byte.
  std::vector<std::uint8_t> out(CaptureRoomOf(61) + CaptureRoomOf(60) + 20, 0xEE);
  ASSERT_EQ(queue.Take(out.data(), out.size()), CaptureRoomOf(61) + CaptureRoomOf(60));
  std::vector<FrameSpan> frames;
  std::string why;
  ASSERT_TRUE(SplitCaptureBuffer(out.data(), CaptureRoomOf(61) + CaptureRoomOf(60), &frames, &why)) << why;
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(std::vector<std::uint8_t>(out.begin() + 20, out.begin() + 81), sent[0]);
  EXPECT_EQ(std::vector<std::uint8_t>(out.begin() + 81, out.begin() + 84), std::vector<std::uint8_t>(3, 0)) << "padding";
  npf::bpf_hdr header;
  std::memcpy(&header, out.data() + frames[1].offset - 20, sizeof header);
  EXPECT_EQ(header.bh_caplen, 60u);
  EXPECT_EQ(header.bh_datalen, 64u);
  EXPECT_EQ(header.bh_tstamp.tv_sec, 7);
  EXPECT_EQ(header.bh_tstamp.tv_usec, 9);

  // The 1-byte packet fits with its padding left out; the 300-byte one then
  // waits, since the read is not empty.
  std::vector<std::uint8_t> small(21);
  ASSERT_EQ(queue.Take(small.data(), small.size()), 21u);
  EXPECT_EQ(small[20], 1);
  // Alone in a read too small for it, it is cut to fit.
  std::vector<std::uint8_t> cut(120);
  ASSERT_EQ(queue.Take(cut.data(), cut.size()), 120u);
  std::memcpy(&header, cut.data(), sizeof header);
  EXPECT_EQ(header.bh_caplen, 100u);
  EXPECT_EQ(header.bh_datalen, 304u);
  EXPECT_TRUE(queue.empty());
  EXPECT_EQ(queue.bytes(), 0u);

  // Emptied room is used again: many small packets through a queue that
  // never holds more than a few.
  for (int round = 0; round < 1000; ++round) {
    queue.Append(round, 0, 60, sent[1].data(), 60);
    queue.Append(round, 1, 60, sent[1].data(), 60);
    std::vector<std::uint8_t> one(CaptureRoomOf(60));
    ASSERT_EQ(queue.Take(one.data(), one.size()), CaptureRoomOf(60));
    std::memcpy(&header, one.data(), sizeof header);
    // Two in, one out: the oldest is the (round)th packet appended.
    ASSERT_EQ(header.bh_tstamp.tv_sec, round / 2);
    ASSERT_EQ(header.bh_tstamp.tv_usec, round % 2);
  }
  EXPECT_EQ(queue.bytes(), 1000 * CaptureRoomOf(60));
  queue.Clear();
  EXPECT_TRUE(queue.empty());
}

TEST(CaptureBuffer, RejectsWholeBufferOnAnyBadRecord) {
  std::vector<std::uint8_t> good = CaptureBuffer({std::vector<std::uint8_t>(60, 1), std::vector<std::uint8_t>(60, 2)}, true);
  std::vector<FrameSpan> frames;
  std::string why;

  std::vector<std::uint8_t> cut(good.begin(), good.end() - 1);  // second frame one byte short
  EXPECT_FALSE(SplitCaptureBuffer(cut.data(), cut.size(), &frames, &why));
  EXPECT_TRUE(frames.empty());
  EXPECT_NE(why.find("past the end"), std::string::npos) << why;

  std::vector<std::uint8_t> trailing = good;
  trailing.resize(trailing.size() + 7);  // a header cut short
  EXPECT_FALSE(SplitCaptureBuffer(trailing.data(), trailing.size(), &frames, &why));
  EXPECT_NE(why.find("truncated header"), std::string::npos) << why;

  std::vector<std::uint8_t> shortHeader = good;
  shortHeader[16] = 19;  // bh_hdrlen below the header's own size
  shortHeader[17] = 0;
  EXPECT_FALSE(SplitCaptureBuffer(shortHeader.data(), shortHeader.size(), &frames, &why));

  std::vector<std::uint8_t> huge = good;
  std::uint32_t enormous = 0xFFFFFFF0;
  std::memcpy(huge.data() + 8, &enormous, 4);  // caplen that would wrap an offset
  EXPECT_FALSE(SplitCaptureBuffer(huge.data(), huge.size(), &frames, &why));

  EXPECT_TRUE(SplitCaptureBuffer(good.data(), 0, &frames, &why));
  EXPECT_TRUE(frames.empty());
}

TEST(ArpPayload, RequestLayoutAndReplyMatching) {
  std::array<std::uint8_t, 6> mac = {0x02, 0, 0, 0, 1, 1};
  auto request = BuildArpRequest(mac, Ip("198.51.100.1"), Ip("198.51.100.2"));
  const std::uint8_t expected[kArpPayloadSize] = {0, 1, 8, 0, 6, 4, 0, 1, 2, 0, 0, 0, 1, 1, 198, 51, 100, 1,
                                                  0, 0, 0, 0, 0, 0, 198, 51, 100, 2};
  EXPECT_EQ(0, std::memcmp(request.data(), expected, kArpPayloadSize));

  // The peer's reply: operation 2, sender = the address asked for.
  std::uint8_t reply[kArpPayloadSize];
  std::memcpy(reply, expected, sizeof reply);
  reply[7] = 2;
  const std::uint8_t peer[6] = {0x02, 0, 0, 0, 1, 2};
  std::memcpy(reply + 8, peer, 6);
  std::memcpy(reply + 14, expected + 24, 4);
  std::array<std::uint8_t, 6> answer{};
  ASSERT_TRUE(ParseArpReply(reply, sizeof reply, Ip("198.51.100.2"), &answer));
  EXPECT_EQ(0, std::memcmp(answer.data(), peer, 6));
  EXPECT_FALSE(ParseArpReply(reply, sizeof reply, Ip("198.51.100.3"), &answer));  // someone else's
  EXPECT_FALSE(ParseArpReply(reply, sizeof reply - 1, Ip("198.51.100.2"), &answer));  // truncated
  EXPECT_FALSE(ParseArpReply(request.data(), request.size(), Ip("198.51.100.1"), &answer));  // a request
  reply[4] = 8;  // not a 6-byte hardware address
  EXPECT_FALSE(ParseArpReply(reply, sizeof reply, Ip("198.51.100.2"), &answer));
}

TEST(OffloadFeatures, NamesMapToActiveBitsAcrossWords) {
  std::vector<std::string> names(40);
  names[1] = "tx-checksum-ipv4";
  names[3] = "tx-checksum-ip-generic";
  names[4] = "tx-checksum-ipv6";
  names[16] = "tx-tcp-segmentation";
  names[35] = "rx-checksum";
  names[36] = "tx-tcp6-segmentation";
  OffloadFeatures features = FeaturesFromStrings(names, {(1U << 3) | (1U << 16), 1U << 3});
  EXPECT_FALSE(features.txChecksumIpv4);
  EXPECT_TRUE(features.txChecksumGeneric);
  EXPECT_FALSE(features.txChecksumIpv6);
  EXPECT_TRUE(features.tcpSegmentation);
  EXPECT_TRUE(features.rxChecksum);
  EXPECT_FALSE(features.tcp6Segmentation);
  // A mask shorter than the names: the rest count as off.
  EXPECT_FALSE(FeaturesFromStrings(names, {0xFFFFFFFF}).rxChecksum);
}

DWORD FieldsOf(const std::vector<BYTE>& record, std::size_t pair) {
  DWORD fields;
  std::memcpy(&fields, record.data() + sizeof(npf::NDIS_OBJECT_HEADER) + pair * 8 + 4, 4);
  return fields;
}

TEST(OffloadRecord, ChecksumFieldsFollowFeatures) {
  OffloadFeatures features;
  features.txChecksumGeneric = true;
  std::vector<BYTE> record = Ndis6OffloadRecord(features);
  ASSERT_EQ(record.size(), npf::kNdis6OffloadMinimum);
  EXPECT_EQ(record[0], npf::NDIS_OBJECT_TYPE_OFFLOAD);
  EXPECT_EQ(record[1], 1);
  EXPECT_EQ(record[2] | (record[3] << 8), 112);
  const DWORD tcpAndUdp = (1U << 4) | (1U << 6);
  EXPECT_EQ(FieldsOf(record, 0) & 0x3F0, tcpAndUdp);  // IPv4 transmit, no IP header checksum
  EXPECT_EQ(FieldsOf(record, 1), 0u);                 // IPv4 receive
  EXPECT_EQ(FieldsOf(record, 2) & 0x3F0, tcpAndUdp);  // IPv6 transmit
  EXPECT_EQ(FieldsOf(record, 3), 0u);

  features = {};
  features.txChecksumIpv4 = true;
  features.rxChecksum = true;
  record = Ndis6OffloadRecord(features);
  EXPECT_EQ(FieldsOf(record, 0) & 0x3F0, tcpAndUdp);
  EXPECT_EQ(FieldsOf(record, 1) & 0x3F0, tcpAndUdp);
  EXPECT_EQ(FieldsOf(record, 2), 0u);  // ipv4-only transmit checksums
  EXPECT_EQ(FieldsOf(record, 3) & 0x3F0, tcpAndUdp);
}

TEST(LinkSpeed, UnitsOfHundredBitsSaturating) {
  EXPECT_EQ(LinkSpeedUnits(0), 0u);
  EXPECT_EQ(LinkSpeedUnits(100), 1000000u);
  EXPECT_EQ(LinkSpeedUnits(10000), 100000000u);
  EXPECT_EQ(LinkSpeedUnits(800000), 0xFFFFFFFFu);
}

TEST(RouteChoice, LongestPrefixThenLowestMetric) {
  std::vector<RouteEntry> routes(4);
  routes[0].destination = 0;  // default, metric 100
  routes[0].metric = 100;
  routes[0].interfaceIndex = 1;
  routes[1].destination = 0;  // default, metric 10
  routes[1].metric = 10;
  routes[1].interfaceIndex = 2;
  routes[2].destination = Ip("198.51.100.0");
  routes[2].prefixLength = 24;
  routes[2].interfaceIndex = 3;
  routes[3].destination = Ip("198.51.100.64");
  routes[3].prefixLength = 26;
  routes[3].interfaceIndex = 4;
  EXPECT_EQ(BestRoute(routes, Ip("198.51.100.70"))->interfaceIndex, 4u);
  EXPECT_EQ(BestRoute(routes, Ip("198.51.100.7"))->interfaceIndex, 3u);
  EXPECT_EQ(BestRoute(routes, Ip("203.0.113.1"))->interfaceIndex, 2u);
  EXPECT_FALSE(BestRoute({routes[2]}, Ip("203.0.113.1")).has_value());
  EXPECT_EQ(MaskOfPrefix(26), Ip("255.255.255.192"));
  EXPECT_EQ(MaskOfPrefix(32), Ip("255.255.255.255"));
  EXPECT_EQ(MaskOfPrefix(0), 0u);
}

}  // namespace
}  // namespace platform::linuxhost
