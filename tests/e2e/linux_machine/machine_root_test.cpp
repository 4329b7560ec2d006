// The real machine inside the namespaces that run_in_netns.sh builds:
// mvt0 (198.51.100.1/26, default route via the peer) and mvtd0
// (198.51.100.65/26) here, mvt1 (198.51.100.2/26) in the peer namespace named
// by MVT_PEER_NS. Everything goes through the platform's own calls.
#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "linux/linux_parts.h"
#include "linux/resolv_conf_linux.h"
#include "platform/file.h"
#include "platform/iphelper.h"
#include "platform/machine.h"
#include "platform/names.h"
#include "platform/npf.h"
#include "platform/registry.h"
#include "platform/sync.h"

namespace platform {
namespace {

using Mac = std::array<std::uint8_t, 6>;
const Mac kMacHere = {0x02, 0x00, 0x5e, 0x10, 0x00, 0x01};
const Mac kMacPeer = {0x02, 0x00, 0x5e, 0x10, 0x00, 0x02};
const Mac kMacDummy = {0x02, 0x00, 0x5e, 0x10, 0x00, 0x03};
constexpr std::uint16_t kTestEtherType = 0x88B5;  // local experimental
constexpr std::size_t kFrameSize = 60;
constexpr DWORD kPatientMs = 5000;

std::string Shell(const std::string& command) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return output;
  char chunk[512];
  while (std::fgets(chunk, sizeof chunk, pipe) != nullptr) output += chunk;
  pclose(pipe);
  return output;
}

// Runs `work` on a thread that has entered the peer's network namespace, so
// that what it opens there belongs to the peer.
void InPeer(const std::function<void()>& work) {
  const char* peer = std::getenv("MVT_PEER_NS");
  ASSERT_NE(peer, nullptr) << "run through run_in_netns.sh";
  std::thread thread([&] {
    int fd = ::open((std::string("/run/netns/") + peer).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::setns(fd, CLONE_NEWNET) != 0) {
      ADD_FAILURE() << "cannot enter " << peer << ": " << std::strerror(errno);
      return;
    }
    ::close(fd);
    work();
  });
  thread.join();
}

HANDLE OpenDevice(const std::string& name) {
  return CreateFile(("\\\\.\\" + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0);
}

bool Opened(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

// Query or set one OID with the driver's 4104-byte record.
BOOL Oid(HANDLE device, bool set, DWORD oid, void* data, DWORD length) {
  npf::PACKET_OID_DATA record{};
  record.Oid = oid;
  record.Length = length;
  if (set) std::memcpy(record.Data, data, length);
  DWORD done = 0;
  BOOL ok = DeviceIoControl(device, set ? npf::IOCTL_PROTOCOL_SET_OID : npf::IOCTL_PROTOCOL_QUERY_OID, &record,
                            sizeof record, &record, sizeof record, &done);
  if (ok && !set) std::memcpy(data, record.Data, length);
  return ok;
}

DWORD QueryDword(HANDLE device, DWORD oid) {
  DWORD value = 0xDEADBEEF;
  EXPECT_TRUE(Oid(device, false, oid, &value, 4)) << "OID " << std::hex << oid << " error " << GetLastError();
  return value;
}

BOOL Control(HANDLE device, DWORD code, DWORD value) {
  DWORD done = 0;
  return DeviceIoControl(device, code, &value, sizeof value, nullptr, 0, &done);
}

BOOL SetProgram(HANDLE device, const std::vector<npf::bpf_insn>& program) {
  DWORD done = 0;
  return DeviceIoControl(device, npf::PACKET_SETBPFILTER_IOCTL, program.data(),
                         static_cast<DWORD>(program.size() * sizeof(npf::bpf_insn)), nullptr, 0, &done);
}

std::vector<std::uint8_t> Frame(const Mac& to, const Mac& from, std::uint16_t type, const std::string& marker) {
  std::vector<std::uint8_t> frame(kFrameSize, 0);
  std::memcpy(frame.data(), to.data(), 6);
  std::memcpy(frame.data() + 6, from.data(), 6);
  frame[12] = static_cast<std::uint8_t>(type >> 8);
  frame[13] = static_cast<std::uint8_t>(type);
  std::memcpy(frame.data() + 14, marker.data(), std::min<std::size_t>(marker.size(), kFrameSize - 14));
  return frame;
}

struct Captured {
  npf::bpf_hdr header;
  std::vector<std::uint8_t> data;
  std::size_t offset;
};

// Walks one read's buffer the way a capture library does.
std::vector<Captured> Walk(const std::vector<std::uint8_t>& buffer, DWORD length) {
  std::vector<Captured> packets;
  std::size_t offset = 0;
  while (offset + sizeof(npf::bpf_hdr) <= length) {
    Captured packet;
    std::memcpy(&packet.header, buffer.data() + offset, sizeof packet.header);
    packet.offset = offset;
    std::size_t start = offset + packet.header.bh_hdrlen;
    if (start + packet.header.bh_caplen > length) {
      ADD_FAILURE() << "packet at " << offset << " runs past the read's " << length << " bytes";
      break;
    }
    packet.data.assign(buffer.begin() + start, buffer.begin() + start + packet.header.bh_caplen);
    packets.push_back(packet);
    offset = npf::Packet_WORDALIGN(start + packet.header.bh_caplen);
  }
  return packets;
}

bool HasMarker(const Captured& packet, const std::string& marker) {
  return packet.data.size() >= 14 + marker.size() && std::memcmp(packet.data.data() + 14, marker.data(), marker.size()) == 0;
}

// Reads (each read bounded by the device's time-out) until `done` says enough.
std::vector<Captured> ReadUntil(HANDLE device, const std::function<bool(const std::vector<Captured>&)>& done) {
  std::vector<Captured> all;
  std::vector<std::uint8_t> buffer(64 * 1024);
  for (int attempt = 0; attempt < 10 && !done(all); ++attempt) {
    DWORD got = 0;
    if (!ReadFile(device, buffer.data(), static_cast<DWORD>(buffer.size()), &got)) {
      ADD_FAILURE() << "ReadFile failed: " << GetLastError();
      break;
    }
    for (Captured& packet : Walk(buffer, got)) all.push_back(std::move(packet));
  }
  return all;
}

std::size_t CountMarked(const std::vector<Captured>& packets, const std::string& marker) {
  std::size_t count = 0;
  for (const Captured& packet : packets) count += HasMarker(packet, marker) ? 1 : 0;
  return count;
}

// The callers' two calls: the size first, then the record into a buffer of it.
std::vector<std::uint8_t> TwoCalls(DWORD sizeAnswer, const std::function<DWORD(void*, ULONG*)>& call) {
  ULONG size = 0;
  EXPECT_EQ(call(nullptr, &size), sizeAnswer);
  std::vector<std::uint8_t> buffer(size);
  EXPECT_EQ(call(size == 0 ? nullptr : buffer.data(), &size), ERROR_SUCCESS);
  return buffer;
}

const IP_ADAPTER_INFO* FindAdapter(const IP_ADAPTER_INFO* list, const char* name) {
  for (; list != nullptr; list = list->Next) {
    if (std::strcmp(list->AdapterName, name) == 0) return list;
  }
  return nullptr;
}

TEST(Adapters, ListShowsRealAddressesMasksAndGateway) {
  std::vector<std::uint8_t> buffer = TwoCalls(ERROR_BUFFER_OVERFLOW, [](void* at, ULONG* size) {
    return GetAdaptersInfo(static_cast<IP_ADAPTER_INFO*>(at), size);
  });
  ASSERT_GE(buffer.size(), sizeof(IP_ADAPTER_INFO));
  auto* list = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data());

  const IP_ADAPTER_INFO* veth = FindAdapter(list, "mvt0");
  ASSERT_NE(veth, nullptr);
  EXPECT_EQ(veth->AddressLength, 6u);
  EXPECT_EQ(0, std::memcmp(veth->Address, kMacHere.data(), 6));
  EXPECT_EQ(veth->Index, if_nametoindex("mvt0"));
  EXPECT_EQ(veth->Type, MIB_IF_TYPE_ETHERNET);
  EXPECT_STREQ(veth->Description, "veth");
  EXPECT_STREQ(veth->IpAddressList.IpAddress.String, "198.51.100.1");
  EXPECT_STREQ(veth->IpAddressList.IpMask.String, "255.255.255.192");
  EXPECT_STREQ(veth->GatewayList.IpAddress.String, "198.51.100.2");
  EXPECT_EQ(veth->DhcpEnabled, 0u);

  const IP_ADAPTER_INFO* dummy = FindAdapter(list, "mvtd0");
  ASSERT_NE(dummy, nullptr);
  EXPECT_EQ(0, std::memcmp(dummy->Address, kMacDummy.data(), 6));
  EXPECT_STREQ(dummy->IpAddressList.IpAddress.String, "198.51.100.65");
  EXPECT_STREQ(dummy->IpAddressList.IpMask.String, "255.255.255.192");
  EXPECT_STREQ(dummy->GatewayList.IpAddress.String, "0.0.0.0");
  ASSERT_NE(dummy->IpAddressList.Next, nullptr);
  EXPECT_STREQ(dummy->IpAddressList.Next->IpAddress.String, "198.51.100.70");
  EXPECT_EQ(dummy->DhcpEnabled, 1u) << "an address with a lease's lifetime";

  EXPECT_EQ(FindAdapter(list, "lo"), nullptr) << "the loopback is no Ethernet adapter";
}

// The list is kept between calls while nothing it shows changes; every change
// made before a call is in it, in this namespace and in another one.
TEST(Adapters, EveryChangeMadeBeforeACallIsInItsList) {
  auto list = [] {
    return TwoCalls(ERROR_BUFFER_OVERFLOW, [](void* at, ULONG* size) {
      return GetAdaptersInfo(static_cast<IP_ADAPTER_INFO*>(at), size);
    });
  };
  auto first = [](const std::vector<std::uint8_t>& buffer) {
    return reinterpret_cast<const IP_ADAPTER_INFO*>(buffer.data());
  };
  std::vector<std::uint8_t> before = list();
  ASSERT_NE(FindAdapter(first(before), "mvtd0"), nullptr);

  // Flags alone: the same list.
  ASSERT_EQ(std::system("ip link set mvtd0 promisc on"), 0);
  std::vector<std::uint8_t> promiscuous = list();
  ASSERT_EQ(std::system("ip link set mvtd0 promisc off"), 0);
  ASSERT_NE(FindAdapter(first(promiscuous), "mvtd0"), nullptr);
  EXPECT_STREQ(FindAdapter(first(promiscuous), "mvtd0")->IpAddressList.IpAddress.String, "198.51.100.65");

  ASSERT_EQ(std::system("ip addr add 198.51.100.97/27 dev mvtd0"), 0);
  std::vector<std::uint8_t> added = list();
  ASSERT_EQ(std::system("ip addr del 198.51.100.97/27 dev mvtd0"), 0);
  int addresses = 0;
  for (const IP_ADDR_STRING* a = &FindAdapter(first(added), "mvtd0")->IpAddressList; a != nullptr; a = a->Next) {
    addresses += std::strcmp(a->IpAddress.String, "198.51.100.97") == 0 ? 1 : 0;
  }
  EXPECT_EQ(addresses, 1);

  ASSERT_EQ(std::system("ip link set mvtd0 address 02:00:5e:10:00:09"), 0);
  std::vector<std::uint8_t> readdressed = list();
  ASSERT_EQ(std::system("ip link set mvtd0 address 02:00:5e:10:00:03"), 0);
  const Mac moved = {0x02, 0x00, 0x5e, 0x10, 0x00, 0x09};
  EXPECT_EQ(0, std::memcmp(FindAdapter(first(readdressed), "mvtd0")->Address, moved.data(), 6));

  ASSERT_EQ(std::system("ip link add mvtx0 address 02:00:5e:10:00:0a type veth peer name mvtx1"), 0);
  std::vector<std::uint8_t> grown = list();
  ASSERT_EQ(std::system("ip link del mvtx0"), 0);
  EXPECT_NE(FindAdapter(first(grown), "mvtx0"), nullptr);
  EXPECT_EQ(FindAdapter(first(list()), "mvtx0"), nullptr);

  ASSERT_EQ(std::system("ip route del default"), 0);
  std::vector<std::uint8_t> noGateway = list();
  ASSERT_EQ(std::system("ip route add default via 198.51.100.2 dev mvt0"), 0);
  EXPECT_STREQ(FindAdapter(first(noGateway), "mvt0")->GatewayList.IpAddress.String, "0.0.0.0");
  EXPECT_STREQ(FindAdapter(first(list()), "mvt0")->GatewayList.IpAddress.String, "198.51.100.2");

  // A thread in the peer's namespace gets the peer's list, and this one its own.
  bool peerSeesItsOwn = false;
  InPeer([&] {
    std::vector<std::uint8_t> peer = list();
    peerSeesItsOwn = FindAdapter(first(peer), "mvt1") != nullptr && FindAdapter(first(peer), "mvt0") == nullptr;
  });
  EXPECT_TRUE(peerSeesItsOwn);
  EXPECT_NE(FindAdapter(first(list()), "mvt0"), nullptr);
}

TEST(IpTables, ForwardTableShowsTheNamespaceRoutesAndDefaultGateway) {
  std::vector<std::uint8_t> buffer = TwoCalls(ERROR_INSUFFICIENT_BUFFER, [](void* at, ULONG* size) {
    return GetIpForwardTable(static_cast<MIB_IPFORWARDTABLE*>(at), size, 1);
  });
  ASSERT_GE(buffer.size(), sizeof(DWORD));
  auto* table = reinterpret_cast<MIB_IPFORWARDTABLE*>(buffer.data());

  std::string listed = Shell("ip -4 route show table main");
  std::size_t lines = static_cast<std::size_t>(std::count(listed.begin(), listed.end(), '\n'));
  EXPECT_EQ(table->dwNumEntries, lines) << listed;

  bool sawDefault = false, sawVethNet = false, sawDummyNet = false;
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    const MIB_IPFORWARDROW& row = table->table[i];
    if (row.dwForwardDest == 0 && row.dwForwardMask == 0) {
      sawDefault = true;
      EXPECT_EQ(row.dwForwardNextHop, inet_addr("198.51.100.2"));
      EXPECT_EQ(row.dwForwardIfIndex, if_nametoindex("mvt0"));
      EXPECT_EQ(row.dwForwardType, 4u);
    } else if (row.dwForwardDest == inet_addr("198.51.100.0")) {
      sawVethNet = true;
      EXPECT_EQ(row.dwForwardMask, inet_addr("255.255.255.192"));
      EXPECT_EQ(row.dwForwardIfIndex, if_nametoindex("mvt0"));
      EXPECT_EQ(row.dwForwardNextHop, inet_addr("198.51.100.1"));
      EXPECT_EQ(row.dwForwardType, 3u);
    } else if (row.dwForwardDest == inet_addr("198.51.100.64")) {
      sawDummyNet = true;
      EXPECT_EQ(row.dwForwardIfIndex, if_nametoindex("mvtd0"));
    }
  }
  EXPECT_TRUE(sawDefault && sawVethNet && sawDummyNet) << listed;
}

TEST(IpTables, AddressTableAndNetworkParameters) {
  std::vector<std::uint8_t> buffer = TwoCalls(ERROR_INSUFFICIENT_BUFFER, [](void* at, ULONG* size) {
    return GetIpAddrTable(static_cast<MIB_IPADDRTABLE*>(at), size, 1);
  });
  ASSERT_GE(buffer.size(), sizeof(DWORD));
  auto* table = reinterpret_cast<MIB_IPADDRTABLE*>(buffer.data());
  int found = 0;
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    const MIB_IPADDRROW& row = table->table[i];
    if (row.dwAddr == inet_addr("198.51.100.1")) {
      ++found;
      EXPECT_EQ(row.dwIndex, if_nametoindex("mvt0"));
      EXPECT_EQ(row.dwMask, inet_addr("255.255.255.192"));
    }
    if (row.dwAddr == inet_addr("198.51.100.65")) ++found;
  }
  EXPECT_EQ(found, 2);

