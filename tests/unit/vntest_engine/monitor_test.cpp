// The monitor thread over the recording library: the guest's ARP, RARP and
// echo answers as bytes, the frame writer's choice of destination, and a
// failing read that stops the whole guest.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "engine/debug_mode.h"
#include "engine/engine.h"
#include "engine/ping_session.h"
#include "engine_harness.h"
#include "mestralib/errors.h"
#include "packet_builder.h"
#include "platform/winerror.h"
#include "vifnet_fake.h"

namespace {

using ::testing::HasSubstr;
using Bytes = std::vector<std::uint8_t>;
using packet_builder::Addr;

const wire::MacAddress kGuestMac{0x02, 0x00, 0x5E, 0x80, 0x00, 0x04};
const wire::MacAddress kHostMac{0x02, 0, 0, 0, 0, 0x10};
const wire::MacAddress kAskerMac{0x52, 0x54, 0x00, 0x12, 0x34, 0x56};
const wire::MacAddress kGatewayMac{0x02, 0, 0, 0, 0, 0x01};
const wire::MacAddress kNeighbourMac{0x02, 0, 0, 0, 0, 0x20};
const DWORD kGuestIp = Addr(192, 0, 2, 111);
const DWORD kHostIp = Addr(192, 0, 2, 10);
const DWORD kAskerIp = Addr(192, 0, 2, 20);

void Put(Bytes& b, std::size_t at, const void* data, std::size_t n) { std::memcpy(b.data() + at, data, n); }
void Put16(Bytes& b, std::size_t at, WORD v) {
  b[at] = static_cast<BYTE>(v >> 8);
  b[at + 1] = static_cast<BYTE>(v);
}

// An ARP-format frame (ARP or RARP by `type`), `size` bytes (padded).
Bytes ArpFrame(WORD type, WORD operation, const wire::MacAddress& destination, const wire::MacAddress& targetMac,
               DWORD targetIp, std::size_t size = 42) {
  Bytes f(size, 0);
  Put(f, 0, destination.data(), 6);
  Put(f, 6, kAskerMac.data(), 6);
  Put16(f, 12, type);
  Put16(f, 14, 1);
  Put16(f, 16, 0x0800);
  f[18] = 6;
  f[19] = 4;
  Put16(f, 20, operation);
  Put(f, 22, kAskerMac.data(), 6);
  Put(f, 28, &kAskerIp, 4);
  Put(f, 32, targetMac.data(), 6);
  Put(f, 38, &targetIp, 4);
  return f;
}

const wire::MacAddress kBroadcast{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

class MonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vifnet_fake::Reset();
    Bytes ifr(32, 0);
    std::memcpy(ifr.data(), "tap0", 4);
    vifnet_fake::AnswerWith(VN32_TUNSETIFF, ifr);
    SetDebugMode(false);
    TheEngineGlobals().AdapterMaskOf = [](DWORD) { return Addr(255, 255, 255, 0); };
    TheEngineGlobals().DefaultGatewayMAC = {};
    INTERFACEREC& r = Interface1();
    ASSERT_TRUE(ResetInterfaceRec(r, true));
    ResetInterfaceRec(Interface2(), false);
    r.strBcastAddr.clear();
    r.strInterface_IPAddr = "192.0.2.111";
    r.strInterface_MACAddr = "02-00-5E-80-00-04";
    r.strAdapter_IPAddr = "192.0.2.10";
    DeriveInterfaceAddrs();
    r.binAdapter_MACAddr = kHostMac;
    ResolveAdapterValues(r);
    vifnet_fake::Reset();
    vifnet_fake::AnswerWith(VN32_TUNSETIFF, ifr);
  }
  void TearDown() override {
    StopGorlan(harness_.view());
    TheEngineGlobals().AdapterMaskOf = nullptr;
    TheEngineGlobals().DefaultGatewayMAC = {};
  }

  EngineHarness harness_;
};

