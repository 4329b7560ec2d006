// What the virtual-interface tests share: the frames a guest sends and
// answers, and a driver that opens and configures an interface the way the
// emulator does.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "vifnet.h"

namespace vifnet_test {

using Bytes = std::vector<uint8_t>;

inline void Put16(Bytes& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v >> 8);
  b[at + 1] = static_cast<uint8_t>(v);
}
inline uint16_t Get16(const Bytes& b, size_t at) { return static_cast<uint16_t>((b[at] << 8) | b[at + 1]); }

// An Ethernet ARP frame (op 1 request, 2 reply).
inline Bytes ArpFrame(uint16_t op, const uint8_t to[6], const uint8_t senderMac[6], const uint8_t senderIp[4],
                      const uint8_t targetMac[6], const uint8_t targetIp[4]) {
  Bytes f(42, 0);
  std::memcpy(f.data(), to, 6);
  std::memcpy(f.data() + 6, senderMac, 6);
  Put16(f, 12, 0x0806);
  Put16(f, 14, 1);
  Put16(f, 16, 0x0800);
  f[18] = 6;
  f[19] = 4;
  Put16(f, 20, op);
  std::memcpy(f.data() + 22, senderMac, 6);
  std::memcpy(f.data() + 28, senderIp, 4);
  std::memcpy(f.data() + 32, targetMac, 6);
  std::memcpy(f.data() + 38, targetIp, 4);
  return f;
}

// An IPv4 ICMP echo request with an 8-byte payload, checksums filled in.
inline Bytes EchoRequest(const uint8_t from[4], const uint8_t to[4], uint16_t id, uint16_t sequence,
                         const char payload[8]) {
  Bytes p(28 + 8, 0);
  p[0] = 0x45;
  Put16(p, 2, static_cast<uint16_t>(p.size()));
  Put16(p, 6, 0x4000);
  p[8] = 64;
  p[9] = 1;
  std::memcpy(p.data() + 12, from, 4);
  std::memcpy(p.data() + 16, to, 4);
  Put16(p, 10, vifnet32_calc_inet_checksum(p.data(), 20));
  p[20] = 8;
  Put16(p, 24, id);
  Put16(p, 26, sequence);
  std::memcpy(p.data() + 28, payload, 8);
  Put16(p, 22, vifnet32_calc_inet_checksum(p.data() + 20, static_cast<int>(p.size() - 20)));
  return p;
}

// The emulator's settings for one interface.
struct Setup {
  const char* adapter = nullptr;  // the host adapter's IP or MAC text
  bool tap = true;
  bool notify = false;
  const uint8_t* hostIp = nullptr;  // none: the adapter was named by its MAC
  const uint8_t* guestIp = nullptr;
  const uint8_t* mask = nullptr;
  const uint8_t* broadcast = nullptr;
  const uint8_t* guestMac = nullptr;  // none: the library derives it
};

class Driver {
 public:
  ~Driver() {
    if (fd >= 0) {
      EXPECT_EQ(vifnet32_close(fd), 0);
    }
  }

  vn32_ifreq Named() const {
    vn32_ifreq ifr{};
    std::memcpy(ifr.name, name.data(), std::min<size_t>(name.size(), VN32_IFNAMSIZ - 1));
    return ifr;
  }
  int SetAddress(uint32_t request, const uint8_t ip[4]) {
    vn32_ifreq ifr = Named();
    ifr.u.addr.family = VN32_AF_INET;
    std::memcpy(ifr.u.addr.address, ip, 4);
    return vifnet32_ioctl(fd, request, &ifr);
  }
  int Control(uint32_t request, uint32_t value) {
    vn32ctl ctl{};
    ctl.value = value;
    return vifnet32_ioctl(fd, request, &ctl);
  }
  int SetFlags(uint16_t flags) {
    vn32_ifreq ifr = Named();
    ifr.u.flags = flags;
    return vifnet32_ioctl(fd, VN32_SIOCSIFFLAGS, &ifr);
  }

  // The emulator's order: debug flags, mode, host address (only when the
  // adapter is named by it), guest address, mask, broadcast, MAC, time-out
  // (polling only), buffers, up.
  void OpenAndConfigure(const Setup& setup) {
    fd = vifnet32_open(setup.adapter, VN32_OPEN_RDWR | (setup.notify ? VN32_OPEN_SOCKET_NOTIFY : 0));
    ASSERT_GE(fd, 0) << "errno " << errno;
    ASSERT_EQ(Control(VN32_TUNSETDEBUG, 0x80008080u), 0);
    vn32_ifreq iff{};
    iff.u.flags = static_cast<uint16_t>((setup.tap ? VN32_IFF_TAP : VN32_IFF_TUN) | VN32_IFF_NO_PI);
    ASSERT_EQ(vifnet32_ioctl(fd, VN32_TUNSETIFF, &iff), 0) << "errno " << errno;
    name = std::string(iff.name, strnlen(iff.name, sizeof iff.name));
    ASSERT_FALSE(name.empty());
    if (setup.hostIp != nullptr) {
      ASSERT_EQ(SetAddress(VN32_SIOCSIFADDR, setup.hostIp), 0) << "errno " << errno;
    }
    ASSERT_EQ(SetAddress(VN32_SIOCSIFDSTADDR, setup.guestIp), 0) << "errno " << errno;
    ASSERT_EQ(SetAddress(VN32_SIOCSIFNETMASK, setup.mask), 0) << "errno " << errno;
    ASSERT_EQ(SetAddress(VN32_SIOCSIFBRDADDR, setup.broadcast), 0) << "errno " << errno;
    if (setup.guestMac != nullptr) {
      vn32_ifreq hw = Named();
      hw.u.hwaddr.family = VN32_ARPHRD_ETHER;
      std::memcpy(hw.u.hwaddr.data, setup.guestMac, 6);
      ASSERT_EQ(vifnet32_ioctl(fd, VN32_SIOCSIFHWADDR, &hw), 0) << "errno " << errno;
    }
    if (!setup.notify) {
      ASSERT_EQ(Control(VN32STIMEOUT, 250), 0);
    }
    ASSERT_EQ(Control(VN32SDEVBUFF, 1048576), 0);
    ASSERT_EQ(Control(VN32SIOBUFF, 65536), 0);
    ASSERT_EQ(SetFlags(VN32_IFF_UP), 0) << "errno " << errno;
  }

  // One read: the frame, or nothing after the time-out.
  Bytes ReadOne() {
    Bytes buffer(65535);
    int n = vifnet32_read(fd, buffer.data(), static_cast<int>(buffer.size()));
    EXPECT_GE(n, 0) << "errno " << errno;
    buffer.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return buffer;
  }

  // Reads until a frame that `want` accepts, for at most 40 time-outs.
  template <typename Want>
  Bytes ReadUntil(Want want) {
    for (int round = 0; round < 40; ++round) {
      Bytes frame = ReadOne();
      if (!frame.empty() && want(frame)) return frame;
    }
    return {};
  }

  int fd = -1;
  std::string name;
};

}  // namespace vifnet_test