  std::vector<std::uint8_t> params = TwoCalls(ERROR_BUFFER_OVERFLOW, [](void* at, ULONG* size) {
    return GetNetworkParams(static_cast<FIXED_INFO*>(at), size);
  });
  ASSERT_GE(params.size(), sizeof(FIXED_INFO));
  auto* info = reinterpret_cast<FIXED_INFO*>(params.data());
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  EXPECT_EQ(std::string(info->HostName), std::string(host).substr(0, std::string(host).find('.')));
  EXPECT_EQ(info->EnableRouting, 1u) << "the namespace forwards";
  std::string resolv = Shell("cat /etc/resolv.conf 2>/dev/null");
  linuxhost::ResolverConfig config = linuxhost::ParseResolverConfig(resolv);
  if (!config.servers.empty()) {
    in_addr first{config.servers[0]};
    EXPECT_STREQ(info->DnsServerList.IpAddress.String, inet_ntoa(first));
  }
}

TEST(ArpTest, RealRequestGetsThePeersMacAndSilenceFails) {
  std::uint8_t mac[8] = {};
  ULONG length = sizeof mac;
  ASSERT_EQ(SendARP(inet_addr("198.51.100.2"), 0, mac, &length), ERROR_SUCCESS);
  EXPECT_EQ(length, 6u);
  EXPECT_EQ(0, std::memcmp(mac, kMacPeer.data(), 6));

  length = sizeof mac;
  ASSERT_EQ(SendARP(inet_addr("198.51.100.1"), 0, mac, &length), ERROR_SUCCESS) << "our own address";
  EXPECT_EQ(0, std::memcmp(mac, kMacHere.data(), 6));

  length = sizeof mac;
  EXPECT_NE(SendARP(inet_addr("198.51.100.3"), 0, mac, &length), ERROR_SUCCESS) << "nobody has .3";
}

