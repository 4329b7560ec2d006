#include "host_tables.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

#include "mestralib/address.h"
#include "neighbour_text.h"
#include "platform/iphelper.h"
#include "platform/machine.h"
#include "platform/sim/sim_host.h"
#include "platform/sockets.h"

namespace vifnet {
namespace {

std::vector<platform::IP_ADAPTER_INFO> Adapters() {
  ULONG size = 0;
  std::vector<platform::IP_ADAPTER_INFO> buffer;
  for (int attempt = 0; attempt < 3; ++attempt) {
    DWORD rc = platform::GetAdaptersInfo(buffer.empty() ? nullptr : buffer.data(), &size);
    if (rc == ERROR_SUCCESS) return buffer;
    if (rc != ERROR_BUFFER_OVERFLOW) return {};
    buffer.assign(size / sizeof(platform::IP_ADAPTER_INFO) + 1, platform::IP_ADAPTER_INFO{});
    size = static_cast<ULONG>(buffer.size() * sizeof(platform::IP_ADAPTER_INFO));
  }
  return {};
}

DWORD ParseDotted(const char* text) {
  DWORD host = 0;
  if (!ParseIPAddress(text, &host, false)) return 0;
  return platform::htonl(host);
}

HostAdapter ToHostAdapter(const platform::IP_ADAPTER_INFO& info) {
  HostAdapter adapter;
  adapter.name.assign(info.AdapterName, strnlen(info.AdapterName, sizeof info.AdapterName));
  adapter.index = info.Index;
  std::memcpy(adapter.mac.data(), info.Address, 6);
  adapter.ip = ParseDotted(info.IpAddressList.IpAddress.String);
  adapter.mask = ParseDotted(info.IpAddressList.IpMask.String);
  return adapter;
}

template <typename Match>
std::optional<HostAdapter> FindAdapter(Match match) {
  std::vector<platform::IP_ADAPTER_INFO> adapters = Adapters();
  if (adapters.empty()) return std::nullopt;
  const auto* begin = reinterpret_cast<const BYTE*>(adapters.data());
  const auto* end = begin + adapters.size() * sizeof(platform::IP_ADAPTER_INFO);
  // Follow the chain, but only through records that lie inside the buffer.
  const platform::IP_ADAPTER_INFO* info = adapters.data();
  for (std::size_t hops = 0; info != nullptr && hops < adapters.size(); ++hops) {
    const auto* at = reinterpret_cast<const BYTE*>(info);
    if (at < begin || at + sizeof *info > end) break;
    if (info->AddressLength == 6) {
      HostAdapter adapter = ToHostAdapter(*info);
      if (match(adapter)) return adapter;
    }
    info = info->Next;
  }
  return std::nullopt;
}

// The kernel's neighbour table. A file of the proc file system reports no
// size, so it is read until it ends (bounded: a neighbour table is small).
std::vector<Neighbour> LinuxNeighbours() {
  std::ifstream file("/proc/net/arp");
  std::string text;
  char chunk[4096];
  while (file.read(chunk, sizeof chunk) || file.gcount() > 0) {
    text.append(chunk, static_cast<std::size_t>(file.gcount()));
    if (text.size() > (std::size_t{16} << 20)) break;
  }
  return ParseNeighbourText(text);
}

}  // namespace

std::optional<HostAdapter> FindHostAdapter(const std::string& text) {
  DWORD host = 0;
  if (ParseIPAddress(text, &host, false)) {
    DWORD ip = platform::htonl(host);
    return FindAdapter([ip](const HostAdapter& a) { return a.ip == ip; });
  }
  BYTE mac[6];
  if (ParseMACAddress(text, mac)) {
    return FindAdapter([&mac](const HostAdapter& a) { return std::memcmp(a.mac.data(), mac, 6) == 0; });
  }
  return std::nullopt;
}

std::optional<HostAdapter> DefaultRouteAdapter() {
  ULONG size = 0;
  std::vector<BYTE> buffer;
  DWORD rc = platform::GetIpForwardTable(nullptr, &size, 1);
  if (rc != ERROR_INSUFFICIENT_BUFFER && rc != ERROR_SUCCESS) return std::nullopt;
  buffer.assign(size + sizeof(platform::MIB_IPFORWARDROW), 0);
  size = static_cast<ULONG>(buffer.size());
  auto* table = reinterpret_cast<platform::MIB_IPFORWARDTABLE*>(buffer.data());
  if (platform::GetIpForwardTable(table, &size, 1) != ERROR_SUCCESS) return std::nullopt;
  const DWORD rows = table->dwNumEntries;
  if (offsetof(platform::MIB_IPFORWARDTABLE, table) + std::size_t{rows} * sizeof(platform::MIB_IPFORWARDROW) >
      buffer.size()) {
    return std::nullopt;
  }
  const platform::MIB_IPFORWARDROW* best = nullptr;
  for (DWORD i = 0; i < rows; ++i) {
    const platform::MIB_IPFORWARDROW& row = table->table[i];
    if (row.dwForwardDest != 0 || row.dwForwardMask != 0) continue;
    if (best == nullptr || row.dwForwardMetric1 < best->dwForwardMetric1) best = &row;
  }
  if (best == nullptr) return std::nullopt;
  const DWORD index = best->dwForwardIfIndex;
  return FindAdapter([index](const HostAdapter& a) { return a.index == index; });
}

std::optional<Mac> LookupMac(DWORD ip) {
  if (auto own = FindAdapter([ip](const HostAdapter& a) { return a.ip == ip && ip != 0; })) return own->mac;
  if (platform::CurrentMachineKind() == platform::MachineKind::kSim) {
    if (auto host = platform::sim::CurrentHost()) {
      for (const platform::sim::PeerModel& peer : host->model().peers) {
        if (peer.ip == ip && peer.answersArp) return peer.mac;
      }
    }
    return std::nullopt;
  }
  for (const Neighbour& entry : LinuxNeighbours()) {
    if (entry.ip == ip) return entry.mac;
  }
  return std::nullopt;
}

std::optional<DWORD> LookupIp(const Mac& mac) {
  if (auto own = FindAdapter([&mac](const HostAdapter& a) { return a.mac == mac && a.ip != 0; })) return own->ip;
  if (platform::CurrentMachineKind() == platform::MachineKind::kSim) {
    if (auto host = platform::sim::CurrentHost()) {
      for (const platform::sim::PeerModel& peer : host->model().peers) {
        if (peer.mac == mac) return peer.ip;
      }
    }
    return std::nullopt;
  }
  for (const Neighbour& entry : LinuxNeighbours()) {
    if (entry.mac == mac) return entry.ip;
  }
  return std::nullopt;
}

Mac GuestMacFor(DWORD ip) {
  const auto* bytes = reinterpret_cast<const BYTE*>(&ip);  // network order in memory
  return Mac{0x02, 0x00, bytes[0], bytes[1], bytes[2], bytes[3]};
}

}  // namespace vifnet
