// Starting programs: where they are looked for, waiting with a time-out, exit
// codes; facts about the running program.
#include "platform/process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "platform/sync.h"

using namespace platform;

namespace {

constexpr DWORD kBound = 30000;

// Waits for a process this test started; one that does not end in time is
// ended by its id, so a failing test leaves nothing running.
DWORD RunToEnd(HANDLE process) {
  DWORD woke = WaitForSingleObject(process, kBound);
  EXPECT_EQ(woke, WAIT_OBJECT_0);
  if (woke != WAIT_OBJECT_0) {
    ::kill(static_cast<pid_t>(GetProcessId(process)), SIGKILL);
    WaitForSingleObject(process, kBound);
  }
  DWORD code = 0xDEAD;
  EXPECT_TRUE(GetExitCodeProcess(process, &code));
  CloseHandle(process);
  return code;
}

TEST(KernelProcesses, ExitCodesReadAsTheLowEightBits) {
  HANDLE p = StartProcess(KERNEL_HELPER, {"exit", "7"}, "");
  ASSERT_NE(p, nullptr) << GetLastError();
  EXPECT_EQ(RunToEnd(p), 7u);
  p = StartProcess(KERNEL_HELPER, {"exit", "-1"}, "");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(RunToEnd(p), 255u);
  p = StartProcess(KERNEL_HELPER, {"exit", "0"}, "");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(RunToEnd(p), 0u);
}

TEST(KernelProcesses, AWaitTimesOutWhileTheProcessRuns) {
  HANDLE p = StartProcess(KERNEL_HELPER, {"sleep"}, "");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(WaitForSingleObject(p, 20), WAIT_TIMEOUT);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeProcess(p, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  DWORD pid = GetProcessId(p);
  ASSERT_NE(pid, 0u);
  ASSERT_EQ(::kill(static_cast<pid_t>(pid), SIGKILL), 0);
  EXPECT_EQ(RunToEnd(p), 128u + SIGKILL);
}

// Started while the caller blocks one signal and ignores another, a child
// still ends on either.
TEST(KernelProcesses, AChildStartsWithNoSignalBlockedOrIgnored) {
  sigset_t term, old;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &term, &old), 0);
  struct sigaction ignore {};
  struct sigaction previous {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGHUP, &ignore, &previous), 0);
  HANDLE first = StartProcess(KERNEL_HELPER, {"sleep"}, "");
  HANDLE second = StartProcess(KERNEL_HELPER, {"sleep"}, "");
  ::sigaction(SIGHUP, &previous, nullptr);
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  ASSERT_EQ(::kill(static_cast<pid_t>(GetProcessId(first)), SIGTERM), 0);
  EXPECT_EQ(RunToEnd(first), 128u + SIGTERM);
  ASSERT_EQ(::kill(static_cast<pid_t>(GetProcessId(second)), SIGHUP), 0);
  EXPECT_EQ(RunToEnd(second), 128u + SIGHUP);
}

// The signals blocked in this thread, from the kernel's own account.
std::string BlockedSignals() {
  std::ifstream status("/proc/thread-self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("SigBlk:", 0) == 0) return line.substr(7);
  }
  return "?";
}

bool Blocked(const std::string& mask, int signal) {
  return (std::stoull(mask, nullptr, 16) >> (signal - 1)) & 1;
}

std::mutex g_ctrlLock;
std::condition_variable g_ctrlCame;
std::vector<DWORD> g_ctrlEvents;

BOOL TakeCtrl(DWORD event) {
  std::lock_guard<std::mutex> lock(g_ctrlLock);
  g_ctrlEvents.push_back(event);
  g_ctrlCame.notify_all();
  return 1;
}

// In a process of its own (the handler stays for the process's life): the
// signals reach the handler on a thread of the platform as their events,
// the caller's threads keep them blocked, a program started through
// WithConsoleCtrlSignalsUnblocked does not inherit that, and a handler
// that declines lets the signal end the process as usual.
TEST(KernelConsoleCtrl, SignalsReachTheHandlerAndStartedProgramsStartUnblocked) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        SetConsoleCtrlHandler(&TakeCtrl, 1);
        const bool blockedHere = Blocked(BlockedSignals(), SIGINT) && Blocked(BlockedSignals(), SIGTERM);
        ::kill(::getpid(), SIGINT);
        ::kill(::getpid(), SIGTERM);
        bool both = false;
        {
          std::unique_lock<std::mutex> lock(g_ctrlLock);
          both = g_ctrlCame.wait_for(lock, std::chrono::seconds(30), [] { return g_ctrlEvents.size() == 2; });
        }
        const bool events = both && g_ctrlEvents[0] == CTRL_C_EVENT && g_ctrlEvents[1] == CTRL_CLOSE_EVENT;
        std::string childMask;
        const bool started = WithConsoleCtrlSignalsUnblocked([&childMask] {
          childMask = BlockedSignals();  // what a program started now inherits
          return true;
        });
        const bool childFree = started && !Blocked(childMask, SIGINT) && !Blocked(childMask, SIGTERM) &&
                               !Blocked(childMask, SIGHUP) && Blocked(BlockedSignals(), SIGINT);
        std::fprintf(stderr, "blocked %d events %d child %d\n", blockedHere, events, childFree);
        if (!blockedHere || !events || !childFree) std::exit(1);
        SetConsoleCtrlHandler(&TakeCtrl, 0);  // no handler: SIGTERM ends the process
        ::kill(::getpid(), SIGTERM);
        std::unique_lock<std::mutex> lock(g_ctrlLock);  // the process ends meanwhile; the bound is for a failure
        g_ctrlCame.wait_for(lock, std::chrono::seconds(30), [] { return false; });
        std::exit(2);
      },
      ::testing::KilledBySignal(SIGTERM), "blocked 1 events 1 child 1");
}

