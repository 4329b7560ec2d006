// Events, waitable timers, waits, threads, the read event of a capture device,
// and waits on sockets.
#include "platform/sync.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <set>
#include <vector>

#include "platform/machine.h"
#include "platform/process.h"
#include "platform/sockets.h"

using namespace platform;

namespace {

constexpr DWORD kBound = 20000;  // generous bound for things that must happen

bool IsSignalled(HANDLE h) { return WaitForSingleObject(h, 0) == WAIT_OBJECT_0; }

TEST(KernelEvents, ManualResetStaysSetUntilReset) {
  HANDLE e = CreateEvent(false);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
  ASSERT_TRUE(SetEvent(e));
  EXPECT_TRUE(IsSignalled(e));
  EXPECT_TRUE(IsSignalled(e)) << "a wait must not consume a manual-reset event";
  ASSERT_TRUE(SetEvent(e));  // setting twice needs one reset only
  ASSERT_TRUE(ResetEvent(e));
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
  ASSERT_TRUE(ResetEvent(e));  // resetting a reset event is no failure
  EXPECT_TRUE(CloseHandle(e));

  HANDLE on = CreateEvent(true);
  EXPECT_TRUE(IsSignalled(on));
  EXPECT_TRUE(CloseHandle(on));
}

TEST(KernelEvents, HandlesAreSmallDistinctAndNeverInvalid) {
  std::set<std::uintptr_t> seen;
  std::vector<HANDLE> handles;
  for (int i = 0; i < 200; ++i) {
    HANDLE h = CreateEvent(false);
    ASSERT_NE(h, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    auto value = reinterpret_cast<std::uintptr_t>(h);
    EXPECT_LE(value, 0xFFFFFFFFu);
    EXPECT_TRUE(seen.insert(value).second);
    handles.push_back(h);
  }
  for (HANDLE h : handles) EXPECT_TRUE(CloseHandle(h));
}

TEST(KernelEvents, BadHandlesFailWithInvalidHandle) {
  HANDLE e = CreateEvent(false);
  ASSERT_TRUE(CloseHandle(e));
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(e));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_FALSE(SetEvent(e));
  EXPECT_FALSE(SetEvent(nullptr));
  EXPECT_FALSE(SetEvent(INVALID_HANDLE_VALUE));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(errno, 9);

  HANDLE timer = CreateWaitableTimer();
  EXPECT_FALSE(SetEvent(timer)) << "a timer is not an event";
  EXPECT_FALSE(SetWaitableTimer(CreateEvent(false), 1)) << "an event is not a timer";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(LookupEvent(timer), nullptr);
  CloseHandle(timer);

  HANDLE good = CreateEvent(true);
  HANDLE list[] = {good, e};
  EXPECT_EQ(WaitForMultipleObjects(2, list, 0), WAIT_FAILED) << "one bad handle fails the whole wait";
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(WaitForMultipleObjects(0, list, 0), WAIT_FAILED);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS + 1, list, 0), WAIT_FAILED);
  CloseHandle(good);
}

