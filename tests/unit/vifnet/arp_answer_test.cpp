// The answers to SIOCGARP: an open interface answers what its guest would
// learn on its own link, descriptor -1 answers from the host's tables (here
// the simulated host's default LAN: this host 192.0.2.10 / 02-00-00-00-00-10,
// router 192.0.2.1 / 02-00-00-00-00-01, peer 192.0.2.20). The devices are
// stand-ins: a routed link like the kernel's TAP device, and a link on the
// host adapter's own LAN like the simulated host's.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>

#include "arp_answers.h"
#include "interface.h"
#include "platform/machine.h"

namespace vifnet {
namespace {

constexpr Mac kHostMac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x10};
constexpr Mac kRouterMac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
constexpr Mac kGuestMac = {0x02, 0x00, 0x5E, 0x80, 0x00, 0x04};
constexpr BYTE kRouterIp[4] = {192, 0, 2, 1};
constexpr BYTE kPeerIp[4] = {192, 0, 2, 20};
constexpr BYTE kHostIp[4] = {192, 0, 2, 10};
constexpr BYTE kGuestIp[4] = {192, 0, 2, 111};
constexpr BYTE kNobodyIp[4] = {192, 0, 2, 99};

DWORD Ip(const BYTE (&bytes)[4]) {
  DWORD ip;
  std::memcpy(&ip, bytes, 4);
  return ip;
}

// A device that carries nothing; `routedMac` is what its link answers for
// every address but the guest's.
class StandInPort final : public Port {
 public:
  explicit StandInPort(std::optional<Mac> routedMac) : m_routedMac(routedMac) {}
  int Create(bool, std::string* name) override {
    *name = "standin0";
    m_bCreated = true;
    return 0;
  }
  int SetAddress(unsigned, DWORD) override { return 0; }
  int SetMtu(int) override { return 0; }
  int SetFlags(unsigned) override { return 0; }
  void SetGuest(const Mac&, DWORD) override {}
  void SetBuffers(DWORD, DWORD) override {}
  int SourceFd() override { return -1; }
  int Receive(std::vector<BYTE>*) override { return EAGAIN; }
  int Send(const void*, std::size_t) override { return 0; }
  std::optional<Mac> RoutedLinkMac() const override { return m_bCreated ? m_routedMac : std::nullopt; }

 private:
  const std::optional<Mac> m_routedMac;
  bool m_bCreated = false;
};

class ArpAnswers : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(platform::SelectMachine("sim")); }

  // An interface on this host's adapter, in `tap` or TUN mode, with the
  // guest 192.0.2.111 (and its MAC when `guestMac`).
  static std::unique_ptr<Interface> Open(std::optional<Mac> routedMac, bool tap, bool guestMac = true) {
    HostAdapter adapter;
    adapter.name = "sim0";
    adapter.mac = kHostMac;
    adapter.ip = Ip(kHostIp);
    auto open = std::make_unique<Interface>(adapter, std::make_unique<StandInPort>(routedMac), false);
    vn32_ifreq iff{};
    iff.u.flags = static_cast<uint16_t>((tap ? VN32_IFF_TAP : VN32_IFF_TUN) | VN32_IFF_NO_PI);
    EXPECT_EQ(open->Ioctl(VN32_TUNSETIFF, &iff), 0);
    vn32_ifreq guest{};
    std::memcpy(guest.name, iff.name, sizeof guest.name);
    guest.u.addr.family = VN32_AF_INET;
    std::memcpy(guest.u.addr.address, kGuestIp, 4);
    EXPECT_EQ(open->Ioctl(VN32_SIOCSIFDSTADDR, &guest), 0);
    if (guestMac) {
      guest.u.hwaddr = vn32_sockaddr{};
      guest.u.hwaddr.family = VN32_ARPHRD_ETHER;
      std::memcpy(guest.u.hwaddr.data, kGuestMac.data(), 6);
      EXPECT_EQ(open->Ioctl(VN32_SIOCSIFHWADDR, &guest), 0);
    }
    return open;
  }

  // The MAC answered for `ip`, or nothing (with the errno value in *error).
  static std::optional<Mac> Ask(const Interface* open, const BYTE (&ip)[4], int* error = nullptr) {
    vn32_arpreq arp{};
    arp.arp_pa.family = VN32_AF_INET;
    std::memcpy(arp.arp_pa.data, ip, 4);
    arp.arp_flags = VN32_ARP_FLAGS;
    int rc = AnswerArpRequest(open, VN32_SIOCGARP, &arp);
    if (error != nullptr) *error = rc;
    if (rc != 0) return std::nullopt;
    EXPECT_EQ(arp.arp_ha.family, VN32_ARPHRD_ETHER);
    Mac mac;
    std::memcpy(mac.data(), arp.arp_ha.data, 6);
    return mac;
  }
};

