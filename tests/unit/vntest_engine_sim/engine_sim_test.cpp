// The whole engine with the real virtual-interface library on the simulated
// host's default LAN (this host 192.0.2.10, router 192.0.2.1, peer
// 192.0.2.20): the guest comes up, answers a peer's ping, runs ping tests,
// and stops; the logs are compared whole, with the millisecond values and the
// interface numbers masked.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <regex>
#include <sstream>
#include <vector>

#include "engine/debug_mode.h"
#include "engine/engine.h"
#include "engine_harness.h"
#include "platform/machine.h"
#include "platform/sim/sim_host.h"
#include "platform/sockets.h"
#include "platform/sync.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

DWORD Addr(BYTE a, BYTE b, BYTE c, BYTE d) {
  const BYTE bytes[4] = {a, b, c, d};
  DWORD address;
  std::memcpy(&address, bytes, 4);
  return address;
}

std::string MaskNames(std::string text) {
  return std::regex_replace(text, std::regex("sim(tap|tun)[0-9]+"), "sim$1N");
}

// A ping test's log has three writers: the ping thread (each request, one
// delay apart), the interface's monitor thread (each reply as it comes) and
// the ping monitor (each time-out). Where one writer's lines fall between
// another's depends on how busy the machine is; what is logged of each ping,
// and in what order, does not. So each run of lines naming a ping ("ping
// #N") is put in ping order, each ping's own lines keeping their order.
std::string InPingOrder(const std::string& log) {
  static const std::regex kPingLine("ping #([0-9]+)", std::regex::icase);
  std::vector<std::string> lines;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) lines.push_back(line + '\n');
  auto number = [](const std::string& line) {
    std::smatch m;
    return std::regex_search(line, m, kPingLine) ? std::stoi(m[1]) : -1;
  };
  for (auto run = lines.begin(); run != lines.end();) {
    if (number(*run) < 0) {
      ++run;
      continue;
    }
    auto end = std::find_if(run, lines.end(), [&](const std::string& line) { return number(line) < 0; });
    std::stable_sort(run, end, [&](const std::string& a, const std::string& b) { return number(a) < number(b); });
    run = end;
  }
  std::string text;
  for (const std::string& line : lines) text += line;
  return text;
}

struct Mode {
  bool tap;
  bool socketNotify;
};

class EngineSimTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(platform::SelectMachine("sim")); }

  void SetUp() override {
    platform::sim::InstallHost(platform::sim::DefaultHost());
    SetDebugMode(false);
    ready_ = platform::CreateEvent(false);
    TheEngineGlobals().AdapterMaskOf = [](DWORD ip) {
      return ip == Addr(192, 0, 2, 10) ? Addr(255, 255, 255, 0) : DWORD{0};
    };
    TheEngineGlobals().InterfaceReady = [this](INTERFACEREC&) { platform::SetEvent(ready_); };
    TheEngineGlobals().DefaultGatewayMAC = {};
    TheEngineGlobals().dwPingTargetIP = Addr(192, 0, 2, 1);
    TheEngineGlobals().strPingTargetName = "192.0.2.1";
  }
  void TearDown() override {
    StopGorlan(harness_.view());
    harness_.Pump();
    TheEngineGlobals().InterfaceReady = nullptr;
    TheEngineGlobals().AdapterMaskOf = nullptr;
    platform::CloseHandle(ready_);
  }

  // Starts the guest 192.0.2.111 on interface 1 bound to this host's adapter
  // and waits until its interface is up.
  void StartGuest(Mode mode) {
    INTERFACEREC& r = Interface1();
    ASSERT_TRUE(ResetInterfaceRec(r, mode.tap));
    ASSERT_TRUE(ResetInterfaceRec(Interface2(), false));
    r.strBcastAddr.clear();
    r.strInterface_IPAddr = "192.0.2.111";
    r.strInterface_MACAddr = "02-00-5E-80-00-04";
    r.strAdapter_IPAddr = "192.0.2.10";
    DeriveInterfaceAddrs();
    ResolveAdapterValues(r);
    ASSERT_TRUE(r.bSameSubnet);
    CVN32TestView& view = harness_.view();
    view.SocketNotifyMode = mode.socketNotify;
    view.DebugFlags = 0;
    StartGorlan(view);
    ASSERT_EQ(platform::WaitForSingleObject(ready_, 30000), platform::WAIT_OBJECT_0) << harness_.Text();
  }

  // Runs one ping test and returns its masked log, in ping order. Each
  // reply has two seconds, however busy the machine; the test takes no
  // longer for that, as the last request goes out two delays after the first.
  std::string PingTest(int count, int delayMs = 1000, int timeoutMs = 2000) {
    CVN32TestView& view = harness_.view();
    view.NumPings = count;
    view.PingDataSize = 32;
    view.PingTimeout = timeoutMs;
    view.PingDelay = delayMs;
    const std::size_t start = harness_.Text().size();
    StartPingTest(view);
    EXPECT_TRUE(harness_.WaitFor(WM_APP_PING_MONITOR_ENDED));
    // The ping thread's own message may have come first.
    EXPECT_TRUE(harness_.WaitUntil([&view] { return !view.IsPinging(); }));
    return InPingOrder(harness_.Masked(start));
  }

  static std::string Statistics(const char* sent, const char* received, const char* timeouts, const char* duplicates,
                                const char* lost) {
    return std::string("\n Ping statistics for 192.0.2.1:\n\n") + sent + " Pings Sent\n" + received +
           " Replies Received (Minimum = *ms, Maximum = *ms, Average = *ms)\n" + timeouts + " Pings Timeouts\n" +
           duplicates + " Duplicate Replies\n" + lost + "\n\n";
  }

  EngineHarness harness_;
  HANDLE ready_ = nullptr;
};