TEST(KernelEvents, NamedEventsShareOneObjectWhileAHandleLives) {
  HANDLE first = CreateEvent(false, "kernel-test-named");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  HANDLE again = CreateEvent(true, "kernel-test-named");
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_FALSE(IsSignalled(first)) << "opening an existing name keeps its state";
  HANDLE opened = OpenEvent("kernel-test-named");
  ASSERT_NE(opened, nullptr);
  EXPECT_NE(opened, first);
  ASSERT_TRUE(SetEvent(opened));
  EXPECT_TRUE(IsSignalled(first));
  EXPECT_TRUE(IsSignalled(again));

  SetLastError(0);
  EXPECT_EQ(OpenEvent("kernel-test-no-such-name"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  CloseHandle(first);
  CloseHandle(again);
  CloseHandle(opened);
  EXPECT_EQ(OpenEvent("kernel-test-named"), nullptr) << "the name goes with the last handle";
}

TEST(KernelWaits, ReportTheLowestSignalledHandle) {
  HANDLE e[3] = {CreateEvent(false), CreateEvent(false), CreateEvent(false)};
  EXPECT_EQ(WaitForMultipleObjects(3, e, 0), WAIT_TIMEOUT);
  SetEvent(e[2]);
  EXPECT_EQ(WaitForMultipleObjects(3, e, 0), WAIT_OBJECT_0 + 2);
  SetEvent(e[1]);
  EXPECT_EQ(WaitForMultipleObjects(3, e, 0), WAIT_OBJECT_0 + 1);
  SetEvent(e[0]);
  EXPECT_EQ(WaitForMultipleObjects(3, e, kBound), WAIT_OBJECT_0);
  for (HANDLE h : e) CloseHandle(h);
}

TEST(KernelWaits, AsManyHandlesAsAllowedTheLastOneSignalled) {
  std::vector<HANDLE> e(MAXIMUM_WAIT_OBJECTS);
  for (HANDLE& h : e) h = CreateEvent(false);
  EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, e.data(), 0), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, e.data(), 10), WAIT_TIMEOUT);
  SetEvent(e.back());
  EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, e.data(), 0), WAIT_OBJECT_0 + MAXIMUM_WAIT_OBJECTS - 1);
  EXPECT_EQ(WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, e.data(), INFINITE), WAIT_OBJECT_0 + MAXIMUM_WAIT_OBJECTS - 1);
  for (HANDLE h : e) CloseHandle(h);
}

struct SetLater {
  HANDLE go;
  HANDLE target;
};

DWORD SetAfterGo(void* argument) {
  auto* work = static_cast<SetLater*>(argument);
  if (WaitForSingleObject(work->go, kBound) != WAIT_OBJECT_0) return 1;
  SetEvent(work->target);
  return 0;
}

TEST(KernelWaits, WakeForTheHandleAnotherThreadSets) {
  HANDLE e[3] = {CreateEvent(false), CreateEvent(false), CreateEvent(false)};
  HANDLE go = CreateEvent(true);
  SetLater work{go, e[1]};
  HANDLE thread = CreateThread(SetAfterGo, &work);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(WaitForMultipleObjects(3, e, INFINITE), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitForSingleObject(thread, kBound), WAIT_OBJECT_0);
  CloseHandle(thread);
  CloseHandle(go);
  for (HANDLE h : e) CloseHandle(h);
}

// What a thread wrote before it set an event, or before it ended, is there for
// the thread that waited for either (plain values: ThreadSanitizer checks that
// the wait orders the reads after the writes). Many rounds, so that some find
// the waiter already waiting when the other thread signals.
TEST(KernelWaits, AWaiterSeesWhatTheSignallingThreadWroteBefore) {
  struct Work {
    HANDLE set;
    int beforeSet = 0;
    int beforeEnd = 0;
  };
  for (int round = 0; round < 100; ++round) {
    Work work{CreateEvent(false)};
    HANDLE thread = CreateThread(
        [](void* argument) -> DWORD {
          auto& w = *static_cast<Work*>(argument);
          w.beforeSet = 1;
          SetEvent(w.set);
          w.beforeEnd = 2;
          return 0;
        },
        &work);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(work.set, kBound), WAIT_OBJECT_0);
    EXPECT_EQ(work.beforeSet, 1);
    ASSERT_EQ(WaitForSingleObject(thread, kBound), WAIT_OBJECT_0);
    EXPECT_EQ(work.beforeEnd, 2);
    CloseHandle(thread);
    CloseHandle(work.set);
  }
}

TEST(KernelWaits, TimeOutWhenNothingIsSignalled) {
  HANDLE e = CreateEvent(false);
  SetLastError(0);
  EXPECT_EQ(WaitForSingleObject(e, 20), WAIT_TIMEOUT);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS) << "a time-out is no failure";
  CloseHandle(e);
}