TEST(KernelProcesses, AHandleClosedWhileTheProcessRunsIsNoFailure) {
  HANDLE p = StartProcess(KERNEL_HELPER, {"sleep"}, "");
  ASSERT_NE(p, nullptr);
  pid_t pid = static_cast<pid_t>(GetProcessId(p));
  EXPECT_TRUE(CloseHandle(p));
  ::kill(pid, SIGKILL);
  DWORD code = 0;
  EXPECT_FALSE(GetExitCodeProcess(p, &code));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(KernelProcesses, OneWaitServesEveryKindOfObject) {
  HANDLE event = CreateEvent(false);
  HANDLE timer = CreateWaitableTimer();
  ASSERT_TRUE(SetWaitableTimer(timer, 600000));
  HANDLE thread = CreateThread([](void* e) -> DWORD { return WaitForSingleObject(e, INFINITE); }, event);
  HANDLE process = StartProcess(KERNEL_HELPER, {"sleep"}, "");
  ASSERT_NE(process, nullptr);
  HANDLE all[] = {event, timer, thread, process};
  EXPECT_EQ(WaitForMultipleObjects(4, all, 0), WAIT_TIMEOUT);
  ASSERT_EQ(::kill(static_cast<pid_t>(GetProcessId(process)), SIGKILL), 0);
  EXPECT_EQ(WaitForMultipleObjects(4, all, kBound), WAIT_OBJECT_0 + 3) << "the process ended";
  HANDLE notEvent[] = {timer, thread, process};
  SetEvent(event);  // lets the thread end
  EXPECT_EQ(WaitForSingleObject(thread, kBound), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForMultipleObjects(3, notEvent, 0), WAIT_OBJECT_0 + 1) << "the thread, lower than the process";
  for (HANDLE h : all) CloseHandle(h);
}

// A copy of the helper under its own name in a folder of its own.
class KernelProgramSearch : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/morvane-search-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir_ = pattern;
    name_ = "kernel-helper-copy";
    std::filesystem::copy_file(KERNEL_HELPER, dir_ + "/" + name_);
    const char* path = std::getenv("PATH");
    savedPath_ = path != nullptr ? path : "";
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    savedCwd_ = cwd;
  }
  void TearDown() override {
    ::setenv("PATH", savedPath_.c_str(), 1);
    EXPECT_EQ(::chdir(savedCwd_.c_str()), 0);
    std::filesystem::remove_all(dir_);
  }

  std::string dir_, name_, savedPath_, savedCwd_;
};

TEST_F(KernelProgramSearch, TheCurrentDirectoryIsNeverSearched) {
  ASSERT_EQ(::chdir(dir_.c_str()), 0);
  ::setenv("PATH", ("::.:./:" + savedPath_ + ":").c_str(), 1);
  SetLastError(0);
  EXPECT_EQ(StartProcess(name_, {"exit", "0"}, ""), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(StartProcess(name_, {"exit", "0"}, "."), nullptr) << "not even when named as the preferred folder";
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(KernelProgramSearch, ThePreferredFolderComesFirstThenPath) {
  HANDLE p = StartProcess(name_, {"exit", "3"}, dir_);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(RunToEnd(p), 3u);

  ::setenv("PATH", ("/nonexistent:" + dir_).c_str(), 1);
  p = StartProcess(name_, {"exit", "4"}, "/nonexistent-either");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(RunToEnd(p), 4u);

  EXPECT_EQ(StartProcess("no-such-program-of-ours", {}, dir_), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(StartProcess("", {}, dir_), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(KernelProgramSearch, AnExeSuffixFindsTheProgramWithoutIt) {
  HANDLE p = StartProcess(name_ + ".exe", {"exit", "5"}, dir_);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(RunToEnd(p), 5u);
  p = StartProcess(name_ + ".EXE", {"exit", "6"}, dir_);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(RunToEnd(p), 6u);
}

TEST_F(KernelProgramSearch, AFileWithoutExecutePermissionIsNotAProgram) {
  ASSERT_EQ(::chmod((dir_ + "/" + name_).c_str(), 0644), 0);
  EXPECT_EQ(StartProcess(name_, {"exit", "0"}, dir_), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(KernelRunningProgram, KnowsItsFolderNameAndTracer) {
  std::string exe = std::filesystem::canonical("/proc/self/exe").string();
  std::string folder = exe.substr(0, exe.rfind('/'));
  EXPECT_EQ(ModuleDirectory(reinterpret_cast<const void*>(&RunToEnd)), folder);
  // The platform library lives in the same output folder as the programs.
  EXPECT_EQ(ModuleDirectory(reinterpret_cast<const void*>(&StartProcess)), folder);
  EXPECT_EQ(ModuleDirectory(nullptr), "");
  EXPECT_EQ(ExecutableName(), "platform_kernel_tests");
  EXPECT_FALSE(IsDebuggerPresent());
}

}  // namespace