TEST(CaptureDevice, OidAnswersMatchTheInterface) {
  HANDLE device = OpenDevice("NPF_mvt0");
  ASSERT_TRUE(Opened(device)) << GetLastError();
  std::uint8_t mac[6] = {};
  ASSERT_TRUE(Oid(device, false, npf::OID_802_3_CURRENT_ADDRESS, mac, 6));
  EXPECT_EQ(0, std::memcmp(mac, kMacHere.data(), 6));
  EXPECT_EQ(QueryDword(device, npf::OID_GEN_MAXIMUM_LOOKAHEAD), 1500u);
  EXPECT_EQ(QueryDword(device, npf::OID_GEN_MAXIMUM_TOTAL_SIZE), 1514u);
  EXPECT_EQ(QueryDword(device, npf::OID_GEN_MEDIA_IN_USE), npf::NdisMedium802_3);
  EXPECT_EQ(QueryDword(device, npf::OID_GEN_MEDIA_CONNECT_STATUS), 0u);
  std::string settings = Shell("ethtool mvt0 2>/dev/null");
  unsigned megabits = 0;
  std::size_t at = settings.find("Speed: ");
  if (at != std::string::npos && std::sscanf(settings.c_str() + at, "Speed: %uMb/s", &megabits) == 1) {
    EXPECT_EQ(QueryDword(device, npf::OID_GEN_LINK_SPEED), megabits * 10000u);
  }

  // The promiscuous filter is a real membership of the interface.
  DWORD filter = npf::NDIS_PACKET_TYPE_PROMISCUOUS;
  ASSERT_TRUE(Oid(device, true, npf::OID_GEN_CURRENT_PACKET_FILTER, &filter, 4));
  EXPECT_NE(Shell("ip -d link show mvt0").find("promiscuity 1"), std::string::npos);
  EXPECT_EQ(QueryDword(device, npf::OID_GEN_CURRENT_PACKET_FILTER), filter);
  filter = 0;
  ASSERT_TRUE(Oid(device, true, npf::OID_GEN_CURRENT_PACKET_FILTER, &filter, 4));
  EXPECT_NE(Shell("ip -d link show mvt0").find("promiscuity 0"), std::string::npos);

  DWORD lookahead = 1500;
  EXPECT_TRUE(Oid(device, true, npf::OID_GEN_CURRENT_LOOKAHEAD, &lookahead, 4));
  lookahead = 1501;
  EXPECT_FALSE(Oid(device, true, npf::OID_GEN_CURRENT_LOOKAHEAD, &lookahead, 4));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(Oid(device, false, npf::OID_802_3_CURRENT_ADDRESS, mac, 2)) << "a 6-byte value in 2 bytes";
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  DWORD unknown = 0;
  EXPECT_FALSE(Oid(device, false, 0x00020101, &unknown, 4));

  // A record whose length claims more than it carries is refused.
  npf::PACKET_OID_DATA record{};
  record.Oid = npf::OID_GEN_MEDIA_IN_USE;
  record.Length = 5000;
  DWORD done = 0;
  EXPECT_FALSE(DeviceIoControl(device, npf::IOCTL_PROTOCOL_QUERY_OID, &record, sizeof record, &record, sizeof record,
                               &done));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

  // The link state follows the peer's end.
  InPeer([] { ASSERT_EQ(std::system("ip link set mvt1 down"), 0); });
  EXPECT_EQ(QueryDword(device, npf::OID_GEN_MEDIA_CONNECT_STATUS), 1u);
  InPeer([] { ASSERT_EQ(std::system("ip link set mvt1 up"), 0); });
  EXPECT_EQ(QueryDword(device, npf::OID_GEN_MEDIA_CONNECT_STATUS), 0u);
  EXPECT_TRUE(CloseHandle(device));

  // An interface's own state: down, it has no link; up, the kernel's
  // carrier (a dummy has one; a bridge without ports has none).
  HANDLE other = OpenDevice("NPF_mvtd0");
  ASSERT_TRUE(Opened(other)) << GetLastError();
  const DWORD upStatus = Shell("cat /sys/class/net/mvtd0/carrier") == "1\n" ? 0u : 1u;
  EXPECT_EQ(QueryDword(other, npf::OID_GEN_MEDIA_CONNECT_STATUS), upStatus);
  ASSERT_EQ(std::system("ip link set mvtd0 down"), 0);
  EXPECT_EQ(QueryDword(other, npf::OID_GEN_MEDIA_CONNECT_STATUS), 1u);
  EXPECT_EQ(QueryDword(other, npf::OID_GEN_MAXIMUM_TOTAL_SIZE), 1514u) << "asked apart from the link state";
  ASSERT_EQ(std::system("ip link set mvtd0 up"), 0);
  EXPECT_EQ(QueryDword(other, npf::OID_GEN_MEDIA_CONNECT_STATUS), upStatus);
  EXPECT_TRUE(CloseHandle(other));
}