TEST(KernelWaits, ClosingOneHandleDoesNotDisturbAWaitOnAnother) {
  HANDLE a = CreateEvent(false, "kernel-test-close-race");
  HANDLE b = OpenEvent("kernel-test-close-race");
  HANDLE waiting = CreateEvent(false);
  struct Work {
    HANDLE a, waiting;
    std::atomic<DWORD> result{0xDEAD};
  } work{a, waiting};
  HANDLE thread = CreateThread(
      [](void* p) -> DWORD {
        auto* w = static_cast<Work*>(p);
        SetEvent(w->waiting);
        w->result = WaitForSingleObject(w->a, INFINITE);
        return 0;
      },
      &work);
  ASSERT_EQ(WaitForSingleObject(waiting, kBound), WAIT_OBJECT_0);
  ASSERT_TRUE(CloseHandle(a));  // the waiter may or may not have started its poll
  ASSERT_TRUE(SetEvent(b));
  ASSERT_EQ(WaitForSingleObject(thread, kBound), WAIT_OBJECT_0);
  // Either the wait began before the close (and saw the event through b) or
  // after it (and found the handle gone); never a hang or a crash.
  EXPECT_TRUE(work.result == WAIT_OBJECT_0 || work.result == WAIT_FAILED);
  CloseHandle(thread);
  CloseHandle(b);
  CloseHandle(waiting);
}

// Many threads creating, signalling, waiting on and closing handles at once,
// some closing handles that others wait on: the table must stay consistent.
TEST(KernelWaits, HandlesSurviveConcurrentUse) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 300;
  HANDLE shared = CreateEvent(false, "kernel-test-shared");
  auto round = [](void*) -> DWORD {
    for (int i = 0; i < kRounds; ++i) {
      HANDLE mine = CreateEvent(false);
      HANDLE other = OpenEvent("kernel-test-shared");
      if (mine == nullptr || other == nullptr) return 1;
      SetEvent(mine);
      HANDLE both[] = {other, mine};
      DWORD woke = WaitForMultipleObjects(2, both, kBound);
      if (woke != WAIT_OBJECT_0 && woke != WAIT_OBJECT_0 + 1) return 2;
      if (!CloseHandle(mine) || !CloseHandle(other)) return 3;
    }
    return 0;
  };
  HANDLE threads[kThreads];
  for (HANDLE& t : threads) t = CreateThread(round, nullptr);
  for (int i = 0; i < kRounds; ++i) {
    SetEvent(shared);
    ResetEvent(shared);
  }
  ASSERT_EQ(WaitForMultipleObjects(1, &threads[0], kBound), WAIT_OBJECT_0);
  for (HANDLE t : threads) {
    ASSERT_EQ(WaitForSingleObject(t, kBound), WAIT_OBJECT_0);
    DWORD code = 99;
    ASSERT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 0u);
    CloseHandle(t);
  }
  CloseHandle(shared);
}

TEST(KernelTimers, FireOnceAndStaySignalledUntilSetOrCancelled) {
  HANDLE timer = CreateWaitableTimer();
  ASSERT_NE(timer, nullptr);
  EXPECT_EQ(WaitForSingleObject(timer, 0), WAIT_TIMEOUT) << "a new timer is not signalled";

  ASSERT_TRUE(SetWaitableTimer(timer, 5));
  EXPECT_EQ(WaitForSingleObject(timer, kBound), WAIT_OBJECT_0);
  EXPECT_TRUE(IsSignalled(timer)) << "manual reset: still signalled";
  EXPECT_TRUE(IsSignalled(timer));

  ASSERT_TRUE(CancelWaitableTimer(timer));
  EXPECT_EQ(WaitForSingleObject(timer, 0), WAIT_TIMEOUT) << "cancel clears the signal";

  ASSERT_TRUE(SetWaitableTimer(timer, 0));
  EXPECT_EQ(WaitForSingleObject(timer, kBound), WAIT_OBJECT_0) << "zero fires at once";
  ASSERT_TRUE(SetWaitableTimer(timer, 600000));
  EXPECT_EQ(WaitForSingleObject(timer, 0), WAIT_TIMEOUT) << "re-arming clears the signal";
  ASSERT_TRUE(SetWaitableTimer(timer, 1));
  EXPECT_EQ(WaitForSingleObject(timer, kBound), WAIT_OBJECT_0) << "re-arming sets the new time";
  CloseHandle(timer);
}