TEST_F(MonitorTest, TapGuestAnswersArpRarpAndEchoForItselfOnly) {
  INTERFACEREC& r = Interface1();
  // Not answered: another IP, a unicast to a third MAC, a 41-byte frame,
  // a reply instead of a request, a RARP for another MAC.
  const wire::MacAddress third{0x02, 0x33, 0x33, 0x33, 0x33, 0x33};
  vifnet_fake::QueueRead(ArpFrame(0x0806, 1, kBroadcast, {}, Addr(192, 0, 2, 99)));
  vifnet_fake::QueueRead(ArpFrame(0x0806, 1, third, {}, kGuestIp));
  Bytes shortFrame = ArpFrame(0x0806, 1, kBroadcast, {}, kGuestIp);
  shortFrame.pop_back();
  vifnet_fake::QueueRead(shortFrame);
  vifnet_fake::QueueRead(ArpFrame(0x0806, 2, kBroadcast, {}, kGuestIp));
  vifnet_fake::QueueRead(ArpFrame(0x8035, 3, kBroadcast, third, 0));
  // Answered: a padded broadcast ARP request, a RARP request for the guest
  // MAC, an echo request.
  vifnet_fake::QueueRead(ArpFrame(0x0806, 1, kBroadcast, {}, kGuestIp, 60));
  vifnet_fake::QueueRead(ArpFrame(0x8035, 3, kGuestMac, kGuestMac, 0));
  Bytes echo = packet_builder::Echo(8, kAskerIp, kGuestIp, 40);
  echo[8] = 57;  // the time to live the asker chose comes back
  packet_builder::Refill(echo);
  Bytes echoFrame(14, 0);
  Put(echoFrame, 0, kGuestMac.data(), 6);
  Put(echoFrame, 6, kAskerMac.data(), 6);
  Put16(echoFrame, 12, 0x0800);
  echoFrame.insert(echoFrame.end(), echo.begin(), echo.end());
  vifnet_fake::QueueRead(echoFrame);
  // The asker's MAC is known to the host's tables.
  Bytes arp(36, 0);
  std::memcpy(arp.data() + 18, kAskerMac.data(), 6);
  vifnet_fake::AnswerWith(VN32_SIOCGARP, arp);

  StartGorlan(harness_.view());
  ASSERT_TRUE(vifnet_fake::WaitForCall("write " + std::to_string(echoFrame.size())));
  auto writes = vifnet_fake::Writes();
  ASSERT_EQ(writes.size(), 3u);

  Bytes arpReply = ArpFrame(0x0806, 2, kAskerMac, kAskerMac, kAskerIp);
  Put(arpReply, 6, kGuestMac.data(), 6);
  Put(arpReply, 22, kGuestMac.data(), 6);
  Put(arpReply, 28, &kGuestIp, 4);
  EXPECT_EQ(writes[0].bytes, arpReply);

  Bytes rarpReply = ArpFrame(0x8035, 4, kAskerMac, kGuestMac, kGuestIp);
  Put(rarpReply, 6, kGuestMac.data(), 6);
  Put(rarpReply, 22, kGuestMac.data(), 6);
  Put(rarpReply, 28, &kGuestIp, 4);
  EXPECT_EQ(writes[1].bytes, rarpReply);

  // Same identifier, sequence, payload and TTL; addresses swapped, type 0,
  // both checksums valid; to the asker's MAC from the guest's.
  const Bytes& reply = writes[2].bytes;
  ASSERT_EQ(reply.size(), echoFrame.size());
  EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 6), Bytes(kAskerMac.begin(), kAskerMac.end()));
  EXPECT_EQ(Bytes(reply.begin() + 6, reply.begin() + 12), Bytes(kGuestMac.begin(), kGuestMac.end()));
  Bytes ip(reply.begin() + 14, reply.end());
  EXPECT_EQ(ip[8], 57);
  EXPECT_EQ(ip[20], 0);
  EXPECT_EQ(Bytes(ip.begin() + 24, ip.end()), Bytes(echo.begin() + 24, echo.end()));
  EXPECT_EQ(Bytes(ip.begin() + 12, ip.begin() + 16), Bytes(echo.begin() + 16, echo.begin() + 20));
  EXPECT_EQ(Bytes(ip.begin() + 16, ip.begin() + 20), Bytes(echo.begin() + 12, echo.begin() + 16));
  EXPECT_EQ(vifnet_fake::InternetChecksum(ip.data(), 20), 0);
  EXPECT_EQ(vifnet_fake::InternetChecksum(ip.data() + 20, ip.size() - 20), 0);

  ASSERT_TRUE(harness_.WaitForText("** Sending PING reply to 192.0.2.20\n"));
  const std::string log = harness_.Text();
  EXPECT_THAT(log, HasSubstr("** CVN32TestView(tap0)::HandleTapARPPacket: WRITING ARP response...\n"
                             "** CVN32TestView(tap0)::HandleTapRARPPacket: WRITING RARP response...\n"
                             "** Someone is PINGing Gorlan!\n"
                             "** Sending PING reply to 192.0.2.20\n"));
  EXPECT_EQ(r.fd, 3);
}

