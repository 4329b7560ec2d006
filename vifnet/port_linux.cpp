// The linux backend: the kernel's TUN/TAP device, a routed link behind the
// host (the host forwards between it and its adapter, and answers ARP for
// the guest on the adapter). A TAP device takes the host adapter's MAC, so
// that frames the guest addresses to the host adapter are accepted by the
// kernel; the guest's own MAC stays with the library. The descriptor of
// /dev/net/tun is the caller's own: the guest's frames go between the
// kernel and the caller with no thread or copy in between. A netlink socket
// watches the host's links, so that a host adapter that vanishes ends the
// guest's reads.
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "port.h"
#include "vifnet.h"

namespace vifnet {
namespace {

class LinuxPort final : public Port {
 public:
  explicit LinuxPort(const HostAdapter& adapter) : m_adapter(adapter) {}
  ~LinuxPort() override {
    for (int fd : {m_controlFd, m_watchFd, m_tunFd}) {
      if (fd >= 0) close(fd);
    }
  }

  int OpenDevice(int* fd) override {
    *fd = -1;
    m_tunFd = OpenTun();
    if (m_tunFd < 0) return errno;
    *fd = m_tunFd;
    return 0;
  }

  int Create(bool tap, std::string* name) override {
    if (m_tunFd < 0) return EBADF;
    // A failed attempt keeps nothing, so that the caller may try again (the
    // emulator retries TUNSETIFF with its short code) without leaving a
    // descriptor or a half-made device behind.
    Release();
    int rc = Build(tap);
    if (rc != 0) {
      Release();
      return rc;
    }
    *name = m_name;
    return 0;
  }

  int SetAddress(unsigned request, DWORD address) override {
    unsigned long code = 0;
    switch (request) {
      case VN32_SIOCSIFADDR: code = SIOCSIFADDR; break;
      case VN32_SIOCSIFDSTADDR: code = SIOCSIFDSTADDR; break;
      case VN32_SIOCSIFBRDADDR: code = SIOCSIFBRDADDR; break;
      case VN32_SIOCSIFNETMASK: code = SIOCSIFNETMASK; break;
      default: return EINVAL;
    }
    if (request == VN32_SIOCSIFNETMASK && CoversHostAdapter(address)) {
      // The guest shares the host adapter's subnet. With that mask the kernel
      // device would get a second route to the whole subnet, and the kernel
      // would keep sending to the LAN; a host mask routes just the guest
      // through the device (a host that forwards and answers ARP for it on
      // its adapter then connects it to the LAN, as a bridge would).
      address = 0xFFFFFFFF;
    }
    ifreq ifr = Named();
    auto* in = reinterpret_cast<sockaddr_in*>(&ifr.ifr_addr);
    in->sin_family = AF_INET;
    in->sin_addr.s_addr = address;
    return ioctl(m_controlFd, code, &ifr) == 0 ? 0 : errno;
  }

  int SetMtu(int mtu) override {
    ifreq ifr = Named();
    ifr.ifr_mtu = mtu;
    return ioctl(m_controlFd, SIOCSIFMTU, &ifr) == 0 ? 0 : errno;
  }

  int SetFlags(unsigned flags) override {
    ifreq ifr = Named();
    if (ioctl(m_controlFd, SIOCGIFFLAGS, &ifr) != 0) return errno;
    // The kernel keeps its own flags (point-to-point, no-ARP ...); the
    // caller changes only up and debug.
    const unsigned mine = IFF_UP | IFF_DEBUG;
    ifr.ifr_flags = static_cast<short>((static_cast<unsigned>(ifr.ifr_flags) & ~mine) | (flags & mine));
    return ioctl(m_controlFd, SIOCSIFFLAGS, &ifr) == 0 ? 0 : errno;
  }

  void SetGuest(const Mac&, DWORD ip) override { m_guestIp = ip; }

  void SetBuffers(DWORD deviceBytes, DWORD ioBytes) override {
    if (m_name.empty()) return;
    // Best effort, the kernel's nearest equivalents: the device's queue for
    // the guest plays the driver's buffer (in frames of the largest size,
    // never below the kernel's own default), the send buffer the library's.
    if (deviceBytes != 0) {
      ifreq ifr = Named();
      ifr.ifr_qlen = std::max(kDefaultQueueFrames, static_cast<int>(std::min<DWORD>(deviceBytes / kLargestFrame, 1 << 20)));
      ioctl(m_controlFd, SIOCSIFTXQLEN, &ifr);
    }
    if (ioBytes != 0) {
      int sndbuf = static_cast<int>(ioBytes);
      ioctl(m_tunFd, TUNSETSNDBUF, &sndbuf);
    }
  }

  // The caller reads the device itself (OpenDevice).
  int SourceFd() override { return -1; }
  int Receive(std::vector<BYTE>* data) override {
    data->clear();
    return EAGAIN;
  }

  int Send(const void* data, std::size_t size) override {
    if (m_tunFd < 0) return EBADFD;
    if (m_bGone.load()) return ENODEV;
    const auto* frame = static_cast<const BYTE*>(data);
    ssize_t n;
    if (m_bTap && size >= 14 && (frame[0] & 0x01) == 0 && std::memcmp(frame, m_adapter.mac.data(), 6) != 0) {
      // Unicast to another station of the LAN (its MAC from the host's
      // tables, the default gateway's ...): on this link the host is the
      // only station and forwards it, as a bridge would have delivered it.
      // The kernel drops a frame addressed to another MAC, so it goes to
      // the device's own.
      iovec parts[2] = {{const_cast<BYTE*>(m_adapter.mac.data()), 6}, {const_cast<BYTE*>(frame + 6), size - 6}};
      n = writev(m_tunFd, parts, 2);
    } else {
      n = write(m_tunFd, data, size);
    }
    if (n < 0) return errno;
    return static_cast<std::size_t>(n) == size ? 0 : EIO;
  }

