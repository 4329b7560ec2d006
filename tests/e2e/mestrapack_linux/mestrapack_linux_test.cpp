// MestraPack on the real machine, inside the namespaces that the linux
// machine's run_in_netns.sh builds: mvt0 (198.51.100.1/26, alias "Lab link 1",
// default route via the peer's 198.51.100.2) and mvtd0 (198.51.100.65/26, and
// 198.51.100.70 with a lease's lifetime) here, mvt1 in the peer namespace
// named by MVT_PEER_NS. What the library lists is checked against what `ip` and
// `ethtool` print for the same interfaces.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mestrapack/mestrapack.h"
#include "platform/npf.h"
#include "platform/sync.h"

namespace {

using Mac = std::array<std::uint8_t, 6>;
const Mac kMacHere = {0x02, 0x00, 0x5e, 0x10, 0x00, 0x01};
const Mac kMacPeer = {0x02, 0x00, 0x5e, 0x10, 0x00, 0x02};
const Mac kMacSecond = {0x02, 0x00, 0x5e, 0x10, 0x00, 0x03};
const Mac kBroadcast = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
constexpr std::uint16_t kTestEtherType = 0x88B5;  // local experimental
constexpr std::uint32_t kLayer4 = MESTRAPACK_CKSUM_TCP | MESTRAPACK_CKSUM_UDP;
constexpr std::uint32_t kPatientMs = 5000;

std::string Shell(const std::string& command) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return output;
  char chunk[512];
  while (std::fgets(chunk, sizeof chunk, pipe) != nullptr) output += chunk;
  pclose(pipe);
  return output;
}

std::string Utf8(const char16_t* text) {
  std::string out;
  for (; *text != 0; ++text) out.push_back(*text < 0x80 ? static_cast<char>(*text) : '?');
  return out;
}

std::uint32_t Dotted(const std::string& text) {
  in_addr address{};
  EXPECT_EQ(inet_pton(AF_INET, text.c_str(), &address), 1) << text;
  return address.s_addr;
}

std::uint32_t MaskOfPrefix(int prefix) { return htonl(prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - prefix)); }

std::optional<Mac> ParseMac(const std::string& text) {
  Mac mac{};
  unsigned parts[6];
  if (std::sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x", &parts[0], &parts[1], &parts[2], &parts[3], &parts[4],
                  &parts[5]) != 6) {
    return std::nullopt;
  }
  for (int i = 0; i < 6; ++i) mac[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(parts[i]);
  return mac;
}

// Runs a command in the peer's namespace; its exit status.
int InPeer(const std::string& command) {
  const char* peer = std::getenv("MVT_PEER_NS");
  if (peer == nullptr) {
    ADD_FAILURE() << "run through run_in_netns.sh";
    return -1;
  }
  return std::system(("ip netns exec " + std::string(peer) + " " + command).c_str());
}

// What `ip -d link`, `ip addr`, `ip route` and `ethtool` print about one
// interface, parsed from their text.
struct KernelView {
  unsigned index = 0;
  std::vector<std::string> flags;
  unsigned mtu = 0;
  Mac mac{};
  unsigned promiscuity = 0;
  std::string kind;
  std::string alias;
  std::string address;  // first IPv4 address
  int prefix = -1;
  std::string gateway;  // the default route's, when through this interface
  bool leased = false;  // some address has a finite lifetime, as a DHCP client sets it
  bool txChecksumV4 = false;
  bool txChecksumV6 = false;
  bool rxChecksum = false;
  std::optional<unsigned> speedMbps;

  bool HasFlag(const std::string& flag) const {
    for (const std::string& f : flags) {
      if (f == flag) return true;
    }
    return false;
  }
};

std::string FirstMatch(const std::string& text, const std::string& pattern) {
  std::smatch match;
  std::regex re(pattern);
  return std::regex_search(text, match, re) && match.size() > 1 ? match[1].str() : std::string();
}

bool EthtoolSays(const std::string& text, const std::string& feature) {
  return FirstMatch(text, "(?:^|\\n)\\s*" + feature + ": (on|off)") == "on";
}

KernelView ReadKernelView(const std::string& name) {
  KernelView view;
  const std::string link = Shell("ip -d link show dev " + name);
  // "3: mvt0@if2: <BROADCAST,MULTICAST,UP,LOWER_UP> mtu 1500 qdisc ..."
  std::smatch head;
  std::regex headRe("^(\\d+): [^:]+: <([^>]*)> mtu (\\d+)");
  EXPECT_TRUE(std::regex_search(link, head, headRe)) << link;
  if (head.size() == 4) {
    view.index = static_cast<unsigned>(std::stoul(head[1].str()));
    std::string flags = head[2].str();
    for (std::size_t at = 0; at <= flags.size();) {
      std::size_t comma = flags.find(',', at);
      if (comma == std::string::npos) comma = flags.size();
      view.flags.push_back(flags.substr(at, comma - at));
      at = comma + 1;
    }
    view.mtu = static_cast<unsigned>(std::stoul(head[3].str()));
  }
  std::optional<Mac> mac = ParseMac(FirstMatch(link, "link/ether ([0-9a-f:]{17})"));
  EXPECT_TRUE(mac.has_value()) << link;
  if (mac) view.mac = *mac;
  const std::string promiscuity = FirstMatch(link, "promiscuity (\\d+)");
  EXPECT_FALSE(promiscuity.empty()) << link;
  if (!promiscuity.empty()) view.promiscuity = static_cast<unsigned>(std::stoul(promiscuity));
  // The line after the promiscuity line starts with the link's kind.
  view.kind = FirstMatch(link, "promiscuity \\d+[^\\n]*\\n\\s+(\\w+)");
  view.alias = FirstMatch(link, "\\n\\s+alias ([^\\n]*)");

  const std::string addr = Shell("ip -4 addr show dev " + name);
  const std::string inet = FirstMatch(addr, "inet (\\d+\\.\\d+\\.\\d+\\.\\d+/\\d+)");
  EXPECT_FALSE(inet.empty()) << addr;
  if (!inet.empty()) {
    view.address = inet.substr(0, inet.find('/'));
    view.prefix = std::stoi(inet.substr(inet.find('/') + 1));
  }
  view.leased = std::regex_search(addr, std::regex("valid_lft \\d+sec"));
  view.gateway = FirstMatch(Shell("ip -4 route show default dev " + name), "default via (\\S+)");

  const std::string features = Shell("ethtool -k " + name);
  EXPECT_NE(features.find("rx-checksumming"), std::string::npos) << features;
  view.txChecksumV4 = EthtoolSays(features, "tx-checksum-ipv4") || EthtoolSays(features, "tx-checksum-ip-generic");
  view.txChecksumV6 = EthtoolSays(features, "tx-checksum-ipv6") || EthtoolSays(features, "tx-checksum-ip-generic");
  view.rxChecksum = EthtoolSays(features, "rx-checksumming");
  const std::string speed = FirstMatch(Shell("ethtool " + name + " 2>/dev/null"), "Speed: (\\d+)Mb/s");
  if (!speed.empty()) view.speedMbps = static_cast<unsigned>(std::stoul(speed));
  return view;
}

