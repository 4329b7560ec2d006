// Which of the kernel's announcements make the adapters table anew: only a
// link whose flags alone changed keeps it.
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>

#include <cstring>
#include <vector>

#include "linux/adapter_snapshot_linux.h"

namespace platform::linuxhost {
namespace {

using Bytes = std::vector<std::uint8_t>;

void Append(Bytes* out, std::uint16_t type, const void* payload, std::size_t size) {
  nlmsghdr header{};
  header.nlmsg_len = static_cast<std::uint32_t>(NLMSG_LENGTH(size));
  header.nlmsg_type = type;
  const std::size_t at = out->size();
  out->resize(at + NLMSG_SPACE(size), 0);
  std::memcpy(out->data() + at, &header, sizeof header);
  std::memcpy(out->data() + at + NLMSG_HDRLEN, payload, size);
}

Bytes Link(std::uint16_t type, unsigned change) {
  ifinfomsg link{};
  link.ifi_index = 2;
  link.ifi_flags = IFF_UP | IFF_PROMISC;
  link.ifi_change = change;
  Bytes out;
  Append(&out, type, &link, sizeof link);
  return out;
}

bool Changes(const Bytes& bytes) { return AnnouncementsChangeAdapters(bytes.data(), bytes.size()); }

TEST(AdapterAnnouncements, OnlyFlagsAloneKeepTheTable) {
  EXPECT_FALSE(Changes(Link(RTM_NEWLINK, IFF_PROMISC)));
  EXPECT_FALSE(Changes(Link(RTM_NEWLINK, IFF_UP | IFF_RUNNING)));
  Bytes two = Link(RTM_NEWLINK, IFF_PROMISC);
  const Bytes second = Link(RTM_NEWLINK, IFF_ALLMULTI);
  two.insert(two.end(), second.begin(), second.end());
  EXPECT_FALSE(Changes(two));

  EXPECT_TRUE(Changes(Link(RTM_NEWLINK, 0))) << "a new name or hardware address names no flag";
  EXPECT_TRUE(Changes(Link(RTM_NEWLINK, ~0u))) << "a new link names every bit";
  EXPECT_TRUE(Changes(Link(RTM_DELLINK, 0)));
  ifaddrmsg address{};
  Bytes added;
  Append(&added, RTM_NEWADDR, &address, sizeof address);
  EXPECT_TRUE(Changes(added));
  rtmsg route{};
  Bytes routed = Link(RTM_NEWLINK, IFF_PROMISC);
  Append(&routed, RTM_DELROUTE, &route, sizeof route);
  EXPECT_TRUE(Changes(routed)) << "a route after a flag";
}

TEST(AdapterAnnouncements, WhatCannotBeReadWholeMakesTheTableAnew) {
  const Bytes flags = Link(RTM_NEWLINK, IFF_PROMISC);
  EXPECT_TRUE(Changes(Bytes{}));
  EXPECT_TRUE(Changes(Bytes(flags.begin(), flags.begin() + 20))) << "cut inside the link record";
  Bytes beyond = flags;
  const std::uint32_t tooLong = 4096;
  std::memcpy(beyond.data(), &tooLong, sizeof tooLong);
  EXPECT_TRUE(Changes(beyond)) << "a length past the end";
  Bytes headerOnly(NLMSG_HDRLEN, 0);
  nlmsghdr header{};
  header.nlmsg_len = NLMSG_HDRLEN;
  header.nlmsg_type = RTM_NEWLINK;
  std::memcpy(headerOnly.data(), &header, sizeof header);
  EXPECT_TRUE(Changes(headerOnly)) << "a link announcement without its record";
}

}  // namespace
}  // namespace platform::linuxhost