std::string Start(int count = 3, int delayMs = 1000, int timeoutMs = 2000) {
  return "\n** START PING TEST **\n\n ping  -c " + std::to_string(count) + "  -i " + std::to_string(delayMs) +
         "  -s 32  -w " + std::to_string(timeoutMs) + "  192.0.2.1\n\n";
}
const std::string kStart = Start();
const char kEnd[] = "\n** END PING TEST **\n\n";

std::string Sent(int n) { return " Sending ping #" + std::to_string(n) + " bytes=32 to 192.0.2.1...\n"; }
std::string Reply(int n, const char* extra = "", const char* late = "") {
  return std::string(" Reply") + extra + " to ping #" + std::to_string(n) +
         " received from 192.0.2.1: bytes=32 time=*ms TTL=64" + late + "\n";
}

class EngineSimModes : public EngineSimTest, public ::testing::WithParamInterface<Mode> {};

// The guest answers a peer's ping, pings the router three times with every
// reply, and stops cleanly with its statistics in every mode.
TEST_P(EngineSimModes, GuestAnswersAndPingsTheRouterThenStops) {
  StartGuest(GetParam());
  const std::string up = MaskNames(harness_.Text());
  EXPECT_THAT(up, HasSubstr(std::string("*** Interface sim") + (GetParam().tap ? "tap" : "tun") +
                            "N enabled/up... (ip=192.0.2.111, mac=02-00-5E-80-00-04)\n\n"));

  // The guest has three seconds for each answer, however busy the machine.
  auto peer = platform::sim::CurrentHost()->Ping(Addr(192, 0, 2, 20), Addr(192, 0, 2, 111), 2, 100, 3000);
  ASSERT_TRUE(peer);
  ASSERT_TRUE(peer->WaitDone(30000));
  EXPECT_EQ(peer->Result().received, 2u);
  ASSERT_TRUE(harness_.WaitForText("** Sending PING reply to 192.0.2.20\n"));

  EXPECT_EQ(PingTest(3), kStart + Sent(1) + Reply(1) + Sent(2) + Reply(2) + Sent(3) + Reply(3) +
                             Statistics("     3", "     3", "     0", "     0", "     0 Pings Lost (0%)") +
                             " Ping test successful.\n" + kEnd);

  const std::size_t before = harness_.Text().size();
  StopGorlan(harness_.view());
  EXPECT_FALSE(harness_.view().IsRunning());
  const std::string stop = MaskNames(harness_.Text().substr(before));
  EXPECT_THAT(stop, HasSubstr("*** Statistics for Interface sim"));
  EXPECT_THAT(stop, HasSubstr("N closed... (ip=192.0.2.111, mac=02-00-5E-80-00-04)\n"));
  EXPECT_THAT(stop, Not(HasSubstr("failed")));
  EXPECT_EQ(Interface1().fd, -1);
}

