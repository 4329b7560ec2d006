// The virtual-interface library through its contract only, the way VNTest
// drives it, on the simulated host's default LAN (192.0.2.0/24: this host
// 192.0.2.10 / 02-00-00-00-00-10, router 192.0.2.1 / 02-00-00-00-00-01).
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/lasterror.h"
#include "platform/machine.h"
#include "platform/sockets.h"
#include "vifnet.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kGuestIp[4] = {192, 0, 2, 111};
constexpr uint8_t kHostIp[4] = {192, 0, 2, 10};
constexpr uint8_t kRouterIp[4] = {192, 0, 2, 1};
constexpr uint8_t kGuestMac[6] = {0x02, 0x00, 0x5E, 0x80, 0x00, 0x04};
constexpr uint8_t kHostMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x10};
constexpr uint8_t kRouterMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};

class VifnetContract : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(platform::SelectMachine("sim")); }

  void TearDown() override {
    if (fd_ >= 0) {
      EXPECT_EQ(vifnet32_close(fd_), 0);
    }
  }

  static vn32_ifreq Named(const std::string& name) {
    vn32_ifreq ifr{};
    std::memcpy(ifr.name, name.data(), std::min<size_t>(name.size(), 15));
    return ifr;
  }
  int SetAddress(uint32_t request, const uint8_t ip[4]) {
    vn32_ifreq ifr = Named(name_);
    ifr.u.addr.family = VN32_AF_INET;
    std::memcpy(ifr.u.addr.address, ip, 4);
    return vifnet32_ioctl(fd_, request, &ifr);
  }
  int Control(uint32_t request, uint32_t value) {
    vn32ctl ctl{};
    ctl.value = value;
    return vifnet32_ioctl(fd_, request, &ctl);
  }

  // The emulator's order: debug flags, mode, addresses, mask, broadcast,
  // MAC, time-out, buffers, up.
  void OpenAndConfigure(bool tap, bool notify, bool setMac = true) {
    fd_ = vifnet32_open("192.0.2.10", VN32_OPEN_RDWR | (notify ? VN32_OPEN_SOCKET_NOTIFY : 0));
    ASSERT_GE(fd_, 0) << "errno " << errno;
    ASSERT_EQ(Control(VN32_TUNSETDEBUG, 0x80008080u), 0);
    vn32_ifreq iff{};
    iff.u.flags = static_cast<uint16_t>((tap ? VN32_IFF_TAP : VN32_IFF_TUN) | VN32_IFF_NO_PI);
    ASSERT_EQ(vifnet32_ioctl(fd_, VN32_TUNSETIFF, &iff), 0);
    name_ = iff.name;
    ASSERT_FALSE(name_.empty());
    ASSERT_EQ(SetAddress(VN32_SIOCSIFADDR, kHostIp), 0);
    ASSERT_EQ(SetAddress(VN32_SIOCSIFDSTADDR, kGuestIp), 0);
    const uint8_t mask[4] = {255, 255, 255, 0};
    ASSERT_EQ(SetAddress(VN32_SIOCSIFNETMASK, mask), 0);
    const uint8_t bcast[4] = {192, 0, 2, 255};
    ASSERT_EQ(SetAddress(VN32_SIOCSIFBRDADDR, bcast), 0);
    if (setMac) {
      vn32_ifreq hw = Named(name_);
      hw.u.hwaddr.family = VN32_ARPHRD_ETHER;
      std::memcpy(hw.u.hwaddr.data, kGuestMac, 6);
      ASSERT_EQ(vifnet32_ioctl(fd_, VN32_SIOCSIFHWADDR, &hw), 0);
    }
    if (!notify) {
      ASSERT_EQ(Control(VN32STIMEOUT, 250), 0);
    }
    ASSERT_EQ(Control(VN32SDEVBUFF, 1048576), 0);
    ASSERT_EQ(Control(VN32SIOBUFF, 65536), 0);
    vn32_ifreq up = Named(name_);
    up.u.flags = VN32_IFF_UP;
    ASSERT_EQ(vifnet32_ioctl(fd_, VN32_SIOCSIFFLAGS, &up), 0);
  }

  // Reads until a frame that `want` accepts, with a generous bound.
  Bytes ReadUntil(bool (*want)(const Bytes&)) {
    std::vector<uint8_t> buffer(65535);
    for (int round = 0; round < 40; ++round) {  // 40 x 250 ms
      int n = vifnet32_read(fd_, buffer.data(), 65535);
      EXPECT_GE(n, 0);
      if (n <= 0) continue;
      Bytes frame(buffer.begin(), buffer.begin() + n);
      if (want(frame)) return frame;
    }
    return {};
  }

  int fd_ = -1;
  std::string name_;
};

void Put16(Bytes& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v >> 8);
  b[at + 1] = static_cast<uint8_t>(v);
}

