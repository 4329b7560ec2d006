// The IP helper calls: the machine's models laid out in the caller's buffer as
// the records the callers walk, with the two-call size protocol. Chained
// records (further DNS servers, addresses, gateways) follow the main records
// in the same buffer, so the caller frees one block.
#include "platform/iphelper.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "platform/machine.h"

namespace platform {
namespace {

static_assert(offsetof(FIXED_INFO, HostName) == 0);
static_assert(offsetof(FIXED_INFO, DomainName) == 132);
static_assert(offsetof(FIXED_INFO, CurrentDnsServer) == 264);
static_assert(offsetof(FIXED_INFO, DnsServerList) == 272);
static_assert(offsetof(FIXED_INFO, NodeType) == 320);
static_assert(offsetof(IP_ADAPTER_INFO, AdapterName) == 12);
static_assert(offsetof(IP_ADAPTER_INFO, Address) == 408);
static_assert(offsetof(IP_ADAPTER_INFO, IpAddressList) == 440);

// Results other than success also go to the last error, where callers that
// report a failed call look for them.
DWORD Result(DWORD code) {
  if (code != ERROR_SUCCESS) SetErrors(code, ErrnoForLastError(code));
  return code;
}

DWORD HostOrder(DWORD networkOrder) {
  if constexpr (std::endian::native == std::endian::little) return __builtin_bswap32(networkOrder);
  return networkOrder;
}

template <std::size_t N>
void CopyText(char (&to)[N], const std::string& text) {
  std::size_t length = std::min(text.size(), N - 1);
  std::memcpy(to, text.data(), length);
  to[length] = '\0';
}

// "a.b.c.d" by hand: MestraPack fills every adapter's record with four of
// them for each adapter it opens.
void Dotted(IP_ADDRESS_STRING* to, DWORD networkOrder) {
  BYTE b[4];
  std::memcpy(b, &networkOrder, sizeof b);
  char* out = to->String;
  for (int i = 0; i < 4; ++i) {
    if (i != 0) *out++ = '.';
    const unsigned value = b[i];
    if (value >= 100) *out++ = static_cast<char>('0' + value / 100);
    if (value >= 10) *out++ = static_cast<char>('0' + value / 10 % 10);
    *out++ = static_cast<char>('0' + value % 10);
  }
  *out = '\0';
  static_assert(sizeof to->String >= sizeof "255.255.255.255");
}

void FillAddress(IP_ADDR_STRING* entry, DWORD address, DWORD mask) {
  entry->Next = nullptr;
  Dotted(&entry->IpAddress, address);
  Dotted(&entry->IpMask, mask);
  entry->Context = 0;
}

bool Aligned(const void* buffer, std::size_t alignment) {
  return reinterpret_cast<std::uintptr_t>(buffer) % alignment == 0;
}

// Hands out the chained records that follow the main ones in the buffer.
class ExtraRecords {
 public:
  explicit ExtraRecords(void* start) : next_(static_cast<IP_ADDR_STRING*>(start)) {}
  IP_ADDR_STRING* Take() {
    IP_ADDR_STRING* taken = next_++;
    std::memset(taken, 0, sizeof *taken);
    return taken;
  }

