#include "mestralib/trace.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/trace_hook.h"
#include "platform/winerror.h"

namespace {

std::mutex g_sinkMutex;
std::vector<std::string> g_sinkTexts;

void CollectingSink(const char* text) {
  std::lock_guard<std::mutex> lock(g_sinkMutex);
  g_sinkTexts.emplace_back(text);
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

// Each test gets its own folder and leaves MORVANE_TRACE and the sink as it
// found them.
class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* value = std::getenv("MORVANE_TRACE")) saved_ = value;
    std::random_device random;
    dir_ = std::filesystem::temp_directory_path() /
           ("mestralib-trace-" + std::to_string(random()) + "-" + std::to_string(random()));
    std::filesystem::create_directories(dir_);
    MestraLibSetTraceSink(nullptr);
    std::lock_guard<std::mutex> lock(g_sinkMutex);
    g_sinkTexts.clear();
  }
  void TearDown() override {
    MestraLibSetTraceSink(nullptr);
    if (saved_) {
      setenv("MORVANE_TRACE", saved_->c_str(), 1);
    } else {
      unsetenv("MORVANE_TRACE");
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  std::filesystem::path TraceTo(const std::string& name) {
    const std::filesystem::path path = dir_ / name;
    setenv("MORVANE_TRACE", path.c_str(), 1);
    return path;
  }

  std::optional<std::string> saved_;
  std::filesystem::path dir_;
};

TEST_F(TraceTest, WritesToTheNamedFileWithTheSourcePrefix) {
  const auto path = TraceTo("trace.txt");
  { std::ofstream(path) << "earlier line\n"; }
  MestraLibAfxTrace("hello %d\n", 5);
  MestraLibAfxTraceEx("/src/mestrapack/adapter.cpp", 42, "CAdapter::SendPacket", "WriteFile failed; rc=%d: %s\n", 87,
                      "The parameter is incorrect.");
  MestraLibAfxTraceEx("C:\\src\\mwpcutil.cpp", 7, "main", "%s", "no newline");
  EXPECT_EQ(ReadFile(path),
            "earlier line\n"
            "hello 5\n"
            "adapter.cpp(42): CAdapter::SendPacket: WriteFile failed; rc=87: The parameter is incorrect.\n"
            "mwpcutil.cpp(7): main: no newline");
}

TEST_F(TraceTest, LongMessagesArriveWhole) {
  const auto path = TraceTo("long.txt");
  const std::string payload(70000, 'x');
  MestraLibAfxTrace("<%s>\n", payload.c_str());
  EXPECT_EQ(ReadFile(path), "<" + payload + ">\n");
}

TEST_F(TraceTest, NothingWhenUnsetOrEmpty) {
  const auto path = TraceTo("trace.txt");
  MestraLibAfxTrace("kept\n");
  unsetenv("MORVANE_TRACE");
  ::testing::internal::CaptureStderr();
  ::testing::internal::CaptureStdout();
  MestraLibAfxTrace("dropped while unset\n");
  MestraLibAfxTraceEx(__FILE__, __LINE__, "f", "dropped while unset\n");
  setenv("MORVANE_TRACE", "", 1);
  MestraLibAfxTrace("dropped while empty\n");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(ReadFile(path), "kept\n");
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir_)) ++files;
  EXPECT_EQ(files, 1u);
}

TEST_F(TraceTest, StandardStreamsByName) {
  setenv("MORVANE_TRACE", "stderr", 1);
  ::testing::internal::CaptureStderr();
  MestraLibAfxTrace("to stderr %s\n", "ok");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "to stderr ok\n");
  setenv("MORVANE_TRACE", "stdout", 1);
  ::testing::internal::CaptureStdout();
  MestraLibAfxTrace("to stdout\n");
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "to stdout\n");
}

TEST_F(TraceTest, FollowsAChangeOfTheVariable) {
  const auto first = TraceTo("first.txt");
  MestraLibAfxTrace("one\n");
  const auto second = TraceTo("second.txt");
  MestraLibAfxTrace("two\n");
  TraceTo("first.txt");
  MestraLibAfxTrace("three\n");
  EXPECT_EQ(ReadFile(first), "one\nthree\n");
  EXPECT_EQ(ReadFile(second), "two\n");
}