TEST_F(MonitorTest, TheGuestStopsInTheMiddleOfAFloodThatNeverEnds) {
  // Every read finds an ARP request for the guest at once: the stop must
  // not wait for a read that finds nothing.
  vifnet_fake::QueueRead(ArpFrame(0x0806, 1, kBroadcast, {}, kGuestIp, 60));
  vifnet_fake::RepeatLastRead();
  StartGorlan(harness_.view());
  ASSERT_TRUE(vifnet_fake::WaitForCall("write 42"));
  StopGorlan(harness_.view());
  EXPECT_FALSE(harness_.view().IsRunning());
  EXPECT_EQ(Interface1().fd, -1);
  ASSERT_TRUE(harness_.WaitForText("** Interface tap0 closed... (ip=192.0.2.111, mac=02-00-5E-80-00-04)\n"));
  EXPECT_EQ(vifnet_fake::Calls().back(), "close 3");
}

TEST_F(MonitorTest, AnEchoReplyThatCannotBeWrittenIsReportedAfterItsLines) {
  // The reply goes out before its lines are logged; the log keeps the order
  // the lines always had, the failure last, and the guest goes on.
  vifnet_fake::ShortWrites(1, -1, 5, ERROR_WRITE_FAULT);
  Bytes echo = packet_builder::Echo(8, kAskerIp, kGuestIp, 40);
  Bytes frame(14, 0);
  Put(frame, 0, kGuestMac.data(), 6);
  Put(frame, 6, kAskerMac.data(), 6);
  Put16(frame, 12, 0x0800);
  frame.insert(frame.end(), echo.begin(), echo.end());
  vifnet_fake::QueueRead(frame);
  vifnet_fake::QueueRead(ArpFrame(0x0806, 1, kBroadcast, {}, kGuestIp));
  StartGorlan(harness_.view());
  ASSERT_TRUE(harness_.WaitForText("WRITING ARP response...\n"));
  EXPECT_THAT(harness_.Text(), HasSubstr("** Someone is PINGing Gorlan!\n"
                                         "** Sending PING reply to 192.0.2.20\n"
                                         "** CVN32TestView(tap0)::WritePingIPPacket: vifnet32_write failed;\n"
                                         "                      dwPacketSize=82, rc=-1, GetLastError=29 (0x0000001D), "
                                         "errno=5: " +
                                         StrError(5) + "\n"
                                         "** CVN32TestView(tap0)::HandleTapARPPacket: WRITING ARP response...\n"));
  EXPECT_TRUE(harness_.view().IsRunning());
}

