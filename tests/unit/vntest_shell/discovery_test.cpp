// Network discovery on the built-in simulated host
// (adapter sim0: 192.0.2.10/24, MAC 02-00-00-00-00-10, gateway 192.0.2.1).
#include <cstdlib>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "mestralib/address.h"
#include "platform/iphelper.h"
#include "platform/machine.h"
#include "platform/sockets.h"
#include "shell/discovery.h"
#include "shell_host.h"

namespace {

using shell_test::Ip;

class OnSimHost : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    unsetenv("MORVANE_SIM_HOST");
    ASSERT_TRUE(platform::SelectMachine("sim"));
    InitGlobals();
  }
};

TEST(FetchVariableTable, SecondCallGetsHeaderPlusWholeRows) {
  constexpr std::size_t kHeader = offsetof(platform::MIB_IPFORWARDTABLE, table);
  constexpr std::size_t kRow = sizeof(platform::MIB_IPFORWARDROW);
  std::vector<ULONG> sizes;
  auto call = [&sizes](void* buffer, ULONG* size) -> DWORD {
    sizes.push_back(*size);
    // The first byte must be zero: the buffer is handed over zero-filled.
    EXPECT_EQ(static_cast<BYTE*>(buffer)[0], 0);
    if (*size < kHeader + 3 * kRow) {
      *size = static_cast<ULONG>(kHeader + 3 * kRow);
      return ERROR_INSUFFICIENT_BUFFER;
    }
    static_cast<platform::MIB_IPFORWARDTABLE*>(buffer)->dwNumEntries = 3;
    return 0;
  };
  void* table = nullptr;
  EXPECT_EQ(FetchVariableTable(call, kHeader, kRow, &table), 0u);
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(sizes, (std::vector<ULONG>{kHeader + kRow, kHeader + 3 * kRow}));
  std::free(table);

  // A size that is no whole number of rows is rounded up; a failure of the
  // second call leaves nothing behind.
  sizes.clear();
  auto odd = [&sizes](void*, ULONG* size) -> DWORD {
    sizes.push_back(*size);
    *size = static_cast<ULONG>(kHeader + 2 * kRow + 1);
    return sizes.size() == 1 ? ERROR_BUFFER_OVERFLOW : ERROR_NOT_SUPPORTED;
  };
  table = reinterpret_cast<void*>(1);
  EXPECT_EQ(FetchVariableTable(odd, kHeader, kRow, &table), ERROR_NOT_SUPPORTED);
  EXPECT_EQ(table, nullptr);
  EXPECT_EQ(sizes, (std::vector<ULONG>{kHeader + kRow, kHeader + 3 * kRow}));
}

