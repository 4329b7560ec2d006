// The snapshot of the host's network set-up taken before anything is tested:
// the network parameters, the route and address tables, the adapter list of
// the packet-driver library, the default host adapter and its gateway.
// Everything here is filled on the window's thread while no monitor thread
// runs and only read afterwards.
#pragma once

#include <cstdint>
#include <string>

#include "mestrapack/mestrapack.h"
#include "platform/iphelper.h"
#include "platform/wintypes.h"

// The process-wide results. The three tables are gathered anew by every
// InitGlobals; the adapter list once per process. Null/empty: unknown.
struct DiscoveryResults {
  platform::FIXED_INFO* pFixedInfo = nullptr;
  platform::MIB_IPFORWARDTABLE* pIpForwardTable = nullptr;
  platform::MIB_IPADDRTABLE* pIpAddrTable = nullptr;
  ADAPTER_INFO_LIST_ENTRY* pAdaptersList = nullptr;
  std::string strDefaultIface;              // the library's default adapter, MAC text
  ADAPTER_INFO_LIST_ENTRY DefaultHostAdapter{};  // a copy; all zero when none matched
  bool bDefaultHostAdapter = false;
  std::string strDefaultAdapterIP;
};
const DiscoveryResults& Discovery();

// The default gateway as this program knows it. The environment report's
// network block sets it from the last default route and the ARP test of its
// next hop; defining a gateway by hand replaces it. It counts as known when
// its MAC is not all zero (an address that never answered keeps a zero MAC).
// Read and written on the window's thread only.
struct DefaultGatewayState {
  DWORD dwGatewayIP = 0;          // network order; 0: none
  std::string strDefaultGateway;  // dotted text; empty: none
  BYTE DefaultGatewayMAC[6] = {};
  std::string strDefaultGatewayMAC;  // FormatMACAddr of the MAC
  bool IsKnown() const;
};
DefaultGatewayState& DefaultGateway();

void InitGlobals();
bool InitMPAdaptersList();
// Frees every result (at exit, and for tests).
void FreeDiscoveryResults();

// The variable-size table fetch: one record to start with; then, for as long
// as the function answers 111 or 122 (a table may grow between two calls),
// another call with the size it asks for; at most kMaxTableFetchCalls calls.
// `call` is invoked as call(buffer, &size). Returns the function's last
// answer; on 0 *buffer holds the table (free() it), otherwise *buffer is null.
// The buffer is the header and whole rows (FIXED_INFO: no header, the record
// as the row).
constexpr int kMaxTableFetchCalls = 16;
template <typename Call>
DWORD FetchVariableTable(Call call, std::size_t headerSize, std::size_t rowSize, void** buffer);

// One ARP request to `destination` from `source` (0: any); true when exactly
// six bytes came back. `mac` (may be null) gets them, or zeros.
bool IsHostResponsive(DWORD destination, BYTE* mac, DWORD source);
// A non-empty text that inet_addr accepts; all ones only as "255.255.255.255".
bool IsValidIPv4Text(const std::string& text);
// The first address of the address table on interface `index`, as text;
// empty when unknown.
std::string GetIfIndexIPAddr(DWORD index);
// The subnet mask of the first listed adapter with this IPv4 address
// (network order); 0 when none.
DWORD GetAdapterNetMask(DWORD ipNetworkOrder);
// The listed adapter with this MAC address (6 bytes), or null.
const ADAPTER_INFO_LIST_ENTRY* FindAdapterByMAC(const BYTE mac[6]);
// The listed adapter with this IPv4 address (network order), or null.
const ADAPTER_INFO_LIST_ENTRY* FindAdapterByIP(DWORD ipNetworkOrder);
const char* GetMediumName(DWORD medium);

// ---------------------------------------------------------------------------

#include <cstdlib>
#include <cstring>

template <typename Call>
DWORD FetchVariableTable(Call call, std::size_t headerSize, std::size_t rowSize, void** buffer) {
  std::size_t allocated = headerSize + rowSize;
  void* data = std::calloc(1, allocated);
  ULONG size = static_cast<ULONG>(allocated);
  DWORD rc = data != nullptr ? call(data, &size) : ERROR_NOT_ENOUGH_MEMORY;
  // A table that keeps growing, or a function that keeps asking, ends the
  // loop after the bound with its last answer: the result is then unknown.
  for (int calls = 1; calls < kMaxTableFetchCalls && (rc == ERROR_BUFFER_OVERFLOW || rc == ERROR_INSUFFICIENT_BUFFER);
       ++calls) {
    std::free(data);
    // Whole rows behind the header, never less than the one-row start.
    std::size_t rows = size > headerSize ? (size - headerSize + rowSize - 1) / rowSize : 1;
    allocated = headerSize + rows * rowSize;
    data = std::calloc(1, allocated);
    size = static_cast<ULONG>(allocated);
    rc = data != nullptr ? call(data, &size) : ERROR_NOT_ENOUGH_MEMORY;
  }
  if (rc != 0) {
    std::free(data);
    data = nullptr;
  }
  *buffer = data;
  return rc;
}