TEST_F(MonitorTest, FailedReadStopsTheGuestWithStatisticsAndTheClosedLine) {
  vifnet_fake::FailReadsWhenEmpty(5, ERROR_GEN_FAILURE);
  StartGorlan(harness_.view());
  ASSERT_TRUE(harness_.view().IsRunning());
  ASSERT_TRUE(harness_.WaitFor(WM_APP_MONITOR_ENDED));
  EXPECT_FALSE(harness_.view().IsRunning());
  EXPECT_EQ(Interface1().fd, -1);
  const std::string log = harness_.Text();
  const std::string failed = "*** MonitorThread: interface tap0 vifnet32_read failed; errno=5: " + StrError(5) + "\n";
  const std::size_t at = log.find(failed);
  ASSERT_NE(at, std::string::npos) << log;
  EXPECT_EQ(log.find("*** Statistics for Interface tap0:\n", at), at + failed.size()) << log;
  EXPECT_THAT(log.substr(at), HasSubstr("        0  Total Bytes Read\n\n"
                                        "** Interface tap0 closed... (ip=192.0.2.111, mac=02-00-5E-80-00-04)\n"));
  auto calls = vifnet_fake::Calls();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[calls.size() - 2], "get_stats 3");
  EXPECT_EQ(calls.back(), "close 3");
}

TEST_F(MonitorTest, FailedCreationEndsTheThreadWithoutReport) {
  vifnet_fake::FailNext(VN32SIOBUFF, 12, ERROR_NOT_ENOUGH_MEMORY);
  StartGorlan(harness_.view());
  ASSERT_TRUE(harness_.WaitFor(WM_APP_MONITOR_ENDED));
  EXPECT_FALSE(harness_.view().IsRunning());
  const std::string log = harness_.Text();
  EXPECT_THAT(log, HasSubstr("vifnet32_ioctl(VN32SIOBUFF) failed; errno=12"));
  EXPECT_THAT(log, ::testing::Not(HasSubstr("Statistics")));
  EXPECT_EQ(vifnet_fake::Calls().back(), "close 3");
}

// In socket-notify mode a wait for data that fails is reported as the wait's
// failure, not as a read's, and stops the guest as a failed read does.
TEST_F(MonitorTest, FailedWaitInSocketNotifyModeNamesTheWait) {
  constexpr int kNeverOpen = 999;  // far above any descriptor this process holds
  vifnet_fake::SetOpenResult(kNeverOpen);
  harness_.view().SocketNotifyMode = true;
  StartGorlan(harness_.view());
  ASSERT_TRUE(harness_.WaitFor(WM_APP_MONITOR_ENDED));
  EXPECT_FALSE(harness_.view().IsRunning());
  const std::string log = harness_.Text();
  const std::string failed = "*** MonitorThread: interface tap0 select failed; errno=9: " + StrError(9) + "\n";
  const std::size_t at = log.find(failed);
  ASSERT_NE(at, std::string::npos) << log;
  EXPECT_EQ(log.find("*** Statistics for Interface tap0:\n", at), at + failed.size()) << log;
  EXPECT_THAT(log, HasSubstr("** Interface tap0 closed... (ip=192.0.2.111, mac=02-00-5E-80-00-04)\n"));
  EXPECT_THAT(log, ::testing::Not(HasSubstr("vifnet32_read failed")));
  EXPECT_EQ(vifnet_fake::Calls().back(), "close 999");
  EXPECT_EQ(Interface1().fd, -1);
}

