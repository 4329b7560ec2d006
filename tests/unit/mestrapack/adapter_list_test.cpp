// The adapter list of a host with three adapters (the second cannot be
// opened), described in a host file, and the checksum offload override list.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "mestrapack/mestrapack.h"
#include "mestrapack_app.h"
#include "platform/profile.h"
#include "test_support.h"

namespace {

using mptest::TraceCapture;
using mptest::Utf8;

const bool g_host = [] {
  setenv("MORVANE_SIM_HOST", MESTRAPACK_TEST_HOSTS "/three_adapters.host", 1);
  return true;
}();

std::vector<BYTE> FetchList() {
  uint32_t size = 0;
  EXPECT_EQ(MestraPackGetAdaptersList(nullptr, &size), 0);
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  std::vector<BYTE> buffer(size);
  EXPECT_EQ(MestraPackGetAdaptersList(reinterpret_cast<ADAPTER_INFO_LIST_ENTRY*>(buffer.data()), &size), 1);
  return buffer;
}

std::vector<const ADAPTER_INFO_LIST_ENTRY*> Chain(const std::vector<BYTE>& buffer) {
  std::vector<const ADAPTER_INFO_LIST_ENTRY*> entries;
  for (auto* entry = reinterpret_cast<const ADAPTER_INFO_LIST_ENTRY*>(buffer.data()); entry != nullptr && entries.size() < 8;
       entry = entry->pNext) {
    entries.push_back(entry);
  }
  return entries;
}

TEST(AdapterList, SkipsTheAdapterThatCannotBeOpened) {
  std::vector<BYTE> buffer = FetchList();
  EXPECT_EQ(buffer.size(), 3 * sizeof(ADAPTER_INFO_LIST_ENTRY));
  auto entries = Chain(buffer);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(Utf8(entries[0]->szAdapterName), "NPF_eth0");
  EXPECT_EQ(Utf8(entries[0]->szDescription), "First Adapter");
  EXPECT_EQ(Utf8(entries[0]->szConnectionName), "LAN One");
  EXPECT_EQ(entries[0]->bHaveChecksumOffload, 1);
  EXPECT_EQ(entries[0]->ChecksumOffload.V4Transmit, 0x1Cu);
  EXPECT_EQ(entries[0]->dwIPAddress, 0x0A6433C6u);  // 198.51.100.10
  EXPECT_EQ(entries[0]->pNext, entries[1]);
  EXPECT_EQ(Utf8(entries[1]->szAdapterName), "NPF_eth2");
  EXPECT_EQ(entries[1]->pNext, nullptr);
  EXPECT_EQ(entries[1]->bPromiscuous, 0);
  EXPECT_EQ(entries[1]->bMediaConnected, 0);
  EXPECT_EQ(entries[1]->dwGateway, 0u);  // no gateway: the IP record says 0.0.0.0
  // The slot after the last listed entry holds nothing.
  EXPECT_EQ(reinterpret_cast<const ADAPTER_INFO_LIST_ENTRY*>(buffer.data())[2].dwSize, 0u);
}

void WriteOverride(const std::vector<BYTE>& value) {
  platform::Profile profile("Morvane", "MestraPack");
  ASSERT_TRUE(profile.WriteBinary("Settings", "ChecksumOffloadOverride", value));
}

TEST(AdapterList, OverrideOfThirteenBytesNamesTwoAddresses) {
  MP_IN_FRESH_PROCESS({
    // eth2, then eth0, then one stray byte.
    WriteOverride({0x02, 0, 0, 0, 0x01, 0x03, 0x02, 0, 0, 0, 0x01, 0x01, 0x77});
    auto buffer = FetchList();
    auto entries = Chain(buffer);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0]->bChecksumOffloadOverride, 1);
    EXPECT_EQ(entries[1]->bChecksumOffloadOverride, 1);
  });
}

TEST(AdapterList, OverrideOfFiveBytesNamesNone) {
  MP_IN_FRESH_PROCESS({
    WriteOverride({0x02, 0, 0, 0, 0x01});
    TraceCapture trace;
    auto buffer = FetchList();
    auto entries = Chain(buffer);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0]->bChecksumOffloadOverride, 0);
    EXPECT_EQ(entries[1]->bChecksumOffloadOverride, 0);
    EXPECT_TRUE(trace.Contains("** Assertion Failed **"));
  });
}

TEST(AdapterList, DeviceDescriptionOfNewerSystemsDropsTheInfReference) {
  EXPECT_EQ(DeviceDescForFlavor("@net.inf,%e1000%;Intel PRO/1000", 9), "Intel PRO/1000");
  EXPECT_EQ(DeviceDescForFlavor("@net.inf,%e1000%;Intel PRO/1000", 8), "@net.inf,%e1000%;Intel PRO/1000");
  EXPECT_EQ(DeviceDescForFlavor("Plain", 10), "Plain");
}

TEST(AdapterList, RegistryNamesOfAnUnknownInterfaceAreEmpty) {
  std::string connection = "x";
  std::string description = "y";
  GetAdapterRegistryNames("nosuch", &connection, &description);
  EXPECT_TRUE(connection.empty());
  EXPECT_TRUE(description.empty());
  GetAdapterRegistryNames("eth0", &connection, &description);
  EXPECT_EQ(connection, "LAN One");
}

}  // namespace
