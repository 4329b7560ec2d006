// The IP helper calls against a fake machine: the two-call size protocol, the
// records laid out in one buffer, sorting, and the ARP test's checks.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fake_machine.h"
#include "platform/iphelper.h"
#include "platform/lasterror.h"

namespace machine_test {
namespace {

DWORD Ip(const char* dotted) { return inet_addr(dotted); }

MIB_IPFORWARDROW Route(const char* destination, const char* mask, const char* nextHop) {
  MIB_IPFORWARDROW row{};
  row.dwForwardDest = Ip(destination);
  row.dwForwardMask = Ip(mask);
  row.dwForwardNextHop = Ip(nextHop);
  row.dwForwardIfIndex = 2;
  return row;
}

TEST(IpHelper, ForwardTableNeedsSecondCallAndGetsExactlyHeaderPlusRows) {
  WithFakeMachine machine;
  machine->ipHelper.routes = {Route("203.0.113.0", "255.255.255.0", "0.0.0.0"),
                              Route("0.0.0.0", "0.0.0.0", "198.51.100.1"),
                              Route("198.51.100.0", "255.255.255.0", "0.0.0.0")};
  ULONG size = 0;
  EXPECT_EQ(GetIpForwardTable(nullptr, &size, 1), ERROR_INSUFFICIENT_BUFFER);
  const ULONG expected = offsetof(MIB_IPFORWARDTABLE, table) + 3 * sizeof(MIB_IPFORWARDROW);
  ASSERT_EQ(size, expected);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);

