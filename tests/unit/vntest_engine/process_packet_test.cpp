#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/debug_mode.h"
#include "engine/process_packet.h"
#include "log_capture.h"
#include "packet_builder.h"
#include "recording_responder.h"

namespace {

using namespace packet_builder;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;

constexpr const char* kAssertionLine = R"(process_packet\.cpp\([0-9]+\): \*\* Assertion Failed \*\*)";

// Runs in TUN mode (false) and TAP mode (true): the same IPv4 packet, bare or
// in an Ethernet frame.
class ClassifyTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    SetDebugMode(true);
    record_.bTAPMode = GetParam();
    record_.binInterface_IPAddr = kGuestIP;
    log_.Lines();
  }
  void TearDown() override { SetDebugMode(false); }

  // Classifies the packet in place (in a frame on TAP) and returns the log.
  std::vector<std::string> Classify(const Bytes& ip) {
    buffer_ = record_.bTAPMode ? Frame(wire::ethertype::kIPv4, ip) : ip;
    ProcessPacket(responder_, log_.view(), record_, buffer_.data(), static_cast<int>(buffer_.size()));
    return log_.Lines();
  }
  std::vector<std::string> Ignored(const char* reason) {
    return {std::string("Packet was ignored (") + reason + ")"};
  }
  std::size_t IpOffset() const { return record_.bTAPMode ? 14 : 0; }
  Bytes IpPartOfBuffer() const { return Bytes(buffer_.begin() + IpOffset(), buffer_.end()); }

  LogCapture log_;
  INTERFACEREC record_;
  RecordingResponder responder_;
  Bytes buffer_;
};