Bytes ArpRequestForRouter() {
  Bytes f(42, 0);
  std::memset(f.data(), 0xFF, 6);
  std::memcpy(f.data() + 6, kGuestMac, 6);
  Put16(f, 12, 0x0806);
  Put16(f, 14, 1);
  Put16(f, 16, 0x0800);
  f[18] = 6;
  f[19] = 4;
  Put16(f, 20, 1);
  std::memcpy(f.data() + 22, kGuestMac, 6);
  std::memcpy(f.data() + 28, kGuestIp, 4);
  std::memcpy(f.data() + 38, kRouterIp, 4);
  return f;
}

Bytes EchoRequestToRouter(uint16_t sequence) {
  Bytes p(28 + 8, 0);
  p[0] = 0x45;
  Put16(p, 2, static_cast<uint16_t>(p.size()));
  Put16(p, 6, 0x4000);
  p[8] = 64;
  p[9] = 1;
  std::memcpy(p.data() + 12, kGuestIp, 4);
  std::memcpy(p.data() + 16, kRouterIp, 4);
  Put16(p, 10, vifnet32_calc_inet_checksum(p.data(), 20));
  p[20] = 8;
  Put16(p, 24, 0x1234);
  Put16(p, 26, sequence);
  std::memcpy(p.data() + 28, "abcdefgh", 8);
  Put16(p, 22, vifnet32_calc_inet_checksum(p.data() + 20, static_cast<int>(p.size() - 20)));
  return p;
}

Bytes InFrame(const Bytes& packet, const uint8_t dst[6]) {
  Bytes f(14 + packet.size());
  std::memcpy(f.data(), dst, 6);
  std::memcpy(f.data() + 6, kGuestMac, 6);
  Put16(f, 12, 0x0800);
  std::memcpy(f.data() + 14, packet.data(), packet.size());
  return f;
}

TEST_F(VifnetContract, TapGuestGetsTheRoutersArpAndEchoReplies) {
  OpenAndConfigure(/*tap=*/true, /*notify=*/false);
  Bytes arp = ArpRequestForRouter();
  ASSERT_EQ(vifnet32_write(fd_, arp.data(), static_cast<int>(arp.size())), 42);
  Bytes reply = ReadUntil([](const Bytes& f) { return f.size() >= 42 && f[12] == 0x08 && f[13] == 0x06 && f[21] == 2; });
  ASSERT_FALSE(reply.empty());
  EXPECT_EQ(0, std::memcmp(reply.data() + 22, kRouterMac, 6));
  EXPECT_EQ(0, std::memcmp(reply.data(), kGuestMac, 6));

  Bytes echo = InFrame(EchoRequestToRouter(7), kRouterMac);
  ASSERT_EQ(vifnet32_write(fd_, echo.data(), static_cast<int>(echo.size())), static_cast<int>(echo.size()));
  Bytes pong = ReadUntil([](const Bytes& f) { return f.size() >= 14 + 28 && f[12] == 0x08 && f[13] == 0x00 && f[14 + 20] == 0; });
  ASSERT_FALSE(pong.empty());
  EXPECT_EQ(0, std::memcmp(pong.data() + 14 + 12, kRouterIp, 4));
  EXPECT_EQ(pong[14 + 27], 7);  // the sequence number came back

  vn32_stats stats{};
  stats.size = VN32_STATS_SIZE;
  ASSERT_EQ(vifnet32_get_stats(fd_, &stats), 0);
  EXPECT_EQ(stats.packets_written, 2u);
  EXPECT_EQ(stats.write_calls, 2u);
  EXPECT_EQ(stats.bytes_written, 42u + echo.size());
  EXPECT_GE(stats.packets_read, 2u);
  EXPECT_GE(stats.max_io_bytes_received, pong.size());
  EXPECT_EQ(stats.kernel_buffer_size, 1048576u);
  EXPECT_EQ(stats.dll_buffer_size, 65536u);
}

TEST_F(VifnetContract, TunGuestGetsTheRoutersEchoReply) {
  OpenAndConfigure(/*tap=*/false, /*notify=*/false);
  Bytes echo = EchoRequestToRouter(9);
  ASSERT_EQ(vifnet32_write(fd_, echo.data(), static_cast<int>(echo.size())), static_cast<int>(echo.size()));
  Bytes pong = ReadUntil([](const Bytes& p) { return p.size() >= 28 && p[0] == 0x45 && p[9] == 1 && p[20] == 0; });
  ASSERT_FALSE(pong.empty());
  EXPECT_EQ(0, std::memcmp(pong.data() + 16, kGuestIp, 4));
  EXPECT_EQ(pong[27], 9);
}

TEST_F(VifnetContract, AnIdleReadReturnsZeroAfterItsTimeOut) {
  OpenAndConfigure(/*tap=*/false, /*notify=*/false);
  ASSERT_EQ(Control(VN32STIMEOUT, 20), 0);
  uint8_t buffer[2048];
  EXPECT_EQ(vifnet32_read(fd_, buffer, sizeof buffer), 0);
}