TEST(KernelTimers, ACancelledTimerNeverFires) {
  HANDLE cancelled = CreateWaitableTimer();
  HANDLE later = CreateWaitableTimer();
  ASSERT_TRUE(SetWaitableTimer(cancelled, 10));
  ASSERT_TRUE(SetWaitableTimer(later, 60));
  ASSERT_TRUE(CancelWaitableTimer(cancelled));
  // Had the cancel failed, the first timer would have fired before the second
  // and, being the lower index, would be reported.
  HANDLE both[] = {cancelled, later};
  EXPECT_EQ(WaitForMultipleObjects(2, both, kBound), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitForSingleObject(cancelled, 0), WAIT_TIMEOUT);
  CloseHandle(cancelled);
  CloseHandle(later);
}

struct ThreadWork {
  HANDLE go;
  std::atomic<DWORD> id{0};
};

DWORD ReturnAfterGo(void* argument) {
  auto* work = static_cast<ThreadWork*>(argument);
  work->id = GetCurrentThreadId();
  return WaitForSingleObject(work->go, kBound) == WAIT_OBJECT_0 ? 42 : 1;
}

TEST(KernelThreads, SignalledWhenTheFunctionHasReturnedWithItsExitCode) {
  ThreadWork work;
  work.go = CreateEvent(false);
  DWORD id = 0;
  HANDLE thread = CreateThread(ReturnAfterGo, &work, &id);
  ASSERT_NE(thread, nullptr);
  EXPECT_NE(id, 0u);
  EXPECT_NE(id, GetCurrentThreadId());
  EXPECT_TRUE(SetThreadPriority(thread, THREAD_PRIORITY_ABOVE_NORMAL)) << "best effort, always succeeds";
  EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_TIMEOUT);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, STILL_ACTIVE);

  SetEvent(work.go);
  ASSERT_EQ(WaitForSingleObject(thread, kBound), WAIT_OBJECT_0);
  EXPECT_EQ(work.id.load(), id) << "the id CreateThread gave is the thread's own";
  ASSERT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(code, 42u);
  EXPECT_TRUE(IsSignalled(thread)) << "stays signalled";
  EXPECT_TRUE(CloseHandle(thread));
  CloseHandle(work.go);
}

TEST(KernelThreads, AHandleClosedEarlyLetsTheThreadRunToItsEnd) {
  HANDLE go = CreateEvent(false);
  HANDLE done = CreateEvent(false);
  SetLater work{go, done};
  HANDLE thread = CreateThread(SetAfterGo, &work);
  ASSERT_NE(thread, nullptr);
  ASSERT_TRUE(CloseHandle(thread));
  SetEvent(go);
  EXPECT_EQ(WaitForSingleObject(done, kBound), WAIT_OBJECT_0);
  CloseHandle(go);
  CloseHandle(done);
}

