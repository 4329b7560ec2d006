// The virtual-interface library on the kernel's TUN/TAP devices, run by
// run_in_netns.sh inside the host namespace: vfh0 (198.51.100.1/24,
// 02-00-5e-20-00-01) is the host adapter, the peer namespace (named by
// VIFNET_PEER_NS) holds 198.51.100.2 on the other end of the link. The test
// plays the guest behind the library: it reads what the kernel sends it and
// writes the answers.
#include <fcntl.h>
#include <sys/socket.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "mestralib/address.h"
#include "platform/lasterror.h"
#include "platform/machine.h"
#include "platform/sockets.h"
#include "vifnet.h"
#include "vifnet_test_driver.h"

extern char** environ;

namespace {

using vifnet_test::Bytes;
using vifnet_test::Get16;
using vifnet_test::Put16;

constexpr uint8_t kHostIp[4] = {198, 51, 100, 1};
constexpr uint8_t kHostMac[6] = {0x02, 0x00, 0x5e, 0x20, 0x00, 0x01};
constexpr uint8_t kGuestIp[4] = {198, 51, 100, 200};
constexpr uint8_t kGuestMac[6] = {0x02, 0x00, 0x5e, 0x20, 0x00, 0xC8};
constexpr uint8_t kMask[4] = {255, 255, 255, 0};
constexpr uint8_t kBroadcast[4] = {198, 51, 100, 255};

// Runs a program we start ourselves and waits for it; its output and exit
// status come back.
struct Ran {
  int status = -1;
  std::string output;
};
Ran RunProgram(const std::vector<std::string>& argv) {
  Ran ran;
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return ran;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  if (rc == 0) {
    char chunk[512];
    ssize_t n;
    while ((n = read(pipeFds[0], chunk, sizeof chunk)) > 0) ran.output.append(chunk, static_cast<size_t>(n));
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    ran.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  close(pipeFds[0]);
  return ran;
}

std::string PeerNamespace() {
  const char* peer = std::getenv("VIFNET_PEER_NS");
  return peer != nullptr ? peer : "";
}

// The answer a guest gives to an ICMP echo request (IP packet, no link
// header): addresses swapped, type 0, both checksums made anew.
Bytes EchoReplyTo(const Bytes& request) {
  Bytes reply = request;
  const size_t ihl = (reply[0] & 0x0F) * 4u;
  std::memcpy(reply.data() + 12, request.data() + 16, 4);
  std::memcpy(reply.data() + 16, request.data() + 12, 4);
  reply[8] = 64;
  Put16(reply, 10, 0);
  Put16(reply, 10, vifnet32_calc_inet_checksum(reply.data(), static_cast<int>(ihl)));
  reply[ihl] = 0;
  Put16(reply, ihl + 2, 0);
  Put16(reply, ihl + 2, vifnet32_calc_inet_checksum(reply.data() + ihl, static_cast<int>(reply.size() - ihl)));
  return reply;
}

bool IsEchoRequestTo(const Bytes& packet, const uint8_t ip[4]) {
  if (packet.size() < 28 || (packet[0] >> 4) != 4 || packet[9] != 1) return false;
  const size_t ihl = (packet[0] & 0x0F) * 4u;
  const size_t total = Get16(packet, 2);
  return ihl >= 20 && total <= packet.size() && total >= ihl + 8 && std::memcmp(packet.data() + 16, ip, 4) == 0 &&
         packet[ihl] == 8;
}

bool IsArpRequestFor(const Bytes& frame, const uint8_t ip[4]) {
  return frame.size() >= 42 && Get16(frame, 12) == 0x0806 && Get16(frame, 20) == 1 &&
         std::memcmp(frame.data() + 38, ip, 4) == 0;
}

Bytes ArpReplyTo(const Bytes& request) {
  // To the asker, about us.
  return vifnet_test::ArpFrame(2, request.data() + 22, kGuestMac, kGuestIp, request.data() + 22, request.data() + 28);
}

// The guest's Ethernet frame of an IPv4 packet to `destination`.
Bytes FromGuest(const uint8_t destination[6], const Bytes& packet) {
  Bytes frame(14 + packet.size());
  std::memcpy(frame.data(), destination, 6);
  std::memcpy(frame.data() + 6, kGuestMac, 6);
  Put16(frame, 12, 0x0800);
  std::copy(packet.begin(), packet.end(), frame.begin() + 14);
  return frame;
}

// SIOCGARP for `ip` on `fd`: the MAC answered (text), or the errno value.
std::string ArpAnswer(int fd, const uint8_t ip[4]) {
  vn32_arpreq arp{};
  arp.arp_pa.family = VN32_AF_INET;
  arp.arp_flags = VN32_ARP_FLAGS;
  std::memcpy(arp.arp_pa.data, ip, 4);
  if (vifnet32_ioctl(fd, VN32_SIOCGARP, &arp) != 0) return "errno " + std::to_string(errno);
  if (arp.arp_ha.family != VN32_ARPHRD_ETHER) return "family " + std::to_string(arp.arp_ha.family);
  return FormatMACAddr(arp.arp_ha.data);
}

class VifnetOnTheKernel : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(platform::SelectMachine("linux"));
    vifnet32_set_debug_output_func([](const char* text) { std::fputs(text, stderr); });
  }