// A request that cannot be written aborts the test; on the first ping the
// monitor of the test has not started, so no statistics follow.
TEST_F(MonitorTest, UnwritableFirstPingAbortsWithoutStatistics) {
  CVN32TestView& view = harness_.view();
  TheEngineGlobals().dwPingTargetIP = Addr(192, 0, 2, 1);
  TheEngineGlobals().strPingTargetName = "router";
  view.NumPings = 3;
  StartGorlan(view);
  ASSERT_TRUE(vifnet_fake::WaitForCall("ioctl 8914"));
  vifnet_fake::ShortWrites(1, -1, 5, ERROR_WRITE_FAULT);
  const std::size_t start = harness_.Text().size();
  StartPingTest(view);
  ASSERT_TRUE(harness_.WaitUntil([&view] { return !view.IsPinging(); }));
  const std::string log = harness_.Text().substr(start);
  EXPECT_THAT(log, HasSubstr("\n** START PING TEST **\n\n ping  -c 3  -i 1000  -s 32  -w 500  router [192.0.2.1]\n\n"
                             " Sending ping #1 bytes=32 to router [192.0.2.1]...\n"));
  EXPECT_THAT(log, HasSubstr("\n***  Ping #1 failed; abort  ***\n\n"));
  EXPECT_THAT(log, ::testing::Not(HasSubstr("Ping statistics")));
  EXPECT_TRUE(view.IsRunning());
}

// Releases a request the recording library holds, whatever way the test ends.
struct ReleaseAtExit {
  ~ReleaseAtExit() { vifnet_fake::ReleaseHeld(); }
};

// The ping test can be started as soon as the guest's threads exist, while the
// interface is still being created. It waits for the interface: nothing is
// written through an interface that is not up yet, a test stopped before then
// has sent nothing, and one left to run sends once the interface is up.
TEST_F(MonitorTest, PingStartedBeforeTheInterfaceIsUpWaitsForIt) {
  CVN32TestView& view = harness_.view();
  TheEngineGlobals().dwPingTargetIP = Addr(203, 0, 113, 10);
  TheEngineGlobals().strPingTargetName = "far";
  view.NumPings = 1;
  ReleaseAtExit release;
  vifnet_fake::HoldNext(VN32_SIOCSIFFLAGS);  // the last step of the creation: up
  StartGorlan(view);
  ASSERT_TRUE(vifnet_fake::WaitUntilHeld());

  StartPingTest(view);
  StopPingTest(view);
  EXPECT_FALSE(view.IsPinging());
  EXPECT_TRUE(vifnet_fake::Writes().empty());
  EXPECT_THAT(harness_.Text(), ::testing::Not(HasSubstr("Sending ping")));

  StartPingTest(view);
  vifnet_fake::ReleaseHeld();
  ASSERT_TRUE(harness_.WaitUntil([&view] { return !view.IsPinging(); }));
  const auto calls = vifnet_fake::Calls();
  const auto up = std::find(calls.begin(), calls.end(), "ioctl 8914");
  const auto write = std::find(calls.begin(), calls.end(), "write 74");
  ASSERT_NE(write, calls.end());
  EXPECT_LT(up, write);
  EXPECT_THAT(harness_.Text(), HasSubstr(" Sending ping #1 bytes=32 to far [203.0.113.10]...\n"));
}

// The view's destruction stops the ping test and the guest before anything of
// the view goes: when it returns, every engine thread has ended and the
// interface is closed, so no thread is left to touch the freed view.
TEST_F(MonitorTest, DestroyingTheViewStopsThePingTestAndTheGuestFirst) {
  TestWindow window;
  auto view = std::make_unique<CVN32TestView>();
  view->SetWindow(&window);
  SetLogView(view.get());  // the monitor thread works for the log view
  TheEngineGlobals().dwPingTargetIP = Addr(203, 0, 113, 10);
  TheEngineGlobals().strPingTargetName = "far";
  view->NumPings = 100;
  StartGorlan(*view);
  ASSERT_TRUE(vifnet_fake::WaitForCall("ioctl 8914"));
  StartPingTest(*view);
  ASSERT_TRUE(vifnet_fake::WaitForCall("write 74"));

  view.reset();
  const auto calls = vifnet_fake::Calls();
  EXPECT_EQ(calls.back(), "close 3");
  EXPECT_EQ(Interface1().fd, -1);
  EXPECT_EQ(GetLogView(), nullptr);
  SetLogView(&harness_.view());
}