TEST_F(ArpAnswers, WithoutAnOpenInterfaceTheHostsTablesAnswer) {
  EXPECT_EQ(Ask(nullptr, kRouterIp), kRouterMac);
  EXPECT_EQ(Ask(nullptr, kHostIp), kHostMac);
  int error = 0;
  EXPECT_EQ(Ask(nullptr, kNobodyIp, &error), std::nullopt);
  EXPECT_EQ(error, ENXIO);
}

TEST_F(ArpAnswers, AnOpenTapInterfaceOnARoutedLinkAnswersTheDevicesMacForEveryoneButItsGuest) {
  const Mac device = {0x02, 0x00, 0x5E, 0x20, 0x00, 0x01};
  std::unique_ptr<Interface> open = Open(device, /*tap=*/true);
  // A router, a peer and the host that the host's tables know, and an
  // address nobody has: the host stands in for all of them on this link.
  EXPECT_EQ(Ask(open.get(), kRouterIp), device);
  EXPECT_EQ(Ask(open.get(), kPeerIp), device);
  EXPECT_EQ(Ask(open.get(), kHostIp), device);
  EXPECT_EQ(Ask(open.get(), kNobodyIp), device);
  EXPECT_EQ(Ask(open.get(), kGuestIp), kGuestMac);
  // The same question without the interface still gets the LAN's answer.
  EXPECT_EQ(Ask(nullptr, kRouterIp), kRouterMac);
}

TEST_F(ArpAnswers, AGuestWithoutAGivenMacIsAnsweredWithTheMacDerivedFromItsIp) {
  std::unique_ptr<Interface> open = Open(Mac{0x02, 0x00, 0x5E, 0x20, 0x00, 0x01}, /*tap=*/true, /*guestMac=*/false);
  const Mac derived = {0x02, 0x00, 192, 0, 2, 111};
  EXPECT_EQ(Ask(open.get(), kGuestIp), derived);
}

TEST_F(ArpAnswers, OnTheHostAdaptersOwnLanAndInTunModeTheHostsTablesAnswer) {
  std::unique_ptr<Interface> bridged = Open(std::nullopt, /*tap=*/true);
  EXPECT_EQ(Ask(bridged.get(), kRouterIp), kRouterMac);
  EXPECT_EQ(Ask(bridged.get(), kGuestIp), kGuestMac);
  int error = 0;
  EXPECT_EQ(Ask(bridged.get(), kNobodyIp, &error), std::nullopt);
  EXPECT_EQ(error, ENXIO);

  std::unique_ptr<Interface> tun = Open(Mac{0x02, 0x00, 0x5E, 0x20, 0x00, 0x01}, /*tap=*/false);
  EXPECT_EQ(Ask(tun.get(), kRouterIp), kRouterMac);
}

TEST_F(ArpAnswers, BeforeTheDeviceExistsTheHostsTablesAnswer) {
  HostAdapter adapter;
  adapter.name = "sim0";
  Interface unmade(adapter, std::make_unique<StandInPort>(Mac{0x02, 0x00, 0x5E, 0x20, 0x00, 0x01}), false);
  EXPECT_EQ(Ask(&unmade, kRouterIp), kRouterMac);
}

}  // namespace
}  // namespace vifnet