  void SetUp() override {
    if (PeerNamespace().empty()) GTEST_SKIP() << "run through run_in_netns.sh";
  }

  // The guest shares the host adapter's subnet, so the emulator passes the
  // adapter's mask.
  void OpenAndConfigure(bool tap, bool notify) {
    vif_.OpenAndConfigure({.adapter = "198.51.100.1", .tap = tap, .notify = notify, .hostIp = kHostIp,
                           .guestIp = kGuestIp, .mask = kMask, .broadcast = kBroadcast,
                           .guestMac = kGuestMac});
  }

  // Reads until a frame that `want` accepts, answering the kernel's ARP
  // questions about the guest on the way.
  template <typename Want>
  Bytes ReadAnsweringArp(Want want) {
    return vif_.ReadUntil([&](const Bytes& frame) {
      if (IsArpRequestFor(frame, kGuestIp)) {
        Bytes answer = ArpReplyTo(frame);
        EXPECT_EQ(vifnet32_write(vif_.fd, answer.data(), static_cast<int>(answer.size())), 42);
        return false;
      }
      return want(frame);
    });
  }

  vifnet_test::Driver vif_;
};

TEST_F(VifnetOnTheKernel, ATapGuestAnswersTheKernelsArpAndAPingFromTheLan) {
  OpenAndConfigure(/*tap=*/true, /*notify=*/false);
  if (HasFatalFailure()) return;

  // The kernel device carries the host adapter's MAC, so frames the guest
  // sends to the host are the kernel's; the guest keeps its own.
  Ran link = RunProgram({"ip", "-o", "link", "show", vif_.name});
  EXPECT_NE(link.output.find("02:00:5e:20:00:01"), std::string::npos) << link.output;
  vn32_ifreq ifr = vif_.Named();
  ASSERT_EQ(vifnet32_ioctl(vif_.fd, VN32_SIOCGIFHWADDR, &ifr), 0);
  EXPECT_EQ(0, std::memcmp(ifr.u.hwaddr.data, kGuestMac, 6));

  std::atomic<bool> stop{false};
  int arpAnswered = 0, echoAnswered = 0, failures = 0;
  std::thread guest([&] {
    while (!stop.load()) {
      Bytes frame = vif_.ReadOne();
      if (frame.size() < 14) continue;
      Bytes answer;
      if (IsArpRequestFor(frame, kGuestIp)) {
        answer = ArpReplyTo(frame);
        ++arpAnswered;
      } else if (Get16(frame, 12) == 0x0800) {
        Bytes packet(frame.begin() + 14, frame.end());
        if (!IsEchoRequestTo(packet, kGuestIp)) continue;
        packet.resize(Get16(packet, 2));
        Bytes reply = EchoReplyTo(packet);
        answer.assign(frame.begin(), frame.begin() + 14);
        std::memcpy(answer.data(), frame.data() + 6, 6);
        std::memcpy(answer.data() + 6, kGuestMac, 6);
        answer.insert(answer.end(), reply.begin(), reply.end());
        ++echoAnswered;
      } else {
        continue;
      }
      if (vifnet32_write(vif_.fd, answer.data(), static_cast<int>(answer.size())) != static_cast<int>(answer.size())) {
        ++failures;
      }
    }
  });
  Ran ping = RunProgram({"ip", "netns", "exec", PeerNamespace(), "ping", "-n", "-c", "3", "-i", "0.2", "-w", "20",
                  "198.51.100.200"});
  stop.store(true);
  guest.join();
  std::fputs(ping.output.c_str(), stderr);
  EXPECT_EQ(ping.status, 0) << ping.output;
  EXPECT_NE(ping.output.find("3 received"), std::string::npos) << ping.output;
  EXPECT_GE(arpAnswered, 1);
  EXPECT_GE(echoAnswered, 3);
  EXPECT_EQ(failures, 0);

  vn32_stats stats{};
  stats.size = VN32_STATS_SIZE;
  ASSERT_EQ(vifnet32_get_stats(vif_.fd, &stats), 0);
  EXPECT_EQ(stats.packets_written, static_cast<uint64_t>(arpAnswered + echoAnswered));
  EXPECT_GE(stats.packets_read, stats.packets_written);
  EXPECT_EQ(stats.kernel_buffer_size, 1048576u);
  EXPECT_EQ(stats.dll_buffer_size, 65536u);
}