// The adapter list through the library's two calls.
std::vector<std::uint8_t> AdapterList() {
  std::uint32_t size = 0;
  EXPECT_EQ(MestraPackGetAdaptersList(nullptr, &size), 0);
  EXPECT_EQ(errno, 11);
  EXPECT_GT(size, 0u);
  std::vector<std::uint8_t> buffer(size);
  if (size == 0) return buffer;
  EXPECT_EQ(MestraPackGetAdaptersList(reinterpret_cast<ADAPTER_INFO_LIST_ENTRY*>(buffer.data()), &size), 1)
      << "errno " << errno;
  return buffer;
}

const ADAPTER_INFO_LIST_ENTRY* Find(const std::vector<std::uint8_t>& buffer, const std::string& name) {
  if (buffer.size() < sizeof(ADAPTER_INFO_LIST_ENTRY)) return nullptr;
  for (auto* entry = reinterpret_cast<const ADAPTER_INFO_LIST_ENTRY*>(buffer.data()); entry != nullptr;
       entry = entry->pNext) {
    if (Utf8(entry->szAdapterName) == "NPF_" + name) return entry;
  }
  return nullptr;
}

std::vector<std::string> ListedNames(const std::vector<std::uint8_t>& buffer) {
  std::vector<std::string> names;
  if (buffer.size() < sizeof(ADAPTER_INFO_LIST_ENTRY)) return names;
  for (auto* entry = reinterpret_cast<const ADAPTER_INFO_LIST_ENTRY*>(buffer.data()); entry != nullptr;
       entry = entry->pNext) {
    names.push_back(Utf8(entry->szAdapterName));
  }
  return names;
}

// Every field the kernel also knows, compared with what it says.
void ExpectAgreesWithKernel(const ADAPTER_INFO_LIST_ENTRY& entry, const std::string& name, const KernelView& kernel,
                            const Mac& mac) {
  EXPECT_EQ(entry.dwSize, sizeof(ADAPTER_INFO_LIST_ENTRY));
  EXPECT_EQ(0, std::memcmp(entry.bMACAddress, kernel.mac.data(), 6)) << "the MAC that ip link shows";
  EXPECT_EQ(0, std::memcmp(entry.bMACAddress, mac.data(), 6)) << "the MAC the interface was made with";
  EXPECT_EQ(entry.bMACAddress[6], 0);
  EXPECT_EQ(entry.bMACAddress[7], 0);
  EXPECT_EQ(entry.dwIndex, kernel.index);
  EXPECT_EQ(entry.dwMedium, 0u) << "802.3";
  EXPECT_EQ(entry.dwMaxTotalSize, kernel.mtu + 14) << "the MTU and the Ethernet header";
  EXPECT_EQ(entry.bMediaConnected != 0, kernel.HasFlag("LOWER_UP"));
  if (kernel.speedMbps) {
    EXPECT_EQ(entry.dwLinkSpeed, *kernel.speedMbps * 10000u) << "units of 100 bit/s";
  }

  EXPECT_EQ(entry.dwIPAddress, Dotted(kernel.address));
  EXPECT_EQ(entry.dwIPMask, MaskOfPrefix(kernel.prefix));
  EXPECT_EQ(entry.dwGateway, kernel.gateway.empty() ? 0u : Dotted(kernel.gateway));
  EXPECT_EQ(entry.bDHCPEnabled != 0, kernel.leased) << "an address with a lease's lifetime";
  EXPECT_EQ(Utf8(entry.szConnectionName), kernel.alias.empty() ? name : kernel.alias)
      << "the alias names the connection";

  EXPECT_EQ(entry.bPromiscuous, 1) << "the interface took the promiscuous filter";
  EXPECT_EQ(entry.bHaveChecksumOffload, 1);
  EXPECT_EQ(entry.ChecksumOffload.V4Transmit, kernel.txChecksumV4 ? kLayer4 : 0u) << "ethtool's tx-checksum";
  EXPECT_EQ(entry.ChecksumOffload.V4Receive, kernel.rxChecksum ? kLayer4 : 0u) << "ethtool's rx-checksumming";
  EXPECT_EQ(entry.ChecksumOffload.V6Transmit, kernel.txChecksumV6 ? kLayer4 : 0u) << "ethtool's tx-checksum";
  EXPECT_EQ(entry.ChecksumOffload.V6Receive, kernel.rxChecksum ? kLayer4 : 0u) << "ethtool's rx-checksumming";
  EXPECT_EQ(entry.bChecksumOffloadOverride, 0);
  EXPECT_FALSE(Utf8(entry.szDescription).empty());
}

