// Threads as kernel objects: signalled (an eventfd set) once the thread
// function has returned.
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <future>
#include <system_error>
#include <thread>

#include "common/kernel_object.h"
#include "platform/process.h"
#include "platform/sync.h"

namespace platform {
namespace {

class ThreadObject final : public kernel::KernelObject {
 public:
  explicit ThreadObject(int fd) : done_(std::make_shared<kernel::Fd>(fd)) {}
  std::shared_ptr<kernel::Fd> WaitFd() override { return done_; }

  void Finish(DWORD exitCode) {
    exitCode_.store(exitCode);
    finished_.store(true, std::memory_order_release);  // pairs with Acquire
    std::uint64_t one = 1;
    (void)!::write(done_->get(), &one, sizeof one);
  }

  void Acquire() override { (void)finished_.load(std::memory_order_acquire); }

  bool finished() const { return finished_.load(); }
  DWORD exitCode() const { return exitCode_.load(); }
  std::atomic<pid_t> tid{0};

 private:
  std::shared_ptr<kernel::Fd> done_;
  std::atomic<bool> finished_{false};
  std::atomic<DWORD> exitCode_{0};
};

// Linux has one scheduling class for ordinary threads, where a step of
// priority is a step of niceness; raising it needs CAP_SYS_NICE.
int NicenessFor(int priority) {
  switch (priority) {
    case -15:
      return 19;  // idle
    case 15:
      return -20;  // time critical
    default:
      return -5 * priority;
  }
}

bool IsKnownPriority(int priority) { return (priority >= -2 && priority <= 2) || priority == 15 || priority == -15; }

}  // namespace

HANDLE CreateThread(ThreadProc proc, void* argument, DWORD* threadId) {
  if (proc == nullptr) {
    kernel::Fail(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) {
    kernel::FailErrno(errno);
    return nullptr;
  }
  auto thread = std::make_shared<ThreadObject>(fd);
  HANDLE handle = kernel::AddHandle(thread);
  if (handle == nullptr) return nullptr;

  std::promise<void> started;
  std::future<void> startedFuture = started.get_future();
  try {
    // Detached at once: the object, not a join, tells when the function has
    // returned, and a handle closed early must not leave a joinable thread.
    std::thread([thread, proc, argument, started = std::move(started)]() mutable {
      thread->tid.store(static_cast<pid_t>(::gettid()));
      started.set_value();
      thread->Finish(proc(argument));
    }).detach();
  } catch (const std::system_error&) {
    kernel::TakeHandle(handle);
    kernel::Fail(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  startedFuture.wait();
  if (threadId != nullptr) *threadId = static_cast<DWORD>(thread->tid.load());
  return handle;
}

BOOL SetThreadPriority(HANDLE handle, int priority) {
  auto thread = kernel::FindHandleAs<ThreadObject>(handle);
  if (!thread) return kernel::Fail(ERROR_INVALID_HANDLE);
  if (!IsKnownPriority(priority)) return kernel::Fail(ERROR_INVALID_PARAMETER);
  // Best effort: without the privilege the thread keeps normal priority, and
  // the caller's design only asks for a preference.
  if (!thread->finished())
    (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(thread->tid.load()), NicenessFor(priority));
  return 1;
}

BOOL GetExitCodeThread(HANDLE handle, DWORD* exitCode) {
  auto thread = kernel::FindHandleAs<ThreadObject>(handle);
  if (!thread) return kernel::Fail(ERROR_INVALID_HANDLE);
  if (exitCode == nullptr) return kernel::Fail(ERROR_INVALID_PARAMETER);
  *exitCode = thread->finished() ? thread->exitCode() : STILL_ACTIVE;
  return 1;
}

DWORD GetCurrentThreadId() { return static_cast<DWORD>(::gettid()); }

namespace {

// The process's identifier, asked of the kernel once and again in the child
// after a fork: MestraPack looks it up on every call of every export.
std::atomic<pid_t> g_processId{0};

void ForgetProcessId() { g_processId.store(0, std::memory_order_relaxed); }

}  // namespace

[[gnu::hot]] DWORD GetCurrentProcessId() {
  pid_t pid = g_processId.load(std::memory_order_relaxed);
  if (pid == 0) {
    static const int registered = ::pthread_atfork(nullptr, nullptr, ForgetProcessId);
    (void)registered;
    pid = ::getpid();
    g_processId.store(pid, std::memory_order_relaxed);
  }
  return static_cast<DWORD>(pid);
}

}  // namespace platform