 private:
  IP_ADDR_STRING* next_;
};

// The first address in `head`, further ones chained behind it.
template <typename Items, typename Fill>
void FillList(IP_ADDR_STRING* head, const Items& items, ExtraRecords* extra, Fill fill) {
  IP_ADDR_STRING* last = nullptr;
  for (const auto& item : items) {
    IP_ADDR_STRING* entry = last ? extra->Take() : head;
    fill(entry, item);
    if (last) last->Next = entry;
    last = entry;
  }
}

template <typename Table, typename Row>
DWORD FillTable(Table* table, ULONG* size, std::vector<Row> rows) {
  std::size_t needed = offsetof(Table, table) + rows.size() * sizeof(Row);
  if (needed > 0xFFFFFFFFu) return Result(ERROR_NOT_ENOUGH_MEMORY);
  if (!table || *size < needed) {
    *size = static_cast<ULONG>(needed);
    return Result(ERROR_INSUFFICIENT_BUFFER);
  }
  if (!Aligned(table, alignof(Table))) return Result(ERROR_INVALID_PARAMETER);
  table->dwNumEntries = static_cast<DWORD>(rows.size());
  if (!rows.empty()) std::memcpy(reinterpret_cast<BYTE*>(table) + offsetof(Table, table), rows.data(),
                                 rows.size() * sizeof(Row));
  return ERROR_SUCCESS;
}

}  // namespace

DWORD GetNetworkParams(FIXED_INFO* info, ULONG* size) {
  if (!size) return Result(ERROR_INVALID_PARAMETER);
  NetworkParamsModel model;
  if (DWORD code = TheMachine().IpHelper().NetworkParams(&model); code != ERROR_SUCCESS) return Result(code);

  std::size_t further = model.dnsServers.empty() ? 0 : model.dnsServers.size() - 1;
  std::size_t needed = sizeof(FIXED_INFO) + further * sizeof(IP_ADDR_STRING);
  if (!info || *size < needed) {
    *size = static_cast<ULONG>(needed);
    return Result(ERROR_BUFFER_OVERFLOW);
  }
  if (!Aligned(info, alignof(FIXED_INFO))) return Result(ERROR_INVALID_PARAMETER);
  std::memset(info, 0, needed);
  CopyText(info->HostName, model.hostName);
  CopyText(info->DomainName, model.domainName);
  ExtraRecords extra(info + 1);
  FillList(&info->DnsServerList, model.dnsServers, &extra, [](IP_ADDR_STRING* entry, DWORD server) {
    entry->Next = nullptr;
    Dotted(&entry->IpAddress, server);
  });
  info->CurrentDnsServer = nullptr;
  info->NodeType = model.nodeType;
  CopyText(info->ScopeId, model.scopeId);
  info->EnableRouting = model.enableRouting ? 1 : 0;
  info->EnableProxy = model.enableProxy ? 1 : 0;
  info->EnableDns = model.enableDns ? 1 : 0;
  return ERROR_SUCCESS;
}

DWORD GetIpForwardTable(MIB_IPFORWARDTABLE* table, ULONG* size, BOOL order) {
  if (!size) return Result(ERROR_INVALID_PARAMETER);
  std::vector<MIB_IPFORWARDROW> rows;
  if (DWORD code = TheMachine().IpHelper().ForwardTable(&rows); code != ERROR_SUCCESS) return Result(code);
  if (rows.empty()) return Result(ERROR_NO_DATA);
  if (order) {
    auto key = [](const MIB_IPFORWARDROW& row) {
      return std::make_tuple(HostOrder(row.dwForwardDest), HostOrder(row.dwForwardMask), row.dwForwardPolicy,
                             HostOrder(row.dwForwardNextHop));
    };
    std::stable_sort(rows.begin(), rows.end(), [&](const auto& a, const auto& b) { return key(a) < key(b); });
  }
  return FillTable(table, size, std::move(rows));
}

DWORD GetIpAddrTable(MIB_IPADDRTABLE* table, ULONG* size, BOOL order) {
  if (!size) return Result(ERROR_INVALID_PARAMETER);
  std::vector<MIB_IPADDRROW> rows;
  if (DWORD code = TheMachine().IpHelper().AddrTable(&rows); code != ERROR_SUCCESS) return Result(code);
  if (order) {
    std::stable_sort(rows.begin(), rows.end(),
                     [](const auto& a, const auto& b) { return HostOrder(a.dwAddr) < HostOrder(b.dwAddr); });
  }
  return FillTable(table, size, std::move(rows));
}

DWORD GetAdaptersInfo(IP_ADAPTER_INFO* info, ULONG* size) {
  if (!size) return Result(ERROR_INVALID_PARAMETER);
  std::vector<AdapterModel> adapters;
  if (DWORD code = TheMachine().IpHelper().Adapters(&adapters); code != ERROR_SUCCESS) return Result(code);
  if (adapters.empty()) return Result(ERROR_NO_DATA);

  std::size_t further = 0;
  for (const AdapterModel& adapter : adapters) {
    if (adapter.ipAddresses.size() > 1) further += adapter.ipAddresses.size() - 1;
    if (adapter.gateways.size() > 1) further += adapter.gateways.size() - 1;
  }
  std::size_t needed = adapters.size() * sizeof(IP_ADAPTER_INFO) + further * sizeof(IP_ADDR_STRING);
  if (needed > 0xFFFFFFFFu) return Result(ERROR_NOT_ENOUGH_MEMORY);
  if (!info || *size < needed) {
    *size = static_cast<ULONG>(needed);
    return Result(ERROR_BUFFER_OVERFLOW);
  }
  if (!Aligned(info, alignof(IP_ADAPTER_INFO))) return Result(ERROR_INVALID_PARAMETER);
  std::memset(info, 0, needed);

  ExtraRecords extra(info + adapters.size());
  static const std::vector<AdapterModel::IpAndMask> kNoAddress{{0, 0}};
  static const std::vector<DWORD> kNoGateway{0};
  for (std::size_t i = 0; i < adapters.size(); ++i) {
    const AdapterModel& adapter = adapters[i];
    IP_ADAPTER_INFO* record = &info[i];
    record->Next = i + 1 < adapters.size() ? &info[i + 1] : nullptr;
    record->ComboIndex = adapter.index;
    CopyText(record->AdapterName, adapter.name);
    CopyText(record->Description, adapter.description);
    record->AddressLength = static_cast<UINT>(std::min(adapter.address.size(), MAX_ADAPTER_ADDRESS_LENGTH));
    std::copy_n(adapter.address.begin(), record->AddressLength, record->Address);
    record->Index = adapter.index;
    record->Type = adapter.type;
    record->DhcpEnabled = adapter.dhcpEnabled ? 1 : 0;
    record->CurrentIpAddress = nullptr;
    FillList(&record->IpAddressList, adapter.ipAddresses.empty() ? kNoAddress : adapter.ipAddresses, &extra,
             [](IP_ADDR_STRING* entry, const AdapterModel::IpAndMask& ip) { FillAddress(entry, ip.address, ip.mask); });
    FillList(&record->GatewayList, adapter.gateways.empty() ? kNoGateway : adapter.gateways, &extra,
             [](IP_ADDR_STRING* entry, DWORD gateway) { FillAddress(entry, gateway, gateway ? 0xFFFFFFFF : 0); });
    FillAddress(&record->DhcpServer, adapter.dhcpServer, adapter.dhcpServer ? 0xFFFFFFFF : 0);
    record->HaveWins = 0;
    FillAddress(&record->PrimaryWinsServer, 0, 0);
    FillAddress(&record->SecondaryWinsServer, 0, 0);
  }
  return ERROR_SUCCESS;
}

DWORD SendARP(DWORD destination, DWORD source, void* macAddress, ULONG* macLength) {
  if (!macAddress || !macLength) return Result(ERROR_INVALID_PARAMETER);
  if (*macLength < 6) return Result(ERROR_BUFFER_OVERFLOW);
  BYTE mac[6] = {};
  if (DWORD code = TheMachine().IpHelper().SendArp(destination, source, mac); code != ERROR_SUCCESS) {
    return Result(code);
  }
  std::memcpy(macAddress, mac, sizeof mac);
  *macLength = sizeof mac;
  return ERROR_SUCCESS;
}

}  // namespace platform