class CaptureAcrossVeth : public ::testing::Test {
 protected:
  void SetUp() override {
    here_ = OpenDevice("NPF_mvt0");
    ASSERT_TRUE(Opened(here_)) << GetLastError();
    InPeer([this] { peer_ = OpenDevice("NPF_mvt1"); });
    ASSERT_TRUE(Opened(peer_)) << GetLastError();
    ASSERT_TRUE(Control(peer_, npf::PACKET_SETREADTIMEOUT_IOCTL, 500));
  }
  void TearDown() override {
    if (Opened(here_)) CloseHandle(here_);
    if (Opened(peer_)) CloseHandle(peer_);
  }
  void Send(const std::vector<std::uint8_t>& frame) {
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(here_, frame.data(), static_cast<DWORD>(frame.size()), &written)) << GetLastError();
    EXPECT_EQ(written, frame.size());
  }
  HANDLE here_ = nullptr;
  HANDLE peer_ = nullptr;
};

TEST_F(CaptureAcrossVeth, FramesArriveWithCaptureHeadersEventAndStatistics) {
  HANDLE event = CreateEvent(false);
  ASSERT_NE(event, nullptr);
  std::uint32_t handleValue = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(event));
  DWORD done = 0;
  ASSERT_TRUE(DeviceIoControl(peer_, npf::PACKET_SETEVENTHANDLE_IOCTL, &handleValue, 4, nullptr, 0, &done));
  std::uint32_t bogus = 0x7FFFFFF0;
  EXPECT_FALSE(DeviceIoControl(peer_, npf::PACKET_SETEVENTHANDLE_IOCTL, &bogus, 4, nullptr, 0, &done));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

  for (int i = 0; i < 3; ++i) Send(Frame(kMacPeer, kMacHere, kTestEtherType, "mvt-frame"));
  EXPECT_EQ(WaitForSingleObject(event, kPatientMs), WAIT_OBJECT_0) << "the read event follows the socket";

  std::vector<Captured> packets =
      ReadUntil(peer_, [](const std::vector<Captured>& got) { return CountMarked(got, "mvt-frame") >= 3; });
  ASSERT_EQ(CountMarked(packets, "mvt-frame"), 3u);
  for (const Captured& packet : packets) {
    EXPECT_EQ(packet.offset % 4, 0u);
    EXPECT_EQ(packet.header.bh_hdrlen, 20);
    if (!HasMarker(packet, "mvt-frame")) continue;
    EXPECT_EQ(packet.header.bh_caplen, kFrameSize);
    EXPECT_EQ(packet.header.bh_datalen, kFrameSize);
    EXPECT_GT(packet.header.bh_tstamp.tv_sec, 0);
    EXPECT_EQ(packet.data, Frame(kMacPeer, kMacHere, kTestEtherType, "mvt-frame"));
  }
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "nothing left to read";

  npf::bpf_stat stats{};
  ASSERT_TRUE(DeviceIoControl(peer_, npf::PACKET_GETSTATS_IOCTL, nullptr, 0, &stats, sizeof stats, &done));
  EXPECT_EQ(done, 8u);
  EXPECT_GE(stats.bs_recv, 3u);
  EXPECT_EQ(stats.bs_drop, 0u);
  // The counters run from the open, not from the last question.
  npf::bpf_stat again{};
  ASSERT_TRUE(DeviceIoControl(peer_, npf::PACKET_GETSTATS_IOCTL, nullptr, 0, &again, sizeof again, &done));
  EXPECT_GE(again.bs_recv, stats.bs_recv);
  CloseHandle(event);
}