TEST_F(TraceTest, NeverChangesTheLastErrorOrErrno) {
  // A file that cannot be opened, one that can, and the sink: each would
  // disturb errno if the trace did not put it back.
  const std::vector<std::string> targets = {(dir_ / "missing" / "trace.txt").string(), (dir_ / "ok.txt").string()};
  for (const auto& target : targets) {
    setenv("MORVANE_TRACE", target.c_str(), 1);
    platform::SetErrors(ERROR_NOT_FOUND, kErrnoTimedOut);
    MestraLibAfxTrace("line %d\n", 1);
    EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND) << target;
    EXPECT_EQ(errno, kErrnoTimedOut) << target;
    platform::SetErrors(WAIT_TIMEOUT, kErrnoAgain);
    MestraLibAfxTraceEx(__FILE__, __LINE__, "Caller", "line %d\n", 2);
    EXPECT_EQ(GetLastError(), WAIT_TIMEOUT) << target;
    EXPECT_EQ(errno, kErrnoAgain) << target;
  }
  const std::string written = ReadFile(dir_ / "ok.txt");
  EXPECT_EQ(written.rfind("line 1\n", 0), 0u) << written;
  EXPECT_NE(written.find("trace_test.cpp("), std::string::npos) << written;
  EXPECT_NE(written.find("): Caller: line 2\n"), std::string::npos) << written;
  MestraLibSetTraceSink(&CollectingSink);
  platform::SetErrors(ERROR_INVALID_PARAMETER, kErrnoInval);
  MestraLibAfxTrace("to the sink\n");
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(errno, kErrnoInval);
}

TEST_F(TraceTest, TheSinkReplacesTheFileUntilReset) {
  const auto path = TraceTo("trace.txt");
  MestraLibSetTraceSink(&CollectingSink);
  MestraLibAfxTrace("a %s", "message\n");
  MestraLibAfxTraceEx("dir/file.cpp", 3, "Fn", "b\n");
  MestraLibSetTraceSink(nullptr);
  MestraLibAfxTrace("c\n");
  std::lock_guard<std::mutex> lock(g_sinkMutex);
  EXPECT_EQ(g_sinkTexts, (std::vector<std::string>{"a message\n", "file.cpp(3): Fn: b\n"}));
  EXPECT_EQ(ReadFile(path), "c\n");
}

TEST_F(TraceTest, ThePlatformsOwnDiagnosticsJoinTheTrace) {
  MestraLibSetTraceSink(&CollectingSink);
  platform::PlatformTrace("platform line %d\n", 7);
  std::lock_guard<std::mutex> lock(g_sinkMutex);
  EXPECT_EQ(g_sinkTexts, (std::vector<std::string>{"platform line 7\n"}));
}

TEST_F(TraceTest, LinesFromManyThreadsNeverInterleave) {
  const auto path = TraceTo("threads.txt");
  constexpr int kThreads = 8;
  constexpr int kLines = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      const std::string payload(150 + 40 * t, static_cast<char>('a' + t));
      for (int line = 0; line < kLines; ++line) {
        if (line % 2 == 0) {
          MestraLibAfxTrace("T%d L%d %s\n", t, line, payload.c_str());
        } else {
          MestraLibAfxTraceEx("x.cpp", line, "F", "T%d L%d %s\n", t, line, payload.c_str());
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();

  std::istringstream content(ReadFile(path));
  std::vector<int> nextLine(kThreads, 0);
  std::string text;
  int total = 0;
  while (std::getline(content, text)) {
    ++total;
    int t = -1, line = -1;
    const std::string body = text.rfind("x.cpp(", 0) == 0 ? text.substr(text.find(": F: ") + 5) : text;
    ASSERT_EQ(std::sscanf(body.c_str(), "T%d L%d ", &t, &line), 2) << text;
    ASSERT_TRUE(t >= 0 && t < kThreads) << text;
    EXPECT_EQ(line, nextLine[t]) << text;
    nextLine[t] = line + 1;
    const std::string expected =
        "T" + std::to_string(t) + " L" + std::to_string(line) + " " + std::string(150 + 40 * t, 'a' + t);
    ASSERT_EQ(body, expected);
    if (line % 2 == 1) {
      EXPECT_EQ(text.substr(0, text.find(": F: ")), "x.cpp(" + std::to_string(line) + ")");
    }
  }
  EXPECT_EQ(total, kThreads * kLines);
}

}  // namespace
