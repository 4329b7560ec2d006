#include "linux/adapter_snapshot_linux.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform::linuxhost {
namespace {

// Room for a burst of announcements: one that overflows the socket makes
// the next look build the table anew, nothing worse.
constexpr int kReceiveBuffer = 1 << 20;
// The interface flags, IFF_UP (bit 0) to IFF_ECHO (bit 18).
constexpr unsigned kLinkFlags = (1u << 19) - 1;

}  // namespace

bool AnnouncementsChangeAdapters(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return true;
  std::size_t offset = 0;
  while (offset < size) {
    nlmsghdr header;
    if (size - offset < sizeof header) return true;
    std::memcpy(&header, data + offset, sizeof header);
    if (header.nlmsg_len < sizeof header || header.nlmsg_len > size - offset) return true;
    if (header.nlmsg_type != RTM_NEWLINK || header.nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) return true;
    ifinfomsg link;
    std::memcpy(&link, data + offset + NLMSG_HDRLEN, sizeof link);
    // The kernel names the changed flags when only flags changed; a change
    // of anything else (name, address) names none, a new link all bits.
    if (link.ifi_change == 0 || (link.ifi_change & ~kLinkFlags) != 0) return true;
    offset += NLMSG_ALIGN(header.nlmsg_len);
  }
  return false;
}

AdapterSnapshot::~AdapterSnapshot() {
  if (fd_ >= 0) ::close(fd_);
}

AdapterSnapshot::Looker AdapterSnapshot::Current() {
  Looker looker;
  looker.process = ::getpid();
  struct stat ns{};
  if (::stat("/proc/thread-self/ns/net", &ns) == 0) {
    looker.device = ns.st_dev;
    looker.inode = ns.st_ino;
  }
  return looker;
}

bool AdapterSnapshot::HearsLocked(const Looker& looker) const {
  return fd_ >= 0 && looker.inode != 0 && looker.process == listener_.process && looker.device == listener_.device &&
         looker.inode == listener_.inode;
}

void AdapterSnapshot::ListenLocked(const Looker& looker) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  valid_ = false;
  adapters_.clear();
  // A namespace that cannot be told, and so not told apart, gets no snapshot.
  if (looker.inode == 0) return;
  int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
  if (fd < 0) return;
  const int room = kReceiveBuffer;
  (void)::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
  sockaddr_nl local{};
  local.nl_family = AF_NETLINK;
  local.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    ::close(fd);
    return;
  }
  fd_ = fd;
  listener_ = looker;
}

bool AdapterSnapshot::Get(std::vector<AdapterModel>* adapters, Looker* looker) {
  *looker = Current();
  std::lock_guard lock(mutex_);
  // Another namespace, or a forked child sharing the parent's socket (each
  // would take the other's announcements): listen anew from here.
  if (!HearsLocked(*looker)) ListenLocked(*looker);
  if (fd_ < 0) return false;
  alignas(nlmsghdr) std::uint8_t announcements[16384];
  for (;;) {
    const ssize_t n = ::recv(fd_, announcements, sizeof announcements, MSG_DONTWAIT | MSG_TRUNC);
    if (n > 0) {
      const std::size_t got = static_cast<std::size_t>(n);
      if (got > sizeof announcements || AnnouncementsChangeAdapters(announcements, got)) valid_ = false;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == ENOBUFS) {  // some were lost: any of them may have mattered
      valid_ = false;
      continue;
    }
    break;
  }
  if (!valid_) return false;
  *adapters = adapters_;
  return true;
}

void AdapterSnapshot::Keep(const Looker& looker, const std::vector<AdapterModel>& adapters) {
  std::lock_guard lock(mutex_);
  if (!HearsLocked(looker)) return;
  adapters_ = adapters;
  valid_ = true;
}

}  // namespace platform::linuxhost
