// Manual-reset events over eventfd, with a per-process namespace of names.
#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/kernel_object.h"
#include "platform/machine.h"
#include "platform/sync.h"

namespace platform {
namespace {

// The eventfd's counter is non-zero exactly while the event is set: Set adds
// to it, Reset drains it, and waits never read it. An event that follows
// descriptors (FollowReadable) also counts as set while any of them is
// readable: a wait polls them beside the eventfd. They are polled only during
// waits, never kept in a standing watch: a socket in a standing watch costs
// the kernel a call of the watch's callback for every packet it sends or
// receives, even while nobody waits.
class EventObject final : public kernel::KernelObject, public EventControl {
 public:
  explicit EventObject(std::shared_ptr<kernel::Fd> fd) : fd_(std::move(fd)) {}

  std::shared_ptr<kernel::Fd> WaitFd() override {
    if (noticed_.load(std::memory_order_acquire)) TellWaitComing();
    return fd_;
  }

  std::shared_ptr<const kernel::FdList> MoreWaitFds() override {
    if (!following_.load(std::memory_order_acquire)) return nullptr;
    std::lock_guard lock(mutex_);
    return followedFds_;
  }

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

  void FollowReadable(int fd) override {
    std::lock_guard lock(mutex_);
    if (followed_.count(fd) != 0) return;
    // A duplicate keeps the followed file the event's to watch even if its
    // owner closes its number first; readability belongs to the file.
    auto copy = std::make_shared<kernel::Fd>(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (copy->get() < 0) return;  // a bad fd: the event keeps its own state
    followed_[fd] = std::move(copy);
    PublishLocked();
  }

  void Unfollow(int fd) override {
    std::lock_guard lock(mutex_);
    if (followed_.erase(fd) == 0) return;
    PublishLocked();
  }

  void NoticeWaits(std::weak_ptr<WaitNotice> notice) override {
    std::lock_guard lock(mutex_);
    std::erase_if(notices_, [](const std::weak_ptr<WaitNotice>& n) { return n.expired(); });
    notices_.push_back(std::move(notice));
    noticed_.store(true, std::memory_order_release);
  }

 private:
  // Waiters that hold the previous list keep it; new waits take this one.
  void PublishLocked() {
    if (followed_.empty()) {
      followedFds_ = nullptr;
    } else {
      auto fds = std::make_shared<kernel::FdList>();
      for (const auto& [number, followed] : followed_) fds->push_back(followed);
      followedFds_ = std::move(fds);
    }
    following_.store(followedFds_ != nullptr, std::memory_order_release);
  }

  // Calls the notices outside the lock: they take their devices' locks,
  // which come before this one.
  void TellWaitComing() {
    std::vector<std::shared_ptr<WaitNotice>> live;
    {
      std::lock_guard lock(mutex_);
      for (const auto& notice : notices_) {
        if (auto held = notice.lock()) live.push_back(std::move(held));
      }
    }
    for (const auto& notice : live) notice->BeforeWait();
  }

  const std::shared_ptr<kernel::Fd> fd_;
  std::atomic<std::uint64_t> sets_{0};  // counts Set calls; only for the ordering
  std::mutex mutex_;  // a leaf: guards the three below
  std::map<int, std::shared_ptr<kernel::Fd>> followed_;  // by the follower's number: its duplicate
  std::shared_ptr<const kernel::FdList> followedFds_;  // the duplicates, for waits; null when none
  std::vector<std::weak_ptr<WaitNotice>> notices_;  // told before each wait
  std::atomic<bool> noticed_{false};  // notices_ was ever filled: waits without one skip the lock
  std::atomic<bool> following_{false};  // followedFds_ is not null: waits without one skip the lock
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