TEST(AdapterList, AgreesWithIpAndEthtool) {
  const KernelView veth = ReadKernelView("mvt0");
  const KernelView second = ReadKernelView("mvtd0");
  std::vector<std::uint8_t> buffer = AdapterList();

  // The namespace's own Ethernet-like interfaces, no more (the loopback is none).
  std::vector<std::string> names = ListedNames(buffer);
  EXPECT_EQ(names.size(), 2u);
  const ADAPTER_INFO_LIST_ENTRY* vethEntry = Find(buffer, "mvt0");
  const ADAPTER_INFO_LIST_ENTRY* secondEntry = Find(buffer, "mvtd0");
  ASSERT_NE(vethEntry, nullptr) << testing::PrintToString(names);
  ASSERT_NE(secondEntry, nullptr) << testing::PrintToString(names);

  {
    SCOPED_TRACE("mvt0");
    ExpectAgreesWithKernel(*vethEntry, "mvt0", veth, kMacHere);
    EXPECT_EQ(veth.kind, "veth");
    EXPECT_EQ(vethEntry->dwIPAddress, Dotted("198.51.100.1"));
    EXPECT_EQ(vethEntry->dwIPMask, Dotted("255.255.255.192"));
    EXPECT_EQ(vethEntry->dwGateway, Dotted("198.51.100.2"));
    EXPECT_EQ(vethEntry->bMediaConnected, 1);
    EXPECT_EQ(Utf8(vethEntry->szConnectionName), "Lab link 1");
    EXPECT_EQ(vethEntry->bDHCPEnabled, 0);
  }
  {
    SCOPED_TRACE("mvtd0");
    ExpectAgreesWithKernel(*secondEntry, "mvtd0", second, kMacSecond);
    EXPECT_EQ(secondEntry->dwIPAddress, Dotted("198.51.100.65"));
    EXPECT_EQ(secondEntry->dwIPMask, Dotted("255.255.255.192"));
    EXPECT_EQ(secondEntry->bDHCPEnabled, 1);
    EXPECT_EQ(secondEntry->dwGateway, 0u) << "the default route goes through mvt0";
    // Its media state is whatever the kernel says (checked above): a bridge
    // without ports, the stand-in where there is no dummy driver, may have no carrier.
    EXPECT_TRUE(second.kind == "dummy" || second.kind == "bridge") << second.kind;
  }

  // An open handle asks the same device and gets the same offload answer.
  MESTRAPACK_HANDLE handle = MestraPackOpenAdapter(u"NPF_mvtd0");
  ASSERT_NE(handle, nullptr) << "errno " << errno;
  MESTRAPACK_CHECKSUM_OFFLOAD offload{};
  EXPECT_EQ(MestraPackGetChecksumOffloadTask(handle, &offload), 1);
  EXPECT_EQ(0, std::memcmp(&offload, &secondEntry->ChecksumOffload, sizeof offload));
  MestraPackCloseAdapter(handle);

  WPCINFO info{};
  info.dwSize = sizeof info;
  ASSERT_EQ(MestraPackGetWinPCapInfo(&info), 1);
  EXPECT_EQ(Utf8(info.pszDeviceNamePrefix), "NPF_");

  // Listing puts each interface into promiscuous mode only while it looks.
  EXPECT_EQ(ReadKernelView("mvt0").promiscuity, veth.promiscuity);
  EXPECT_EQ(ReadKernelView("mvtd0").promiscuity, second.promiscuity);
}

TEST(AdapterList, FollowsTheKernelWhenItChanges) {
  ASSERT_EQ(std::system("ip link set mvt0 mtu 1400 && ethtool -K mvt0 tx off rx off >/dev/null 2>&1"), 0);
  const KernelView changed = ReadKernelView("mvt0");
  std::vector<std::uint8_t> buffer = AdapterList();
  const ADAPTER_INFO_LIST_ENTRY* entry = Find(buffer, "mvt0");
  // Restore first, so a failure below leaves the next test its namespace as built.
  ASSERT_EQ(std::system("ip link set mvt0 mtu 1500 && ethtool -K mvt0 tx on rx on >/dev/null 2>&1"), 0);
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(changed.mtu, 1400u);
  EXPECT_FALSE(changed.txChecksumV4);
  EXPECT_FALSE(changed.rxChecksum);
  ExpectAgreesWithKernel(*entry, "mvt0", changed, kMacHere);
  EXPECT_EQ(entry->dwMaxTotalSize, 1414u);
  EXPECT_EQ(entry->ChecksumOffload.V4Transmit, 0u);
  EXPECT_EQ(entry->ChecksumOffload.V4Receive, 0u);

  // The link state follows the peer's end.
  ASSERT_EQ(InPeer("ip link set mvt1 down"), 0);
  const KernelView down = ReadKernelView("mvt0");
  buffer = AdapterList();
  entry = Find(buffer, "mvt0");
  ASSERT_EQ(InPeer("ip link set mvt1 up"), 0);
  ASSERT_NE(entry, nullptr);
  EXPECT_FALSE(down.HasFlag("LOWER_UP"));
  EXPECT_EQ(entry->bMediaConnected, 0);
}

// A TAP device in this namespace for the life of the object, with the
// hardware address given (the kit's own TAP device carries the host
// adapter's), up and without any IPv4 address.
class TapDevice {
 public:
  TapDevice(const std::string& name, const std::string& mac) : name_(name) {
    made_ = std::system(("ip tuntap add dev " + name + " mode tap && ip link set " + name + " address " + mac +
                         " && ip link set " + name + " up").c_str()) == 0;
  }
  ~TapDevice() { (void)std::system(("ip link del " + name_ + " 2>/dev/null").c_str()); }
  TapDevice(const TapDevice&) = delete;
  TapDevice& operator=(const TapDevice&) = delete;
  bool Made() const { return made_; }

