// The IP helper: network parameters, the IPv4 forward and address tables, the
// adapters' IP information and the ARP test. The records keep the layouts the
// callers walk; every call that fills a caller's buffer follows the size
// protocol: a buffer that is missing or too small gives ERROR_BUFFER_OVERFLOW
// (adapters, parameters) or ERROR_INSUFFICIENT_BUFFER (tables) and sets
// *size to the bytes needed; a second call with that size succeeds.
// Addresses are in network byte order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/winerror.h"
#include "platform/wintypes.h"

namespace platform {

constexpr std::size_t MAX_HOSTNAME_LEN = 128;
constexpr std::size_t MAX_DOMAIN_NAME_LEN = 128;
constexpr std::size_t MAX_SCOPE_ID_LEN = 256;
constexpr std::size_t MAX_ADAPTER_NAME_LENGTH = 256;
constexpr std::size_t MAX_ADAPTER_DESCRIPTION_LENGTH = 128;
constexpr std::size_t MAX_ADAPTER_ADDRESS_LENGTH = 8;

struct IP_ADDRESS_STRING {
  char String[16];  // dotted text
};

struct IP_ADDR_STRING {
  IP_ADDR_STRING* Next;  // into the same buffer, or null
  IP_ADDRESS_STRING IpAddress;
  IP_ADDRESS_STRING IpMask;
  DWORD Context;
};
static_assert(sizeof(IP_ADDR_STRING) == 48);

constexpr UINT BROADCAST_NODETYPE = 1;
constexpr UINT PEER_TO_PEER_NODETYPE = 2;
constexpr UINT MIXED_NODETYPE = 4;
constexpr UINT HYBRID_NODETYPE = 8;

struct FIXED_INFO {
  char HostName[MAX_HOSTNAME_LEN + 4];
  char DomainName[MAX_DOMAIN_NAME_LEN + 4];
  IP_ADDR_STRING* CurrentDnsServer;
  IP_ADDR_STRING DnsServerList;  // further servers chained behind, in the same buffer
  UINT NodeType;
  char ScopeId[MAX_SCOPE_ID_LEN + 4];
  UINT EnableRouting;
  UINT EnableProxy;
  UINT EnableDns;
};
static_assert(sizeof(FIXED_INFO) == 600);

struct MIB_IPFORWARDROW {
  DWORD dwForwardDest;
  DWORD dwForwardMask;
  DWORD dwForwardPolicy;
  DWORD dwForwardNextHop;
  DWORD dwForwardIfIndex;
  DWORD dwForwardType;  // 3 direct, 4 indirect
  DWORD dwForwardProto;
  DWORD dwForwardAge;
  DWORD dwForwardNextHopAS;
  DWORD dwForwardMetric1;
  DWORD dwForwardMetric2;
  DWORD dwForwardMetric3;
  DWORD dwForwardMetric4;
  DWORD dwForwardMetric5;
};
static_assert(sizeof(MIB_IPFORWARDROW) == 56);

struct MIB_IPFORWARDTABLE {
  DWORD dwNumEntries;
  MIB_IPFORWARDROW table[1];  // dwNumEntries rows
};
static_assert(offsetof(MIB_IPFORWARDTABLE, table) == 4);

struct MIB_IPADDRROW {
  DWORD dwAddr;
  DWORD dwIndex;
  DWORD dwMask;
  DWORD dwBCastAddr;
  DWORD dwReasmSize;
  WORD unused1;
  WORD wType;
};
static_assert(sizeof(MIB_IPADDRROW) == 24);

struct MIB_IPADDRTABLE {
  DWORD dwNumEntries;
  MIB_IPADDRROW table[1];
};
static_assert(offsetof(MIB_IPADDRTABLE, table) == 4);

constexpr UINT MIB_IF_TYPE_ETHERNET = 6;

struct IP_ADAPTER_INFO {
  IP_ADAPTER_INFO* Next;
  DWORD ComboIndex;
  char AdapterName[MAX_ADAPTER_NAME_LENGTH + 4];  // the interface name (the GUID name's role)
  char Description[MAX_ADAPTER_DESCRIPTION_LENGTH + 4];
  UINT AddressLength;
  BYTE Address[MAX_ADAPTER_ADDRESS_LENGTH];
  DWORD Index;
  UINT Type;
  UINT DhcpEnabled;
  IP_ADDR_STRING* CurrentIpAddress;
  IP_ADDR_STRING IpAddressList;  // "0.0.0.0" when the adapter has none
  IP_ADDR_STRING GatewayList;    // "0.0.0.0" when none
  IP_ADDR_STRING DhcpServer;
  BOOL HaveWins;
  IP_ADDR_STRING PrimaryWinsServer;
  IP_ADDR_STRING SecondaryWinsServer;
  std::int64_t LeaseObtained;
  std::int64_t LeaseExpires;
};
static_assert(sizeof(IP_ADAPTER_INFO) == 704);

DWORD GetNetworkParams(FIXED_INFO* info, ULONG* size);
DWORD GetIpForwardTable(MIB_IPFORWARDTABLE* table, ULONG* size, BOOL order);
DWORD GetIpAddrTable(MIB_IPADDRTABLE* table, ULONG* size, BOOL order);
DWORD GetAdaptersInfo(IP_ADAPTER_INFO* info, ULONG* size);
// One ARP request for `destination` (source 0: any). On an answer fills
// `macAddress` (at least *macLength bytes, 6 used) and sets *macLength to 6.
// Fails with ERROR_GEN_FAILURE or
// ERROR_NETWORK_UNREACHABLE when nothing answered within a bounded wait.
DWORD SendARP(DWORD destination, DWORD source, void* macAddress, ULONG* macLength);

}  // namespace platform
