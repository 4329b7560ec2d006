// The virtual-interface library through its contract only, the way VNTest
// drives it, on the simulated host's default LAN (192.0.2.0/24: this host
// 192.0.2.10 / 02-00-00-00-00-10, router 192.0.2.1 / 02-00-00-00-00-01).
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/lasterror.h"
#include "platform/winerror.h"
#include "platform/machine.h"
#include "platform/sim/sim_host.h"
#include "platform/sockets.h"
#include "vifnet.h"
#include "vifnet_test_driver.h"

namespace {

using vifnet_test::Bytes;

constexpr uint8_t kGuestIp[4] = {192, 0, 2, 111};
constexpr uint8_t kHostIp[4] = {192, 0, 2, 10};
constexpr uint8_t kRouterIp[4] = {192, 0, 2, 1};
constexpr uint8_t kGuestMac[6] = {0x02, 0x00, 0x5E, 0x80, 0x00, 0x04};
constexpr uint8_t kHostMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x10};
constexpr uint8_t kRouterMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
constexpr uint8_t kBroadcastMac[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr uint8_t kNoMac[6] = {};
constexpr uint8_t kMask[4] = {255, 255, 255, 0};
constexpr uint8_t kBroadcast[4] = {192, 0, 2, 255};

class VifnetContract : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(platform::SelectMachine("sim")); }

  void OpenAndConfigure(bool tap, bool notify, bool setMac = true) {
    vif_.OpenAndConfigure({.adapter = "192.0.2.10", .tap = tap, .notify = notify, .hostIp = kHostIp,
                           .guestIp = kGuestIp, .mask = kMask, .broadcast = kBroadcast,
                           .guestMac = setMac ? kGuestMac : nullptr});
  }

  vifnet_test::Driver vif_;
};

Bytes ArpRequestForRouter() {
  return vifnet_test::ArpFrame(1, kBroadcastMac, kGuestMac, kGuestIp, kNoMac, kRouterIp);
}

Bytes EchoRequestToRouter(uint16_t sequence) {
  return vifnet_test::EchoRequest(kGuestIp, kRouterIp, 0x1234, sequence, "abcdefgh");
}

Bytes InFrame(const Bytes& packet, const uint8_t dst[6]) {
  Bytes f(14 + packet.size());
  std::memcpy(f.data(), dst, 6);
  std::memcpy(f.data() + 6, kGuestMac, 6);
  vifnet_test::Put16(f, 12, 0x0800);
  std::memcpy(f.data() + 14, packet.data(), packet.size());
  return f;
}

TEST_F(VifnetContract, TapGuestGetsTheRoutersArpAndEchoReplies) {
  OpenAndConfigure(/*tap=*/true, /*notify=*/false);
  Bytes arp = ArpRequestForRouter();
  ASSERT_EQ(vifnet32_write(vif_.fd, arp.data(), static_cast<int>(arp.size())), 42);
  Bytes reply = vif_.ReadUntil([](const Bytes& f) { return f.size() >= 42 && f[12] == 0x08 && f[13] == 0x06 && f[21] == 2; });
  ASSERT_FALSE(reply.empty());
  EXPECT_EQ(0, std::memcmp(reply.data() + 22, kRouterMac, 6));
  EXPECT_EQ(0, std::memcmp(reply.data(), kGuestMac, 6));

  Bytes echo = InFrame(EchoRequestToRouter(7), kRouterMac);
  ASSERT_EQ(vifnet32_write(vif_.fd, echo.data(), static_cast<int>(echo.size())), static_cast<int>(echo.size()));
  Bytes pong = vif_.ReadUntil([](const Bytes& f) { return f.size() >= 14 + 28 && f[12] == 0x08 && f[13] == 0x00 && f[14 + 20] == 0; });
  ASSERT_FALSE(pong.empty());
  EXPECT_EQ(0, std::memcmp(pong.data() + 14 + 12, kRouterIp, 4));
  EXPECT_EQ(pong[14 + 27], 7);  // the sequence number came back

  vn32_stats stats{};
  stats.size = VN32_STATS_SIZE;
  ASSERT_EQ(vifnet32_get_stats(vif_.fd, &stats), 0);
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
  ASSERT_EQ(vifnet32_write(vif_.fd, echo.data(), static_cast<int>(echo.size())), static_cast<int>(echo.size()));
  Bytes pong = vif_.ReadUntil([](const Bytes& p) { return p.size() >= 28 && p[0] == 0x45 && p[9] == 1 && p[20] == 0; });
  ASSERT_FALSE(pong.empty());
  EXPECT_EQ(0, std::memcmp(pong.data() + 16, kGuestIp, 4));
  EXPECT_EQ(pong[27], 9);
}

