#include "linux/netlink_linux.h"

#include <arpa/inet.h>
#include <linux/rtnetlink.h>
#include <netlink/addr.h>
#include <netlink/cache.h>
#include <netlink/netlink.h>
#include <netlink/route/addr.h>
#include <netlink/route/link.h>
#include <netlink/route/route.h>

#include <cstring>
#include <memory>

#include "platform/winerror.h"

namespace platform::linuxhost {
namespace {

struct SocketDeleter {
  void operator()(nl_sock* sock) const { nl_socket_free(sock); }
};
struct CacheDeleter {
  void operator()(nl_cache* cache) const { nl_cache_free(cache); }
};
using NlSocket = std::unique_ptr<nl_sock, SocketDeleter>;
using NlCache = std::unique_ptr<nl_cache, CacheDeleter>;

DWORD Connect(NlSocket* sock) {
  sock->reset(nl_socket_alloc());
  if (!*sock) return ERROR_NOT_ENOUGH_MEMORY;
  if (nl_connect(sock->get(), NETLINK_ROUTE) < 0) return ERROR_GEN_FAILURE;
  return ERROR_SUCCESS;
}

std::uint32_t Ipv4Of(nl_addr* address) {
  if (address == nullptr || nl_addr_get_family(address) != AF_INET || nl_addr_get_len(address) != 4) return 0;
  std::uint32_t value;
  std::memcpy(&value, nl_addr_get_binary_addr(address), 4);
  return value;
}

}  // namespace

std::optional<bool> LinkCarrier(const std::string& name) {
  NlSocket sock;
  if (Connect(&sock) != ERROR_SUCCESS) return std::nullopt;
  rtnl_link* link = nullptr;
  if (rtnl_link_get_kernel(sock.get(), 0, name.c_str(), &link) < 0 || link == nullptr) return std::nullopt;
  bool carrier = rtnl_link_get_carrier(link) != 0;
  rtnl_link_put(link);
  return carrier;
}

std::uint32_t MaskOfPrefix(unsigned prefixLength) {
  if (prefixLength == 0) return 0;
  if (prefixLength >= 32) return 0xFFFFFFFFU;
  return htonl(~((1U << (32 - prefixLength)) - 1));
}

DWORD ReadRoutes(std::vector<RouteEntry>* routes) {
  routes->clear();
  NlSocket sock;
  DWORD status = Connect(&sock);
  if (status != ERROR_SUCCESS) return status;
  nl_cache* raw = nullptr;
  if (rtnl_route_alloc_cache(sock.get(), AF_INET, 0, &raw) < 0) return ERROR_GEN_FAILURE;
  NlCache cache(raw);
  for (nl_object* object = nl_cache_get_first(raw); object != nullptr; object = nl_cache_get_next(object)) {
    auto* route = reinterpret_cast<rtnl_route*>(object);
    if (rtnl_route_get_table(route) != RT_TABLE_MAIN || rtnl_route_get_type(route) != RTN_UNICAST) continue;
    RouteEntry entry;
    nl_addr* destination = rtnl_route_get_dst(route);
    entry.destination = Ipv4Of(destination);
    entry.prefixLength = destination != nullptr ? nl_addr_get_prefixlen(destination) : 0;
    entry.destination &= MaskOfPrefix(entry.prefixLength);
    entry.preferredSource = Ipv4Of(rtnl_route_get_pref_src(route));
    entry.metric = rtnl_route_get_priority(route);
    entry.protocol = rtnl_route_get_protocol(route);
    if (rtnl_route_get_nnexthops(route) < 1) continue;
    rtnl_nexthop* hop = rtnl_route_nexthop_n(route, 0);
    entry.gateway = Ipv4Of(rtnl_route_nh_get_gateway(hop));
    entry.interfaceIndex = static_cast<unsigned>(rtnl_route_nh_get_ifindex(hop));
    routes->push_back(entry);
  }
  return ERROR_SUCCESS;
}

DWORD ReadAddresses(std::vector<AddressEntry>* addresses) {
  addresses->clear();
  NlSocket sock;
  DWORD status = Connect(&sock);
  if (status != ERROR_SUCCESS) return status;
  nl_cache* raw = nullptr;
  if (rtnl_addr_alloc_cache(sock.get(), &raw) < 0) return ERROR_GEN_FAILURE;
  NlCache cache(raw);
  for (nl_object* object = nl_cache_get_first(raw); object != nullptr; object = nl_cache_get_next(object)) {
    auto* address = reinterpret_cast<rtnl_addr*>(object);
    if (rtnl_addr_get_family(address) != AF_INET) continue;
    AddressEntry entry;
    entry.address = Ipv4Of(rtnl_addr_get_local(address));
    entry.prefixLength = static_cast<unsigned>(rtnl_addr_get_prefixlen(address));
    entry.broadcast = Ipv4Of(rtnl_addr_get_broadcast(address));
    entry.interfaceIndex = static_cast<unsigned>(rtnl_addr_get_ifindex(address));
    entry.leased = (rtnl_addr_get_flags(address) & IFA_F_PERMANENT) == 0 &&
                   rtnl_addr_get_valid_lifetime(address) != 0xFFFFFFFFU;
    addresses->push_back(entry);
  }
  return ERROR_SUCCESS;
}

std::optional<RouteEntry> BestRoute(const std::vector<RouteEntry>& routes, std::uint32_t destination) {
  std::optional<RouteEntry> best;
  for (const RouteEntry& route : routes) {
    if ((destination & MaskOfPrefix(route.prefixLength)) != route.destination) continue;
    if (!best || route.prefixLength > best->prefixLength ||
        (route.prefixLength == best->prefixLength && route.metric < best->metric)) {
      best = route;
    }
  }
  return best;
}

}  // namespace platform::linuxhost