  // One byte short is still too small, and says so with the same size.
  std::vector<std::uint64_t> small((expected - 1 + 7) / 8);
  ULONG shortSize = expected - 1;
  EXPECT_EQ(GetIpForwardTable(reinterpret_cast<MIB_IPFORWARDTABLE*>(small.data()), &shortSize, 1),
            ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(shortSize, expected);

  std::vector<std::uint64_t> buffer((expected + 7) / 8);
  auto* table = reinterpret_cast<MIB_IPFORWARDTABLE*>(buffer.data());
  ASSERT_EQ(GetIpForwardTable(table, &size, 1), ERROR_SUCCESS);
  ASSERT_EQ(table->dwNumEntries, 3u);
  // Sorted by destination in host order: 0.0.0.0, 198.51.100.0, 203.0.113.0.
  EXPECT_EQ(table->table[0].dwForwardDest, Ip("0.0.0.0"));
  EXPECT_EQ(table->table[0].dwForwardNextHop, Ip("198.51.100.1"));
  EXPECT_EQ(table->table[1].dwForwardDest, Ip("198.51.100.0"));
  EXPECT_EQ(table->table[2].dwForwardDest, Ip("203.0.113.0"));
}

TEST(IpHelper, TablesSortInHostOrderOnlyWhenAsked) {
  WithFakeMachine machine;
  // In network order 10.0.0.2 (02 00 00 0a) compares below 9.0.0.1 as a raw
  // little-endian number; in host order it is above.
  machine->ipHelper.routes = {Route("10.0.0.0", "255.0.0.0", "0.0.0.0"), Route("9.0.0.0", "255.0.0.0", "0.0.0.0"),
                              Route("9.0.0.0", "255.255.0.0", "0.0.0.0")};
  MIB_IPADDRROW a{}, b{};
  a.dwAddr = Ip("10.0.0.2");
  b.dwAddr = Ip("9.0.0.1");
  machine->ipHelper.addresses = {a, b};

  std::vector<std::uint64_t> buffer(64);
  ULONG size = static_cast<ULONG>(buffer.size() * 8);
  auto* routes = reinterpret_cast<MIB_IPFORWARDTABLE*>(buffer.data());
  ASSERT_EQ(GetIpForwardTable(routes, &size, 1), ERROR_SUCCESS);
  EXPECT_EQ(routes->table[0].dwForwardMask, Ip("255.0.0.0"));
  EXPECT_EQ(routes->table[1].dwForwardMask, Ip("255.255.0.0"));
  EXPECT_EQ(routes->table[2].dwForwardDest, Ip("10.0.0.0"));

  auto* addresses = reinterpret_cast<MIB_IPADDRTABLE*>(buffer.data());
  size = static_cast<ULONG>(buffer.size() * 8);
  ASSERT_EQ(GetIpAddrTable(addresses, &size, 0), ERROR_SUCCESS);
  EXPECT_EQ(addresses->table[0].dwAddr, Ip("10.0.0.2"));  // as the machine gave them
  ASSERT_EQ(GetIpAddrTable(addresses, &size, 1), ERROR_SUCCESS);
  ASSERT_EQ(addresses->dwNumEntries, 2u);
  EXPECT_EQ(addresses->table[0].dwAddr, Ip("9.0.0.1"));
  EXPECT_EQ(addresses->table[1].dwAddr, Ip("10.0.0.2"));
}

TEST(IpHelper, NetworkParamsChainFurtherDnsServersInsideTheBuffer) {
  WithFakeMachine machine;
  machine->ipHelper.params.hostName = "guesthost";
  machine->ipHelper.params.domainName = "example.test";
  machine->ipHelper.params.dnsServers = {Ip("198.51.100.53"), Ip("203.0.113.53"), Ip("198.51.100.54")};
  machine->ipHelper.params.enableRouting = true;

  ULONG size = 0;
  ASSERT_EQ(GetNetworkParams(nullptr, &size), ERROR_BUFFER_OVERFLOW);
  ASSERT_EQ(size, sizeof(FIXED_INFO) + 2 * sizeof(IP_ADDR_STRING));
  std::vector<std::uint64_t> buffer((size + 7) / 8);
  auto* info = reinterpret_cast<FIXED_INFO*>(buffer.data());
  ASSERT_EQ(GetNetworkParams(info, &size), ERROR_SUCCESS);
  EXPECT_STREQ(info->HostName, "guesthost");
  EXPECT_STREQ(info->DomainName, "example.test");
  EXPECT_EQ(info->EnableRouting, 1u);
  std::vector<std::string> servers;
  auto* end = reinterpret_cast<unsigned char*>(info) + size;
  for (const IP_ADDR_STRING* server = &info->DnsServerList; server; server = server->Next) {
    auto* at = reinterpret_cast<const unsigned char*>(server);
    ASSERT_TRUE(at >= reinterpret_cast<unsigned char*>(info) && at + sizeof *server <= end);
    servers.push_back(server->IpAddress.String);
  }
  EXPECT_EQ(servers, (std::vector<std::string>{"198.51.100.53", "203.0.113.53", "198.51.100.54"}));
}

TEST(IpHelper, AdaptersInfoChainsRecordsAndFillsNoneAsZeros) {
  WithFakeMachine machine;
  AdapterModel first;
  first.name = "eth0";
  first.description = "first adapter";
  first.address = {0x02, 0x00, 0x5E, 0x80, 0x00, 0x04};
  first.index = 2;
  first.ipAddresses = {{Ip("198.51.100.7"), Ip("255.255.255.0")}, {Ip("198.51.100.8"), Ip("255.255.255.0")}};
  first.gateways = {Ip("198.51.100.1")};
  AdapterModel bare;
  bare.name = "eth1";
  bare.index = 3;
  machine->ipHelper.adapters = {first, bare};

  ULONG size = 0;
  ASSERT_EQ(GetAdaptersInfo(nullptr, &size), ERROR_BUFFER_OVERFLOW);
  ASSERT_EQ(size, 2 * sizeof(IP_ADAPTER_INFO) + sizeof(IP_ADDR_STRING));
  std::vector<std::uint64_t> buffer((size + 7) / 8);
  auto* info = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data());
  ASSERT_EQ(GetAdaptersInfo(info, &size), ERROR_SUCCESS);