// The guest's queue is the kernel device's own: as long as the driver buffer
// asks (in frames of the largest size), never shorter than the kernel's
// default; what overflows it while the guest does not read is counted among
// the ignored packets.
TEST_F(VifnetOnTheKernel, TheDeviceQueueFollowsTheDriverBufferAndItsOverflowIsCounted) {
  OpenAndConfigure(/*tap=*/false, /*notify=*/false);
  if (HasFatalFailure()) return;
  Ran link = RunProgram({"ip", "-o", "link", "show", vif_.name});
  EXPECT_NE(link.output.find("qlen 692"), std::string::npos) << link.output;  // 1048576 / 1514

  int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(sender, 0);
  // The guest's discard port: port 9 in network order, then the address.
  sockaddr guest{};
  guest.sa_family = AF_INET;
  guest.sa_data[1] = 9;
  std::memcpy(guest.sa_data + 2, kGuestIp, 4);
  int sent = 0;
  for (int i = 0; i < 2000; ++i) {
    if (sendto(sender, "x", 1, 0, &guest, sizeof guest) == 1) ++sent;
  }
  close(sender);
  EXPECT_EQ(sent, 2000);
  vn32_stats stats{};
  stats.size = VN32_STATS_SIZE;
  ASSERT_EQ(vifnet32_get_stats(vif_.fd, &stats), 0);
  EXPECT_GE(stats.ignored, 2000u - 692u);
  int read = 0;
  while (!vif_.ReadOne().empty()) ++read;
  EXPECT_EQ(static_cast<uint64_t>(read) + stats.ignored, 2000u);
}

