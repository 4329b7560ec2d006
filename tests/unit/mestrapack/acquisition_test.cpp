// The acquisition of the packet-capture information: the information utility
// run for real next to the library, once per process, with its time-out, its
// failures and the record file it fills.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mestrapack/mestrapack.h"
#include "mestrapack_app.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "platform/sync.h"
#include "test_support.h"

namespace {

using mptest::TraceCapture;
using mptest::Utf8;

std::string RecordFileName() { return "MWPCUtil-" + std::to_string(platform::GetCurrentProcessId()) + ".dat"; }

// A private working folder for the record file.
std::filesystem::path EnterFreshDirectory(const std::string& name) {
  auto dir = std::filesystem::temp_directory_path() /
             ("mestrapack-" + name + "-" + std::to_string(platform::GetCurrentProcessId()));
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  std::filesystem::current_path(dir);
  return dir;
}

bool InfoAvailable() {
  WPCINFO info{};
  info.dwSize = sizeof info;
  return MestraPackGetWinPCapInfo(&info) == 1;
}

TEST(Acquisition, TimeOutIsKeptWithinOneAndOneHundredTwentySeconds) {
  EXPECT_EQ(EffectiveUtilTimeout(0), 1u);
  EXPECT_EQ(EffectiveUtilTimeout(1), 1u);
  EXPECT_EQ(EffectiveUtilTimeout(30), 30u);
  EXPECT_EQ(EffectiveUtilTimeout(120), 120u);
  EXPECT_EQ(EffectiveUtilTimeout(300), 120u);
  EXPECT_EQ(EffectiveUtilTimeout(0xFFFFFFFFu), 120u);  // a negative setting
}

TEST(Acquisition, DebuggedCallersStartTheOtherBuild) {
  EXPECT_STREQ(UtilityProgramName(false), "MWPCUtilD.exe");
  EXPECT_STREQ(UtilityProgramName(true), "MWPCUtil32D.exe");
}

TEST(Acquisition, ATracedProcessRunsTheUsualUtilityWhenTheOtherBuildIsAbsent) {
  {
    mptest::TracedByChild probe;
    if (!probe.Traced()) GTEST_SKIP() << "this system lets no process trace another";
  }
  MP_IN_FRESH_PROCESS({
    mptest::TracedByChild tracer;
    ASSERT_TRUE(tracer.Traced());
    ASSERT_TRUE(platform::IsDebuggerPresent());
    auto dir = EnterFreshDirectory("traced");
    TraceCapture trace;
    EXPECT_TRUE(InfoAvailable()) << "errno " << errno << "\n" << trace.Text();
    EXPECT_TRUE(trace.Contains("ShellExecuteEx( \"MWPCUtil32D.exe\" )")) << trace.Text();
    EXPECT_TRUE(trace.Contains("MWPCUtilD.exe: returned rc = 0: SUCCESS\n")) << trace.Text();
    uint32_t size = 0;
    EXPECT_EQ(MestraPackGetAdaptersList(nullptr, &size), 0);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER) << "the list needs the information, and has it";
    std::filesystem::current_path("/");
    std::filesystem::remove_all(dir);
  });
}

void RunOnceWithTimeout(const char* setting) {
  auto dir = EnterFreshDirectory("timeout");
  if (setting != nullptr) {
    platform::Profile profile("Morvane", "MestraPack");
    ASSERT_TRUE(profile.WriteInt("Settings", "MWPCUtilTimeout", static_cast<DWORD>(std::atoi(setting))));
  }
  TraceCapture trace;
  ASSERT_TRUE(InfoAvailable()) << trace.Text();
  EXPECT_TRUE(trace.Contains("MWPCUtilD.exe: returned rc = 0: SUCCESS\n")) << trace.Text();
  EXPECT_TRUE(trace.Contains("CreateFile( \"" + RecordFileName() + "\" )...\n"));
  // The record file is gone once it has been read.
  EXPECT_FALSE(std::filesystem::exists(dir / RecordFileName()));
  std::filesystem::remove_all(dir);
}

TEST(Acquisition, RunsWithATimeOutOfZero) { MP_IN_FRESH_PROCESS(RunOnceWithTimeout("0")); }
TEST(Acquisition, RunsWithATimeOutOf300) { MP_IN_FRESH_PROCESS(RunOnceWithTimeout("300")); }
TEST(Acquisition, RunsWithoutATimeOutSetting) { MP_IN_FRESH_PROCESS(RunOnceWithTimeout(nullptr)); }

TEST(Acquisition, AFailingUtilityIsTriedAgainByTheNextCall) {
  MP_IN_FRESH_PROCESS({
    auto dir = EnterFreshDirectory("retry");
    // No packet-capture library in this system folder: the utility fails.
    setenv("MORVANE_SYSTEM_DIR", dir.c_str(), 1);
    TraceCapture trace;
    SetLastError(0);
    EXPECT_FALSE(InfoAvailable());
    const DWORD cause = GetLastError();
    EXPECT_NE(cause, 0u);
    EXPECT_TRUE(trace.Contains("MWPCUtilD.exe: returned rc = 255: FAILURE!\n")) << trace.Text();
    EXPECT_TRUE(trace.Contains("FAILED!\n"));
    // Everything that needs the information fails with the same cause ...
    uint32_t size = 0;
    EXPECT_EQ(MestraPackGetAdaptersList(nullptr, &size), 0);
    EXPECT_EQ(GetLastError(), cause);
    EXPECT_EQ(MestraPackOpenAdapter(u"NPF_sim0"), nullptr);
    EXPECT_EQ(GetLastError(), cause);
    // ... while the version queries and the print hook still work.
    EXPECT_EQ(Utf8(MestraPackGetVersionString()), "3.9.0.6222-D");
    EXPECT_EQ(MestraPackSetPrintDebugStringFunction(nullptr), 0);

    unsetenv("MORVANE_SYSTEM_DIR");
    trace.Clear();
    EXPECT_TRUE(InfoAvailable()) << trace.Text();
    EXPECT_EQ(trace.Count("ShellExecuteEx( \"MWPCUtilD.exe\" )"), 1);
    trace.Clear();
    EXPECT_TRUE(InfoAvailable());
    EXPECT_EQ(trace.Count("ShellExecuteEx("), 0);
    std::filesystem::current_path("/");
    std::filesystem::remove_all(dir);
  });
}