 private:
  std::string name_;
  bool made_ = false;
};

TEST(AdapterList, EachAdapterHasItsOwnAddressesNeverThoseOfAnotherWithItsMac) {
  TapDevice tap("mvtap0", "02:00:5e:10:00:01");
  ASSERT_TRUE(tap.Made());
  std::vector<std::uint8_t> buffer = AdapterList();
  const ADAPTER_INFO_LIST_ENTRY* tapEntry = Find(buffer, "mvtap0");
  const ADAPTER_INFO_LIST_ENTRY* vethEntry = Find(buffer, "mvt0");
  ASSERT_NE(tapEntry, nullptr) << testing::PrintToString(ListedNames(buffer));
  ASSERT_NE(vethEntry, nullptr);
  ASSERT_EQ(0, std::memcmp(tapEntry->bMACAddress, kMacHere.data(), 6)) << "the same MAC as mvt0";
  ASSERT_LT(if_nametoindex("mvt0"), if_nametoindex("mvtap0")) << "mvt0 comes first in the kernel's list";

  // Its own record says it has no address, no gateway and no lease.
  EXPECT_EQ(tapEntry->dwIndex, if_nametoindex("mvtap0"));
  EXPECT_EQ(tapEntry->dwIPAddress, 0u) << "not mvt0's";
  EXPECT_EQ(tapEntry->dwIPMask, 0u);
  EXPECT_EQ(tapEntry->dwGateway, 0u);
  EXPECT_EQ(tapEntry->bDHCPEnabled, 0);

  EXPECT_EQ(vethEntry->dwIndex, if_nametoindex("mvt0"));
  EXPECT_EQ(vethEntry->dwIPAddress, Dotted("198.51.100.1"));
  EXPECT_EQ(vethEntry->dwIPMask, Dotted("255.255.255.192"));
  EXPECT_EQ(vethEntry->dwGateway, Dotted("198.51.100.2"));
}

// Sends frames from the peer namespace through a raw socket on mvt1.
class PeerSender {
 public:
  PeerSender() {
    const char* peer = std::getenv("MVT_PEER_NS");
    if (peer == nullptr) {
      ADD_FAILURE() << "run through run_in_netns.sh";
      return;
    }
    // A thread of its own enters the peer's namespace; the socket stays there.
    std::thread thread([&] {
      int fd = ::open((std::string("/run/netns/") + peer).c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0 || ::setns(fd, CLONE_NEWNET) != 0) {
        ADD_FAILURE() << "cannot enter " << peer << ": " << std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return;
      }
      ::close(fd);
      socket_ = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
      index_ = static_cast<int>(if_nametoindex("mvt1"));
    });
    thread.join();
    EXPECT_GE(socket_, 0) << std::strerror(errno);
    EXPECT_GT(index_, 0);
  }
  ~PeerSender() {
    if (socket_ >= 0) ::close(socket_);
  }
  void Send(const std::vector<std::uint8_t>& frame) {
    sockaddr_ll to{};
    to.sll_family = AF_PACKET;
    to.sll_ifindex = index_;
    to.sll_halen = 6;
    std::memcpy(to.sll_addr, frame.data(), 6);
    ASSERT_EQ(::sendto(socket_, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
              static_cast<ssize_t>(frame.size()))
        << std::strerror(errno);
  }

 private:
  int socket_ = -1;
  int index_ = 0;
};

// Watches mvt0 from the test's own packet socket. Once it has seen a frame
// from the peer, every packet socket on mvt0 (the library's too) has been
// offered that frame and every one before it.
class LocalWatcher {
 public:
  LocalWatcher() {
    socket_ = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
    EXPECT_GE(socket_, 0) << std::strerror(errno);
    sockaddr_ll at{};
    at.sll_family = AF_PACKET;
    at.sll_protocol = htons(ETH_P_ALL);
    at.sll_ifindex = static_cast<int>(if_nametoindex("mvt0"));
    EXPECT_EQ(::bind(socket_, reinterpret_cast<sockaddr*>(&at), sizeof at), 0) << std::strerror(errno);
  }
  ~LocalWatcher() {
    if (socket_ >= 0) ::close(socket_);
  }
  // True once a frame carrying `marker` after the Ethernet header arrived,
  // waiting at most kPatientMs for each frame.
  bool Saw(const std::string& marker) {
    std::uint8_t frame[2048];
    for (;;) {
      pollfd waiter{socket_, POLLIN, 0};
      if (::poll(&waiter, 1, static_cast<int>(kPatientMs)) <= 0) return false;
      const ssize_t got = ::recv(socket_, frame, sizeof frame, 0);
      if (got >= static_cast<ssize_t>(14 + marker.size()) && std::memcmp(frame + 14, marker.data(), marker.size()) == 0) {
        return true;
      }
    }
  }