// A frame carries the time it arrived, not the time it was read: also on a
// device that nobody read from yet, and after another device was opened and
// closed (adapter lists do that all the time).
TEST_F(CaptureAcrossVeth, TimeStampIsArrivalNotRead) {
  HANDLE other = OpenDevice("NPF_mvt0");
  ASSERT_TRUE(Opened(other)) << GetLastError();
  EXPECT_TRUE(CloseHandle(other));
  const auto wallMs = [] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  };
  const long long before = wallMs();
  Send(Frame(kMacPeer, kMacHere, kTestEtherType, "mvt-stamped"));
  const long long sent = wallMs();
  // A gap between arrival and read that a stamp taken at the read would show.
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  std::vector<Captured> packets =
      ReadUntil(peer_, [](const std::vector<Captured>& got) { return CountMarked(got, "mvt-stamped") > 0; });
  for (const Captured& packet : packets) {
    if (!HasMarker(packet, "mvt-stamped")) continue;
    const long long stamp =
        static_cast<long long>(packet.header.bh_tstamp.tv_sec) * 1000 + packet.header.bh_tstamp.tv_usec / 1000;
    EXPECT_GE(stamp, before - 1);
    EXPECT_LE(stamp, sent + 200) << "stamped at the read, " << stamp - sent << " ms after the send";
  }
  EXPECT_EQ(CountMarked(packets, "mvt-stamped"), 1u);
}