// A host adapter that is pulled out while the guest serves ends the guest
// by itself: the read failure, the statistics and the close are logged and
// the view is told, so that it stops.
TEST_P(EngineSimModes, ARemovedHostAdapterEndsTheGuest) {
  StartGuest(GetParam());
  const std::size_t start = harness_.Text().size();
  ASSERT_TRUE(platform::sim::CurrentHost()->RemoveAdapter("sim0"));
  ASSERT_TRUE(harness_.WaitFor(WM_APP_MONITOR_ENDED)) << harness_.Text();
  EXPECT_FALSE(harness_.view().IsRunning());
  EXPECT_EQ(Interface1().fd, -1);
  const std::string name = std::string("sim") + (GetParam().tap ? "tap" : "tun") + "N";
  const std::string log = MaskNames(harness_.Text().substr(start));
  EXPECT_THAT(log, HasSubstr("*** MonitorThread: interface " + name + " vifnet32_read failed; errno=19: No such device\n"
                             "*** Statistics for Interface " + name + ":\n"));
  EXPECT_THAT(log, HasSubstr("** Interface " + name + " closed... (ip=192.0.2.111, mac=02-00-5E-80-00-04)\n"));
}

INSTANTIATE_TEST_SUITE_P(TunTapPollNotify, EngineSimModes,
                         ::testing::Values(Mode{false, false}, Mode{true, false}, Mode{false, true},
                                           Mode{true, true}),
                         [](const auto& info) {
                           return std::string(info.param.tap ? "Tap" : "Tun") +
                                  (info.param.socketNotify ? "SocketNotify" : "Polling");
                         });

// The first reply comes two seconds after its time-out and two seconds
// before the statistics (a second after the last request's reply).
TEST_F(EngineSimTest, LateReplyTimesOutFirstAndStillSucceeds) {
  StartGuest({true, false});
  platform::sim::CurrentHost()->DelayNextReplies(1, 4000);
  EXPECT_EQ(PingTest(3, 2500, 2000), Start(3, 2500, 2000) + Sent(1) + " Ping #1 has timed out.\n" +
                                         Reply(1, "", " (*ms late)") + Sent(2) + Reply(2) + Sent(3) + Reply(3) +
                                         Statistics("     3", "     3", "     1", "     0", "     0 Pings Lost (0%)") +
                                         " Ping test successful.\n" + kEnd);
}

TEST_F(EngineSimTest, DuplicateReplyIsCountedAndStillSucceeds) {
  StartGuest({false, false});
  platform::sim::CurrentHost()->DuplicateNextReplies(1);
  EXPECT_EQ(PingTest(3), kStart + Sent(1) + Reply(1) + Reply(1, " #2") + Sent(2) + Reply(2) + Sent(3) + Reply(3) +
                             Statistics("     3", "     3", "     0", "     1", "     0 Pings Lost (0%)") +
                             " Ping test successful.\n" + kEnd);
}

TEST_F(EngineSimTest, OneLostOfThreeFails) {
  StartGuest({true, false});
  platform::sim::CurrentHost()->DropNextReplies(1);
  EXPECT_EQ(PingTest(3), kStart + Sent(1) + " Ping #1 has timed out.\n" + Sent(2) + Reply(2) + Sent(3) + Reply(3) +
                             Statistics("     3", "     2", "     1", "     0", "     1 Pings Lost (33%)") +
                             " Ping test has FAILED.\n" + kEnd);
}

