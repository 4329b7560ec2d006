// The IP helper of the linux machine: resolver file, forwarding switch,
// netlink routes and addresses, and a real ARP exchange for the ARP test.
#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "linux/adapter_snapshot_linux.h"
#include "linux/arp_packet_linux.h"
#include "linux/linux_parts.h"
#include "linux/netif_linux.h"
#include "linux/netlink_linux.h"
#include "linux/resolv_conf_linux.h"
#include "platform/winerror.h"

namespace platform::linuxhost {
namespace {

constexpr int kArpWaitMs = 1000;
constexpr DWORD kReassemblySize = 65535;
constexpr WORD kPrimaryAddress = 1;  // MIB_IPADDR_PRIMARY
constexpr DWORD kRouteDirect = 3;
constexpr DWORD kRouteIndirect = 4;
constexpr DWORD kProtoLocal = 2;    // MIB_IPPROTO_LOCAL: made by the stack
constexpr DWORD kProtoNetMgmt = 3;  // MIB_IPPROTO_NETMGMT: set by an administrator or a client
constexpr DWORD kMetricUnused = 0xFFFFFFFF;

std::string ReadWholeFile(const char* path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

std::int64_t MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

std::uint32_t FirstAddressOf(const std::vector<AddressEntry>& addresses, unsigned index) {
  for (const AddressEntry& entry : addresses) {
    if (entry.interfaceIndex == index) return entry.address;
  }
  return 0;
}

DWORD ReadRoutesAndAddresses(std::vector<RouteEntry>* routes, std::vector<AddressEntry>* addresses) {
  DWORD status = ReadRoutes(routes);
  return status == ERROR_SUCCESS ? ReadAddresses(addresses) : status;
}

class LinuxIpHelper final : public IpHelperBackend {
 public:
  DWORD NetworkParams(NetworkParamsModel* params) override {
    *params = NetworkParamsModel{};
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) != 0) return LastErrorForErrno(errno);
    std::string full = host;
    std::size_t dot = full.find('.');
    params->hostName = full.substr(0, dot);
    ResolverConfig resolver = ParseResolverConfig(ReadWholeFile("/etc/resolv.conf"));
    params->domainName = resolver.domain;
    if (params->domainName.empty() && dot != std::string::npos) params->domainName = full.substr(dot + 1);
    params->dnsServers = resolver.servers;
    std::string forwarding = ReadWholeFile("/proc/sys/net/ipv4/ip_forward");
    params->enableRouting = !forwarding.empty() && forwarding[0] == '1';
    return ERROR_SUCCESS;
  }

  DWORD ForwardTable(std::vector<MIB_IPFORWARDROW>* rows) override {
    rows->clear();
    std::vector<RouteEntry> routes;
    std::vector<AddressEntry> addresses;
    DWORD status = ReadRoutesAndAddresses(&routes, &addresses);
    if (status != ERROR_SUCCESS) return status;
    for (const RouteEntry& route : routes) {
      MIB_IPFORWARDROW row{};
      row.dwForwardDest = route.destination;
      row.dwForwardMask = MaskOfPrefix(route.prefixLength);
      // A route on the link has the interface's own address as its next
      // hop, the way the callers' tables show it.
      if (route.gateway != 0) {
        row.dwForwardNextHop = route.gateway;
        row.dwForwardType = kRouteIndirect;
      } else {
        row.dwForwardNextHop =
            route.preferredSource != 0 ? route.preferredSource : FirstAddressOf(addresses, route.interfaceIndex);
        row.dwForwardType = kRouteDirect;
      }
      row.dwForwardIfIndex = route.interfaceIndex;
      row.dwForwardProto = route.protocol == RTPROT_KERNEL ? kProtoLocal : kProtoNetMgmt;
      row.dwForwardMetric1 = route.metric;
      row.dwForwardMetric2 = row.dwForwardMetric3 = row.dwForwardMetric4 = row.dwForwardMetric5 = kMetricUnused;
      rows->push_back(row);
    }
    return ERROR_SUCCESS;
  }

  DWORD AddrTable(std::vector<MIB_IPADDRROW>* rows) override {
    rows->clear();
    std::vector<AddressEntry> addresses;
    DWORD status = ReadAddresses(&addresses);
    if (status != ERROR_SUCCESS) return status;
    for (const AddressEntry& entry : addresses) {
      MIB_IPADDRROW row{};
      row.dwAddr = entry.address;
      row.dwIndex = entry.interfaceIndex;
      row.dwMask = MaskOfPrefix(entry.prefixLength);
      row.dwBCastAddr = entry.broadcast != 0 ? entry.broadcast : (entry.address | ~row.dwMask);
      row.dwReasmSize = kReassemblySize;
      row.wType = kPrimaryAddress;
      rows->push_back(row);
    }
    return ERROR_SUCCESS;
  }

  DWORD Adapters(std::vector<AdapterModel>* adapters) override {
    AdapterSnapshot::Looker looker;
    if (snapshot_.Get(adapters, &looker)) return ERROR_SUCCESS;
    const DWORD status = BuildAdapters(adapters);
    if (status == ERROR_SUCCESS) snapshot_.Keep(looker, *adapters);
    return status;
  }