TEST_F(CaptureAcrossVeth, FilterProgramKeepsOnlyArp) {
  // ldh [12]; jeq #0x806, keep, drop
  const std::vector<npf::bpf_insn> arpOnly = {
      {0x28, 0, 0, 12}, {0x15, 0, 1, 0x0806}, {0x06, 0, 0, 0xFFFF}, {0x06, 0, 0, 0}};
  ASSERT_TRUE(SetProgram(peer_, arpOnly)) << GetLastError();
  Send(Frame(kMacPeer, kMacHere, kTestEtherType, "mvt-not-arp"));
  // An ARP request for an address nobody has, so no answer muddles the count.
  std::vector<std::uint8_t> arp = Frame({0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, kMacHere, 0x0806, "");
  const std::uint8_t payload[28] = {0, 1, 8, 0, 6, 4, 0, 1, 0x02, 0x00, 0x5e, 0x10, 0x00, 0x01, 198, 51, 100, 1,
                                    0, 0, 0, 0, 0, 0, 198, 51, 100, 9};
  std::memcpy(arp.data() + 14, payload, sizeof payload);
  Send(arp);
  Send(Frame(kMacPeer, kMacHere, kTestEtherType, "mvt-not-arp"));
  std::vector<Captured> packets = ReadUntil(peer_, [](const std::vector<Captured>& got) {
    for (const Captured& packet : got) {
      if (packet.data.size() >= 42 && packet.data[41] == 9) return true;
    }
    return false;
  });
  ASSERT_FALSE(packets.empty());
  for (const Captured& packet : packets) {
    ASSERT_GE(packet.data.size(), 14u);
    EXPECT_EQ(packet.data[12] << 8 | packet.data[13], 0x0806) << "only ARP passes";
  }
  EXPECT_EQ(CountMarked(packets, "mvt-not-arp"), 0u);

  // Programs the kernel would not run are refused, and the old one stays.
  EXPECT_FALSE(SetProgram(peer_, {{0x15, 5, 5, 0}}));  // jumps past the end
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  DWORD done = 0;
  EXPECT_FALSE(DeviceIoControl(peer_, npf::PACKET_SETBPFILTER_IOCTL, arpOnly.data(), 7, nullptr, 0, &done));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  Send(Frame(kMacPeer, kMacHere, kTestEtherType, "mvt-still-filtered"));
  Send(arp);
  packets = ReadUntil(peer_, [](const std::vector<Captured>& got) { return !got.empty(); });
  EXPECT_EQ(CountMarked(packets, "mvt-still-filtered"), 0u);

  // No program: everything again.
  ASSERT_TRUE(SetProgram(peer_, {}));
  Send(Frame(kMacPeer, kMacHere, kTestEtherType, "mvt-open-again"));
  packets = ReadUntil(peer_, [](const std::vector<Captured>& got) { return CountMarked(got, "mvt-open-again") > 0; });
  EXPECT_EQ(CountMarked(packets, "mvt-open-again"), 1u);
}

std::vector<std::uint8_t> WriteBuffer(const std::vector<std::vector<std::uint8_t>>& frames) {
  std::vector<std::uint8_t> buffer;
  for (const auto& frame : frames) {
    std::size_t at = buffer.size();
    npf::bpf_hdr header{};
    header.bh_caplen = header.bh_datalen = static_cast<UINT>(frame.size());
    header.bh_hdrlen = sizeof header;
    buffer.resize(at + sizeof header);
    std::memcpy(buffer.data() + at, &header, sizeof header);
    buffer.insert(buffer.end(), frame.begin(), frame.end());
    buffer.resize(npf::Packet_WORDALIGN(buffer.size()));
  }
  return buffer;
}

TEST_F(CaptureAcrossVeth, MultipleWriteSendsEveryFrameAndRefusesBadBuffers) {
  std::vector<std::uint8_t> good = WriteBuffer({Frame(kMacPeer, kMacHere, kTestEtherType, "mvt-batch"),
                                                Frame(kMacPeer, kMacHere, kTestEtherType, "mvt-batch")});
  std::vector<std::uint8_t> bad = WriteBuffer({Frame(kMacPeer, kMacHere, kTestEtherType, "mvt-bad-batch"),
                                               Frame(kMacPeer, kMacHere, kTestEtherType, "mvt-bad-batch")});
  bad.resize(bad.size() - 10);  // the second frame cut short
  DWORD done = 0;
  EXPECT_FALSE(DeviceIoControl(here_, npf::PACKET_MULTIPLEWRITE_IOCTL, bad.data(), static_cast<DWORD>(bad.size()),
                               nullptr, 0, &done));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  ASSERT_TRUE(DeviceIoControl(here_, npf::PACKET_MULTIPLEWRITE_IOCTL, good.data(), static_cast<DWORD>(good.size()),
                              nullptr, 0, &done))
      << GetLastError();
  std::vector<Captured> packets =
      ReadUntil(peer_, [](const std::vector<Captured>& got) { return CountMarked(got, "mvt-batch") >= 2; });
  EXPECT_EQ(CountMarked(packets, "mvt-batch"), 2u);
  EXPECT_EQ(CountMarked(packets, "mvt-bad-batch"), 0u) << "a rejected buffer sends nothing";

  DWORD written = 0;
  std::uint8_t runt[10] = {};
  EXPECT_FALSE(WriteFile(here_, runt, sizeof runt, &written));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(CaptureAcrossVeth, ReadsHonourTimeOutBufferSizeAndCancel) {
  ASSERT_TRUE(SetProgram(here_, {{0x06, 0, 0, 0}}));  // drop everything: an idle device
  ASSERT_TRUE(Control(here_, npf::PACKET_SETREADTIMEOUT_IOCTL, 20));
  std::vector<std::uint8_t> buffer(4096);
  DWORD got = 99;
  EXPECT_TRUE(ReadFile(here_, buffer.data(), static_cast<DWORD>(buffer.size()), &got));
  EXPECT_EQ(got, 0u) << "the time-out ends an empty read with nothing";
  EXPECT_FALSE(ReadFile(here_, buffer.data(), 10, &got)) << "no room for one header";
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);

  EXPECT_TRUE(Control(here_, npf::PACKET_SETBUFFERSIZE_IOCTL, 1 << 20));
  EXPECT_TRUE(Control(here_, npf::PACKET_SETMINTOCOPY_IOCTL, 16000));
  EXPECT_TRUE(Control(here_, npf::PACKET_SETNOLOOPBACKS_IOCTL, 1));
  EXPECT_TRUE(Control(here_, npf::PACKET_SETNOLOOPBACKS_IOCTL, 2));
  EXPECT_FALSE(Control(here_, npf::PACKET_SETNOLOOPBACKS_IOCTL, 3));
  DWORD done = 0;
  EXPECT_TRUE(DeviceIoControl(here_, npf::IOCTL_PROTOCOL_RESET, nullptr, 0, nullptr, 0, &done));
  EXPECT_FALSE(DeviceIoControl(here_, 0x12345, nullptr, 0, nullptr, 0, &done));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);

  // Without a time-out a read waits until it is cancelled.
  ASSERT_TRUE(Control(here_, npf::PACKET_SETREADTIMEOUT_IOCTL, 0));
  auto reader = std::async(std::launch::async, [this, &buffer] {
    DWORD n = 0;
    BOOL ok = ReadFile(here_, buffer.data(), static_cast<DWORD>(buffer.size()), &n);
    return std::make_pair(ok, GetLastError());
  });
  for (int i = 0; i < 1000 && reader.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready; ++i) {
    CancelIo(here_);
  }
  ASSERT_EQ(reader.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  auto [ok, error] = reader.get();
  EXPECT_FALSE(ok);
  EXPECT_EQ(error, ERROR_OPERATION_ABORTED);
}

// True once `check` holds, polling it for at most ten seconds.
bool Eventually(const std::function<bool()>& check) {
  for (int i = 0; i < 10000; ++i) {
    if (check()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return check();
}

// The thread is blocked waiting: in poll(2) or on a futex (syscalls 7 and
// 202 on x86-64).
bool BlockedWaiting(pid_t thread) {
  std::ifstream file("/proc/self/task/" + std::to_string(thread) + "/syscall");
  std::string number;
  return (file >> number) && (number == "7" || number == "202");
}

// Ends a read that a failed check left waiting, so that the test can end.
class CancelReaderOnExit {
 public:
  CancelReaderOnExit(HANDLE device, std::future<std::vector<Captured>>& reader) : device_(device), reader_(reader) {}
  ~CancelReaderOnExit() {
    if (!reader_.valid()) return;
    for (int i = 0; i < 1000 && reader_.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready; ++i) {
      CancelIo(device_);
    }
  }

 private:
  HANDLE device_;
  std::future<std::vector<Captured>>& reader_;
};

TEST_F(CaptureAcrossVeth, MinimumToCopyHoldsTheReadForMoreData) {
  // Only the test's frames: ldh [12]; jeq #0x88b5, keep, drop
  ASSERT_TRUE(SetProgram(peer_, {{0x28, 0, 0, 12}, {0x15, 0, 1, kTestEtherType}, {0x06, 0, 0, 0xFFFF}, {0x06, 0, 0, 0}}));
  HANDLE event = CreateEvent(false);
  std::uint32_t handleValue = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(event));
  DWORD done = 0;
  ASSERT_TRUE(DeviceIoControl(peer_, npf::PACKET_SETEVENTHANDLE_IOCTL, &handleValue, 4, nullptr, 0, &done));
  const DWORD twoFrames = 2 * (sizeof(npf::bpf_hdr) + kFrameSize);
  ASSERT_TRUE(Control(peer_, npf::PACKET_SETMINTOCOPY_IOCTL, twoFrames));
  ASSERT_TRUE(Control(peer_, npf::PACKET_SETREADTIMEOUT_IOCTL, 0));

  std::promise<pid_t> readerId;
  auto reader = std::async(std::launch::async, [this, &readerId] {
    readerId.set_value(static_cast<pid_t>(::gettid()));
    std::vector<std::uint8_t> buffer(64 * 1024);
    DWORD got = 0;
    EXPECT_TRUE(ReadFile(peer_, buffer.data(), static_cast<DWORD>(buffer.size()), &got));
    return Walk(buffer, got);
  });
  CancelReaderOnExit cancelOnFailure(peer_, reader);
  pid_t thread = readerId.get_future().get();
  ASSERT_TRUE(Eventually([&] { return BlockedWaiting(thread); }));

  // The first frame is taken off the socket, but does not end the read.
  Send(Frame(kMacPeer, kMacHere, kTestEtherType, "mvt-min-1"));
  auto received = [this] {
    npf::bpf_stat stats{};
    DWORD n = 0;
    return DeviceIoControl(peer_, npf::PACKET_GETSTATS_IOCTL, nullptr, 0, &stats, sizeof stats, &n) && stats.bs_recv >= 1;
  };
  ASSERT_TRUE(Eventually(received));
  ASSERT_TRUE(Eventually([&] { return WaitForSingleObject(event, 0) == WAIT_TIMEOUT; })) << "the reader took it";
  ASSERT_TRUE(Eventually([&] {
    return reader.wait_for(std::chrono::seconds(0)) == std::future_status::ready || BlockedWaiting(thread);
  }));
  EXPECT_NE(reader.wait_for(std::chrono::seconds(0)), std::future_status::ready) << "returned with one frame";

  Send(Frame(kMacPeer, kMacHere, kTestEtherType, "mvt-min-2"));
  ASSERT_EQ(reader.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  std::vector<Captured> packets = reader.get();
  EXPECT_EQ(CountMarked(packets, "mvt-min-1"), 1u);
  EXPECT_EQ(CountMarked(packets, "mvt-min-2"), 1u) << "one read, held until both were there";
  CloseHandle(event);
}

TEST_F(CaptureAcrossVeth, LoopbackSuppressionHidesTheHostsOwnFrames) {
  HANDLE watcher = OpenDevice("NPF_mvt0");
  ASSERT_TRUE(Opened(watcher)) << GetLastError();
  ASSERT_TRUE(Control(watcher, npf::PACKET_SETREADTIMEOUT_IOCTL, 500));
  auto sentByPeer = [](const std::vector<Captured>& got) { return CountMarked(got, "mvt-from-peer") > 0; };
  auto peerSends = [this] {
    std::vector<std::uint8_t> frame = Frame(kMacHere, kMacPeer, kTestEtherType, "mvt-from-peer");
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(peer_, frame.data(), static_cast<DWORD>(frame.size()), &written)) << GetLastError();
  };

  ASSERT_TRUE(Control(watcher, npf::PACKET_SETNOLOOPBACKS_IOCTL, 1));
  Send(Frame(kMacPeer, kMacHere, kTestEtherType, "mvt-own"));
  peerSends();
  std::vector<Captured> packets = ReadUntil(watcher, sentByPeer);
  EXPECT_TRUE(sentByPeer(packets));
  EXPECT_EQ(CountMarked(packets, "mvt-own"), 0u) << "own transmissions are skipped";

  ASSERT_TRUE(Control(watcher, npf::PACKET_SETNOLOOPBACKS_IOCTL, 2));
  Send(Frame(kMacPeer, kMacHere, kTestEtherType, "mvt-own"));
  packets = ReadUntil(watcher, [](const std::vector<Captured>& got) { return CountMarked(got, "mvt-own") > 0; });
  EXPECT_EQ(CountMarked(packets, "mvt-own"), 1u) << "own transmissions are captured again";
  CloseHandle(watcher);
}

TEST_F(CaptureAcrossVeth, EventNameFromTheDriverOpensAndFollowsTheSocket) {
  char name[26] = {};
  DWORD done = 0;
  ASSERT_TRUE(DeviceIoControl(peer_, npf::PACKET_GETEVENTNAME_IOCTL, nullptr, 0, name, sizeof name, &done));
  EXPECT_EQ(done, 26u);
  HANDLE event = OpenEvent(name);
  ASSERT_NE(event, nullptr) << name;
  Send(Frame(kMacPeer, kMacHere, kTestEtherType, "mvt-named"));
  EXPECT_EQ(WaitForSingleObject(event, kPatientMs), WAIT_OBJECT_0);
  CloseHandle(event);
}

// The threads of this process.
std::size_t ThreadCount() {
  std::size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    count += entry.is_directory() ? 1 : 0;
  }
  return count;
}

TEST_F(CaptureAcrossVeth, ADeviceStartsItsThreadOnlyAtTheFirstWait) {
  const std::size_t before = ThreadCount();
  HANDLE watcher = OpenDevice("NPF_mvt0");
  ASSERT_TRUE(Opened(watcher)) << GetLastError();
  HANDLE event = CreateEvent(false);
  ASSERT_NE(event, nullptr);
  std::uint32_t handleValue = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(event));
  DWORD done = 0;
  ASSERT_TRUE(DeviceIoControl(watcher, npf::PACKET_SETEVENTHANDLE_IOCTL, &handleValue, 4, nullptr, 0, &done));
  EXPECT_EQ(QueryDword(watcher, npf::OID_GEN_MAXIMUM_LOOKAHEAD), 1500u);
  // The watcher's socket has the frame once the send returns: its own
  // interface's transmissions reach it on the way out.
  Send(Frame(kMacPeer, kMacHere, kTestEtherType, "mvt-lazy"));
  EXPECT_EQ(ThreadCount(), before) << "opened, asked and sent to, with nobody waiting: no thread";

  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0) << "the first wait sees what arrived before it";
  EXPECT_EQ(ThreadCount(), before + 1) << "from the first wait on, the device's pump keeps the event";
  std::vector<Captured> packets =
      ReadUntil(watcher, [](const std::vector<Captured>& got) { return CountMarked(got, "mvt-lazy") > 0; });
  EXPECT_EQ(CountMarked(packets, "mvt-lazy"), 1u);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "nothing left to read";
  Send(Frame(kMacPeer, kMacHere, kTestEtherType, "mvt-lazy-2"));
  EXPECT_EQ(WaitForSingleObject(event, kPatientMs), WAIT_OBJECT_0);
  CloseHandle(watcher);
  EXPECT_EQ(ThreadCount(), before) << "the close ends the pump";
  CloseHandle(event);
}

