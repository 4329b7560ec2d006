// Network environment discovery (see discovery.h).
#include "shell/discovery.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>

#include "engine/engine_state.h"
#include "mestralib/address.h"
#include "mestralib/errors.h"
#include "mestralib/trace.h"
#include "platform/lasterror.h"
#include "shell/log.h"
#include "vifnet.h"

namespace {

constexpr std::size_t kEntrySize = sizeof(ADAPTER_INFO_LIST_ENTRY);

// The process owns what discovery gathered until it ends.
struct OwnedResults : DiscoveryResults {
  ~OwnedResults() { FreeDiscoveryResults(); }
};

DiscoveryResults& Results() {
  static OwnedResults results;
  return results;
}

void FreeTables() {
  DiscoveryResults& r = Results();
  std::free(r.pFixedInfo);
  std::free(r.pIpForwardTable);
  std::free(r.pIpAddrTable);
  r.pFixedInfo = nullptr;
  r.pIpForwardTable = nullptr;
  r.pIpAddrTable = nullptr;
}

void TraceFailure(const char* what, DWORD rc) {
  MestraLibAfxTrace("** InitGlobals: %s() failed; rc=%d, %s\n", what, static_cast<int>(rc),
                    FormatLastError(rc).c_str());
}

}  // namespace

const DiscoveryResults& Discovery() { return Results(); }

DefaultGatewayState& DefaultGateway() {
  static DefaultGatewayState gateway;
  return gateway;
}

bool DefaultGatewayState::IsKnown() const {
  static constexpr BYTE kZero[6] = {};
  return std::memcmp(DefaultGatewayMAC, kZero, sizeof kZero) != 0;
}

void FreeDiscoveryResults() {
  FreeTables();
  DiscoveryResults& r = Results();
  delete[] reinterpret_cast<std::byte*>(r.pAdaptersList);
  r.pAdaptersList = nullptr;
  r.strDefaultIface.clear();
  r.DefaultHostAdapter = ADAPTER_INFO_LIST_ENTRY{};
  r.bDefaultHostAdapter = false;
  r.strDefaultAdapterIP.clear();
}

bool InitMPAdaptersList() {
  DiscoveryResults& r = Results();
  if (r.pAdaptersList != nullptr) return true;

  uint32_t size = 0;
  const MESTRAPACK_BOOL firstCall = MestraPackGetAdaptersList(nullptr, &size);
  if (firstCall || size == 0) {
    const DWORD rc = ::GetLastError();
    MestraLibAfxTrace("** InitMPAdaptersList: MestraPackGetAdaptersList(NULL,0) %s; rc=%d: %s\n",
                      size != 0 ? "succeeded?!" : "failed!", static_cast<int>(rc), FormatLastError(rc).c_str());
    if (rc == ERROR_FILE_NOT_FOUND) MestraLibAfxTrace("** InitMPAdaptersList: (MWPCUtil was likely not found)\n");
    return false;
  }

  const std::size_t entries = (size + kEntrySize - 1) / kEntrySize;
  std::byte* buffer = new (std::nothrow) std::byte[entries * kEntrySize];
  if (buffer == nullptr) {
    MestraLibAfxTrace("** InitMPAdaptersList: new ADAPTER_INFO_LIST_ENTRY [%d] failed; rc=%d: %s\n",
                      static_cast<int>(entries), 8, FormatLastError(8).c_str());
    return false;
  }
  std::memset(buffer, 0, entries * kEntrySize);
  auto* list = reinterpret_cast<ADAPTER_INFO_LIST_ENTRY*>(buffer);
  uint32_t bufferSize = static_cast<uint32_t>(entries * kEntrySize);
  if (!MestraPackGetAdaptersList(list, &bufferSize)) {
    const DWORD rc = ::GetLastError();
    delete[] buffer;
    MestraLibAfxTrace("** InitMPAdaptersList: MestraPackGetAdaptersList(!NULL,!0) failed; rc=%d: %s\n",
                      static_cast<int>(rc), FormatLastError(rc).c_str());
    return false;
  }
  r.pAdaptersList = list;
  return true;
}

