// Waiting for any of several objects: one poll() over their descriptors.
#include <poll.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <vector>

#include "common/kernel_object.h"
#include "platform/sync.h"

namespace platform {
namespace {

std::int64_t MonotonicMs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, DWORD milliseconds) {
  if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
    kernel::Fail(ERROR_INVALID_PARAMETER);
    return WAIT_FAILED;
  }
  // The references keep every descriptor open until poll() has returned, even
  // if another thread closes one of the handles meanwhile. They live on the
  // stack: a guest checks its stop event (a wait of 0 ms) for every frame.
  // An object's further descriptors (an event that follows sockets) are
  // polled after all the objects' own, each with the index of its object.
  std::array<std::shared_ptr<kernel::KernelObject>, MAXIMUM_WAIT_OBJECTS> objects;
  std::array<std::shared_ptr<kernel::Fd>, MAXIMUM_WAIT_OBJECTS> fds;
  std::array<std::shared_ptr<const kernel::FdList>, MAXIMUM_WAIT_OBJECTS> more;
  std::array<pollfd, 2 * MAXIMUM_WAIT_OBJECTS> fixedPolls;
  std::array<DWORD, 2 * MAXIMUM_WAIT_OBJECTS> fixedOwners;
  std::vector<pollfd> grownPolls;  // only when the further descriptors do not fit
  std::vector<DWORD> grownOwners;
  std::size_t total = count;
  for (DWORD i = 0; i < count; ++i) {
    objects[i] = kernel::FindHandle(handles[i]);
    if (objects[i]) fds[i] = objects[i]->WaitFd();
    if (!fds[i]) {
      kernel::Fail(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    more[i] = objects[i]->MoreWaitFds();
    if (more[i]) total += more[i]->size();
  }
  pollfd* polls = fixedPolls.data();
  DWORD* owners = fixedOwners.data();
  if (total > fixedPolls.size()) {
    grownPolls.resize(total);
    grownOwners.resize(total);
    polls = grownPolls.data();
    owners = grownOwners.data();
  }
  std::size_t used = 0;
  for (DWORD i = 0; i < count; ++i) {
    polls[used] = pollfd{fds[i]->get(), POLLIN, 0};
    owners[used++] = i;
  }
  for (DWORD i = 0; i < count; ++i) {
    if (!more[i]) continue;
    for (const auto& fd : *more[i]) {
      polls[used] = pollfd{fd->get(), POLLIN, 0};
      owners[used++] = i;
    }
  }

  // Only a finite, non-zero wait needs the clock.
  const bool forever = milliseconds == INFINITE;
  const bool timed = !forever && milliseconds != 0;
  const std::int64_t deadline = timed ? MonotonicMs() + milliseconds : 0;
  for (;;) {
    int timeout = forever ? -1 : 0;
    if (timed) {
      std::int64_t left = std::max<std::int64_t>(0, deadline - MonotonicMs());
      timeout = static_cast<int>(std::min<std::int64_t>(left, 0x7FFFFFFF));
    }
    int ready = ::poll(polls, static_cast<nfds_t>(used), timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      kernel::FailErrno(errno);
      return WAIT_FAILED;
    }
    // Readable, hung up or in error all mean a read would not block:
    // signalled. The lowest index among the signalled objects wins.
    if (ready > 0) {
      DWORD first = count;
      for (std::size_t k = 0; k < used; ++k) {
        if (polls[k].revents != 0) first = std::min(first, owners[k]);
      }
      objects[first]->Acquire();
      return WAIT_OBJECT_0 + first;
    }
    if (forever) continue;
    if (!timed || MonotonicMs() >= deadline) return WAIT_TIMEOUT;
  }
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return WaitForMultipleObjects(1, &handle, milliseconds);
}

}  // namespace platform
