// Kernel objects for threads: manual-reset events, waitable timers, waits on
// several objects, recursive locks, threads, the millisecond tick count and the
// local time. Handles are small non-zero values (never INVALID_HANDLE_VALUE)
// that fit in 32 bits, so a handle can travel in a 4-byte driver request.
// Every waitable object is backed by a file descriptor, so one poll() serves
// any mix of events, timers, threads, processes and device read events.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "platform/winerror.h"
#include "platform/wintypes.h"

namespace platform {

constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_ABANDONED = 0x80;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

// Closes any handle of the platform (event, timer, thread, process, file,
// device). Fails with ERROR_INVALID_HANDLE for a handle that is not open.
BOOL CloseHandle(HANDLE handle);

// --- Events (manual reset only: every caller of the kit uses that kind) ---
// A named event can be opened again by name in the same process.
HANDLE CreateEvent(bool initiallySignalled, const char* name = nullptr);
HANDLE OpenEvent(const char* name);  // ERROR_FILE_NOT_FOUND when no such name
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

// --- Waitable timers (manual reset, one-shot, relative milliseconds) ---
HANDLE CreateWaitableTimer();
BOOL SetWaitableTimer(HANDLE timer, DWORD relativeMilliseconds);
BOOL CancelWaitableTimer(HANDLE timer);

// --- Waits ---
// Returns WAIT_OBJECT_0 + i for the lowest-indexed signalled handle,
// WAIT_TIMEOUT when the time-out passed, WAIT_FAILED (with the last error set)
// for a bad handle. A thread or process handle is signalled once it has ended.
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, DWORD milliseconds);

// --- Recursive lock (the kit's critical section: its owner may take it again) ---
class CriticalSection {
 public:
  void Lock() { mutex_.lock(); }
  void Unlock() { mutex_.unlock(); }
  bool TryLock() { return mutex_.try_lock(); }
  // Satisfies the standard Lockable requirements, so std::scoped_lock works.
  void lock() { Lock(); }
  void unlock() { Unlock(); }

 private:
  std::recursive_mutex mutex_;
};

// Holds a CriticalSection for one scope.
class Guard {
 public:
  explicit Guard(CriticalSection& cs) : cs_(cs) { cs_.Lock(); }
  ~Guard() { cs_.Unlock(); }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;

 private:
  CriticalSection& cs_;
};

// --- Threads ---
using ThreadProc = DWORD (*)(void* argument);
constexpr int THREAD_PRIORITY_NORMAL = 0;
constexpr int THREAD_PRIORITY_ABOVE_NORMAL = 1;

// Starts a thread. The handle is signalled when the thread has returned;
// closing it after that releases the thread. Closing it earlier detaches it.
HANDLE CreateThread(ThreadProc proc, void* argument, DWORD* threadId = nullptr);
// Best effort: raising the priority needs privileges Linux may not grant; the
// call then still succeeds (the thread runs at normal priority).
BOOL SetThreadPriority(HANDLE thread, int priority);
BOOL GetExitCodeThread(HANDLE thread, DWORD* exitCode);
DWORD GetCurrentThreadId();
DWORD GetCurrentProcessId();

// --- Time ---
DWORD GetTickCount();  // milliseconds since an arbitrary start, wraps at 2^32

struct SYSTEMTIME {
  WORD wYear;
  WORD wMonth;
  WORD wDayOfWeek;
  WORD wDay;
  WORD wHour;
  WORD wMinute;
  WORD wSecond;
  WORD wMilliseconds;
};
static_assert(sizeof(SYSTEMTIME) == 16);

void GetLocalTime(SYSTEMTIME* time);
// 1 ms timer resolution for the life of the caller's need; a no-op here, kept
// so callers state the need where the design has it.
DWORD timeBeginPeriod(UINT milliseconds);
DWORD timeEndPeriod(UINT milliseconds);
void Sleep(DWORD milliseconds);

}  // namespace platform