TEST(Acquisition, ConcurrentFirstCallsStartTheUtilityOnce) {
  MP_IN_FRESH_PROCESS({
    TraceCapture trace;
    constexpr int kThreads = 4;
    std::latch start(kThreads);
    std::vector<int> results(kThreads, -1);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back([&, i] {
        start.arrive_and_wait();
        results[i] = InfoAvailable() ? 1 : 0;
      });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(results, std::vector<int>(kThreads, 1));
    EXPECT_EQ(trace.Count("ShellExecuteEx("), 1) << trace.Text();
  });
}

// A link planted at the record file's name (by `plant`, from the victim's
// path to the record file's) makes the create fail with `error`: nothing is
// written or truncated through it, the link stays, and once it is gone the
// acquisition works.
void ExpectPlantedLinkRefused(void (*plant)(const std::filesystem::path&, const std::filesystem::path&),
                              DWORD error, const std::string& traced) {
  auto dir = EnterFreshDirectory("link");
  {
    std::ofstream victim(dir / "victim");
    victim << "keep me";
  }
  plant(dir / "victim", dir / RecordFileName());
  TraceCapture trace;
  EXPECT_FALSE(InfoAvailable());
  EXPECT_EQ(GetLastError(), error);
  EXPECT_TRUE(trace.Contains("CreateFile() failed; GetLastError = " + traced)) << trace.Text();
  EXPECT_EQ(trace.Count("ShellExecuteEx("), 0);
  std::ifstream victim(dir / "victim");
  std::string content;
  std::getline(victim, content);
  EXPECT_EQ(content, "keep me");
  EXPECT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(dir / RecordFileName())));

  std::filesystem::remove(dir / RecordFileName());
  EXPECT_TRUE(InfoAvailable()) << trace.Text();
  std::filesystem::current_path("/");
  std::filesystem::remove_all(dir);
}

TEST(Acquisition, APlantedSymbolicLinkMakesTheCreateFailInsteadOfWritingThroughIt) {
  MP_IN_FRESH_PROCESS(ExpectPlantedLinkRefused(
      [](const std::filesystem::path& to, const std::filesystem::path& at) { std::filesystem::create_symlink(to, at); },
      ERROR_CANT_RESOLVE_FILENAME, "0x00000781 (1921): "));
}

TEST(Acquisition, APlantedHardLinkMakesTheCreateFailInsteadOfEmptyingTheOtherFile) {
  MP_IN_FRESH_PROCESS(ExpectPlantedLinkRefused(
      [](const std::filesystem::path& to, const std::filesystem::path& at) {
        std::filesystem::create_hard_link(to, at);
      },
      ERROR_ACCESS_DENIED, "0x00000005 (5): "));
}

TEST(Acquisition, Release40RefusesThe41Features) {
  MP_IN_FRESH_PROCESS({
    setenv("MORVANE_SYSTEM_DIR", MESTRAPACK_TEST_BIN_DIR "/variants/v40", 1);
    WPCINFO info{};
    info.dwSize = sizeof info;
    ASSERT_EQ(MestraPackGetWinPCapInfo(&info), 1);
    EXPECT_EQ(info.wWinPCapMajorVersion, 4);
    EXPECT_EQ(info.wWinPCapMinorVersion, 0);
    MESTRAPACK_HANDLE handle = MestraPackOpenAdapter(u"NPF_sim0");
    ASSERT_NE(handle, nullptr);
    SetLastError(0);
    EXPECT_EQ(MestraPackSetNoCaptureSelf(handle, 1), 0);
    EXPECT_EQ(GetLastError(), ERROR_BAD_DRIVER_LEVEL);
    BYTE frames[32] = {};
    SetLastError(0);
    EXPECT_EQ(MestraPackSendManyPackets(handle, frames, sizeof frames), 0);
    EXPECT_EQ(GetLastError(), ERROR_BAD_DRIVER_LEVEL);
    EXPECT_EQ(MestraPackSetBuff(handle, 65536), 1);
    MestraPackCloseAdapter(handle);
  });
}

TEST(Acquisition, Release30OpensThroughTheDriversNamedEvent) {
  MP_IN_FRESH_PROCESS({
    setenv("MORVANE_SYSTEM_DIR", MESTRAPACK_TEST_BIN_DIR "/variants/v30", 1);
    MESTRAPACK_HANDLE handle = MestraPackOpenAdapter(u"NPF_sim0");
    ASSERT_NE(handle, nullptr) << GetLastError();
    EXPECT_NE(MestraPackGetWin32ReadEventHandle(handle), nullptr);
    MestraPackCloseAdapter(handle);
  });
}

}  // namespace