TEST_F(VifnetOnTheKernel, ATapGuestReachesALanPeerThroughTheHost) {
  OpenAndConfigure(/*tap=*/true, /*notify=*/false);
  if (HasFatalFailure()) return;
  const uint8_t peerIp[4] = {198, 51, 100, 2};
  const uint8_t broadcast[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  const uint8_t unknown[6] = {};
  Bytes ask = vifnet_test::ArpFrame(1, broadcast, kGuestMac, kGuestIp, unknown, peerIp);
  ASSERT_EQ(vifnet32_write(vif_.fd, ask.data(), static_cast<int>(ask.size())), 42);
  Bytes told = ReadAnsweringArp([&](const Bytes& f) {
    return f.size() >= 42 && Get16(f, 12) == 0x0806 && Get16(f, 20) == 2 && std::memcmp(f.data() + 28, peerIp, 4) == 0;
  });
  ASSERT_FALSE(told.empty()) << "no ARP answer for the peer";
  EXPECT_EQ(0, std::memcmp(told.data() + 22, kHostMac, 6));  // the host stands in for it

  Bytes frame = FromGuest(kHostMac, vifnet_test::EchoRequest(kGuestIp, peerIp, 0x5151, 1, "to-peer!"));
  ASSERT_EQ(vifnet32_write(vif_.fd, frame.data(), static_cast<int>(frame.size())), static_cast<int>(frame.size()));
  Bytes pong = ReadAnsweringArp([&](const Bytes& f) {
    return f.size() >= 14 + 36 && Get16(f, 12) == 0x0800 && f[14 + 9] == 1 && f[14 + 20] == 0 &&
           std::memcmp(f.data() + 14 + 12, peerIp, 4) == 0;
  });
  ASSERT_FALSE(pong.empty()) << "no echo reply from the peer";
  EXPECT_EQ(0, std::memcmp(pong.data(), kGuestMac, 6));
  EXPECT_EQ(Get16(pong, 14 + 24), 0x5151);
}

// Once the host knows its peer (the normal state of a live LAN), the host's
// tables name the peer's own MAC, which the kernel device would drop. On the
// open TAP descriptor the library answers what the guest learns on its link:
// the device's MAC. And a frame that still names the peer's MAC (the host's
// answer, or a gateway's MAC learned elsewhere) reaches the peer through the
// host all the same.
TEST_F(VifnetOnTheKernel, WhenTheHostKnowsItsPeerATapGuestIsToldTheDevicesMacAndReachesThePeerEitherWay) {
  Ran known = RunProgram({"ping", "-n", "-c", "1", "-w", "10", "198.51.100.2"});
  ASSERT_EQ(known.status, 0) << known.output;
  OpenAndConfigure(/*tap=*/true, /*notify=*/false);
  if (HasFatalFailure()) return;
  const uint8_t peerIp[4] = {198, 51, 100, 2};
  const uint8_t peerMac[6] = {0x02, 0x00, 0x5e, 0x20, 0x00, 0x02};

  EXPECT_EQ(ArpAnswer(-1, peerIp), FormatMACAddr(peerMac));
  EXPECT_EQ(ArpAnswer(vif_.fd, peerIp), FormatMACAddr(kHostMac));
  EXPECT_EQ(ArpAnswer(vif_.fd, kGuestIp), FormatMACAddr(kGuestMac));

  const uint8_t* destinations[2] = {kHostMac, peerMac};
  for (uint16_t sequence = 1; sequence <= 2; ++sequence) {
    Bytes frame =
        FromGuest(destinations[sequence - 1], vifnet_test::EchoRequest(kGuestIp, peerIp, 0x5252, sequence, "to-peer!"));
    ASSERT_EQ(vifnet32_write(vif_.fd, frame.data(), static_cast<int>(frame.size())), static_cast<int>(frame.size()));
    Bytes pong = ReadAnsweringArp([&](const Bytes& f) {
      return f.size() >= 14 + 36 && Get16(f, 12) == 0x0800 && f[14 + 9] == 1 && f[14 + 20] == 0 &&
             std::memcmp(f.data() + 14 + 12, peerIp, 4) == 0 && Get16(f, 14 + 26) == sequence;
    });
    EXPECT_FALSE(pong.empty()) << "no echo reply from the peer to the frame for " << FormatMACAddr(destinations[sequence - 1]);
  }
}

TEST_F(VifnetOnTheKernel, ATunGuestsEchoRequestToTheHostGetsTheKernelsReply) {
  OpenAndConfigure(/*tap=*/false, /*notify=*/false);
  if (HasFatalFailure()) return;
  Bytes echo = vifnet_test::EchoRequest(kGuestIp, kHostIp, 0x4242, 5, "vifnet!!");
  ASSERT_EQ(vifnet32_write(vif_.fd, echo.data(), static_cast<int>(echo.size())), static_cast<int>(echo.size()))
      << "errno " << errno;
  Bytes reply = vif_.ReadUntil([](const Bytes& p) { return p.size() >= 36 && p[9] == 1 && p[20] == 0; });
  ASSERT_FALSE(reply.empty());
  EXPECT_EQ(0, std::memcmp(reply.data() + 12, kHostIp, 4));
  EXPECT_EQ(0, std::memcmp(reply.data() + 16, kGuestIp, 4));
  EXPECT_EQ(Get16(reply, 24), 0x4242);
  EXPECT_EQ(Get16(reply, 26), 5);
  EXPECT_EQ(0, std::memcmp(reply.data() + 28, "vifnet!!", 8));
}

// An adapter named by its MAC gives the interface no host address before
// the guest's: the library takes the adapter's own address for it, so the
// guest still becomes the link's peer and the host answers it.
TEST_F(VifnetOnTheKernel, AnAdapterNamedByItsMacStillGivesTheGuestItsLink) {
  for (bool tap : {false, true}) {
    SCOPED_TRACE(tap ? "TAP" : "TUN");
    vifnet_test::Driver vif;
    vif.OpenAndConfigure({.adapter = "02-00-5e-20-00-01", .tap = tap, .notify = false, .hostIp = nullptr,
                          .guestIp = kGuestIp, .mask = kMask, .broadcast = kBroadcast, .guestMac = kGuestMac});
    if (HasFatalFailure()) return;
    Ran route = RunProgram({"ip", "-4", "route", "show", "198.51.100.200/32"});
    EXPECT_NE(route.output.find("dev " + vif.name), std::string::npos) << route.output;
    EXPECT_NE(route.output.find("src 198.51.100.1"), std::string::npos) << route.output;
  }
}

TEST_F(VifnetOnTheKernel, ArpAndRarpAnswerFromTheHostsOwnAddressesThenItsNeighbours) {
  EXPECT_EQ(ArpAnswer(-1, kHostIp), FormatMACAddr(kHostMac));
  vn32_arpreq rarp{};
  std::memcpy(rarp.arp_ha.data, kHostMac, 6);
  ASSERT_EQ(vifnet32_ioctl(-1, VN32_SIOCGRARP, &rarp), 0) << "errno " << errno;
  EXPECT_EQ(0, std::memcmp(rarp.arp_pa.data, kHostIp, 4));

  const uint8_t neighbourIp[4] = {198, 51, 100, 77};
  const uint8_t neighbourMac[6] = {0x02, 0x00, 0x5e, 0x20, 0x00, 0x77};
  EXPECT_EQ(ArpAnswer(-1, neighbourIp), "errno " + std::to_string(ENXIO));
  Ran added = RunProgram({"ip", "neigh", "replace", "198.51.100.77", "lladdr", "02:00:5e:20:00:77", "dev", "vfh0", "nud",
                   "permanent"});
  ASSERT_EQ(added.status, 0) << added.output;
  EXPECT_EQ(ArpAnswer(-1, neighbourIp), FormatMACAddr(neighbourMac));
  std::memcpy(rarp.arp_ha.data, neighbourMac, 6);
  ASSERT_EQ(vifnet32_ioctl(-1, VN32_SIOCGRARP, &rarp), 0) << "errno " << errno;
  EXPECT_EQ(0, std::memcmp(rarp.arp_pa.data, neighbourIp, 4));
  RunProgram({"ip", "neigh", "del", "198.51.100.77", "dev", "vfh0"});
}

TEST_F(VifnetOnTheKernel, TheDefaultInterfaceIsTheAdapterOfTheDefaultRoute) {
  EXPECT_EQ(std::string(vifnet32_get_default_iface()), FormatMACAddr(kHostMac));
}

TEST_F(VifnetOnTheKernel, AnUnknownAdapterIsNoDevice) {
  EXPECT_LT(vifnet32_open("198.51.100.99", VN32_OPEN_RDWR), 0);
  EXPECT_EQ(errno, ENODEV);
  EXPECT_LT(vifnet32_open("02-00-5e-20-00-99", VN32_OPEN_RDWR), 0);
  EXPECT_EQ(errno, ENODEV);
}

// Turns CAP_NET_ADMIN off or on again in this thread's effective set (the
// permitted set keeps it), so that the kernel refuses TUNSETIFF to this
// thread alone.
bool SetNetAdminEffective(bool on) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  const uint32_t bit = 1u << CAP_NET_ADMIN;
  data[0].effective = on ? (data[0].effective | bit) : (data[0].effective & ~bit);
  return syscall(SYS_capset, &header, data) == 0;
}