TEST(KernelThreads, RefuseANullFunctionAndUnknownPriorities) {
  SetLastError(0);
  EXPECT_EQ(CreateThread(nullptr, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  HANDLE go = CreateEvent(true);
  HANDLE done = CreateEvent(false);
  SetLater work{go, done};
  HANDLE thread = CreateThread(SetAfterGo, &work);
  EXPECT_FALSE(SetThreadPriority(thread, 7));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(WaitForSingleObject(thread, kBound), WAIT_OBJECT_0);
  CloseHandle(thread);
  CloseHandle(go);
  CloseHandle(done);
}

// A device whose every packet makes it ready lets the event follow its
// descriptor: the event is signalled while that is readable, its own state
// (Set, Reset) still counts, and an unfollowed descriptor counts no more.
TEST(KernelReadEvent, AFollowedDescriptorSignalsItWhileReadable) {
  HANDLE event = CreateEvent(false);
  std::shared_ptr<EventControl> control = LookupEvent(event);
  ASSERT_NE(control, nullptr);
  int first[2], second[2];
  ASSERT_EQ(::pipe2(first, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(second, O_CLOEXEC), 0);
  control->FollowReadable(first[0]);
  control->FollowReadable(second[0]);
  EXPECT_FALSE(IsSignalled(event));

  ASSERT_EQ(::write(second[1], "x", 1), 1);
  EXPECT_TRUE(IsSignalled(event));
  control->Reset();
  EXPECT_TRUE(IsSignalled(event)) << "still readable";
  char byte;
  ASSERT_EQ(::read(second[0], &byte, 1), 1);
  EXPECT_FALSE(IsSignalled(event));

  control->Set();
  EXPECT_TRUE(IsSignalled(event)) << "its own state counts too";
  control->Reset();
  // The follower's number may be closed first: the event keeps its own copy
  // until the follower lets go.
  ASSERT_EQ(::write(first[1], "y", 1), 1);
  ::close(first[0]);
  EXPECT_TRUE(IsSignalled(event));
  control->Unfollow(first[0]);
  EXPECT_FALSE(IsSignalled(event));
  // Among several objects, the one whose followed descriptor is readable
  // is the one a wait names.
  HANDLE quiet = CreateEvent(false);
  HANDLE both[] = {quiet, event};
  ASSERT_EQ(::write(second[1], "w", 1), 1);
  EXPECT_EQ(WaitForMultipleObjects(2, both, 0), WAIT_OBJECT_0 + 1);
  ASSERT_TRUE(SetEvent(quiet));
  EXPECT_EQ(WaitForMultipleObjects(2, both, 0), WAIT_OBJECT_0) << "the lowest signalled index";
  CloseHandle(quiet);
  ASSERT_EQ(::read(second[0], &byte, 1), 1);
  control->Unfollow(second[0]);
  ASSERT_EQ(::write(second[1], "z", 1), 1);
  EXPECT_FALSE(IsSignalled(event)) << "no longer followed";
  for (int fd : {first[1], second[0], second[1]}) ::close(fd);
  CloseHandle(event);
}

TEST(KernelReadEvent, TheDeviceSetsAndResetsIt) {
  HANDLE event = CreateEvent(false);
  std::shared_ptr<EventControl> control = LookupEvent(event);
  ASSERT_NE(control, nullptr);
  EXPECT_EQ(LookupEvent(nullptr), nullptr);
  HANDLE timer = CreateWaitableTimer();
  EXPECT_EQ(LookupEvent(timer), nullptr) << "only events";
  CloseHandle(timer);

  control->Set();
  control->Set();
  EXPECT_TRUE(IsSignalled(event));
  control->Reset();
  EXPECT_FALSE(IsSignalled(event)) << "one reset clears any number of sets";
  control->Set();
  CloseHandle(event);
  control->Reset();  // a device may outlive the caller's handle
}

struct SelectWork {
  int fd;
  HANDLE started;
  std::atomic<int> result{-2};
};

DWORD SelectForever(void* argument) {
  auto* work = static_cast<SelectWork*>(argument);
  SetEvent(work->started);
  work->result = SelectReadable(work->fd, -1);
  return 0;
}

void ExpectCloseSocketEndsTheWait(int fd) {
  SelectWork work{fd, CreateEvent(false)};
  HANDLE thread = CreateThread(SelectForever, &work);
  ASSERT_EQ(WaitForSingleObject(work.started, kBound), WAIT_OBJECT_0);
  ASSERT_EQ(CloseSocket(fd), 0);
  ASSERT_EQ(WaitForSingleObject(thread, kBound), WAIT_OBJECT_0) << "the wait must end";
  EXPECT_EQ(work.result.load(), 1);
  EXPECT_NE(::fcntl(fd, F_GETFD), -1) << "the number stays reserved";
  char byte;
  EXPECT_EQ(::read(fd, &byte, 1), 0) << "a read after the shutdown ends at once";
  CloseHandle(thread);
  CloseHandle(work.started);
}

TEST(KernelSockets, SelectReadableReportsDataTimeOutAndBadDescriptors) {
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  EXPECT_EQ(SelectReadable(sv[0], 0), 0);
  EXPECT_EQ(SelectReadable(sv[0], 10), 0);
  ASSERT_EQ(::write(sv[1], "x", 1), 1);
  EXPECT_EQ(SelectReadable(sv[0], -1), 1);
  ::close(sv[0]);
  ::close(sv[1]);
  int closed = sv[0];
  EXPECT_EQ(SelectReadable(closed, 0), -1);
  EXPECT_EQ(errno, EBADF);
}

TEST(KernelSockets, CloseSocketEndsAWaitAndKeepsTheNumber) {
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  ExpectCloseSocketEndsTheWait(sv[0]);
  ::close(sv[0]);
  ::close(sv[1]);
}

TEST(KernelSockets, CloseSocketAlsoEndsAWaitOnADescriptorThatIsNoSocket) {
  int pipeFds[2];
  ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
  ExpectCloseSocketEndsTheWait(pipeFds[1]);
  // A thread that still writes to the number (a device's last reply, say)
  // gets an error, not a signal that would end the process.
  EXPECT_EQ(::write(pipeFds[1], "x", 1), -1);
  EXPECT_EQ(errno, EBADF);
  ::close(pipeFds[0]);
  ::close(pipeFds[1]);
}

// Every timed wait lasts at least the time it was given (the monotonic clock
// guarantees that much however loaded the machine is) and ends within a
// generous bound. The times cross whole seconds, where a wrong split into
// seconds and nanoseconds would show.
class TimedWait {
 public:
  TimedWait() : start_(std::chrono::steady_clock::now()) {}
  std::chrono::milliseconds Elapsed() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_);
  }

 private:
  std::chrono::steady_clock::time_point start_;
};

const DWORD kWaitTimes[] = {30, 1250};

TEST(KernelTimedWaits, AWaitThatTimesOutWaitedItsWholeTime) {
  HANDLE never = CreateEvent(false);
  for (DWORD ms : kWaitTimes) {
    SCOPED_TRACE(ms);
    TimedWait wait;
    EXPECT_EQ(WaitForSingleObject(never, ms), WAIT_TIMEOUT);
    EXPECT_GE(wait.Elapsed().count(), std::int64_t{ms});
  }
  CloseHandle(never);
}

TEST(KernelTimedWaits, ATimerFiresNoEarlierThanItsTime) {
  HANDLE timer = CreateWaitableTimer();
  for (DWORD ms : kWaitTimes) {
    SCOPED_TRACE(ms);
    TimedWait wait;
    ASSERT_TRUE(SetWaitableTimer(timer, ms));
    ASSERT_EQ(WaitForSingleObject(timer, kBound), WAIT_OBJECT_0) << "the timer never fired";
    EXPECT_GE(wait.Elapsed().count(), std::int64_t{ms});
  }
  CloseHandle(timer);
}

TEST(KernelTimedWaits, SleepAndSelectWaitTheirWholeTime) {
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
  for (DWORD ms : kWaitTimes) {
    SCOPED_TRACE(ms);
    TimedWait slept;
    Sleep(ms);
    EXPECT_GE(slept.Elapsed().count(), std::int64_t{ms});
    TimedWait selected;
    EXPECT_EQ(SelectReadable(sv[0], static_cast<int>(ms)), 0);
    EXPECT_GE(selected.Elapsed().count(), std::int64_t{ms});
  }
  ::close(sv[0]);
  ::close(sv[1]);
}

TEST(KernelTime, LocalTimeAndTicks) {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  std::time_t t = std::time(nullptr);
  std::tm local{};
  localtime_r(&t, &local);
  EXPECT_EQ(now.wYear, local.tm_year + 1900);
  EXPECT_GE(now.wMonth, 1);
  EXPECT_LE(now.wMonth, 12);
  EXPECT_GE(now.wDay, 1);
  EXPECT_LE(now.wDay, 31);
  EXPECT_LE(now.wDayOfWeek, 6);
  EXPECT_LE(now.wHour, 23);
  EXPECT_LE(now.wMinute, 59);
  EXPECT_LE(now.wSecond, 59);
  EXPECT_LE(now.wMilliseconds, 999);

  EXPECT_EQ(timeBeginPeriod(1), 0u);
  EXPECT_EQ(timeEndPeriod(1), 0u);
  DWORD before = GetTickCount();
  Sleep(2);
  EXPECT_GE(static_cast<DWORD>(GetTickCount() - before), 2u) << "ticks are milliseconds";
  EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(::getpid()));
}

TEST(KernelTime, AForkedChildHasItsOwnProcessId) {
  const DWORD parent = GetCurrentProcessId();
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) ::_exit(GetCurrentProcessId() == static_cast<DWORD>(::getpid()) ? 0 : 1);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child sees its parent's identifier";
  EXPECT_EQ(GetCurrentProcessId(), parent);
}

}  // namespace