TEST(FetchVariableTable, TableThatGrowsBetweenCallsIsFetchedAfterAllAndTheAskingIsBounded) {
  constexpr std::size_t kHeader = offsetof(platform::MIB_IPADDRTABLE, table);
  constexpr std::size_t kRow = sizeof(platform::MIB_IPADDRROW);
  // Each answer of 122 names a size that the next call already finds too
  // small: the table got a row more in between, twice.
  std::vector<ULONG> sizes;
  auto growing = [&sizes](void* buffer, ULONG* size) -> DWORD {
    sizes.push_back(*size);
    const ULONG rows = static_cast<ULONG>(sizes.size()) + 1;
    if (sizes.size() < 3) {
      *size = static_cast<ULONG>(kHeader + rows * kRow);
      return sizes.size() == 1 ? ERROR_INSUFFICIENT_BUFFER : ERROR_BUFFER_OVERFLOW;
    }
    static_cast<platform::MIB_IPADDRTABLE*>(buffer)->dwNumEntries = 3;
    return 0;
  };
  void* table = nullptr;
  EXPECT_EQ(FetchVariableTable(growing, kHeader, kRow, &table), 0u);
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(static_cast<platform::MIB_IPADDRTABLE*>(table)->dwNumEntries, 3u);
  EXPECT_EQ(sizes, (std::vector<ULONG>{kHeader + kRow, kHeader + 2 * kRow, kHeader + 3 * kRow}));
  std::free(table);

  // A function that never stops asking is asked a bounded number of times;
  // its last answer is the result and nothing is kept.
  int calls = 0;
  auto endless = [&calls](void*, ULONG* size) -> DWORD {
    ++calls;
    *size += static_cast<ULONG>(kRow);
    return ERROR_INSUFFICIENT_BUFFER;
  };
  table = reinterpret_cast<void*>(1);
  EXPECT_EQ(FetchVariableTable(endless, kHeader, kRow, &table), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(table, nullptr);
  EXPECT_EQ(calls, kMaxTableFetchCalls);
}

TEST_F(OnSimHost, RouteTableNeedsItsSecondCall) {
  std::vector<ULONG> sizes;
  auto call = [&sizes](void* buffer, ULONG* size) {
    sizes.push_back(*size);
    return platform::GetIpForwardTable(static_cast<platform::MIB_IPFORWARDTABLE*>(buffer), size, 1);
  };
  void* buffer = nullptr;
  ASSERT_EQ(FetchVariableTable(call, offsetof(platform::MIB_IPFORWARDTABLE, table), sizeof(platform::MIB_IPFORWARDROW),
                               &buffer),
            0u);
  auto* table = static_cast<platform::MIB_IPFORWARDTABLE*>(buffer);
  ASSERT_GE(table->dwNumEntries, 2u);
  ASSERT_EQ(sizes.size(), 2u);
  EXPECT_EQ(sizes[1], 4 + table->dwNumEntries * sizeof(platform::MIB_IPFORWARDROW));
  std::free(buffer);
  // InitGlobals keeps its own copy, fetched the same way.
  ASSERT_NE(Discovery().pIpForwardTable, nullptr);
  EXPECT_GE(Discovery().pIpForwardTable->dwNumEntries, 2u);
}

TEST_F(OnSimHost, FindsTheDefaultAdapterAndItsFacts) {
  const DiscoveryResults& r = Discovery();
  ASSERT_NE(r.pFixedInfo, nullptr);
  EXPECT_STREQ(r.pFixedInfo->HostName, "simhost");
  ASSERT_NE(r.pIpAddrTable, nullptr);
  ASSERT_NE(r.pAdaptersList, nullptr);
  ASSERT_TRUE(r.bDefaultHostAdapter);
  EXPECT_EQ(r.strDefaultAdapterIP, "192.0.2.10");
  EXPECT_EQ(r.DefaultHostAdapter.dwGateway, Ip("192.0.2.1"));
  EXPECT_EQ(GetAdapterNetMask(Ip("192.0.2.10")), Ip("255.255.255.0"));
  EXPECT_EQ(GetAdapterNetMask(Ip("192.0.2.11")), 0u);
  // The address table's row for the adapter's index.
  DWORD index = r.DefaultHostAdapter.dwIndex;
  EXPECT_EQ(GetIfIndexIPAddr(index), "192.0.2.10");
  EXPECT_EQ(GetIfIndexIPAddr(0xFFFF), "");
  // The list is fetched once: a second call keeps it.
  const ADAPTER_INFO_LIST_ENTRY* list = r.pAdaptersList;
  EXPECT_TRUE(InitMPAdaptersList());
  EXPECT_EQ(Discovery().pAdaptersList, list);

  BYTE mac[6] = {1, 1, 1, 1, 1, 1};
  EXPECT_TRUE(IsHostResponsive(Ip("192.0.2.1"), mac, Ip("192.0.2.10")));
  EXPECT_EQ(FormatMACAddr(mac), "02-00-00-00-00-01");
  EXPECT_FALSE(IsHostResponsive(Ip("192.0.2.77"), mac, 0));
  EXPECT_EQ(FormatMACAddr(mac), "00-00-00-00-00-00");
}

TEST(Discovery, TextChecksAndMediumNames) {
  EXPECT_TRUE(IsValidIPv4Text("255.255.255.255"));
  EXPECT_TRUE(IsValidIPv4Text("10.1.2.3"));
  EXPECT_FALSE(IsValidIPv4Text(""));
  EXPECT_FALSE(IsValidIPv4Text("10.1.256.3"));
  EXPECT_STREQ(GetMediumName(0), "NdisMedium802_3");
  EXPECT_STREQ(GetMediumName(14), "NdisMediumMax");
  EXPECT_STREQ(GetMediumName(15), "NdisMediumUnknown");
}

}  // namespace