std::size_t OpenDescriptors() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
  return count;
}

TEST_F(VifnetOnTheKernel, ARefusedTunsetiffAndItsRetryKeepNoDescriptorAndTheNextAttemptWorks) {
  const int fd = vifnet32_open("198.51.100.1", VN32_OPEN_RDWR);
  ASSERT_GE(fd, 0) << "errno " << errno;
  const std::size_t before = OpenDescriptors();
  ASSERT_TRUE(SetNetAdminEffective(false)) << "errno " << errno;
  vn32_ifreq iff{};
  iff.u.flags = VN32_IFF_TAP | VN32_IFF_NO_PI;
  const int first = vifnet32_ioctl(fd, VN32_TUNSETIFF, &iff);
  const int firstErrno = errno;
  const int retry = vifnet32_ioctl(fd, VN32_TUNSETIFF_OLD, &iff);
  const int retryErrno = errno;
  ASSERT_TRUE(SetNetAdminEffective(true)) << "errno " << errno;
  EXPECT_NE(first, 0);
  EXPECT_EQ(firstErrno, EPERM);
  EXPECT_NE(retry, 0);
  EXPECT_EQ(retryErrno, EPERM);
  EXPECT_EQ(OpenDescriptors(), before);

  iff = vn32_ifreq{};
  iff.u.flags = VN32_IFF_TAP | VN32_IFF_NO_PI;
  EXPECT_EQ(vifnet32_ioctl(fd, VN32_TUNSETIFF, &iff), 0) << "errno " << errno;
  EXPECT_NE(iff.name[0], '\0');
  EXPECT_EQ(vifnet32_close(fd), 0);
}

