// Kernel objects behind handles: the process-wide handle table and the base
// class every object (event, timer, thread, process, file, device) derives from.
// Internal to the platform library.
//
// Locks: the handle table's lock, the named-event table's lock, the file share
// table's lock and the socket waiter registry's lock are leaves. Each is held
// only inside one platform call, never while calling out of the platform layer
// or into another of them. Objects are destroyed outside every such lock (the
// handle table hands the last reference back to the caller first), so an
// object's destructor may take any of them.
#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "platform/winerror.h"
#include "platform/wintypes.h"

namespace platform {
class Device;
}

namespace platform::kernel {

// An owned file descriptor, closed when the last reference goes. Waiters hold
// a reference across poll(), so a CloseHandle racing a wait never lets the
// number be closed (and reused) under the poll.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd();
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

using FdList = std::vector<std::shared_ptr<Fd>>;

class KernelObject {
 public:
  virtual ~KernelObject() = default;

  // The descriptor whose readability is the object's signalled state, or null
  // for objects that cannot be waited on.
  virtual std::shared_ptr<Fd> WaitFd() { return nullptr; }

  // More descriptors whose readability also counts as signalled, or null.
  // Asked after WaitFd; a wait polls them with it, so a descriptor is watched
  // only while somebody actually waits.
  virtual std::shared_ptr<const FdList> MoreWaitFds() { return nullptr; }

  // Run by a wait that found the object signalled, before the wait returns:
  // an acquire that pairs with a release where the object is signalled, so the
  // waiter sees what the signalling thread wrote before (a descriptor's
  // readiness is no ordering the language's memory model, or a race
  // detector, knows of). Objects that no thread signals need none.
  virtual void Acquire() {}

  // Synchronous I/O. Each returns ERROR_SUCCESS or a last-error code.
  virtual DWORD Read(void*, DWORD, DWORD*) { return ERROR_INVALID_HANDLE; }
  virtual DWORD Write(const void*, DWORD, DWORD*) { return ERROR_INVALID_HANDLE; }
  virtual DWORD IoControl(DWORD, const void*, DWORD, void*, DWORD, DWORD*) { return ERROR_INVALID_HANDLE; }
  virtual DWORD Cancel() { return ERROR_INVALID_HANDLE; }

  // The machine's device behind a device handle (whose I/O goes straight to
  // it), else null.
  virtual Device* AsDevice() { return nullptr; }
};

// Registers an object; returns its new handle, or nullptr when the table is
// full (the last error is then set).
HANDLE AddHandle(std::shared_ptr<KernelObject> object);

// The object behind a handle, or null (without touching the last error).
std::shared_ptr<KernelObject> FindHandle(HANDLE handle);

template <typename T>
std::shared_ptr<T> FindHandleAs(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(FindHandle(handle));
}

// Removes a handle and gives back the object's reference, so that the caller
// drops it outside the table's lock. Null for a handle that is not open.
std::shared_ptr<KernelObject> TakeHandle(HANDLE handle);

// Sets the last error and the errno that goes with it; returns false so a
// failing BOOL call can end with `return Fail(code);`.
bool Fail(DWORD lastError);

// The same for a Linux errno from a failed system call.
bool FailErrno(int linuxErrno);

}  // namespace platform::kernel

namespace platform::kernel {

// Opens the device that the DOS device name `name` stands for on this machine
// and gives it a handle (the part of CreateFile for \\.\NAME).
HANDLE OpenDevice(const char* name);

}  // namespace platform::kernel
