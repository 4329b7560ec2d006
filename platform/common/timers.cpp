// Waitable timers over timerfd. The timerfd is never read: once it has expired
// it stays readable (the timer stays signalled) until it is set again or
// cancelled, since arming or disarming a timerfd clears its expiry count.
#include <sys/timerfd.h>

#include <cerrno>

#include "common/kernel_object.h"
#include "platform/sync.h"

namespace platform {
namespace {

class TimerObject final : public kernel::KernelObject {
 public:
  explicit TimerObject(int fd) : fd_(std::make_shared<kernel::Fd>(fd)) {}
  std::shared_ptr<kernel::Fd> WaitFd() override { return fd_; }
  int fd() const { return fd_->get(); }

 private:
  std::shared_ptr<kernel::Fd> fd_;
};

BOOL Arm(HANDLE handle, const itimerspec& when) {
  auto timer = kernel::FindHandleAs<TimerObject>(handle);
  if (!timer) return kernel::Fail(ERROR_INVALID_HANDLE);
  if (::timerfd_settime(timer->fd(), 0, &when, nullptr) != 0) return kernel::FailErrno(errno);
  return 1;
}

}  // namespace

HANDLE CreateWaitableTimer() {
  int fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  if (fd < 0) {
    kernel::FailErrno(errno);
    return nullptr;
  }
  return kernel::AddHandle(std::make_shared<TimerObject>(fd));
}

BOOL SetWaitableTimer(HANDLE timer, DWORD relativeMilliseconds) {
  itimerspec when{};
  when.it_value.tv_sec = relativeMilliseconds / 1000;
  when.it_value.tv_nsec = static_cast<long>(relativeMilliseconds % 1000) * 1000000L;
  if (relativeMilliseconds == 0) when.it_value.tv_nsec = 1;  // a zero value would disarm it
  return Arm(timer, when);
}

BOOL CancelWaitableTimer(HANDLE timer) { return Arm(timer, itimerspec{}); }

}  // namespace platform
