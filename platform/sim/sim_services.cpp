// The simulated host's IP helper, names, registry values and forward table,
// all answered from its model.
#include <strings.h>

#include <cstdio>
#include <cstring>

#include "sim/sim_internal.h"

namespace platform::sim {
namespace {

DWORD Addr(BYTE a, BYTE b, BYTE c, BYTE d) {
  BYTE raw[4] = {a, b, c, d};
  DWORD v;
  std::memcpy(&v, raw, 4);
  return v;
}

const DWORD kLoopback = Addr(127, 0, 0, 1);
constexpr DWORD kLoopbackIndex = 1;
constexpr DWORD kOnLinkMetric = 281;
constexpr DWORD kDefaultMetric = 25;
constexpr DWORD kDirect = 3, kIndirect = 4;
constexpr DWORD kProtoLocal = 2, kProtoNetMgmt = 3;

MIB_IPFORWARDROW Row(DWORD dest, DWORD mask, DWORD nextHop, DWORD index, DWORD type, DWORD proto, DWORD metric) {
  MIB_IPFORWARDROW r{};
  r.dwForwardDest = dest;
  r.dwForwardMask = mask;
  r.dwForwardNextHop = nextHop;
  r.dwForwardIfIndex = index;
  r.dwForwardType = type;
  r.dwForwardProto = proto;
  r.dwForwardMetric1 = metric;
  r.dwForwardMetric2 = r.dwForwardMetric3 = r.dwForwardMetric4 = r.dwForwardMetric5 = 0xFFFFFFFF;
  return r;
}

class SimIpHelper final : public IpHelperBackend {
 public:
  explicit SimIpHelper(HostImpl* host) : host_(host) {}

  DWORD NetworkParams(NetworkParamsModel* params) override {
    const HostModel& m = host_->model();
    *params = NetworkParamsModel{};
    params->hostName = m.hostName;
    params->domainName = m.domainName;
    params->dnsServers = m.dnsServers;
    params->nodeType = m.nodeType;
    params->enableRouting = m.ipRouting;
    return ERROR_SUCCESS;
  }

  DWORD ForwardTable(std::vector<MIB_IPFORWARDROW>* rows) override {
    *rows = ForwardRows(host_->model());
    // The routes of a removed adapter went with it.
    for (std::size_t i = 0; i < host_->model().adapters.size(); ++i) {
      if (!host_->Removed(i)) continue;
      const DWORD index = host_->model().adapters[i].index;
      std::erase_if(*rows, [index](const MIB_IPFORWARDROW& row) { return row.dwForwardIfIndex == index; });
    }
    return ERROR_SUCCESS;
  }

  DWORD AddrTable(std::vector<MIB_IPADDRROW>* rows) override {
    rows->clear();
    rows->push_back(MIB_IPADDRROW{kLoopback, kLoopbackIndex, Addr(255, 0, 0, 0), 1, 65535, 0, 1});
    for (std::size_t i = 0; i < host_->model().adapters.size(); ++i) {
      const SimAdapterModel& a = host_->model().adapters[i];
      if (!a.ip || host_->Removed(i)) continue;
      WORD type = 0x0001;               // primary
      if (a.dhcp) type |= 0x0004;       // dynamic
      if (!host_->Plugged(i)) type |= 0x0008;  // disconnected
      rows->push_back(MIB_IPADDRROW{*a.ip, a.index, a.mask, 1, 65535, 0, type});
    }
    return ERROR_SUCCESS;
  }

  DWORD Adapters(std::vector<AdapterModel>* adapters) override {
    adapters->clear();
    for (std::size_t i = 0; i < host_->model().adapters.size(); ++i) {
      const SimAdapterModel& a = host_->model().adapters[i];
      if (host_->Removed(i)) continue;
      AdapterModel m;
      m.name = a.name;
      m.description = a.description;
      m.address.assign(a.mac.begin(), a.mac.end());
      m.index = a.index;
      m.type = a.ifType;
      m.dhcpEnabled = a.dhcp;
      if (a.ip) m.ipAddresses.push_back({*a.ip, a.mask});
      m.gateways = a.gateways;
      m.dhcpServer = a.dhcpServer;
      adapters->push_back(std::move(m));
    }
    return ERROR_SUCCESS;
  }

  DWORD SendArp(DWORD destination, DWORD source, BYTE mac[6]) override {
    return host_->SendArp(destination, source, mac);
  }

 private:
  HostImpl* host_;
};

class SimNames final : public NameResolver {
 public:
  explicit SimNames(const HostModel& model) : model_(model) {}

  DWORD Resolve(const std::string& name, DWORD* address) override {
    if (name.empty()) return WSAHOST_NOT_FOUND;
    unsigned a, b, c, d;
    char tail;
    if (std::sscanf(name.c_str(), "%3u.%3u.%3u.%3u%c", &a, &b, &c, &d, &tail) == 4 && a < 256 && b < 256 &&
        c < 256 && d < 256) {
      *address = Addr(static_cast<BYTE>(a), static_cast<BYTE>(b), static_cast<BYTE>(c), static_cast<BYTE>(d));
      return ERROR_SUCCESS;
    }
    for (const NameModel& n : model_.names) {
      if (strcasecmp(n.name.c_str(), name.c_str()) == 0) {
        *address = n.ip;
        return ERROR_SUCCESS;
      }
    }
    if (strcasecmp(name.c_str(), "localhost") == 0) {
      *address = kLoopback;
      return ERROR_SUCCESS;
    }
    if (strcasecmp(name.c_str(), model_.hostName.c_str()) == 0) {
      for (const SimAdapterModel& ad : model_.adapters) {
        if (ad.ip) {
          *address = *ad.ip;
          return ERROR_SUCCESS;
        }
      }
      *address = kLoopback;
      return ERROR_SUCCESS;
    }
    return WSAHOST_NOT_FOUND;
  }