  std::optional<Mac> RoutedLinkMac() const override {
    if (!m_bTap || m_tunFd < 0) return std::nullopt;
    return m_adapter.mac;  // the device's own, given to it at creation
  }

  int AdapterWatchFd() const override { return m_watchFd; }

  int CheckAdapter() override {
    if (m_watchFd >= 0) {
      char message[8192];
      for (;;) {
        const ssize_t n = recv(m_watchFd, message, sizeof message, MSG_DONTWAIT);
        if (n > 0) continue;
        // ENOBUFS: some changes were lost; the look below covers them.
        if (n < 0 && (errno == EINTR || errno == ENOBUFS)) continue;
        break;
      }
    }
    if (m_adapter.index == 0 || m_controlFd < 0) return 0;
    ifreq ifr{};
    ifr.ifr_ifindex = static_cast<int>(m_adapter.index);
    if (ioctl(m_controlFd, SIOCGIFNAME, &ifr) == 0) return 0;  // there, up or down (a new name is the same adapter)
    if (errno != ENODEV) return 0;  // no verdict: keep the guest
    m_bGone.store(true);
    return ENODEV;
  }

  std::uint64_t DroppedByDevice() const override {
    if (m_name.empty()) return 0;
    const std::string path = "/sys/class/net/" + m_name + "/statistics/tx_dropped";
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char text[32] = {};
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    return n > 0 ? std::strtoull(text, nullptr, 10) : 0;
  }

 private:
  // The device's descriptor: reads and writes never wait (a read waits in
  // poll, with the caller's time-out or in select).
  static int OpenTun() { return open("/dev/net/tun", O_RDWR | O_CLOEXEC | O_NONBLOCK); }

  int Build(bool tap) {
    ifreq ifr{};
    ifr.ifr_flags = static_cast<short>((tap ? IFF_TAP : IFF_TUN) | IFF_NO_PI);
    if (ioctl(m_tunFd, TUNSETIFF, &ifr) != 0) return errno;
    m_bBound = true;
    m_name.assign(ifr.ifr_name, strnlen(ifr.ifr_name, IFNAMSIZ));
    m_controlFd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_controlFd < 0) return errno;
    m_watchFd = OpenLinkWatch();
    if (tap) {
      ifreq hw = Named();
      hw.ifr_hwaddr.sa_family = ARPHRD_ETHER;
      std::memcpy(hw.ifr_hwaddr.sa_data, m_adapter.mac.data(), 6);
      if (ioctl(m_controlFd, SIOCSIFHWADDR, &hw) != 0) return errno;
      // The guest asks for its LAN peers and its router by ARP on the
      // device; the kernel answers for them with the device's MAC and
      // forwards (when the host forwards), as a bridge would deliver. Best
      // effort: a read-only /proc/sys leaves the guest with the host alone.
      const std::string setting = "/proc/sys/net/ipv4/conf/" + m_name + "/proxy_arp";
      int proxy = open(setting.c_str(), O_WRONLY | O_CLOEXEC);
      if (proxy >= 0) {
        ssize_t ignored = write(proxy, "1", 1);
        (void)ignored;
        close(proxy);
      }
    }
    m_bTap = tap;
    return 0;
  }

  // A netlink socket that hears every change of the host's links; only
  // that a change came is used, its contents are not read. Best effort:
  // without it (-1) a vanished adapter goes unnoticed.
  static int OpenLinkWatch() {
    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (fd < 0) return -1;
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    local.nl_groups = RTMGRP_LINK;
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      close(fd);
      return -1;
    }
    return fd;
  }

  // Removes a half-made device and closes the control and watch sockets;
  // keeps errno as the failing call left it. The caller's descriptor keeps
  // its number: a device bound to it (the kernel removes a device with its
  // last descriptor) is dropped by putting a fresh, unbound descriptor of
  // /dev/net/tun in its place.
  void Release() {
    const int saved = errno;
    for (int* fd : {&m_controlFd, &m_watchFd}) {
      if (*fd >= 0) close(*fd);
      *fd = -1;
    }
    if (m_bBound) {
      const int fresh = OpenTun();
      if (fresh >= 0) {
        dup3(fresh, m_tunFd, O_CLOEXEC);
        close(fresh);
      }
      m_bBound = false;
    }
    m_name.clear();
    m_bTap = false;
    errno = saved;
  }

  ifreq Named() const {
    ifreq ifr{};
    std::memcpy(ifr.ifr_name, m_name.data(), std::min<std::size_t>(m_name.size(), IFNAMSIZ - 1));
    return ifr;
  }

  bool CoversHostAdapter(DWORD mask) const {
    return mask != 0xFFFFFFFF && m_adapter.ip != 0 && m_guestIp != 0 && ((m_adapter.ip ^ m_guestIp) & mask) == 0;
  }

  static constexpr int kDefaultQueueFrames = 500;  // the kernel's for TUN/TAP devices
  static constexpr DWORD kLargestFrame = 1514;

  const HostAdapter m_adapter;
  DWORD m_guestIp = 0;
  std::string m_name;
  bool m_bTap = false;
  int m_tunFd = -1;      // the caller's descriptor, from OpenDevice to the port's end
  bool m_bBound = false;  // a device is bound to m_tunFd
  int m_controlFd = -1;
  int m_watchFd = -1;               // netlink: changes of the host's links
  std::atomic<bool> m_bGone{false};  // the host adapter vanished
};

}  // namespace

std::unique_ptr<Port> MakeLinuxPort(const HostAdapter& adapter) { return std::make_unique<LinuxPort>(adapter); }

}  // namespace vifnet
