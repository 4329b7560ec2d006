// Manual-reset events over eventfd, with a per-process namespace of names.
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "common/kernel_object.h"
#include "platform/machine.h"
#include "platform/sync.h"

namespace platform {
namespace {

// The eventfd's counter is non-zero exactly while the event is set: Set adds
// to it, Reset drains it, and waits never read it.
class EventObject final : public kernel::KernelObject, public EventControl {
 public:
  explicit EventObject(std::shared_ptr<kernel::Fd> fd) : fd_(std::move(fd)) {}

  std::shared_ptr<kernel::Fd> WaitFd() override { return fd_; }

  void Set() override {
    sets_.fetch_add(1, std::memory_order_release);  // pairs with Acquire
    std::uint64_t one = 1;
    // Cannot fail short of the counter reaching 2^64 - 1, which 2^64 sets would take.
    (void)!::write(fd_->get(), &one, sizeof one);
  }

  void Acquire() override { (void)sets_.load(std::memory_order_acquire); }

  void Reset() override {
    std::uint64_t count = 0;
    (void)!::read(fd_->get(), &count, sizeof count);  // EAGAIN when already reset
  }

 private:
  const std::shared_ptr<kernel::Fd> fd_;
  std::atomic<std::uint64_t> sets_{0};  // counts Set calls; only for the ordering
};

// Named events live while a handle refers to them.
class EventNames {
 public:
  std::shared_ptr<EventObject> Find(const std::string& name) {
    auto it = names_.find(name);
    if (it == names_.end()) return nullptr;
    std::shared_ptr<EventObject> event = it->second.lock();
    if (!event) names_.erase(it);
    return event;
  }
  void Add(const std::string& name, const std::shared_ptr<EventObject>& event) { names_[name] = event; }

  std::mutex mutex;  // leaf lock, see kernel_object.h

 private:
  std::map<std::string, std::weak_ptr<EventObject>> names_;
};

EventNames& Names() {
  static EventNames* names = new EventNames;
  return *names;
}

std::shared_ptr<EventObject> NewEvent(bool initiallySignalled) {
  int fd = ::eventfd(initiallySignalled ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) {
    kernel::FailErrno(errno);
    return nullptr;
  }
  return std::make_shared<EventObject>(std::make_shared<kernel::Fd>(fd));
}

}  // namespace

HANDLE CreateEvent(bool initiallySignalled, const char* name) {
  if (name == nullptr || *name == '\0') {
    std::shared_ptr<EventObject> event = NewEvent(initiallySignalled);
    if (!event) return nullptr;
    return kernel::AddHandle(event);
  }
  std::shared_ptr<EventObject> event;
  bool existed = false;
  {
    std::lock_guard lock(Names().mutex);
    event = Names().Find(name);
    existed = event != nullptr;
    if (!existed) {
      event = NewEvent(initiallySignalled);
      if (!event) return nullptr;
      Names().Add(name, event);
    }
  }
  HANDLE handle = kernel::AddHandle(event);
  // A name already taken hands out the existing event, its state untouched;
  // the last error (ERROR_ALREADY_EXISTS) tells the caller which it got.
  if (handle != nullptr) SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

HANDLE OpenEvent(const char* name) {
  if (name == nullptr || *name == '\0') {
    kernel::Fail(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::shared_ptr<EventObject> event;
  {
    std::lock_guard lock(Names().mutex);
    event = Names().Find(name);
  }
  if (!event) {
    kernel::Fail(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  return kernel::AddHandle(event);
}

BOOL SetEvent(HANDLE handle) {
  auto event = kernel::FindHandleAs<EventObject>(handle);
  if (!event) return kernel::Fail(ERROR_INVALID_HANDLE);
  event->Set();
  return 1;
}

BOOL ResetEvent(HANDLE handle) {
  auto event = kernel::FindHandleAs<EventObject>(handle);
  if (!event) return kernel::Fail(ERROR_INVALID_HANDLE);
  event->Reset();
  return 1;
}

std::shared_ptr<EventControl> LookupEvent(HANDLE handle) { return kernel::FindHandleAs<EventObject>(handle); }

}  // namespace platform