// A second adapter of the host namespace that the test takes away:
// vfgone0, 203.0.113.1/24, one end of a veth pair whose other end
// (vfgone1) stays unused in the same namespace and goes with it.
class VanishingAdapter : public VifnetOnTheKernel {
 protected:
  void TearDown() override { RunProgram({"ip", "link", "del", "vfgone0"}); }  // what a failed round left

  void AddAdapter() {
    Ran added = RunProgram({"ip", "link", "add", "vfgone0", "address", "02:00:5e:20:01:01", "type", "veth", "peer",
                            "name", "vfgone1"});
    ASSERT_EQ(added.status, 0) << added.output;
    ASSERT_EQ(RunProgram({"ip", "addr", "add", "203.0.113.1/24", "dev", "vfgone0"}).status, 0);
    ASSERT_EQ(RunProgram({"ip", "link", "set", "vfgone0", "up"}).status, 0);
  }

  void Open(bool tap, bool notify) {
    const uint8_t host[4] = {203, 0, 113, 1};
    const uint8_t guest[4] = {203, 0, 113, 200};
    const uint8_t broadcast[4] = {203, 0, 113, 255};
    vif_.OpenAndConfigure({.adapter = "203.0.113.1", .tap = tap, .notify = notify, .hostIp = host,
                           .guestIp = guest, .mask = kMask, .broadcast = broadcast, .guestMac = kGuestMac});
  }

  // Reads (waiting in select first in socket-notify mode) until a read gives
  // something other than "nothing yet", for at most 40 rounds.
  int ReadUntilSomething(bool notify) {
    Bytes buffer(65535);
    int n = 0;
    for (int round = 0; round < 40 && n == 0; ++round) {
      if (notify && platform::SelectReadable(vif_.fd, 1000) != 1) continue;
      n = vifnet32_read(vif_.fd, buffer.data(), static_cast<int>(buffer.size()));
    }
    return n;
  }
};