 private:
  const HostModel& model_;
};

}  // namespace

std::vector<MIB_IPFORWARDROW> ForwardRows(const HostModel& m) {
  std::vector<MIB_IPFORWARDROW> rows;
  if (m.autoRoutes) {
    const DWORD all = 0xFFFFFFFF;
    rows.push_back(Row(Addr(127, 0, 0, 0), Addr(255, 0, 0, 0), kLoopback, kLoopbackIndex, kDirect, kProtoLocal, 331));
    rows.push_back(Row(kLoopback, all, kLoopback, kLoopbackIndex, kDirect, kProtoLocal, 331));
    rows.push_back(Row(Addr(127, 255, 255, 255), all, kLoopback, kLoopbackIndex, kDirect, kProtoLocal, 331));
    for (const SimAdapterModel& a : m.adapters) {
      if (!a.ip) continue;
      DWORD ip = *a.ip;
      for (DWORD gw : a.gateways)
        rows.push_back(Row(0, 0, gw, a.index, kIndirect, kProtoNetMgmt, kDefaultMetric));
      rows.push_back(Row(ip & a.mask, a.mask, ip, a.index, kDirect, kProtoLocal, kOnLinkMetric));
      rows.push_back(Row(ip, all, ip, a.index, kDirect, kProtoLocal, kOnLinkMetric));
      if (a.mask != all) rows.push_back(Row(ip | ~a.mask, all, ip, a.index, kDirect, kProtoLocal, kOnLinkMetric));
      rows.push_back(Row(Addr(224, 0, 0, 0), Addr(240, 0, 0, 0), ip, a.index, kDirect, kProtoLocal, kOnLinkMetric));
      rows.push_back(Row(all, all, ip, a.index, kDirect, kProtoLocal, kOnLinkMetric));
    }
  }
  for (const RouteModel& r : m.routes) {
    const SimAdapterModel* a = m.FindAdapter(r.adapter);
    DWORD index = a ? a->index : 0;
    bool direct = a && a->ip && *a->ip == r.nextHop;
    rows.push_back(Row(r.dest, r.mask, r.nextHop, index, direct ? kDirect : kIndirect, kProtoNetMgmt, r.metric));
  }
  return rows;
}

void BuildRegistry(const HostModel& m, RegistryTree* tree) {
  const std::string version = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
  tree->AddKey(version);
  if (!m.editionId.empty()) tree->SetString(version, "EditionID", m.editionId);
  if (!m.displayVersion.empty()) tree->SetString(version, "DisplayVersion", m.displayVersion);
  if (!m.facts.osNames[0].empty()) tree->SetString(version, "ProductName", m.facts.osNames[0]);
  tree->SetString(version, "CurrentBuild", std::to_string(m.facts.version.build));

  const std::string netClass = "{4D36E972-E325-11CE-BFC1-08002BE10318}";
  const std::string classKey = "SYSTEM\\CurrentControlSet\\Control\\Class\\" + netClass;
  tree->AddKey(classKey);
  for (std::size_t i = 0; i < m.adapters.size(); ++i) {
    const SimAdapterModel& a = m.adapters[i];
    char sub[24];
    std::snprintf(sub, sizeof sub, "%04zu", i);
    std::string key = classKey + "\\" + sub;
    tree->SetString(key, "NetCfgInstanceId", a.name);
    tree->SetString(key, "DriverDesc", a.description);
    const std::pair<const char*, const std::optional<std::string>*> lso[] = {
        {"*LsoV1IPv4", &a.lsoV1Ipv4}, {"*LsoV1IPv6", &a.lsoV1Ipv6},
        {"*LsoV2IPv4", &a.lsoV2Ipv4}, {"*LsoV2IPv6", &a.lsoV2Ipv6}};
    for (const auto& [name, value] : lso) {
      if (*value) tree->SetString(key, name, **value);
    }
    std::string connection =
        "SYSTEM\\CurrentControlSet\\Control\\Network\\" + netClass + "\\" + a.name + "\\Connection";
    tree->SetString(connection, "Name", a.connectionName);
    tree->SetString(connection, "PnpInstanceID", a.pnpInstanceId);
    tree->SetString("SYSTEM\\CurrentControlSet\\Enum\\" + a.pnpInstanceId, "DeviceDesc", a.description);
  }
}

std::unique_ptr<IpHelperBackend> MakeIpHelper(HostImpl* host) { return std::make_unique<SimIpHelper>(host); }
std::unique_ptr<NameResolver> MakeNameResolver(const HostModel& model) { return std::make_unique<SimNames>(model); }

}  // namespace platform::sim