void InitGlobals() {
  DiscoveryResults& r = Results();
  AttachLogSink();
  // The hooks the engine asks the host's facts through.
  TheEngineGlobals().AdapterMaskOf = &GetAdapterNetMask;

  FreeTables();
  void* buffer = nullptr;
  DWORD rc = FetchVariableTable(
      [](void* b, ULONG* s) { return platform::GetNetworkParams(static_cast<platform::FIXED_INFO*>(b), s); }, 0,
      sizeof(platform::FIXED_INFO), &buffer);
  if (rc != 0) TraceFailure("GetNetworkParams", rc);
  r.pFixedInfo = static_cast<platform::FIXED_INFO*>(buffer);

  rc = FetchVariableTable(
      [](void* b, ULONG* s) {
        return platform::GetIpForwardTable(static_cast<platform::MIB_IPFORWARDTABLE*>(b), s, 1);
      },
      offsetof(platform::MIB_IPFORWARDTABLE, table), sizeof(platform::MIB_IPFORWARDROW), &buffer);
  if (rc != 0) TraceFailure("GetIpForwardTable", rc);
  r.pIpForwardTable = static_cast<platform::MIB_IPFORWARDTABLE*>(buffer);

  rc = FetchVariableTable(
      [](void* b, ULONG* s) { return platform::GetIpAddrTable(static_cast<platform::MIB_IPADDRTABLE*>(b), s, 1); },
      offsetof(platform::MIB_IPADDRTABLE, table), sizeof(platform::MIB_IPADDRROW), &buffer);
  if (rc != 0) TraceFailure("GetIpAddrTable", rc);
  r.pIpAddrTable = static_cast<platform::MIB_IPADDRTABLE*>(buffer);

  if (!InitMPAdaptersList()) MestraLibAfxTrace("** InitGlobals: InitMPAdaptersList() failed!\n");

  r.DefaultHostAdapter = ADAPTER_INFO_LIST_ENTRY{};
  r.bDefaultHostAdapter = false;
  r.strDefaultAdapterIP.clear();
  if (r.pAdaptersList != nullptr) {
    const char* text = vifnet32_get_default_iface();
    r.strDefaultIface = text != nullptr ? text : "";
    BYTE mac[6];
    if (ParseMACAddress(r.strDefaultIface, mac)) {
      if (const ADAPTER_INFO_LIST_ENTRY* entry = FindAdapterByMAC(mac)) {
        r.DefaultHostAdapter = *entry;
        r.DefaultHostAdapter.pNext = nullptr;  // the copy leads nowhere
        r.bDefaultHostAdapter = true;
        r.strDefaultAdapterIP = FormatIPAddr(entry->dwIPAddress);
      }
    }
  }
  if (!r.bDefaultHostAdapter) {
    MestraLibAfxTrace("** InitGlobals: WARNING: default host adapter undefined!\n");
    return;
  }
  if (r.DefaultHostAdapter.dwGateway != 0) {
    if (!IsHostResponsive(r.DefaultHostAdapter.dwGateway, nullptr, r.DefaultHostAdapter.dwIPAddress)) {
      MestraLibAfxTrace("** InitGlobals: WARNING: default adapter gateway unresponsive!\n");
    }
  } else {
    MestraLibAfxTrace("** InitGlobals: WARNING: default adapter gateway undefined!\n");
  }
}

bool IsHostResponsive(DWORD destination, BYTE* mac, DWORD source) {
  BYTE reply[8] = {};
  ULONG length = sizeof reply;
  const bool responsive = platform::SendARP(destination, source, reply, &length) == 0 && length == 6;
  if (mac != nullptr) {
    if (responsive) {
      std::memcpy(mac, reply, 6);
    } else {
      std::memset(mac, 0, 6);
    }
  }
  return responsive;
}

bool IsValidIPv4Text(const std::string& text) {
  DWORD address = 0;
  return !text.empty() && ParseIPAddress(text, &address, true);
}

std::string GetIfIndexIPAddr(DWORD index) {
  const platform::MIB_IPADDRTABLE* table = Results().pIpAddrTable;
  if (table == nullptr) return {};
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    if (table->table[i].dwIndex == index) return FormatIPAddr(table->table[i].dwAddr);
  }
  return {};
}

const ADAPTER_INFO_LIST_ENTRY* FindAdapterByMAC(const BYTE mac[6]) {
  for (const ADAPTER_INFO_LIST_ENTRY* e = Results().pAdaptersList; e != nullptr; e = e->pNext) {
    if (std::memcmp(e->bMACAddress, mac, 6) == 0) return e;
  }
  return nullptr;
}

const ADAPTER_INFO_LIST_ENTRY* FindAdapterByIP(DWORD ipNetworkOrder) {
  for (const ADAPTER_INFO_LIST_ENTRY* e = Results().pAdaptersList; e != nullptr; e = e->pNext) {
    if (e->dwIPAddress == ipNetworkOrder) return e;
  }
  return nullptr;
}

DWORD GetAdapterNetMask(DWORD ipNetworkOrder) {
  const ADAPTER_INFO_LIST_ENTRY* e = FindAdapterByIP(ipNetworkOrder);
  return e != nullptr ? e->dwIPMask : 0;
}

const char* GetMediumName(DWORD medium) {
  static const char* const kNames[] = {
      "NdisMedium802_3",     "NdisMedium802_5",   "NdisMediumFddi",       "NdisMediumWan",
      "NdisMediumLocalTalk", "NdisMediumDix",     "NdisMediumArcnetRaw",  "NdisMediumArcnet878_2",
      "NdisMediumAtm",       "NdisMediumWirelessWan", "NdisMediumIrda",   "NdisMediumBpc",
      "NdisMediumCoWan",     "NdisMedium1394",    "NdisMediumMax"};
  return medium < sizeof kNames / sizeof kNames[0] ? kNames[medium] : "NdisMediumUnknown";
}
