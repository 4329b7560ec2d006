// The record file's creation during the acquisition against a file layer of
// this program's own: this program defines the platform's CreateFile and
// Sleep; the library's calls bind to them, and they hand each call on to the
// platform library unless the test has set them up to do otherwise. Each
// case runs in a fresh process, where the acquisition has not happened yet.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "mestrapack/mestrapack.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/sync.h"
#include "platform/winerror.h"
#include "test_support.h"

namespace {

using CreateFileFn = HANDLE (*)(const char*, DWORD, DWORD, DWORD, DWORD);
using SleepFn = void (*)(DWORD);

template <typename Fn>
Fn Real(const char* mangled) {
  void* symbol = dlsym(RTLD_NEXT, mangled);
  if (symbol == nullptr) {
    std::fprintf(stderr, "acquisition_faults_test: %s not found: %s\n", mangled, dlerror());
    std::abort();
  }
  return reinterpret_cast<Fn>(symbol);
}

// What the test wants of the file layer, for the record file's name only.
struct FileLayer {
  std::string watched;
  int creates = 0;            // CreateFile calls for it
  int failFirstCreates = 0;   // that many of them fail with ERROR_SHARING_VIOLATION
  std::vector<DWORD> sleeps;  // Sleep's arguments while armed
  bool armed = false;
};
FileLayer g_layer;

}  // namespace

namespace platform {

HANDLE CreateFile(const char* path, DWORD desiredAccess, DWORD shareMode, DWORD creationDisposition,
                  DWORD flagsAndAttributes) {
  static const CreateFileFn real = Real<CreateFileFn>("_ZN8platform10CreateFileEPKcjjjj");
  if (g_layer.armed && path != nullptr && path == g_layer.watched && ++g_layer.creates <= g_layer.failFirstCreates) {
    SetErrors(ERROR_SHARING_VIOLATION, EBUSY);
    return INVALID_HANDLE_VALUE;
  }
  return real(path, desiredAccess, shareMode, creationDisposition, flagsAndAttributes);
}

void Sleep(DWORD milliseconds) {
  static const SleepFn real = Real<SleepFn>("_ZN8platform5SleepEj");
  if (g_layer.armed && g_layer.creates > 0 && g_layer.creates <= g_layer.failFirstCreates) {
    g_layer.sleeps.push_back(milliseconds);  // a pause between attempts: no need to wait it
    return;
  }
  real(milliseconds);
}

}  // namespace platform

namespace {

std::filesystem::path EnterFreshDirectory() {
  auto dir = std::filesystem::temp_directory_path() /
             ("mestrapack-attempts-" + std::to_string(platform::GetCurrentProcessId()));
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

void Arm(int failFirstCreates) {
  g_layer = FileLayer{};
  g_layer.watched = "MWPCUtil-" + std::to_string(platform::GetCurrentProcessId()) + ".dat";
  g_layer.failFirstCreates = failFirstCreates;
  g_layer.armed = true;
}

// Five attempts, 25 ms apart, then the last attempt's error; the utility is
// never started without its file.
TEST(AcquisitionAttempts, ARecordFileThatCannotBeMadeIsTriedFiveTimes) {
  MP_IN_FRESH_PROCESS({
    const auto dir = EnterFreshDirectory();
    mptest::TraceCapture trace;
    Arm(1000);
    EXPECT_FALSE(InfoAvailable());
    g_layer.armed = false;
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(g_layer.creates, 5);
    EXPECT_EQ(g_layer.sleeps, (std::vector<DWORD>{25, 25, 25, 25}));
    EXPECT_TRUE(trace.Contains("CreateFile() failed; GetLastError = 0x00000020 (32): ")) << trace.Text();
    EXPECT_EQ(trace.Count("ShellExecuteEx("), 0);
    std::filesystem::current_path("/");
    std::filesystem::remove_all(dir);
  });
}

// The fifth attempt is still made, and a file it makes is used.
TEST(AcquisitionAttempts, AFileMadeAtTheFifthAttemptIsUsed) {
  MP_IN_FRESH_PROCESS({
    const auto dir = EnterFreshDirectory();
    mptest::TraceCapture trace;
    Arm(4);
    EXPECT_TRUE(InfoAvailable()) << trace.Text();
    g_layer.armed = false;
    EXPECT_EQ(g_layer.creates, 5);
    EXPECT_EQ(trace.Count("ShellExecuteEx("), 1);
    std::filesystem::current_path("/");
    std::filesystem::remove_all(dir);
  });
}

}  // namespace
