// The process-wide handle table.
#include <unistd.h>

#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "common/kernel_object.h"
#include "platform/sync.h"

namespace platform::kernel {

Fd::~Fd() {
  if (fd_ >= 0) ::close(fd_);
}

namespace {

// Handle values are multiples of 4 from 0x100 and stay below 2^32 - 16, so
// they fit a 4-byte driver request and can never equal INVALID_HANDLE_VALUE.
// Values are handed out in rising order and reused only after wrapping, so a
// stale handle is very unlikely to name a newer object.
constexpr std::uint32_t kFirstHandle = 0x100;
constexpr std::uint32_t kLastHandle = 0xFFFFFFF0;
constexpr std::uint32_t kHandleStep = 4;

class HandleTable {
 public:
  HANDLE Add(std::shared_ptr<KernelObject> object) {
    std::lock_guard lock(mutex_);  // leaf lock, see kernel_object.h
    constexpr std::uint32_t kSlots = (kLastHandle - kFirstHandle) / kHandleStep + 1;
    if (objects_.size() >= kSlots) return nullptr;
    while (objects_.count(next_) != 0) Advance();
    std::uint32_t value = next_;
    Advance();
    objects_.emplace(value, std::move(object));
    return ToHandle(value);
  }

  std::shared_ptr<KernelObject> Find(HANDLE handle) {
    std::uint32_t value = 0;
    if (!FromHandle(handle, &value)) return nullptr;
    std::lock_guard lock(mutex_);
    auto it = objects_.find(value);
    return it == objects_.end() ? nullptr : it->second;
  }

  std::shared_ptr<KernelObject> Take(HANDLE handle) {
    std::uint32_t value = 0;
    if (!FromHandle(handle, &value)) return nullptr;
    std::lock_guard lock(mutex_);
    auto it = objects_.find(value);
    if (it == objects_.end()) return nullptr;
    std::shared_ptr<KernelObject> object = std::move(it->second);
    objects_.erase(it);
    return object;
  }

 private:
  void Advance() { next_ = next_ >= kLastHandle ? kFirstHandle : next_ + kHandleStep; }

  static HANDLE ToHandle(std::uint32_t value) { return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value)); }
  static bool FromHandle(HANDLE handle, std::uint32_t* value) {
    auto raw = reinterpret_cast<std::uintptr_t>(handle);
    if (raw < kFirstHandle || raw > kLastHandle || raw % kHandleStep != 0) return false;
    *value = static_cast<std::uint32_t>(raw);
    return true;
  }

  std::mutex mutex_;
  std::unordered_map<std::uint32_t, std::shared_ptr<KernelObject>> objects_;
  std::uint32_t next_ = kFirstHandle;
};

HandleTable& Table() {
  // Never destroyed: threads that outlive main may still close handles.
  static HandleTable* table = new HandleTable;
  return *table;
}

}  // namespace

HANDLE AddHandle(std::shared_ptr<KernelObject> object) {
  HANDLE handle = Table().Add(std::move(object));
  if (handle == nullptr) Fail(ERROR_NOT_ENOUGH_MEMORY);
  return handle;
}

std::shared_ptr<KernelObject> FindHandle(HANDLE handle) { return Table().Find(handle); }

std::shared_ptr<KernelObject> TakeHandle(HANDLE handle) { return Table().Take(handle); }

bool Fail(DWORD lastError) {
  SetErrors(lastError, ErrnoForLastError(lastError));
  return false;
}

bool FailErrno(int linuxErrno) { return Fail(LastErrorForErrno(linuxErrno)); }

}  // namespace platform::kernel

namespace platform {

BOOL CloseHandle(HANDLE handle) {
  std::shared_ptr<kernel::KernelObject> object = kernel::TakeHandle(handle);
  if (!object) return kernel::Fail(ERROR_INVALID_HANDLE);
  object.reset();  // the object's own clean-up runs here, outside the table's lock
  return 1;
}

}  // namespace platform