// Each test numbers its pings from #1; the sequence numbers go on where the
// previous test stopped, with the same identifier.
TEST_F(EngineSimTest, TwoTestsInARowContinueTheSequence) {
  StartGuest({false, false});
  CVN32TestView& view = harness_.view();
  EXPECT_EQ(PingTest(3), kStart + Sent(1) + Reply(1) + Sent(2) + Reply(2) + Sent(3) + Reply(3) +
                             Statistics("     3", "     3", "     0", "     0", "     0 Pings Lost (0%)") +
                             " Ping test successful.\n" + kEnd);
  const WORD ident = view.wPingIdent;
  const WORD afterFirst = view.wPingSeq;
  const std::string second = PingTest(2);
  EXPECT_THAT(second, HasSubstr(Sent(1) + Reply(1) + Sent(2) + Reply(2)));
  EXPECT_THAT(second, HasSubstr("     2 Pings Sent\n"));
  EXPECT_EQ(view.wPingBaseSeq, afterFirst);
  EXPECT_EQ(view.wPingSeq, static_cast<WORD>(afterFirst + 2));
  EXPECT_EQ(view.wPingIdent, ident);
}

// Stopping the guest during a test: the ping statistics (the unanswered
// request lost) come first, then each interface's report and close.
TEST_F(EngineSimTest, StopDuringATestReportsAndEmptiesTheList) {
  StartGuest({true, true});
  CVN32TestView& view = harness_.view();
  view.NumPings = 3;
  view.PingTimeout = 500;
  view.PingDelay = 60000;  // no second request before the stop, however slow the machine
  platform::sim::CurrentHost()->DropNextReplies(1);
  const std::size_t start = harness_.Text().size();
  StartPingTest(view);
  ASSERT_TRUE(harness_.WaitForText(Sent(1)));
  StopGorlan(view);
  EXPECT_FALSE(view.IsPinging());
  EXPECT_FALSE(view.IsRunning());
  EXPECT_TRUE(view.PingList.empty());
  const std::string log = MaskNames(harness_.Masked(start));
  EXPECT_THAT(log, HasSubstr("     1 Pings Sent\n     0 Replies Received (Minimum = *ms, Maximum = *ms, Average = *ms)\n"));
  EXPECT_THAT(log, HasSubstr("     1 Pings Lost (100%)\n\n Ping test has FAILED.\n\n** END PING TEST **\n\n"
                             "*** Statistics for Interface simtapN:\n"));
  EXPECT_THAT(log, HasSubstr("** Interface simtapN closed... (ip=192.0.2.111, mac=02-00-5E-80-00-04)\n"));
  EXPECT_THAT(log, Not(HasSubstr(Sent(2))));
  EXPECT_THAT(log, Not(HasSubstr("failed")));
}

// The test keeps its pace: each request PingDelay after the one before, each
// given PingTimeout for its reply, and the statistics a grace second after
// the last one timed out. The monotonic clock guarantees these lower bounds
// however loaded the machine is.
TEST_F(EngineSimTest, PingsKeepTheirDelayTimeOutAndGrace) {
  StartGuest({false, false});
  platform::sim::CurrentHost()->DropNextReplies(3);
  CVN32TestView& view = harness_.view();
  view.NumPings = 3;
  view.PingDataSize = 32;
  view.PingTimeout = 400;
  view.PingDelay = 300;
  const auto start = std::chrono::steady_clock::now();
  StartPingTest(view);
  ASSERT_TRUE(harness_.WaitFor(WM_APP_PING_MONITOR_ENDED));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_TRUE(harness_.WaitUntil([&view] { return !view.IsPinging(); }));
  EXPECT_GE(elapsed, std::chrono::milliseconds(2 * 300 + 400 + 1000));

  std::vector<CPing> pings;
  {
    platform::Guard lock(view.csPingList);
    pings.assign(view.PingList.begin(), view.PingList.end());
  }
  ASSERT_EQ(pings.size(), 3u);
  for (std::size_t i = 0; i < pings.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(pings[i].dwDeadline - pings[i].dwSendTime, 400u);
    EXPECT_EQ(pings[i].nTimedOut, 1);
    if (i > 0) {
      EXPECT_GE(pings[i].dwSendTime - pings[i - 1].dwSendTime, 300u);
    }
  }
  EXPECT_THAT(harness_.Text(), HasSubstr(" Ping #3 has timed out.\n"));
}

}  // namespace