  DWORD SendArp(DWORD destination, DWORD source, BYTE mac[6]) override {
    if (destination == 0 || destination == 0xFFFFFFFF) return ERROR_INVALID_PARAMETER;
    std::vector<AddressEntry> addresses;
    DWORD status = ReadAddresses(&addresses);
    if (status != ERROR_SUCCESS) return status;
    // One of our own addresses: its interface's hardware address, as the
    // kernel would answer for it.
    for (const AddressEntry& entry : addresses) {
      if (entry.address != destination) continue;
      char name[IF_NAMESIZE] = {};
      if (if_indextoname(entry.interfaceIndex, name) == nullptr) break;
      std::optional<InterfaceFacts> facts = ReadInterface(name);
      if (!facts || !IsEthernetLike(*facts)) break;
      std::memcpy(mac, facts->mac.data(), 6);
      return ERROR_SUCCESS;
    }
    std::vector<RouteEntry> routes;
    status = ReadRoutes(&routes);
    if (status != ERROR_SUCCESS) return status;
    std::optional<RouteEntry> route = BestRoute(routes, destination);
    if (!route) return ERROR_NETWORK_UNREACHABLE;
    char name[IF_NAMESIZE] = {};
    if (if_indextoname(route->interfaceIndex, name) == nullptr) return ERROR_NETWORK_UNREACHABLE;
    std::optional<InterfaceFacts> facts = ReadInterface(name);
    if (!facts || !IsEthernetLike(*facts)) return ERROR_NETWORK_UNREACHABLE;
    std::uint32_t sender = source != 0 ? source
                           : route->preferredSource != 0 ? route->preferredSource
                                                         : FirstAddressOf(addresses, facts->index);
    return Exchange(*facts, sender, destination, mac);
  }

 private:
  DWORD BuildAdapters(std::vector<AdapterModel>* adapters) {
    adapters->clear();
    std::vector<RouteEntry> routes;
    std::vector<AddressEntry> addresses;
    DWORD status = ReadRoutesAndAddresses(&routes, &addresses);
    if (status != ERROR_SUCCESS) return status;
    std::stable_sort(routes.begin(), routes.end(),
                     [](const RouteEntry& a, const RouteEntry& b) { return a.metric < b.metric; });
    ControlSocket sock;  // one for every question about every interface
    for (const InterfaceFacts& facts : EthernetInterfaces(sock.get())) {
      AdapterModel adapter;
      adapter.name = facts.name;
      adapter.description = DriverName(sock.get(), facts.name);
      if (adapter.description.empty()) adapter.description = "Ethernet adapter";
      adapter.address.assign(facts.mac.begin(), facts.mac.end());
      adapter.index = facts.index;
      adapter.type = MIB_IF_TYPE_ETHERNET;
      for (const AddressEntry& entry : addresses) {
        if (entry.interfaceIndex != facts.index) continue;
        adapter.ipAddresses.push_back({entry.address, MaskOfPrefix(entry.prefixLength)});
        adapter.dhcpEnabled = adapter.dhcpEnabled || entry.leased;
      }
      for (const RouteEntry& route : routes) {
        if (route.prefixLength == 0 && route.gateway != 0 && route.interfaceIndex == facts.index) {
          adapter.gateways.push_back(route.gateway);
        }
      }
      adapters->push_back(std::move(adapter));
    }
    return ERROR_SUCCESS;
  }

  static DWORD Exchange(const InterfaceFacts& facts, std::uint32_t sender, std::uint32_t destination, BYTE mac[6]) {
    int fd = ::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_ARP));
    if (fd < 0) return errno == EPERM || errno == EACCES ? ERROR_ACCESS_DENIED : LastErrorForErrno(errno);
    struct Closer {
      int fd;
      ~Closer() { ::close(fd); }
    } closer{fd};
    sockaddr_ll link{};
    link.sll_family = AF_PACKET;
    link.sll_protocol = htons(ETH_P_ARP);
    link.sll_ifindex = static_cast<int>(facts.index);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&link), sizeof link) != 0) return LastErrorForErrno(errno);
    std::array<std::uint8_t, kArpPayloadSize> request = BuildArpRequest(facts.mac, sender, destination);
    link.sll_halen = 6;
    std::memset(link.sll_addr, 0xFF, 6);
    if (::sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&link), sizeof link) < 0) {
      return errno == ENETDOWN ? ERROR_NETWORK_UNREACHABLE : LastErrorForErrno(errno);
    }
    const std::int64_t deadline = MonotonicMs() + kArpWaitMs;
    for (;;) {
      std::int64_t left = deadline - MonotonicMs();
      if (left <= 0) return ERROR_GEN_FAILURE;
      pollfd waiter{fd, POLLIN, 0};
      int ready = ::poll(&waiter, 1, static_cast<int>(left));
      if (ready < 0 && errno != EINTR) return LastErrorForErrno(errno);
      if (ready <= 0) continue;
      std::uint8_t reply[128];
      ssize_t got = ::recv(fd, reply, sizeof reply, MSG_DONTWAIT);
      if (got < 0) continue;
      std::array<std::uint8_t, 6> answer{};
      if (ParseArpReply(reply, static_cast<std::size_t>(got), destination, &answer)) {
        std::memcpy(mac, answer.data(), 6);
        return ERROR_SUCCESS;
      }
    }
  }

  AdapterSnapshot snapshot_;
};

}  // namespace

std::unique_ptr<IpHelperBackend> MakeIpHelper() { return std::make_unique<LinuxIpHelper>(); }

}  // namespace platform::linuxhost
