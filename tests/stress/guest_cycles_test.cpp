// A thousand starts and stops of the simulated guest on the simulated host,
// with a peer's ping answered in between and now and then a ping test of the
// guest's own, in TUN and TAP, polling and socket-notify mode. Afterwards the
// process has the descriptors and threads it had after the first cycle, and
// every log line the cycles wrote is whole.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <utility>

#include "engine/engine.h"
#include "platform/machine.h"
#include "platform/sim/sim_host.h"
#include "platform/sync.h"
#include "shell/log.h"
#include "shell/vn32test_view.h"
#include "stress_support.h"

namespace {

constexpr int kCycles = 1000;
constexpr int kPingTestEvery = 100;  // a ping test takes a grace second
constexpr int kPollingEvery = 10;    // a polling monitor ends at its next read time-out
constexpr auto kBound = std::chrono::seconds(60);

DWORD Addr(BYTE a, BYTE b, BYTE c, BYTE d) {
  const BYTE bytes[4] = {a, b, c, d};
  DWORD address;
  std::memcpy(&address, bytes, 4);
  return address;
}

// The window: its thread is the test's. It keeps counts and the lines of the
// current cycle only, so a thousand cycles cost no more than one.
class CycleWindow : public ViewWindow {
 public:
  bool WindowExists() const override { return true; }

  void PostMessage(UINT message) override {
    std::lock_guard<std::mutex> guard(lock_);
    posted_.push_back(message);
    changed_.notify_all();
  }

  void AppendText(const std::string& text) override {
    static const std::regex kLine(R"(\d\d:\d\d:\d\d\.\d\d\d( .*)?)");
    std::size_t start = 0;
    while (start < text.size()) {
      const std::size_t end = text.find('\n', start);
      if (end == std::string::npos) {
        ++brokenLines_;  // a batch always ends with a whole line
        break;
      }
      const std::string line = text.substr(start, end - start);
      if (!std::regex_match(line, kLine)) ++brokenLines_;
      cycleText_ += line.size() > 13 ? line.substr(13) : std::string();
      cycleText_ += '\n';
      start = end + 1;
    }
  }

  // The next posted message, waiting at most `bound`.
  std::optional<UINT> Next(std::chrono::seconds bound) {
    std::unique_lock<std::mutex> guard(lock_);
    if (!changed_.wait_for(guard, bound, [this] { return !posted_.empty(); })) return std::nullopt;
    UINT message = posted_.front();
    posted_.pop_front();
    return message;
  }
  std::optional<UINT> Poll() {
    std::lock_guard<std::mutex> guard(lock_);
    if (posted_.empty()) return std::nullopt;
    UINT message = posted_.front();
    posted_.pop_front();
    return message;
  }