std::uint32_t NdisFields(HANDLE device, int pair) {
  std::vector<std::uint8_t> record(4096);
  DWORD oid = npf::OID_TCP_OFFLOAD_CURRENT_CONFIG;
  DWORD done = 0;
  EXPECT_TRUE(DeviceIoControl(device, npf::IOCTL_NDIS_QUERY_GLOBAL_STATS, &oid, 4, record.data(),
                              static_cast<DWORD>(record.size()), &done));
  EXPECT_EQ(done, 112u);
  EXPECT_EQ(record[0], 0xA7);
  std::uint32_t fields;
  std::memcpy(&fields, record.data() + 4 + pair * 8 + 4, 4);
  return fields;
}

bool EthtoolSays(const std::string& features, const std::string& name) {
  return features.find(name + ": on") != std::string::npos;
}

TEST(NdisDevice, SupportedListAndOffloadRecordFollowEthtool) {
  HANDLE device = OpenDevice("mvt0");
  ASSERT_TRUE(Opened(device)) << GetLastError();
  std::vector<DWORD> oids(900);
  DWORD oid = npf::OID_GEN_SUPPORTED_LIST;
  DWORD done = 0;
  ASSERT_TRUE(DeviceIoControl(device, npf::IOCTL_NDIS_QUERY_GLOBAL_STATS, &oid, 4, oids.data(), 3600, &done));
  ASSERT_GT(done, 0u);
  EXPECT_EQ(done % 4, 0u);
  oids.resize(done / 4);
  EXPECT_NE(std::find(oids.begin(), oids.end(), npf::OID_TCP_OFFLOAD_CURRENT_CONFIG), oids.end());

  std::string features = Shell("ethtool -k mvt0");
  bool txV4 = EthtoolSays(features, "tx-checksum-ipv4") || EthtoolSays(features, "tx-checksum-ip-generic");
  bool rx = EthtoolSays(features, "rx-checksumming");
  const std::uint32_t tcpChecksum = 0x30;  // bits 4-5
  EXPECT_EQ((NdisFields(device, 0) & tcpChecksum) == 0x10, txV4) << features;
  EXPECT_EQ((NdisFields(device, 1) & tcpChecksum) == 0x10, rx) << features;

  ASSERT_EQ(std::system("ethtool -K mvt0 tx off >/dev/null 2>&1"), 0);
  EXPECT_EQ(NdisFields(device, 0) & tcpChecksum, 0u) << "transmit checksums switched off";
  ASSERT_EQ(std::system("ethtool -K mvt0 tx on >/dev/null 2>&1"), 0);

  std::uint8_t tooSmall[16];
  oid = npf::OID_TCP_OFFLOAD_CURRENT_CONFIG;
  EXPECT_FALSE(DeviceIoControl(device, npf::IOCTL_NDIS_QUERY_GLOBAL_STATS, &oid, 4, tooSmall, sizeof tooSmall, &done));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  CloseHandle(device);
}