 private:
  int socket_ = -1;
};

std::vector<std::uint8_t> Frame(const Mac& to, const Mac& from, std::uint16_t type, const std::string& marker) {
  std::vector<std::uint8_t> frame(60, 0);
  std::memcpy(frame.data(), to.data(), 6);
  std::memcpy(frame.data() + 6, from.data(), 6);
  frame[12] = static_cast<std::uint8_t>(type >> 8);
  frame[13] = static_cast<std::uint8_t>(type);
  std::memcpy(frame.data() + 14, marker.data(), marker.size());
  return frame;
}

std::vector<std::uint8_t> ArpRequest(const std::string& senderIp, const std::string& targetIp) {
  std::vector<std::uint8_t> frame = Frame(kBroadcast, kMacHere, 0x0806, "");
  const std::uint8_t head[8] = {0x00, 0x01, 0x08, 0x00, 6, 4, 0x00, 0x01};
  std::memcpy(frame.data() + 14, head, sizeof head);
  std::memcpy(frame.data() + 22, kMacHere.data(), 6);
  const std::uint32_t sender = Dotted(senderIp);
  const std::uint32_t target = Dotted(targetIp);
  std::memcpy(frame.data() + 28, &sender, 4);
  std::memcpy(frame.data() + 38, &target, 4);
  return frame;
}

struct Captured {
  npf::bpf_hdr header{};
  std::vector<std::uint8_t> data;
};

bool HasMarker(const Captured& packet, const std::string& marker) {
  return packet.data.size() >= 14 + marker.size() &&
         std::memcmp(packet.data.data() + 14, marker.data(), marker.size()) == 0;
}

// Splits one read into its packets, checking every header against the bytes.
void Split(const std::vector<std::uint8_t>& buffer, std::size_t size, std::vector<Captured>* out) {
  std::size_t offset = 0;
  while (offset < size) {
    ASSERT_GE(size - offset, sizeof(npf::bpf_hdr));
    Captured packet;
    std::memcpy(&packet.header, buffer.data() + offset, sizeof packet.header);
    ASSERT_EQ(packet.header.bh_hdrlen, sizeof(npf::bpf_hdr));
    ASSERT_LE(packet.header.bh_caplen, size - offset - packet.header.bh_hdrlen);
    const std::uint8_t* data = buffer.data() + offset + packet.header.bh_hdrlen;
    packet.data.assign(data, data + packet.header.bh_caplen);
    out->push_back(std::move(packet));
    offset = npf::Packet_WORDALIGN(offset + packet.header.bh_hdrlen + packet.header.bh_caplen);
  }
}

// Reads until `done` says enough arrived, or the read event stays quiet.
std::vector<Captured> ReadUntil(MESTRAPACK_HANDLE handle,
                                const std::function<bool(const std::vector<Captured>&)>& done) {
  std::vector<Captured> packets;
  MESTRAPACK_HANDLE event = MestraPackGetWin32ReadEventHandle(handle);
  EXPECT_NE(event, nullptr);
  std::vector<std::uint8_t> buffer(256 * 1024);
  while (!done(packets)) {
    if (platform::WaitForSingleObject(event, kPatientMs) != platform::WAIT_OBJECT_0) break;
    std::uint32_t count = 0;
    if (MestraPackRecvPacket(handle, buffer.data(), static_cast<std::uint32_t>(buffer.size()), &count, nullptr)) {
      Split(buffer, count, &packets);
    } else {
      EXPECT_EQ(errno, 60) << "nothing captured is the only expected failure";
    }
  }
  return packets;
}

bool IsArpReplyFromPeer(const Captured& packet) {
  const std::vector<std::uint8_t>& f = packet.data;
  const std::uint32_t peerIp = Dotted("198.51.100.2");
  const std::uint32_t ourIp = Dotted("198.51.100.1");
  return f.size() >= 42 && f[12] == 0x08 && f[13] == 0x06 && f[20] == 0 && f[21] == 2 &&
         std::memcmp(f.data(), kMacHere.data(), 6) == 0 && std::memcmp(f.data() + 22, kMacPeer.data(), 6) == 0 &&
         std::memcmp(f.data() + 28, &peerIp, 4) == 0 && std::memcmp(f.data() + 32, kMacHere.data(), 6) == 0 &&
         std::memcmp(f.data() + 38, &ourIp, 4) == 0;
}

std::size_t CountMarked(const std::vector<Captured>& packets, const std::string& marker) {
  std::size_t count = 0;
  for (const Captured& packet : packets) count += HasMarker(packet, marker) ? 1 : 0;
  return count;
}

TEST(AdapterHandle, ArpRequestGetsTheKernelsReplyThroughAnArpOnlyFilter) {
  MESTRAPACK_HANDLE handle = MestraPackOpenAdapter(u"NPF_mvt0");
  ASSERT_NE(handle, nullptr) << "errno " << errno;
  EXPECT_GE(ReadKernelView("mvt0").promiscuity, 1u) << "an open adapter is a real promiscuous member";
  PeerSender peer;

  // Without a program, the peer's frames arrive.
  peer.Send(Frame(kMacHere, kMacPeer, kTestEtherType, "mvt-open"));
  std::vector<Captured> before =
      ReadUntil(handle, [](const std::vector<Captured>& got) { return CountMarked(got, "mvt-open") > 0; });
  ASSERT_EQ(CountMarked(before, "mvt-open"), 1u);
  for (const Captured& packet : before) {
    EXPECT_EQ(packet.header.bh_datalen, packet.header.bh_caplen);
    EXPECT_GT(packet.header.bh_tstamp.tv_sec, 0);
  }

  // ldh [12]; jeq #0x806, keep, drop
  MESTRAPACK_BPF_INSN arpOnly[] = {{0x28, 0, 0, 12}, {0x15, 0, 1, 0x0806}, {0x06, 0, 0, 0xFFFF}, {0x06, 0, 0, 0}};
  MESTRAPACK_BPF_PROGRAM program{4, arpOnly};
  ASSERT_EQ(MestraPackSetBpf(handle, &program), 1) << "errno " << errno;
  MESTRAPACK_BPF_STAT start{};
  ASSERT_EQ(MestraPackGetStats(handle, &start), 1);

  peer.Send(Frame(kMacHere, kMacPeer, kTestEtherType, "mvt-not-arp"));
  std::vector<std::uint8_t> request = ArpRequest("198.51.100.1", "198.51.100.2");
  ASSERT_EQ(MestraPackSendPacket(handle, request.data(), static_cast<std::uint32_t>(request.size())), 1)
      << "errno " << errno;
  peer.Send(Frame(kMacHere, kMacPeer, kTestEtherType, "mvt-not-arp"));
  std::vector<Captured> packets = ReadUntil(handle, [](const std::vector<Captured>& got) {
    for (const Captured& packet : got) {
      if (IsArpReplyFromPeer(packet)) return true;
    }
    return false;
  });
  std::size_t replies = 0;
  for (const Captured& packet : packets) {
    ASSERT_GE(packet.data.size(), 14u);
    EXPECT_EQ(packet.data[12] << 8 | packet.data[13], 0x0806) << "only ARP passes the program";
    replies += IsArpReplyFromPeer(packet) ? 1 : 0;
  }
  EXPECT_EQ(replies, 1u) << "the peer's kernel answers with its MAC";
  EXPECT_EQ(CountMarked(packets, "mvt-not-arp"), 0u);

  // The counters run from the open: everything read so far, and nothing lost.
  MESTRAPACK_BPF_STAT stats{};
  ASSERT_EQ(MestraPackGetStats(handle, &stats), 1);
  EXPECT_GE(stats.bs_recv, start.bs_recv + packets.size());
  EXPECT_GE(stats.bs_recv, before.size() + packets.size());
  EXPECT_EQ(stats.bs_drop, 0u);

  MestraPackCloseAdapter(handle);
  EXPECT_EQ(ReadKernelView("mvt0").promiscuity, 0u) << "closing leaves the promiscuous mode";
}

// Reads once on a thread of its own, so a read that does not come back ends
// the whole program with a failure instead of hanging it: the read would be
// stuck inside the adapter's lock, which nothing can take from it.
struct ReadResult {
  int ok = -1;
  DWORD error = 0;
  int errnoValue = 0;
  std::vector<Captured> packets;
};
ReadResult ReadOnceOrEnd(MESTRAPACK_HANDLE handle) {
  auto result = std::make_shared<std::promise<ReadResult>>();
  std::future<ReadResult> done = result->get_future();
  std::thread([handle, result] {
    ReadResult r;
    std::vector<std::uint8_t> buffer(256 * 1024);
    std::uint32_t count = 0;
    r.ok = MestraPackRecvPacket(handle, buffer.data(), static_cast<std::uint32_t>(buffer.size()), &count, nullptr);
    r.error = GetLastError();
    r.errnoValue = errno;
    if (r.ok == 1) Split(buffer, count, &r.packets);
    result->set_value(std::move(r));
  }).detach();
  if (done.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    std::fprintf(stderr, "MestraPackRecvPacket did not return: it waits inside the adapter's lock\n");
    std::_Exit(1);
  }
  return done.get();
}

TEST(AdapterHandle, ReadEventWaitsForTheThresholdOrTheTimeOutAndAReadNeverWaits) {
  MESTRAPACK_HANDLE handle = MestraPackOpenAdapter(u"NPF_mvt0");
  ASSERT_NE(handle, nullptr) << "errno " << errno;
  MESTRAPACK_HANDLE event = MestraPackGetWin32ReadEventHandle(handle);
  ASSERT_NE(event, nullptr);
  // Only the test's frames: ldh [12]; jeq #0x88b5, keep, drop
  MESTRAPACK_BPF_INSN ours[] = {{0x28, 0, 0, 12}, {0x15, 0, 1, kTestEtherType}, {0x06, 0, 0, 0xFFFF}, {0x06, 0, 0, 0}};
  MESTRAPACK_BPF_PROGRAM program{4, ours};
  ASSERT_EQ(MestraPackSetBpf(handle, &program), 1);
  ASSERT_EQ(MestraPackSetRecvPacketTimeout(handle, 0), 1);
  ASSERT_EQ(MestraPackSetReadEventThreshold(handle, 200000), 1);
  PeerSender peer;
  LocalWatcher watcher;

  // A few frames, far below the threshold, and no time-out: no signal, and a
  // read returns at once with nothing.
  for (const char* marker : {"mvt-few-1", "mvt-few-2", "mvt-few-3"}) {
    peer.Send(Frame(kMacHere, kMacPeer, kTestEtherType, marker));
  }
  ASSERT_TRUE(watcher.Saw("mvt-few-3"));
  ASSERT_EQ(platform::WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "signalled below the threshold";
  ReadResult nothing = ReadOnceOrEnd(handle);
  EXPECT_EQ(nothing.ok, 0);
  EXPECT_EQ(nothing.error, WAIT_TIMEOUT);
  EXPECT_EQ(nothing.errnoValue, 60);

  // The threshold reached: the event, and one read takes everything.
  const std::uint32_t fourFrames = 4 * npf::Packet_WORDALIGN(sizeof(npf::bpf_hdr) + 60);
  ASSERT_EQ(MestraPackSetReadEventThreshold(handle, fourFrames), 1);
  EXPECT_EQ(platform::WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "three frames are not four";
  peer.Send(Frame(kMacHere, kMacPeer, kTestEtherType, "mvt-few-4"));
  ASSERT_EQ(platform::WaitForSingleObject(event, kPatientMs), platform::WAIT_OBJECT_0);
  ReadResult four = ReadOnceOrEnd(handle);
  EXPECT_EQ(four.ok, 1) << "error " << four.error;
  EXPECT_EQ(four.packets.size(), 4u);
  EXPECT_EQ(CountMarked(four.packets, "mvt-few-4"), 1u);
  EXPECT_EQ(platform::WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "nothing left";

  // Below the threshold again, with a read time-out: the time-out passing
  // with a frame buffered sets the event.
  ASSERT_EQ(MestraPackSetReadEventThreshold(handle, 200000), 1);
  ASSERT_EQ(MestraPackSetRecvPacketTimeout(handle, 20), 1);
  peer.Send(Frame(kMacHere, kMacPeer, kTestEtherType, "mvt-late"));
  ASSERT_EQ(platform::WaitForSingleObject(event, kPatientMs), platform::WAIT_OBJECT_0);
  ReadResult late = ReadOnceOrEnd(handle);
  EXPECT_EQ(late.ok, 1) << "error " << late.error;
  EXPECT_EQ(CountMarked(late.packets, "mvt-late"), 1u);

  // Frames buffered below the threshold, no time-out: a read on another
  // thread comes back, and the close comes back.
  ASSERT_EQ(MestraPackSetRecvPacketTimeout(handle, 0), 1);
  peer.Send(Frame(kMacHere, kMacPeer, kTestEtherType, "mvt-left"));
  ASSERT_TRUE(watcher.Saw("mvt-left"));
  ReadResult left = ReadOnceOrEnd(handle);
  EXPECT_EQ(left.ok, 0);
  EXPECT_EQ(left.error, WAIT_TIMEOUT);
  MestraPackCloseAdapter(handle);
}

// A program that keeps only a frame's head still tells the frame's whole
// length; without one, a frame far larger than a small one arrives whole,
// every byte where it was sent.
TEST(AdapterHandle, CutFramesTellTheirWholeLengthAndLargeFramesArriveWhole) {
  MESTRAPACK_HANDLE handle = MestraPackOpenAdapter(u"NPF_mvt0");
  ASSERT_NE(handle, nullptr) << "errno " << errno;
  // ldh [12]; jeq #0x88b5, keep 20 bytes, drop
  MESTRAPACK_BPF_INSN heads[] = {{0x28, 0, 0, 12}, {0x15, 0, 1, kTestEtherType}, {0x06, 0, 0, 20}, {0x06, 0, 0, 0}};
  MESTRAPACK_BPF_PROGRAM program{4, heads};
  ASSERT_EQ(MestraPackSetBpf(handle, &program), 1) << "errno " << errno;
  PeerSender peer;
  std::vector<std::uint8_t> large = Frame(kMacHere, kMacPeer, kTestEtherType, "mvt-cut");
  large.resize(1000);
  for (std::size_t i = 21; i < large.size(); ++i) large[i] = static_cast<std::uint8_t>(i * 7);
  peer.Send(large);
  std::vector<Captured> cut = ReadUntil(handle, [](const std::vector<Captured>& got) { return !got.empty(); });
  ASSERT_EQ(cut.size(), 1u);
  EXPECT_EQ(cut[0].header.bh_caplen, 20u);
  EXPECT_EQ(cut[0].header.bh_datalen, 1000u) << "the length before the cut";

  MESTRAPACK_BPF_INSN ours[] = {{0x28, 0, 0, 12}, {0x15, 0, 1, kTestEtherType}, {0x06, 0, 0, 0xFFFF}, {0x06, 0, 0, 0}};
  program = {4, ours};
  ASSERT_EQ(MestraPackSetBpf(handle, &program), 1) << "errno " << errno;
  large[14] = 'W';  // "mvt-cut" becomes "Wvt-cut"
  peer.Send(Frame(kMacHere, kMacPeer, kTestEtherType, "mvt-small"));
  peer.Send(large);
  std::vector<Captured> whole =
      ReadUntil(handle, [](const std::vector<Captured>& got) { return CountMarked(got, "Wvt-cut") > 0; });
  ASSERT_EQ(CountMarked(whole, "mvt-small"), 1u);
  ASSERT_EQ(CountMarked(whole, "Wvt-cut"), 1u);
  for (const Captured& packet : whole) {
    EXPECT_EQ(packet.header.bh_caplen, packet.header.bh_datalen);
    if (HasMarker(packet, "Wvt-cut")) {
      EXPECT_TRUE(packet.data == large) << "the large frame changed on its way";
    }
  }
  MestraPackCloseAdapter(handle);
}

// A frame goes out whole from the Ethernet header alone up to the MTU's
// worth behind it; longer or shorter ones are refused and nothing is sent.
TEST(AdapterHandle, SendsEveryLengthTheLinkCarriesAndRefusesOthers) {
  MESTRAPACK_HANDLE handle = MestraPackOpenAdapter(u"NPF_mvt0");
  ASSERT_NE(handle, nullptr) << "errno " << errno;
  LocalWatcher watcher;
  std::vector<std::uint8_t> tooLong = Frame(kMacPeer, kMacHere, kTestEtherType, "mvt-too-long");
  tooLong.resize(1515);
  EXPECT_EQ(MestraPackSendPacket(handle, tooLong.data(), static_cast<std::uint32_t>(tooLong.size())), 0);
  EXPECT_EQ(errno, EINVAL);
  std::vector<std::uint8_t> runt(13, 0xAB);
  EXPECT_EQ(MestraPackSendPacket(handle, runt.data(), static_cast<std::uint32_t>(runt.size())), 0);
  EXPECT_EQ(errno, EINVAL);
  std::vector<std::uint8_t> longest = Frame(kMacPeer, kMacHere, kTestEtherType, "mvt-longest");
  longest.resize(1514);
  ASSERT_EQ(MestraPackSendPacket(handle, longest.data(), static_cast<std::uint32_t>(longest.size())), 1)
      << "errno " << errno;
  std::vector<std::uint8_t> bare = Frame(kMacPeer, kMacHere, kTestEtherType, "");
  bare.resize(14);
  ASSERT_EQ(MestraPackSendPacket(handle, bare.data(), static_cast<std::uint32_t>(bare.size())), 1)
      << "errno " << errno;
  EXPECT_TRUE(watcher.Saw("mvt-longest"));
  MestraPackCloseAdapter(handle);
}

// True when /proc/net/dev_mcast lists `group` (12 hex digits) for mvt0.
bool ListedOnMvt0(const std::string& group) {
  return std::regex_search(Shell("cat /proc/net/dev_mcast"), std::regex("\\bmvt0\\s+\\d+\\s+\\d+\\s+" + group + "\\b"));
}

TEST(AdapterHandle, HardwareFilterPassesOnlyTheKindsOfFrameItNames) {
  const Mac kOtherHost = {0x02, 0x00, 0x5e, 0x10, 0x00, 0x09};
  const Mac kListedGroup = {0x01, 0x00, 0x5e, 0x00, 0x00, 0x01};    // all hosts, joined with the IPv4 address
  const Mac kStrangerGroup = {0x01, 0x00, 0x5e, 0x7f, 0x7f, 0x7f};  // joined by nobody
  ASSERT_TRUE(ListedOnMvt0("01005e000001")) << Shell("cat /proc/net/dev_mcast");
  ASSERT_FALSE(ListedOnMvt0("01005e7f7f7f"));

  MESTRAPACK_HANDLE handle = MestraPackOpenAdapter(u"NPF_mvt0");
  ASSERT_NE(handle, nullptr) << "errno " << errno;
  // Only the test's frames: ldh [12]; jeq #0x88b5, keep, drop
  MESTRAPACK_BPF_INSN ours[] = {{0x28, 0, 0, 12}, {0x15, 0, 1, kTestEtherType}, {0x06, 0, 0, 0xFFFF}, {0x06, 0, 0, 0}};
  MESTRAPACK_BPF_PROGRAM program{4, ours};
  ASSERT_EQ(MestraPackSetBpf(handle, &program), 1);
  // The adapter's own frames come from a second open: no open sees what it
  // sent itself.
  MESTRAPACK_HANDLE sender = MestraPackOpenAdapter(u"NPF_mvt0");
  ASSERT_NE(sender, nullptr) << "errno " << errno;
  PeerSender peer;
  LocalWatcher watcher;

  const std::vector<std::pair<std::string, Mac>> kinds = {
      {"us", kMacHere}, {"other", kOtherHost}, {"all", kBroadcast}, {"group", kListedGroup}, {"stranger", kStrangerGroup}};
  struct Case {
    std::uint32_t filter;
    std::set<std::string> passes;
  };
  const std::vector<Case> cases = {
      {0, {}},
      {npf::NDIS_PACKET_TYPE_DIRECTED, {"us"}},
      {npf::NDIS_PACKET_TYPE_BROADCAST, {"all"}},
      {npf::NDIS_PACKET_TYPE_MULTICAST, {"group"}},
      {npf::NDIS_PACKET_TYPE_ALL_MULTICAST, {"group", "stranger"}},
      {npf::NDIS_PACKET_TYPE_DIRECTED | npf::NDIS_PACKET_TYPE_BROADCAST | npf::NDIS_PACKET_TYPE_MULTICAST,
       {"us", "all", "group"}},
      {npf::NDIS_PACKET_TYPE_PROMISCUOUS, {"us", "other", "all", "group", "stranger"}},
  };
  int round = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE("filter " + std::to_string(c.filter));
    const std::string tag = "r" + std::to_string(++round) + "-";
    ASSERT_EQ(MestraPackSetHwFilter(handle, c.filter), 1) << "errno " << errno;
    for (const auto& [name, to] : kinds) peer.Send(Frame(to, kMacPeer, kTestEtherType, tag + name));
    ASSERT_TRUE(watcher.Saw(tag + "stranger"));
    // Every frame of the round has met the filter it arrived under; then one
    // of the adapter's own, which any filter but 0 passes, closes the round.
    ASSERT_EQ(MestraPackSetHwFilter(handle, npf::NDIS_PACKET_TYPE_DIRECTED), 1);
    const std::vector<std::uint8_t> fence = Frame(kMacPeer, kMacHere, kTestEtherType, tag + "fence");
    ASSERT_EQ(MestraPackSendPacket(sender, fence.data(), static_cast<std::uint32_t>(fence.size())), 1);
    std::vector<Captured> packets =
        ReadUntil(handle, [&](const std::vector<Captured>& got) { return CountMarked(got, tag + "fence") > 0; });
    ASSERT_EQ(CountMarked(packets, tag + "fence"), 1u);
    std::set<std::string> passed;
    for (const auto& [name, to] : kinds) {
      if (CountMarked(packets, tag + name) > 0) passed.insert(name);
    }
    EXPECT_EQ(passed, c.passes);
  }

  // A filter of 0 passes not even the adapter's own frames.
  ASSERT_EQ(MestraPackSetHwFilter(handle, 0), 1);
  const std::vector<std::uint8_t> own = Frame(kMacPeer, kMacHere, kTestEtherType, "own-under-0");
  ASSERT_EQ(MestraPackSendPacket(sender, own.data(), static_cast<std::uint32_t>(own.size())), 1);
  ASSERT_TRUE(watcher.Saw("own-under-0"));
  ASSERT_EQ(MestraPackSetHwFilter(handle, npf::NDIS_PACKET_TYPE_DIRECTED), 1);
  peer.Send(Frame(kMacHere, kMacPeer, kTestEtherType, "after-0"));
  std::vector<Captured> packets =
      ReadUntil(handle, [](const std::vector<Captured>& got) { return CountMarked(got, "after-0") > 0; });
  EXPECT_EQ(CountMarked(packets, "after-0"), 1u);
  EXPECT_EQ(CountMarked(packets, "own-under-0"), 0u);
  MestraPackCloseAdapter(sender);
  MestraPackCloseAdapter(handle);
}

}  // namespace
