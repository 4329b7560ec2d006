#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "mestralib/trace.h"
#include "platform/winerror.h"
#include "shell/log.h"
#include "shell/vn32test_view.h"
#include "test_window.h"
#include "vifnet_fake.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

std::mutex g_traceLock;
std::vector<std::string> g_trace;

void CaptureTrace(const char* text) {
  std::lock_guard guard(g_traceLock);
  g_trace.emplace_back(text);
}

std::vector<std::string> Trace() {
  std::lock_guard guard(g_traceLock);
  return g_trace;
}

// "hh:mm:ss.mmm" followed by the rest of the line.
struct Line {
  std::string stamp;
  std::string rest;  // after the stamp, "\n" removed
};

std::vector<Line> SplitLines(const std::string& text) {
  static const std::regex kLine(R"((\d\d:\d\d:\d\d\.\d\d\d)(.*))");
  std::vector<Line> lines;
  std::istringstream in(text);
  for (std::string raw; std::getline(in, raw);) {
    std::smatch m;
    EXPECT_TRUE(std::regex_match(raw, m, kLine)) << "not a log line: [" << raw << "]";
    if (!m.empty()) lines.push_back({m[1], m[2]});
  }
  EXPECT_TRUE(text.empty() || text.back() == '\n');
  return lines;
}

class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vifnet_fake::Reset();
    ResetLogSinkForTesting();
    {
      std::lock_guard guard(g_traceLock);
      g_trace.clear();
    }
    MestraLibSetTraceSink(&CaptureTrace);
    view_.SetWindow(&window_);
    SetLogView(&view_);
  }
  void TearDown() override {
    SetLogView(nullptr);
    ResetLogSinkForTesting();
    MestraLibSetTraceSink(nullptr);
  }

  // Drains and returns the one text appended by this drain (empty if none).
  std::string Drain() {
    std::size_t before = window_.Appended().size();
    EXPECT_EQ(view_.OnDrainLog(), 0);
    auto appended = window_.Appended();
    return appended.size() > before ? appended.back() : std::string();
  }

  TestWindow window_;
  CVN32TestView view_;
};

TEST_F(LogTest, SplitsAndTrimsWithOneTimestampPerCall) {
  LogOutput("abc");
  auto lines = SplitLines(Drain());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rest, " abc");

  LogOutput("\n");
  lines = SplitLines(Drain());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rest, "") << "a timestamp-only line has no trailing blank";

  LogOutput("a\n\nb");
  lines = SplitLines(Drain());
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].rest, " a");
  EXPECT_EQ(lines[1].rest, "");
  EXPECT_EQ(lines[2].rest, " b");
  EXPECT_EQ(lines[0].stamp, lines[1].stamp);
  EXPECT_EQ(lines[0].stamp, lines[2].stamp);

  LogOutput("   indented  \t\nlast line ends\n");
  lines = SplitLines(Drain());
  ASSERT_EQ(lines.size(), 2u) << "a text ending in a newline gives no extra line";
  EXPECT_EQ(lines[0].rest, "    indented");
  EXPECT_EQ(lines[1].rest, " last line ends");
}

TEST_F(LogTest, DropsNullTextAndTextBeforeTheViewIsSet) {
  LogOutput(nullptr);
  SetLogView(nullptr);
  LogOutput("too early\n");
  SetLogView(&view_);
  EXPECT_THAT(window_.Posted(), IsEmpty());
  EXPECT_EQ(Drain(), "");
}

TEST_F(LogTest, PostsOncePerBatchAndDrainsEverythingAsOneText) {
  LogOutput("one\n");
  LogOutput("two\nthree\n");
  EXPECT_THAT(window_.Posted(), ElementsAre(WM_APP));
  const std::string text = Drain();
  auto lines = SplitLines(text);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[2].rest, " three");
  EXPECT_THAT(window_.Appended(), ElementsAre(text));
  // Each drained line also goes to the trace.
  auto trace = Trace();
  ASSERT_EQ(trace.size(), 3u);
  EXPECT_EQ(trace[0] + trace[1] + trace[2], text);

  LogOutput("four\n");
  EXPECT_THAT(window_.Posted(), ElementsAre(WM_APP, WM_APP)) << "a new batch posts again";
}

TEST_F(LogTest, WithoutAWindowNothingIsPostedAndTheDrainDiscards) {
  window_.exists = false;
  LogOutput("lost\n");
  EXPECT_THAT(window_.Posted(), IsEmpty());
  EXPECT_EQ(Drain(), "");
  window_.exists = true;
  EXPECT_EQ(Drain(), "") << "discarded lines do not come back";
  LogOutput("kept\n");
  EXPECT_THAT(window_.Posted(), ElementsAre(WM_APP)) << "the discarding drain emptied the pending lines";
}