TEST_F(VifnetContract, DownTheInterfaceCarriesNothingAndUpAgainItDoes) {
  OpenAndConfigure(/*tap=*/false, /*notify=*/false);
  ASSERT_EQ(vif_.SetFlags(0), 0);
  Bytes echo = EchoRequestToRouter(3);
  EXPECT_LT(vifnet32_write(vif_.fd, echo.data(), static_cast<int>(echo.size())), 0);
  EXPECT_EQ(errno, ENETDOWN);
  ASSERT_EQ(vif_.SetFlags(VN32_IFF_UP), 0);
  ASSERT_EQ(vifnet32_write(vif_.fd, echo.data(), static_cast<int>(echo.size())), static_cast<int>(echo.size()));
  Bytes pong = vif_.ReadUntil([](const Bytes& p) { return p.size() >= 28 && p[9] == 1 && p[20] == 0; });
  ASSERT_FALSE(pong.empty());
  EXPECT_EQ(pong[27], 3);
}

// The emulator's monitor thread reads while its other threads write and
// issue requests on the same descriptor, with the debug lines on.
TEST_F(VifnetContract, OneThreadReadsWhileAnotherWritesAndIssuesRequests) {
  static std::atomic<int> s_debugLines{0};
  vifnet32_set_debug_output_func([](const char*) { s_debugLines.fetch_add(1); });
  OpenAndConfigure(/*tap=*/true, /*notify=*/false);
  ASSERT_EQ(vif_.SetFlags(VN32_IFF_UP | VN32_IFF_DEBUG), 0);
  ASSERT_EQ(vif_.Control(VN32STIMEOUT, 20), 0);
  constexpr int kEchoes = 20;
  std::mutex lock;
  std::condition_variable changed;
  int replies = 0;
  std::atomic<bool> stop{false};
  std::thread monitor([&] {
    while (!stop.load()) {
      Bytes frame = vif_.ReadOne();
      if (frame.size() >= 14 + 28 && frame[12] == 0x08 && frame[13] == 0x00 && frame[14 + 20] == 0) {
        std::lock_guard<std::mutex> guard(lock);
        ++replies;
        changed.notify_all();
      }
    }
  });
  Bytes arp = ArpRequestForRouter();
  for (int i = 0; i < kEchoes; ++i) {
    EXPECT_EQ(vifnet32_write(vif_.fd, arp.data(), static_cast<int>(arp.size())), static_cast<int>(arp.size()));
    Bytes echo = InFrame(EchoRequestToRouter(static_cast<uint16_t>(i)), kRouterMac);
    EXPECT_EQ(vifnet32_write(vif_.fd, echo.data(), static_cast<int>(echo.size())), static_cast<int>(echo.size()));
    vn32_ifreq hw = vif_.Named();
    hw.u.hwaddr.family = VN32_ARPHRD_ETHER;
    std::memcpy(hw.u.hwaddr.data, kGuestMac, 6);
    EXPECT_EQ(vifnet32_ioctl(vif_.fd, VN32_SIOCSIFHWADDR, &hw), 0);
    EXPECT_EQ(vifnet32_ioctl(vif_.fd, VN32_SIOCGIFHWADDR, &hw), 0);
    EXPECT_EQ(vif_.Control(VN32SDEVBUFF, 1048576u + static_cast<uint32_t>(i)), 0);
    vn32_stats stats{};
    stats.size = VN32_STATS_SIZE;
    EXPECT_EQ(vifnet32_get_stats(vif_.fd, &stats), 0);
  }
  {
    std::unique_lock<std::mutex> guard(lock);
    changed.wait_for(guard, std::chrono::seconds(30), [&] { return replies >= kEchoes; });
    EXPECT_EQ(replies, kEchoes);
  }
  stop.store(true);
  monitor.join();
  vifnet32_set_debug_output_func(nullptr);
  EXPECT_GT(s_debugLines.load(), 0);
}

// The read waits its whole time-out (the monotonic clock guarantees the lower
// bound however loaded the machine is), the way a monitor thread paces itself.
TEST_F(VifnetContract, AnIdleReadReturnsZeroAfterItsTimeOut) {
  OpenAndConfigure(/*tap=*/false, /*notify=*/false);
  uint8_t buffer[2048];
  for (uint32_t ms : {20u, 250u, 1000u}) {
    SCOPED_TRACE(ms);
    ASSERT_EQ(vif_.Control(VN32STIMEOUT, ms), 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(vifnet32_read(vif_.fd, buffer, sizeof buffer), 0);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(ms));
  }
}