class WriterTest : public MonitorTest {
 protected:
  // Writes a packet to `destination` and returns the frame's destination MAC.
  Bytes DestinationOf(DWORD destination) {
    Bytes packet = packet_builder::Echo(8, kGuestIp, destination, 4);
    std::size_t before = vifnet_fake::Writes().size();
    EXPECT_TRUE(WritePingIPPacket(&harness_.view(), Interface1(), packet.data(), static_cast<int>(packet.size())));
    auto writes = vifnet_fake::Writes();
    EXPECT_EQ(writes.size(), before + 1);
    const Bytes& frame = writes.back().bytes;
    EXPECT_EQ(frame.size(), packet.size() + 14);
    EXPECT_EQ(Bytes(frame.begin() + 14, frame.end()), packet);
    EXPECT_EQ(Bytes(frame.begin() + 6, frame.begin() + 14),
              Bytes({0x02, 0x00, 0x5E, 0x80, 0x00, 0x04, 0x08, 0x00}));
    return Bytes(frame.begin(), frame.begin() + 6);
  }
  static Bytes B(const wire::MacAddress& mac) { return Bytes(mac.begin(), mac.end()); }
};

TEST_F(WriterTest, TapDestinationIsTheNeighbourElseTheGatewayElseTheAdapter) {
  INTERFACEREC& r = Interface1();
  r.binInterface_MACAddr = kGuestMac;
  r.fd = 3;
  Bytes arp(36, 0);
  std::memcpy(arp.data() + 18, kNeighbourMac.data(), 6);
  vifnet_fake::AnswerWith(VN32_SIOCGARP, arp);

  // On the adapter's subnet: the host's neighbour entry.
  EXPECT_EQ(DestinationOf(Addr(192, 0, 2, 20)), B(kNeighbourMac));
  auto requests = vifnet_fake::Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].fd, 3);
  EXPECT_EQ(Bytes(requests[0].record.begin(), requests[0].record.begin() + 6), Bytes({2, 0, 192, 0, 2, 20}));
  // Elsewhere: the host adapter without a known gateway, the gateway with.
  EXPECT_EQ(DestinationOf(Addr(203, 0, 113, 10)), B(kHostMac));
  TheEngineGlobals().DefaultGatewayMAC = kGatewayMac;
  EXPECT_EQ(DestinationOf(Addr(203, 0, 113, 10)), B(kGatewayMac));
  // A neighbour the host does not know: the gateway.
  vifnet_fake::FailNext(VN32_SIOCGARP, 2, ERROR_NOT_FOUND);
  EXPECT_EQ(DestinationOf(Addr(192, 0, 2, 77)), B(kGatewayMac));
  EXPECT_THAT(harness_.Text(), ::testing::Not(HasSubstr("Assertion")));
  r.fd = -1;
}

TEST_F(WriterTest, TunWritesThePacketAsItIsAndReportsAShortWrite) {
  INTERFACEREC& r = Interface1();
  r.bTAPMode = false;
  r.fd = 3;
  r.strIfName = "tun0";
  Bytes packet = packet_builder::Echo(8, kGuestIp, Addr(203, 0, 113, 10), 4);
  ASSERT_TRUE(WritePingIPPacket(&harness_.view(), r, packet.data(), static_cast<int>(packet.size())));
  EXPECT_EQ(vifnet_fake::Writes().back().bytes, packet);
  EXPECT_TRUE(vifnet_fake::Requests().empty());

  vifnet_fake::ShortWrites(1, -1, 5, ERROR_WRITE_FAULT);
  const std::size_t start = harness_.Text().size();
  EXPECT_FALSE(WritePingIPPacket(&harness_.view(), r, packet.data(), static_cast<int>(packet.size())));
  EXPECT_EQ(harness_.Text().substr(start),
            "** CVN32TestView(tun0)::WritePingIPPacket: vifnet32_write failed;\n"
            "                      dwPacketSize=32, rc=-1, GetLastError=29 (0x0000001D), errno=5: " +
                StrError(5) + "\n");
  r.fd = -1;
}

}  // namespace
