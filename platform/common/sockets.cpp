// Waiting for a descriptor to become readable, and ending such waits from
// another thread without freeing the descriptor's number.
//
// CloseSocket does not close: a closed number can be handed out again at once
// (to any open in the process) while a thread still waits on or reads the old
// one, and would then act on an unrelated file. Shutting the socket down wakes
// every waiter and makes reads end, and the number stays reserved until the
// descriptor's owner closes it for good.
//
// A descriptor that is not a socket (a virtual interface's character device,
// say), or a socket that refuses shutdown (a packet socket), cannot be ended
// that way. It is replaced in place by the read end of an emptied pipe whose
// writer is gone: reads end there too (end of file), a write fails (EBADF)
// without a signal, even from a thread that still writes to the number, and
// the threads already waiting on it in SelectReadable are woken through the
// waiter registry below.
#include "platform/sockets.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <map>
#include <mutex>

namespace platform {
namespace {

class Waiters {
 public:
  void Add(int fd, int wake) {
    std::lock_guard lock(mutex_);  // leaf lock, see common/kernel_object.h
    waiters_.emplace(fd, wake);
  }
  void Remove(int fd, int wake) {
    std::lock_guard lock(mutex_);
    auto [first, last] = waiters_.equal_range(fd);
    for (auto it = first; it != last; ++it) {
      if (it->second == wake) {
        waiters_.erase(it);
        return;
      }
    }
  }
  // Replaces fd by a dead descriptor and wakes everyone waiting on the old
  // file. Under the lock, so a waiter either registered before (and is
  // woken) or polls the replacement (and returns at once).
  int KillAndWake(int fd) {
    std::lock_guard lock(mutex_);
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
    ::close(pipeFds[1]);
    int rc = ::dup3(pipeFds[0], fd, O_CLOEXEC);
    int dupErrno = errno;
    ::close(pipeFds[0]);
    if (rc < 0) {
      errno = dupErrno;
      return -1;
    }
    auto [first, last] = waiters_.equal_range(fd);
    for (auto it = first; it != last; ++it) {
      std::uint64_t one = 1;
      (void)!::write(it->second, &one, sizeof one);
    }
    return 0;
  }

 private:
  std::mutex mutex_;
  std::multimap<int, int> waiters_;  // descriptor -> eventfd of a waiting thread
};

Waiters& TheWaiters() {
  static Waiters* waiters = new Waiters;
  return *waiters;
}

// One wake-up eventfd per thread, made on first use and kept.
int ThreadWakeFd() {
  thread_local int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  thread_local struct Closer {
    ~Closer() {
      if (fd >= 0) ::close(fd);
    }
  } closer;
  (void)closer;
  return fd;
}

}  // namespace

int SelectReadable(int fd, int timeoutMs) {
  int wake = ThreadWakeFd();
  if (wake < 0) return -1;
  pollfd polls[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
  TheWaiters().Add(fd, wake);
  int ready;
  do {
    ready = ::poll(polls, 2, timeoutMs < 0 ? -1 : timeoutMs);
  } while (ready < 0 && errno == EINTR);
  int pollErrno = errno;
  TheWaiters().Remove(fd, wake);
  if (ready < 0) {
    errno = pollErrno;
    return -1;
  }
  if (polls[1].revents != 0) {
    std::uint64_t count = 0;
    (void)!::read(wake, &count, sizeof count);
    return 1;  // the descriptor was shut down under us: a read now ends at once
  }
  if (ready == 0) return 0;
  if (polls[0].revents & POLLNVAL) {
    errno = EBADF;
    return -1;
  }
  return 1;  // readable, hung up or in error: a read will not block
}

int CloseSocket(int fd) {
  if (::shutdown(fd, SHUT_RDWR) == 0) return 0;
  if (errno == EBADF) return -1;
  // Not a socket, or one that cannot be shut down (a packet socket) or was
  // never connected (a datagram socket): end it by replacement.
  return TheWaiters().KillAndWake(fd);
}

}  // namespace platform