TEST_F(VifnetContract, ClosingTheSocketEndsASelectAndKeepsTheDescriptorForTheLastCalls) {
  OpenAndConfigure(/*tap=*/true, /*notify=*/true);
  int waited = -2;
  std::thread waiter([&] { waited = platform::SelectReadable(fd_, 60000); });
  EXPECT_EQ(platform::CloseSocket(fd_), 0);
  waiter.join();
  EXPECT_EQ(waited, 1);
  uint8_t buffer[2048];
  EXPECT_EQ(vifnet32_read(fd_, buffer, sizeof buffer), 0);  // no failure: just nothing more
  vn32_stats stats{};
  stats.size = VN32_STATS_SIZE;
  EXPECT_EQ(vifnet32_get_stats(fd_, &stats), 0);
}

TEST_F(VifnetContract, WithoutAGivenMacTheGuestTakesTheOneDerivedFromItsIp) {
  OpenAndConfigure(/*tap=*/true, /*notify=*/false, /*setMac=*/false);
  vn32_ifreq ifr = Named(name_);
  ASSERT_EQ(vifnet32_ioctl(fd_, VN32_SIOCGIFHWADDR, &ifr), 0);
  EXPECT_EQ(ifr.u.hwaddr.family, VN32_ARPHRD_ETHER);
  uint8_t derived[6];
  vifnet32_build_gorlan_iface_mac(derived, kGuestIp);
  EXPECT_EQ(0, std::memcmp(ifr.u.hwaddr.data, derived, 6));
  EXPECT_EQ(derived[0], 0x02);

  vn32_ifreq peer = Named(name_);
  ASSERT_EQ(vifnet32_ioctl(fd_, VN32_SIOCGIFDSTADDR, &peer), 0);
  EXPECT_EQ(0, std::memcmp(peer.u.addr.address, kHostIp, 4));
}

TEST_F(VifnetContract, ArpAndRarpAnswerFromTheHostsTablesWithoutAnInterface) {
  vn32_arpreq arp{};
  arp.arp_pa.family = VN32_AF_INET;
  std::memcpy(arp.arp_pa.data, kRouterIp, 4);
  arp.arp_flags = VN32_ARP_FLAGS;
  ASSERT_EQ(vifnet32_ioctl(-1, VN32_SIOCGARP, &arp), 0);
  EXPECT_EQ(0, std::memcmp(arp.arp_ha.data, kRouterMac, 6));

  std::memcpy(arp.arp_pa.data, kHostIp, 4);
  ASSERT_EQ(vifnet32_ioctl(-1, VN32_SIOCGARP, &arp), 0);
  EXPECT_EQ(0, std::memcmp(arp.arp_ha.data, kHostMac, 6));

  vn32_arpreq rarp{};
  std::memcpy(rarp.arp_ha.data, kHostMac, 6);
  ASSERT_EQ(vifnet32_ioctl(-1, VN32_SIOCGRARP, &rarp), 0);
  EXPECT_EQ(0, std::memcmp(rarp.arp_pa.data, kHostIp, 4));

  const uint8_t nobody[4] = {192, 0, 2, 99};
  std::memcpy(arp.arp_pa.data, nobody, 4);
  EXPECT_NE(vifnet32_ioctl(-1, VN32_SIOCGARP, &arp), 0);
  EXPECT_EQ(errno, ENXIO);
}

TEST_F(VifnetContract, FailuresComeBackAsErrnoAndTheLastError) {
  EXPECT_LT(vifnet32_open("198.51.100.77", VN32_OPEN_RDWR), 0);
  EXPECT_EQ(errno, ENODEV);
  EXPECT_NE(GetLastError(), 0u);
  uint8_t buffer[16];
  EXPECT_LT(vifnet32_read(12345, buffer, sizeof buffer), 0);
  EXPECT_EQ(errno, EBADF);
  vn32_stats stats{};
  stats.size = 100;  // wrong size
  EXPECT_NE(vifnet32_get_stats(12345, &stats), 0);
  EXPECT_EQ(errno, EINVAL);
}

TEST_F(VifnetContract, TheDefaultInterfaceIsTheAdapterOfTheDefaultRoute) {
  EXPECT_STREQ(vifnet32_get_default_iface(), "02-00-00-00-00-10");
}

TEST(VifnetChecksum, MatchesTheInternetChecksumOfAKnownHeader) {
  // A textbook IPv4 header whose checksum field (0xB861) is zeroed.
  const uint8_t header[20] = {0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11,
                              0x00, 0x00, 0xC0, 0xA8, 0x00, 0x01, 0xC0, 0xA8, 0x00, 0xC7};
  EXPECT_EQ(vifnet32_calc_inet_checksum(header, 20), 0xB861);
  const uint8_t odd[3] = {0x01, 0x02, 0x03};  // the last byte is padded with zero
  EXPECT_EQ(vifnet32_calc_inet_checksum(odd, 3), static_cast<uint16_t>(~(0x0102 + 0x0300)));
}

}  // namespace
