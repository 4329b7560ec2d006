// The log fed from many threads at once while the window's thread drains it:
// plain lines through LogMsg, blocks of several lines in one call, and text
// through the sink as the virtual-interface library's threads hand it over.
// Every line arrives whole, once, with its timestamp, each thread's lines in
// the order it wrote them, and a block's lines side by side.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "shell/log.h"
#include "shell/vn32test_view.h"
#include "stress_support.h"

namespace {

constexpr int kWriters = 8;
constexpr int kLinesPerWriter = 12000;

// The window: records every appended text; its thread is the test's.
class DrainWindow : public ViewWindow {
 public:
  bool WindowExists() const override { return true; }
  void PostMessage(UINT message) override {
    std::lock_guard<std::mutex> guard(lock_);
    if (message == WM_APP_DRAIN_LOG) ++pendingDrains_;
    changed_.notify_all();
  }
  void AppendText(const std::string& text) override { text_ += text; }

  // Waits (bounded) for a drain request or for `done`; true when one came.
  template <typename Done>
  bool WaitForDrain(Done done) {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_for(guard, std::chrono::seconds(60), [&] { return pendingDrains_ > 0 || done(); });
    if (pendingDrains_ == 0) return false;
    --pendingDrains_;
    return true;
  }
  void Wake() {
    std::lock_guard<std::mutex> guard(lock_);
    changed_.notify_all();
  }

  const std::string& text() const { return text_; }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  int pendingDrains_ = 0;
  std::string text_;  // the window's thread only
};

// A line's payload that shows any cut or mix: the writer and number, then a
// run of the writer's own letter as long as the number says.
std::string Payload(int writer, int n) {
  return "W" + std::to_string(writer) + " #" + std::to_string(n) + " " +
         std::string(static_cast<std::size_t>(n % 97), static_cast<char>('a' + writer));
}

TEST(LogThreads, ManyWritersOneDrainerNothingLostCutOrReordered) {
  stress::Watchdog watchdog("LogThreads", std::chrono::seconds(120));
  DrainWindow window;
  CVN32TestView view;
  view.SetWindow(&window);
  SetLogView(&view);
  ResetLogSinkForTesting();
  ASSERT_TRUE(AttachLogSink());
  const stress::ResourceBaseline baseline;

  std::atomic<int> writersLeft{kWriters};
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([w, &writersLeft, &window] {
      for (int n = 0; n < kLinesPerWriter; ++n) {
        const std::string payload = Payload(w, n);
        switch (n % 3) {
          case 0:
            LogMsg("%s\n", payload.c_str());
            break;
          case 1:  // a block: the line and two continuation lines in one call
            LogMsg("%s\n  cont1 W%d #%d\n  cont2 W%d #%d\n", payload.c_str(), w, n, w, n);
            break;
          default:  // straight into the sink, as the library's threads do
            LogOutput((payload + "\n").c_str());
            break;
        }
      }
      writersLeft.fetch_sub(1);
      window.Wake();
    });
  }

  int drains = 0;
  for (;;) {
    const bool requested = window.WaitForDrain([&] { return writersLeft.load() == 0; });
    view.OnDrainLog();
    ++drains;
    if (drains % 100 == 0) watchdog.Progress("drain " + std::to_string(drains));
    if (!requested && writersLeft.load() == 0) break;
  }
  for (std::thread& t : writers) t.join();
  view.OnDrainLog();
  SetLogView(nullptr);
  view.SetWindow(nullptr);
  ResetLogSinkForTesting();

  // Every line: a timestamp, then a payload (its trailing blank trimmed when
  // the run of letters is empty) or a continuation line.
  static const std::regex kLine(R"(\d\d:\d\d:\d\d\.\d\d\d (W(\d) #(\d+)(?: ([a-h]+))?|  cont([12]) W(\d) #(\d+)))");
  std::map<int, int> next;  // writer -> the number its next line must have
  int lines = 0, broken = 0, outOfOrder = 0, splitBlocks = 0;
  int expectCont = 0, contWriter = -1, contNumber = -1;
  std::istringstream in(window.text());
  for (std::string line; std::getline(in, line);) {
    ++lines;
    std::smatch m;
    if (!std::regex_match(line, m, kLine)) {
      if (++broken <= 5) ADD_FAILURE() << "not a whole line: [" << line << "]";
      continue;
    }
    if (m[2].matched) {
      if (expectCont != 0) ++splitBlocks;
      const int w = std::stoi(m[2]), n = std::stoi(m[3]);
      if (m[4].str() != std::string(static_cast<std::size_t>(n % 97), static_cast<char>('a' + w))) ++broken;
      if (n != next[w]) ++outOfOrder;
      next[w] = n + 1;
      expectCont = (n % 3 == 1) ? 1 : 0;
      contWriter = w;
      contNumber = n;
    } else {
      const int which = std::stoi(m[5]), w = std::stoi(m[6]), n = std::stoi(m[7]);
      if (which != expectCont || w != contWriter || n != contNumber) ++splitBlocks;
      expectCont = which == 1 ? 2 : 0;
    }
  }
  EXPECT_EQ(broken, 0);
  EXPECT_EQ(outOfOrder, 0);
  EXPECT_EQ(splitBlocks, 0);
  for (int w = 0; w < kWriters; ++w) EXPECT_EQ(next[w], kLinesPerWriter) << "writer " << w;
  const int blocks = kLinesPerWriter / 3 + (kLinesPerWriter % 3 > 1 ? 1 : 0);
  EXPECT_EQ(lines, kWriters * (kLinesPerWriter + 2 * blocks));
  std::string why;
  EXPECT_TRUE(baseline.Restored(&why)) << why;
  std::printf("%d lines in %d drains\n", lines, drains);
}

}  // namespace