TEST_F(VanishingAdapter, ADeletedHostAdapterFailsTheGuestsReadsAndOneThatIsOnlyDownDoesNot) {
  for (bool tap : {true, false}) {
    for (bool notify : {false, true}) {
      SCOPED_TRACE(std::string(tap ? "TAP" : "TUN") + (notify ? ", socket-notify" : ", polling"));
      AddAdapter();
      if (HasFatalFailure()) return;
      Open(tap, notify);
      if (HasFatalFailure()) return;
      Bytes buffer(65535);
      ASSERT_EQ(RunProgram({"ip", "link", "set", "vfgone0", "down"}).status, 0);
      if (!notify) {
        // Down, the adapter is still there: an idle read just times out.
        EXPECT_EQ(vifnet32_read(vif_.fd, buffer.data(), static_cast<int>(buffer.size())), 0);
      }
      ASSERT_EQ(RunProgram({"ip", "link", "del", "vfgone0"}).status, 0);
      EXPECT_EQ(ReadUntilSomething(notify), -1);
      EXPECT_EQ(errno, ENODEV);
      EXPECT_EQ(GetLastError(), 55u);  // ERROR_DEV_NOT_EXIST
      EXPECT_EQ(vifnet32_read(vif_.fd, buffer.data(), static_cast<int>(buffer.size())), -1);
      EXPECT_EQ(errno, ENODEV);
      EXPECT_EQ(vifnet32_close(vif_.fd), 0);
      vif_.fd = -1;
    }
  }
}

// True once the thread `tid` is blocked in a wait for readiness.
bool BlockedInWait(pid_t tid) {
  std::ifstream file("/proc/self/task/" + std::to_string(tid) + "/syscall");
  long number = -1;
  file >> number;
  return number == SYS_pselect6 || number == SYS_ppoll
#ifdef SYS_select
         || number == SYS_select
#endif
#ifdef SYS_poll
         || number == SYS_poll
#endif
      ;
}

TEST_F(VifnetOnTheKernel, InSocketNotifyModeAPacketAndAShutdownBothWakeASelect) {
  OpenAndConfigure(/*tap=*/true, /*notify=*/true);
  if (HasFatalFailure()) return;

  // A ping of the guest makes the kernel ask for its MAC.
  std::atomic<pid_t> waiterTid{0};
  int woke = -2;
  std::thread waiter([&] {
    waiterTid.store(static_cast<pid_t>(syscall(SYS_gettid)));
    woke = platform::SelectReadable(vif_.fd, 60000);
  });
  // Bounded by its deadline; nobody answers it, its ARP is what counts.
  RunProgram({"ping", "-n", "-c", "1", "-w", "2", "198.51.100.200"});
  waiter.join();
  ASSERT_EQ(woke, 1);
  Bytes frame = vif_.ReadOne();
  EXPECT_TRUE(IsArpRequestFor(frame, kGuestIp)) << frame.size() << " bytes";

  // Drop the device's traffic before the wait that only a shutdown ends.
  ASSERT_EQ(vif_.SetFlags(0), 0);
  while (!vif_.ReadOne().empty()) {
  }
  woke = -2;
  waiterTid.store(0);
  std::thread second([&] {
    waiterTid.store(static_cast<pid_t>(syscall(SYS_gettid)));
    woke = platform::SelectReadable(vif_.fd, 60000);
  });
  const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while ((waiterTid.load() == 0 || !BlockedInWait(waiterTid.load())) && std::chrono::steady_clock::now() < bound) {
    std::this_thread::yield();
  }
  EXPECT_EQ(platform::CloseSocket(vif_.fd), 0);
  second.join();
  EXPECT_EQ(woke, 1);
  Bytes buffer(2048);
  EXPECT_EQ(vifnet32_read(vif_.fd, buffer.data(), static_cast<int>(buffer.size())), 0);
  vn32_stats stats{};
  stats.size = VN32_STATS_SIZE;
  EXPECT_EQ(vifnet32_get_stats(vif_.fd, &stats), 0);
  EXPECT_GE(stats.packets_read, 1u);
}

}  // namespace
