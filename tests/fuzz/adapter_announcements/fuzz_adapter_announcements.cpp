// Arbitrary bytes as one receive of announcements, in an exact-size buffer so
// that any read past it is caught. A table is kept only when every byte was
// read as a link announcement of flags alone: anything else, cut short or
// unknown, must make it anew.
#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "linux/adapter_snapshot_linux.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::uint8_t> buffer(data, data + size);
  const bool changed = platform::linuxhost::AnnouncementsChangeAdapters(buffer.data(), buffer.size());
  if (!changed) {
    // Kept: the input must begin with a whole link announcement.
    nlmsghdr header;
    if (size < NLMSG_LENGTH(sizeof(ifinfomsg))) std::abort();
    std::memcpy(&header, data, sizeof header);
    if (header.nlmsg_type != RTM_NEWLINK || header.nlmsg_len > size) std::abort();
  }
  return 0;
}