  std::string TakeCycleText() { return std::exchange(cycleText_, std::string()); }
  int brokenLines() const { return brokenLines_; }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::deque<UINT> posted_;
  std::string cycleText_;  // the window's thread only
  int brokenLines_ = 0;
};

class GuestCycles : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(platform::SelectMachine("sim")); }

  void SetUp() override {
    platform::sim::InstallHost(platform::sim::DefaultHost());
    ResetLogSinkForTesting();
    view_.SetWindow(&window_);
    SetLogView(&view_);
    AttachLogSink();
    ready_ = platform::CreateEvent(false);
    TheEngineGlobals().AdapterMaskOf = [](DWORD ip) {
      return ip == Addr(192, 0, 2, 10) ? Addr(255, 255, 255, 0) : DWORD{0};
    };
    TheEngineGlobals().InterfaceReady = [this](INTERFACEREC&) { platform::SetEvent(ready_); };
    TheEngineGlobals().dwPingTargetIP = Addr(192, 0, 2, 1);
    TheEngineGlobals().strPingTargetName = "192.0.2.1";
  }

  void TearDown() override {
    StopGorlan(view_);
    Pump();
    TheEngineGlobals().InterfaceReady = nullptr;
    TheEngineGlobals().AdapterMaskOf = nullptr;
    SetLogView(nullptr);
    view_.SetWindow(nullptr);
    ResetLogSinkForTesting();
    platform::CloseHandle(ready_);
  }

  void Handle(UINT message) {
    if (message == WM_APP_DRAIN_LOG) {
      view_.OnDrainLog();
    } else {
      OnEngineMessage(view_, message);
    }
  }
  void Pump() {
    while (std::optional<UINT> message = window_.Poll()) Handle(*message);
    view_.OnDrainLog();
  }
  // Handles messages until the cycle's log holds `text` (bounded).
  bool WaitForText(const std::string& text) {
    for (;;) {
      cycleText_ += window_.TakeCycleText();
      if (cycleText_.find(text) != std::string::npos) return true;
      std::optional<UINT> next = window_.Next(kBound);
      if (!next) return false;
      Handle(*next);
    }
  }

  // Handles messages until `message` has come (bounded).
  bool WaitFor(UINT message) {
    while (std::optional<UINT> next = window_.Next(kBound)) {
      Handle(*next);
      if (*next == message) return true;
    }
    return false;
  }

  // One cycle: start, the peer's ping answered, maybe a ping test, stop.
  void Cycle(int n) {
    const bool tap = (n % 2) == 1;
    INTERFACEREC& r = Interface1();
    ASSERT_TRUE(ResetInterfaceRec(r, tap));
    ASSERT_TRUE(ResetInterfaceRec(Interface2(), false));
    r.strBcastAddr.clear();
    r.strInterface_IPAddr = "192.0.2.111";
    r.strInterface_MACAddr = "02-00-5E-80-00-04";
    r.strAdapter_IPAddr = "192.0.2.10";
    DeriveInterfaceAddrs();
    ResolveAdapterValues(r);
    view_.SocketNotifyMode = (n % kPollingEvery) != 0;
    view_.DebugFlags = 0;

    ASSERT_TRUE(platform::ResetEvent(ready_));
    StartGorlan(view_);
    ASSERT_EQ(platform::WaitForSingleObject(ready_, 60000), platform::WAIT_OBJECT_0) << window_.TakeCycleText();

    // The peer's ping ends only when its wait for late replies has run out;
    // the cycle waits for the guest's answer instead. The answer has reached
    // the peer once the guest is stopped (its monitor thread wrote it before
    // it ended).
    auto peer = platform::sim::CurrentHost()->Ping(Addr(192, 0, 2, 20), Addr(192, 0, 2, 111), 1, 0, 2000);
    ASSERT_TRUE(peer);
    ASSERT_TRUE(WaitForText("** Sending PING reply to 192.0.2.20\n")) << "cycle " << n << "\n" << cycleText_;

    if (n % kPingTestEvery == 0) {
      view_.NumPings = 1;
      view_.PingDataSize = 32;
      view_.PingTimeout = 2000;
      view_.PingDelay = 0;
      StartPingTest(view_);
      ASSERT_TRUE(WaitFor(WM_APP_PING_MONITOR_ENDED)) << "cycle " << n;
      while (view_.IsPinging()) ASSERT_TRUE(WaitFor(WM_APP_PING_ENDED)) << "cycle " << n;
    }

    StopGorlan(view_);
    ASSERT_FALSE(view_.IsRunning());
    Pump();
    EXPECT_EQ(r.fd, -1);
    const platform::sim::PeerPingResult result = peer->Result();
    EXPECT_EQ(result.sent, 1u) << "cycle " << n;
    EXPECT_EQ(result.received, 1u) << "cycle " << n;
    const std::string text = std::exchange(cycleText_, std::string()) + window_.TakeCycleText();
    EXPECT_NE(text.find("enabled/up... (ip=192.0.2.111, mac=02-00-5E-80-00-04)"), std::string::npos) << text;
    EXPECT_NE(text.find("** Sending PING reply to 192.0.2.20\n"), std::string::npos) << "cycle " << n << "\n" << text;
    EXPECT_NE(text.find(" closed... (ip=192.0.2.111, mac=02-00-5E-80-00-04)\n"), std::string::npos) << text;
    if (n % kPingTestEvery == 0) {
      EXPECT_NE(text.find(" Ping test successful.\n"), std::string::npos) << "cycle " << n << "\n" << text;
    }
    EXPECT_EQ(text.find("Assertion Failed"), std::string::npos) << text;
  }

  CycleWindow window_;
  CVN32TestView view_;
  HANDLE ready_ = nullptr;
  std::string cycleText_;  // the cycle's log lines taken so far
};

TEST_F(GuestCycles, AThousandStartsAndStopsWithPingsLeaveNothingBehind) {
  stress::Watchdog watchdog("GuestCycles", std::chrono::seconds(120));
  // The first cycle brings up what lives for the whole process (the host's
  // scheduler, the library's tables); the baseline is taken after it.
  ASSERT_NO_FATAL_FAILURE(Cycle(1));
  const stress::ResourceBaseline baseline;
  for (int n = 2; n <= kCycles && !HasFailure(); ++n) {
    ASSERT_NO_FATAL_FAILURE(Cycle(n));
    watchdog.Progress("cycle " + std::to_string(n));
  }
  std::string why;
  EXPECT_TRUE(baseline.Restored(&why)) << why;
  EXPECT_EQ(window_.brokenLines(), 0);
}

}  // namespace