TEST_F(VifnetContract, ClosingTheSocketEndsASelectAndKeepsTheDescriptorForTheLastCalls) {
  OpenAndConfigure(/*tap=*/true, /*notify=*/true);
  int waited = -2;
  std::thread waiter([&] { waited = platform::SelectReadable(vif_.fd, 60000); });
  EXPECT_EQ(platform::CloseSocket(vif_.fd), 0);
  waiter.join();
  EXPECT_EQ(waited, 1);
  uint8_t buffer[2048];
  EXPECT_EQ(vifnet32_read(vif_.fd, buffer, sizeof buffer), 0);  // no failure: just nothing more
  vn32_stats stats{};
  stats.size = VN32_STATS_SIZE;
  EXPECT_EQ(vifnet32_get_stats(vif_.fd, &stats), 0);
}

// An adapter that is pulled out ends the guest: the next read fails (in
// both modes, polling and socket-notify), and so does every later one; an
// adapter that is merely unplugged keeps it.
TEST_F(VifnetContract, ARemovedHostAdapterFailsEveryReadAfterwardsAndAnUnpluggedOneDoesNot) {
  for (bool tap : {true, false}) {
    for (bool notify : {false, true}) {
      SCOPED_TRACE(std::string(tap ? "TAP" : "TUN") + (notify ? ", socket-notify" : ", polling"));
      std::shared_ptr<platform::sim::SimHost> host = platform::sim::InstallHost(platform::sim::DefaultHost());
      vifnet_test::Driver vif;
      vif.OpenAndConfigure({.adapter = "192.0.2.10", .tap = tap, .notify = notify, .hostIp = kHostIp,
                            .guestIp = kGuestIp, .mask = kMask, .broadcast = kBroadcast, .guestMac = kGuestMac});
      if (HasFatalFailure()) return;
      uint8_t buffer[2048];

      ASSERT_TRUE(host->SetPlugged("sim0", false));
      EXPECT_EQ(vifnet32_read(vif.fd, buffer, sizeof buffer), 0);
      ASSERT_TRUE(host->SetPlugged("sim0", true));

      ASSERT_TRUE(host->RemoveAdapter("sim0"));
      EXPECT_FALSE(host->RemoveAdapter("sim0"));
      int n = 0;
      for (int round = 0; round < 40 && n == 0; ++round) {
        if (notify) {
          ASSERT_EQ(platform::SelectReadable(vif.fd, 60000), 1);
        }
        n = vifnet32_read(vif.fd, buffer, sizeof buffer);
      }
      EXPECT_EQ(n, -1);
      EXPECT_EQ(errno, ENODEV);
      EXPECT_EQ(GetLastError(), ERROR_DEV_NOT_EXIST);
      EXPECT_EQ(vifnet32_read(vif.fd, buffer, sizeof buffer), -1);
      EXPECT_EQ(errno, ENODEV);

      Bytes echo = EchoRequestToRouter(1);
      if (tap) echo = InFrame(echo, kRouterMac);
      EXPECT_LT(vifnet32_write(vif.fd, echo.data(), static_cast<int>(echo.size())), 0);
      EXPECT_EQ(errno, ENODEV);
      // Gone from the host's tables, so nothing more opens on it.
      EXPECT_LT(vifnet32_open("192.0.2.10", VN32_OPEN_RDWR), 0);
      EXPECT_EQ(errno, ENODEV);
    }
  }
  platform::sim::InstallHost(platform::sim::DefaultHost());
}

TEST_F(VifnetContract, WithoutAGivenMacTheGuestTakesTheOneDerivedFromItsIp) {
  OpenAndConfigure(/*tap=*/true, /*notify=*/false, /*setMac=*/false);
  vn32_ifreq ifr = vif_.Named();
  ASSERT_EQ(vifnet32_ioctl(vif_.fd, VN32_SIOCGIFHWADDR, &ifr), 0);
  EXPECT_EQ(ifr.u.hwaddr.family, VN32_ARPHRD_ETHER);
  uint8_t derived[6];
  vifnet32_build_gorlan_iface_mac(derived, kGuestIp);
  EXPECT_EQ(0, std::memcmp(ifr.u.hwaddr.data, derived, 6));
  EXPECT_EQ(derived[0], 0x02);

  vn32_ifreq peer = vif_.Named();
  ASSERT_EQ(vifnet32_ioctl(vif_.fd, VN32_SIOCGIFDSTADDR, &peer), 0);
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