std::string Utf16Text(const std::vector<BYTE>& data) {
  std::string text;
  for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
    char16_t c = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (c == 0) break;
    text.push_back(static_cast<char>(c));
  }
  return text;
}

const RegistryTree::Node* ClassKeyOf(const RegistryTree& tree, const std::string& name) {
  const RegistryTree::Node* adapters =
      tree.Find("SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}");
  if (adapters == nullptr) return nullptr;
  for (const auto& [key, node] : adapters->subKeys) {
    auto it = node.values.find("netcfginstanceid");
    if (it != node.values.end() && Utf16Text(it->second.data) == name) return &node;
  }
  return nullptr;
}

std::string ValueText(const RegistryTree::Node* node, const char* folded) {
  auto it = node->values.find(folded);
  return it == node->values.end() ? "(absent)" : Utf16Text(it->second.data);
}

TEST(Registry, AdapterKeysFollowEthtoolAndSysfs) {
  std::string features = Shell("ethtool -k mvt0");
  RegistryTree tree;
  linuxhost::BuildRegistry(&tree);
  const RegistryTree::Node* key = ClassKeyOf(tree, "mvt0");
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(ValueText(key, "*lsov2ipv4"), EthtoolSays(features, "tx-tcp-segmentation") ? "1" : "0");
  EXPECT_EQ(ValueText(key, "*lsov2ipv6"), EthtoolSays(features, "tx-tcp6-segmentation") ? "1" : "0");
  EXPECT_NE(ClassKeyOf(tree, "mvtd0"), nullptr);

  ASSERT_EQ(std::system("ethtool -K mvt0 tso off >/dev/null 2>&1"), 0);
  RegistryTree after;
  linuxhost::BuildRegistry(&after);
  key = ClassKeyOf(after, "mvt0");
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(ValueText(key, "*lsov1ipv4"), "0");
  EXPECT_EQ(ValueText(key, "*lsov2ipv4"), "0");
  ASSERT_EQ(std::system("ethtool -K mvt0 tso on >/dev/null 2>&1"), 0);

  // The connection's name is the interface's alias; its device is the driver.
  HKEY connection = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE,
                         "SYSTEM\\CurrentControlSet\\Control\\Network\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\mvt0"
                         "\\Connection",
                         0, KEY_READ, &connection),
            ERROR_SUCCESS);
  BYTE data[256] = {};
  DWORD type = 0, size = sizeof data;
  ASSERT_EQ(RegQueryValueEx(connection, "Name", &type, data, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(Utf16Text(std::vector<BYTE>(data, data + size)), "Lab link 1");
  size = sizeof data;
  ASSERT_EQ(RegQueryValueEx(connection, "PnpInstanceID", &type, data, &size), ERROR_SUCCESS);
  std::string pnp = Utf16Text(std::vector<BYTE>(data, data + size));
  RegCloseKey(connection);
  HKEY device = nullptr;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, ("SYSTEM\\CurrentControlSet\\Enum\\" + pnp).c_str(), 0, KEY_READ, &device),
            ERROR_SUCCESS)
      << pnp;
  size = sizeof data;
  ASSERT_EQ(RegQueryValueEx(device, "DeviceDesc", &type, data, &size), ERROR_SUCCESS);
  EXPECT_EQ(Utf16Text(std::vector<BYTE>(data, data + size)).rfind("veth", 0), 0u);
  RegCloseKey(device);
}

TEST(DosDevices, CaptureNamesForEveryEthernetInterfaceAndDefinitions) {
  std::vector<std::string> names;
  ASSERT_TRUE(QueryDosDevice(nullptr, &names));
  auto has = [&](const char* name) { return std::find(names.begin(), names.end(), name) != names.end(); };
  EXPECT_TRUE(has("NPF_mvt0"));
  EXPECT_TRUE(has("NPF_mvtd0"));
  EXPECT_FALSE(has("NPF_lo"));

  EXPECT_FALSE(Opened(OpenDevice("NPF_nosuch0")));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  ASSERT_TRUE(DefineDosDevice(DDD_RAW_TARGET_PATH, "NPF_labalias", "\\Device\\NPF_mvt0"));
  std::vector<std::string> targets;
  ASSERT_TRUE(QueryDosDevice("NPF_labalias", &targets));
  ASSERT_EQ(targets.size(), 1u);
  EXPECT_EQ(targets[0], "\\Device\\NPF_mvt0");
  HANDLE device = OpenDevice("NPF_labalias");
  ASSERT_TRUE(Opened(device)) << GetLastError();
  std::uint8_t mac[6] = {};
  ASSERT_TRUE(Oid(device, false, npf::OID_802_3_CURRENT_ADDRESS, mac, 6));
  EXPECT_EQ(0, std::memcmp(mac, kMacHere.data(), 6));
  CloseHandle(device);
  // A definition of a name that has no interface still opens nothing.
  ASSERT_TRUE(DefineDosDevice(DDD_RAW_TARGET_PATH, "NPF_nosuch0", "\\Device\\NPF_nosuch0"));
  EXPECT_FALSE(Opened(OpenDevice("NPF_nosuch0")));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(Names, DottedTextAndHostsFile) {
  DWORD address = 0;
  ASSERT_EQ(ResolveIPv4("198.51.100.7", &address), 0u);
  EXPECT_EQ(address, inet_addr("198.51.100.7"));
  ASSERT_EQ(ResolveIPv4("localhost", &address), 0u);
  EXPECT_EQ(address, inet_addr("127.0.0.1"));
  EXPECT_EQ(ResolveIPv4("", &address), WSAHOST_NOT_FOUND);
}

// Runs in a child that gave up root; the exit code says what failed.
int UnprivilegedChecks() {
  if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) return 10;
  HANDLE capture = OpenDevice("NPF_mvt0");
  if (Opened(capture)) return 11;
  if (GetLastError() != ERROR_ACCESS_DENIED || errno != EACCES) return 12;
  HANDLE ndis = OpenDevice("mvt0");
  if (Opened(ndis)) return 13;
  if (GetLastError() != ERROR_ACCESS_DENIED || errno != EACCES) return 14;
  std::uint8_t mac[8];
  ULONG length = sizeof mac;
  if (SendARP(inet_addr("198.51.100.2"), 0, mac, &length) != ERROR_ACCESS_DENIED) return 15;
  return 0;
}

TEST(Privileges, WithoutRootEveryOpenIsAccessDenied) {
  // The machine exists before the fork, so the child only makes calls.
  std::vector<std::string> names;
  ASSERT_TRUE(QueryDosDevice(nullptr, &names));
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(UnprivilegedChecks());
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "see UnprivilegedChecks for the step";
}

}  // namespace
}  // namespace platform