  ASSERT_EQ(info->Next, info + 1);
  EXPECT_EQ(info[1].Next, nullptr);
  EXPECT_STREQ(info->AdapterName, "eth0");
  EXPECT_STREQ(info->Description, "first adapter");
  EXPECT_EQ(info->AddressLength, 6u);
  EXPECT_EQ(std::memcmp(info->Address, first.address.data(), 6), 0);
  EXPECT_EQ(info->Index, 2u);
  EXPECT_STREQ(info->IpAddressList.IpAddress.String, "198.51.100.7");
  EXPECT_STREQ(info->IpAddressList.IpMask.String, "255.255.255.0");
  ASSERT_NE(info->IpAddressList.Next, nullptr);
  EXPECT_EQ(reinterpret_cast<void*>(info->IpAddressList.Next), reinterpret_cast<void*>(info + 2));
  EXPECT_STREQ(info->IpAddressList.Next->IpAddress.String, "198.51.100.8");
  EXPECT_STREQ(info->GatewayList.IpAddress.String, "198.51.100.1");

  EXPECT_STREQ(info[1].IpAddressList.IpAddress.String, "0.0.0.0");
  EXPECT_STREQ(info[1].IpAddressList.IpMask.String, "0.0.0.0");
  EXPECT_EQ(info[1].IpAddressList.Next, nullptr);
  EXPECT_STREQ(info[1].GatewayList.IpAddress.String, "0.0.0.0");
}

TEST(IpHelper, RefusesMissingSizeAndPassesBackendErrorsOn) {
  WithFakeMachine machine;
  machine->ipHelper.routes = {Route("0.0.0.0", "0.0.0.0", "198.51.100.1")};
  EXPECT_EQ(GetNetworkParams(nullptr, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(GetIpForwardTable(nullptr, nullptr, 1), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(GetIpAddrTable(nullptr, nullptr, 1), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(GetAdaptersInfo(nullptr, nullptr), ERROR_INVALID_PARAMETER);

  ULONG size = 0;
  EXPECT_EQ(GetAdaptersInfo(nullptr, &size), ERROR_NO_DATA);  // no adapters at all

  machine->ipHelper.result = ERROR_NOT_SUPPORTED;
  size = 0;
  EXPECT_EQ(GetIpForwardTable(nullptr, &size, 0), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(size, 0u);
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
}

TEST(IpHelper, SendArpChecksTheCallersBufferAndReportsSixBytes) {
  WithFakeMachine machine;
  DWORD asked = 0;
  machine->ipHelper.arp = [&](DWORD destination, DWORD, BYTE* mac) {
    asked = destination;
    const BYTE answer[6] = {0x02, 0x00, 0x5E, 0x80, 0x00, 0x04};
    std::memcpy(mac, answer, 6);
    return destination == Ip("198.51.100.1") ? ERROR_SUCCESS : ERROR_GEN_FAILURE;
  };
  BYTE mac[8] = {};
  ULONG length = 5;
  EXPECT_EQ(SendARP(Ip("198.51.100.1"), 0, mac, &length), ERROR_BUFFER_OVERFLOW);
  EXPECT_EQ(asked, 0u);  // refused before anything was sent
  EXPECT_EQ(SendARP(Ip("198.51.100.1"), 0, nullptr, &length), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(SendARP(Ip("198.51.100.1"), 0, mac, nullptr), ERROR_INVALID_PARAMETER);

  length = sizeof mac;
  ASSERT_EQ(SendARP(Ip("198.51.100.1"), 0, mac, &length), ERROR_SUCCESS);
  EXPECT_EQ(length, 6u);
  EXPECT_EQ(mac[5], 0x04);
  EXPECT_EQ(mac[6], 0x00);  // nothing written past the six bytes

  length = sizeof mac;
  EXPECT_EQ(SendARP(Ip("203.0.113.9"), 0, mac, &length), ERROR_GEN_FAILURE);
}

}  // namespace
}  // namespace machine_test