TEST_F(LogTest, LogMsgGoesToTheTraceUntilTheSinkIsAttached) {
  LogMsg("before %d\n", 1);
  EXPECT_THAT(Trace(), ElementsAre("before 1\n"));
  EXPECT_EQ(Drain(), "");

  ASSERT_TRUE(AttachLogSink());
  EXPECT_EQ(vifnet_fake::InstalledDebugOutput(), &LogOutput) << "the library's debug text takes the same path";
  LogMsg("after %s\n", "attach");
  auto lines = SplitLines(Drain());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rest, " after attach");
}

TEST_F(LogTest, AttachRunsOnceAndARefusalLeavesTheTrace) {
  vifnet_fake::SetDebugOutputResult(0);
  EXPECT_FALSE(AttachLogSink());
  EXPECT_FALSE(IsLogSinkAttached());
  LogMsg("to the trace\n");
  EXPECT_THAT(Trace(), ElementsAre("to the trace\n"));

  // A second attempt does not ask the library again.
  vifnet_fake::Reset();
  EXPECT_FALSE(AttachLogSink());
  EXPECT_EQ(vifnet_fake::InstalledDebugOutput(), nullptr);
}

TEST_F(LogTest, AssertionLineNamesSourceAndLineAndTheCallerGoesOn) {
  ASSERT_TRUE(AttachLogSink());
  bool wentOn = false;
  const int line = __LINE__ + 1;
  VN_ASSERT(1 + 1 == 3);
  wentOn = true;
  VN_ASSERT(wentOn);
  auto lines = SplitLines(Drain());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rest, " log_test.cpp(" + std::to_string(line) + "): ** Assertion Failed **");
}

TEST_F(LogTest, LogMsgLeavesTheCallersErrorsAlone) {
  ASSERT_TRUE(AttachLogSink());
  platform::SetErrors(ERROR_INVALID_PARAMETER, kErrnoInval);
  LogMsg("%s\n", "a failure report");
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(errno, kErrnoInval);
}

TEST_F(LogTest, LongTextsAreFormattedWhole) {
  ASSERT_TRUE(AttachLogSink());
  const std::string big(5000, 'x');
  LogMsg("%s|\n", big.c_str());
  auto lines = SplitLines(Drain());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rest, " " + big + "|");
}

// Writers on several threads while the window's thread drains on every post:
// each call's block arrives whole, in order, under one timestamp.
TEST_F(LogTest, ConcurrentCallersNeverInterleaveInsideABlock) {
  ASSERT_TRUE(AttachLogSink());
  constexpr int kThreads = 4;
  constexpr int kCalls = 300;
  constexpr int kLinesPerCall = 5;

  std::atomic<bool> writersDone{false};
  std::thread ui([&] {
    std::size_t seen = 0;
    while (!writersDone.load()) {
      if (window_.WaitForPostsBeyond(seen)) {
        seen = window_.Posted().size();
        view_.OnDrainLog();
      }
    }
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([t] {
      for (int c = 0; c < kCalls; ++c) {
        std::string block;
        for (int l = 0; l < kLinesPerCall; ++l) {
          block += "T" + std::to_string(t) + " C" + std::to_string(c) + " L" + std::to_string(l) + "\n";
        }
        LogMsg("%s", block.c_str());
      }
    });
  }
  for (auto& w : writers) w.join();
  writersDone.store(true);
  window_.PostMessage(0);  // wake the drain loop so that it sees the end
  ui.join();
  view_.OnDrainLog();

  std::string all;
  for (const auto& text : window_.Appended()) all += text;
  auto lines = SplitLines(all);
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kCalls * kLinesPerCall));
  std::map<int, int> nextCall;
  static const std::regex kBody(R"( T(\d+) C(\d+) L(\d+))");
  for (size_t i = 0; i < lines.size(); i += kLinesPerCall) {
    std::smatch first;
    ASSERT_TRUE(std::regex_match(lines[i].rest, first, kBody));
    const int t = std::stoi(first[1]);
    const int c = std::stoi(first[2]);
    EXPECT_EQ(c, nextCall[t]++) << "calls of one thread stay in order";
    for (int l = 0; l < kLinesPerCall; ++l) {
      const Line& line = lines[i + l];
      EXPECT_EQ(line.rest, " T" + std::to_string(t) + " C" + std::to_string(c) + " L" + std::to_string(l));
      EXPECT_EQ(line.stamp, lines[i].stamp);
    }
  }
}

}  // namespace
