// The IP helper's adapters table, kept between calls for as long as nothing
// it shows can have changed. Building the table asks the kernel about every
// interface, and MestraPack builds it once per adapter it opens, so a list of
// 64 adapters would build it 128 times.
//
// A netlink socket hears the kernel announce every change of a link, an IPv4
// address or an IPv4 route. The kernel queues the announcement while it
// makes the change, so a change made before a look is always heard by that
// look, and the table is built anew. Announcements of a link's flags alone
// (up, promiscuous ...) keep it: the table shows none of them.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/machine.h"

namespace platform::linuxhost {

// True when the announcements in `data` (as one receive from the socket gave
// them) may change the table: anything but a link whose flags alone changed,
// and anything that cannot be read whole.
bool AnnouncementsChangeAdapters(const std::uint8_t* data, std::size_t size);

class AdapterSnapshot {
 public:
  AdapterSnapshot() = default;
  ~AdapterSnapshot();
  AdapterSnapshot(const AdapterSnapshot&) = delete;
  AdapterSnapshot& operator=(const AdapterSnapshot&) = delete;

  // Who looks: the process and the calling thread's network namespace. The
  // snapshot serves only the ones whose announcements its socket hears.
  struct Looker {
    pid_t process = 0;
    dev_t device = 0;
    ino_t inode = 0;  // of the namespace; 0 when it cannot be told
  };

  // The table as kept, when nothing it shows has changed since it was made
  // (true); false when it must be built anew. `looker` is for Keep.
  bool Get(std::vector<AdapterModel>* adapters, Looker* looker);
  // Keeps a table built after Get returned false, for the same looker.
  void Keep(const Looker& looker, const std::vector<AdapterModel>& adapters);

 private:
  static Looker Current();
  bool HearsLocked(const Looker& looker) const;
  void ListenLocked(const Looker& looker);

  std::mutex mutex_;  // a leaf: guards everything below
  int fd_ = -1;
  Looker listener_;  // whose announcements the socket hears
  bool valid_ = false;
  std::vector<AdapterModel> adapters_;
};

}  // namespace platform::linuxhost