INSTANTIATE_TEST_SUITE_P(TunAndTap, ClassifyTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Tap" : "Tun"; });

TEST_P(ClassifyTest, AnEchoRequestNeedsOnePayloadByte) {
  EXPECT_EQ(Classify(EchoRequestToGuest(0)), Ignored("Too tiny"));
  EXPECT_THAT(responder_.calls, IsEmpty());

  const Bytes request = EchoRequestToGuest(1);
  EXPECT_THAT(Classify(request), IsEmpty());
  ASSERT_EQ(responder_.calls.size(), 1u);
  EXPECT_EQ(responder_.calls[0].what, "echo-request");
  EXPECT_EQ(responder_.calls[0].bytes, request);
  EXPECT_EQ(responder_.calls[0].data, buffer_.data() + IpOffset()) << "handed on in place";
}

TEST_P(ClassifyTest, DontFragmentAloneIsNotFragmentation) {
  Bytes ip = EchoRequestToGuest();
  EXPECT_THAT(Classify(ip), IsEmpty());

  ip[6] = 0x20;  // More-Fragments
  Refill(ip);
  EXPECT_EQ(Classify(ip), Ignored("Fragmented"));
  ip[6] = 0x40;
  ip[7] = 0x01;  // Don't-Fragment with an offset
  Refill(ip);
  EXPECT_EQ(Classify(ip), Ignored("Fragmented"));
  EXPECT_EQ(responder_.calls.size(), 1u);
}

TEST_P(ClassifyTest, HeaderFieldsAreCheckedInOrder) {
  Bytes ip = EchoRequestToGuest();
  ip[0] = 0x65;
  Refill(ip);
  EXPECT_EQ(Classify(ip), Ignored("Bad IP hdr version"));

  ip = EchoRequestToGuest();
  ip[0] = 0x46;  // options, everything else right
  Refill(ip);
  EXPECT_EQ(Classify(ip), Ignored("Bad IP hdr length"));

  ip = EchoRequestToGuest();
  ip[9] = 17;  // UDP
  Refill(ip);
  EXPECT_EQ(Classify(ip), Ignored("Not ICMP"));

  ip = EchoRequestToGuest();
  ip[20] = 3;  // destination unreachable
  Refill(ip);
  EXPECT_EQ(Classify(ip), Ignored("Not ping"));

  ip = EchoRequestToGuest();
  ip[21] = 1;
  Refill(ip);
  EXPECT_EQ(Classify(ip), Ignored("Bad ICMP code"));

  ip = EchoRequestToGuest();
  ip[0] = 0x65;  // a bad version in a fragment: fragmentation is seen first
  ip[6] = 0x20;
  EXPECT_EQ(Classify(ip), Ignored("Fragmented"));
  EXPECT_THAT(responder_.calls, IsEmpty());
}

TEST_P(ClassifyTest, ChecksumsAreVerifiedAndTheReceivedValuesPutBack) {
  Bytes ip = EchoRequestToGuest();
  ip[10] ^= 0x55;  // header checksum
  ip[22] ^= 0x55;  // ICMP checksum
  EXPECT_EQ(Classify(ip), Ignored("Bad IP hdr checksum"));
  EXPECT_EQ(IpPartOfBuffer(), ip);

  ip = EchoRequestToGuest();
  ip[23] ^= 0x01;
  EXPECT_EQ(Classify(ip), Ignored("Bad ICMP checksum"));
  EXPECT_EQ(IpPartOfBuffer(), ip);

  ip = EchoRequestToGuest();
  ip[30] ^= 0xFF;  // payload changed after the sum was taken
  EXPECT_EQ(Classify(ip), Ignored("Bad ICMP checksum"));

  ip = EchoRequestToGuest(33);  // an odd length
  EXPECT_THAT(Classify(ip), IsEmpty());
  EXPECT_EQ(IpPartOfBuffer(), ip);
  EXPECT_EQ(responder_.calls.size(), 1u);
}

TEST_P(ClassifyTest, OnlyTheGuestsAddressCounts) {
  EXPECT_EQ(Classify(Echo(wire::icmp::kEchoRequest, kPeerIP, Addr(198, 51, 100, 3), 8)),
            Ignored("Not ping for us"));
  EXPECT_EQ(Classify(Echo(wire::icmp::kEchoReply, kPeerIP, Addr(198, 51, 100, 3), 8)),
            Ignored("Not reply for us"));
  EXPECT_THAT(responder_.calls, IsEmpty());

  const Bytes reply = Echo(wire::icmp::kEchoReply, kPeerIP, kGuestIP, 8);
  EXPECT_THAT(Classify(reply), IsEmpty());
  ASSERT_EQ(responder_.calls.size(), 1u);
  EXPECT_EQ(responder_.calls[0].what, "echo-reply");
  EXPECT_EQ(responder_.calls[0].bytes, reply);
}

TEST_P(ClassifyTest, IgnoredPacketsAreSilentWithoutDebugMode) {
  SetDebugMode(false);
  Bytes ip = EchoRequestToGuest();
  ip[9] = 6;
  EXPECT_THAT(Classify(ip), IsEmpty());
  EXPECT_THAT(Classify(EchoRequestToGuest(0)), IsEmpty());
}

TEST_P(ClassifyTest, ATotalLengthBeyondTheBytesReceivedIsNotProcessed) {
  Bytes ip = EchoRequestToGuest(10);
  ip[2] = 0x01;  // 256 + 38: claims bytes that never arrived
  Refill(ip);
  EXPECT_THAT(Classify(ip), ElementsAre(MatchesRegex(kAssertionLine), "Packet was ignored (Too tiny)"));
  EXPECT_EQ(IpPartOfBuffer(), ip);
  EXPECT_THAT(responder_.calls, IsEmpty());
}

TEST_P(ClassifyTest, ATotalLengthBelowTheHeadersIsNotProcessed) {
  Bytes ip = EchoRequestToGuest(10);
  ip[3] = 20;  // only the IPv4 header
  Refill(ip);
  EXPECT_THAT(Classify(ip), ElementsAre(MatchesRegex(kAssertionLine), MatchesRegex(kAssertionLine),
                                        "Packet was ignored (Too tiny)"));
  EXPECT_THAT(responder_.calls, IsEmpty());
}

TEST_P(ClassifyTest, PaddingAfterTheTotalLengthIsReportedAndTolerated) {
  Bytes ip = EchoRequestToGuest(1);
  Bytes padded = ip;
  padded.resize(46, 0);  // a minimum Ethernet payload
  EXPECT_THAT(Classify(padded), ElementsAre(MatchesRegex(kAssertionLine)));
  ASSERT_EQ(responder_.calls.size(), 1u);
  EXPECT_EQ(responder_.calls[0].bytes, padded) << "the responder gets the padding too";
}

TEST_P(ClassifyTest, EmptyReadsAreTooTiny) {
  ProcessPacket(responder_, log_.view(), record_, nullptr, 0);
  BYTE one = 0x45;
  ProcessPacket(responder_, log_.view(), record_, &one, 1);
  EXPECT_THAT(log_.Lines(), ElementsAre("Packet was ignored (Too tiny)", "Packet was ignored (Too tiny)"));
}

class TapClassifyTest : public ClassifyTest {};
INSTANTIATE_TEST_SUITE_P(Tap, TapClassifyTest, ::testing::Values(true));

TEST_P(TapClassifyTest, ArpAndRarpFramesGoWholeToTheirResponders) {
  Bytes arp = Frame(wire::ethertype::kARP, Bytes(46, 0x11));
  ProcessPacket(responder_, log_.view(), record_, arp.data(), static_cast<int>(arp.size()));
  Bytes rarp = Frame(wire::ethertype::kRARP, Bytes(6, 0x22));  // short: the responder decides
  ProcessPacket(responder_, log_.view(), record_, rarp.data(), static_cast<int>(rarp.size()));
  ASSERT_EQ(responder_.calls.size(), 2u);
  EXPECT_EQ(responder_.calls[0].what, "arp");
  EXPECT_EQ(responder_.calls[0].bytes, arp);
  EXPECT_EQ(responder_.calls[0].data, arp.data());
  EXPECT_EQ(responder_.calls[1].what, "rarp");
  EXPECT_EQ(responder_.calls[1].bytes, rarp);
  EXPECT_THAT(log_.Lines(), IsEmpty());
}

TEST_P(TapClassifyTest, OtherEthernetTypesAndShortFramesAreIgnored) {
  Bytes ipv6 = Frame(0x86DD, EchoRequestToGuest());
  ProcessPacket(responder_, log_.view(), record_, ipv6.data(), static_cast<int>(ipv6.size()));
  Bytes stub = Frame(wire::ethertype::kARP, {});
  stub.resize(13);  // no room for the type
  ProcessPacket(responder_, log_.view(), record_, stub.data(), static_cast<int>(stub.size()));
  EXPECT_THAT(log_.Lines(), ElementsAre("Packet was ignored (Unknown packet)", "Packet was ignored (Too tiny)"));
  EXPECT_THAT(responder_.calls, IsEmpty());
}

TEST(PacketIgnoredText, EveryCodeHasItsText) {
  const char* expected[] = {"Unknown packet",      "Too tiny",          "Fragmented",       "Bad IP hdr version",
                            "Bad IP hdr length",   "Not ICMP",          "Not ping",         "Bad ICMP code",
                            "Bad IP hdr checksum", "Bad ICMP checksum", "Not reply for us", "Not ping for us"};
  for (int code = 0; code < 12; ++code) EXPECT_STREQ(PacketIgnoredText(code), expected[code]);
  EXPECT_STREQ(PacketIgnoredText(12), "(unknown)");
  EXPECT_STREQ(PacketIgnoredText(-1), "(unknown)");
}

}  // namespace
