// The simulated host's IP helper, names, registry values and system facts,
// through the calls the programs make.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <unistd.h>

#include "platform/file.h"
#include "platform/iphelper.h"
#include "platform/machine_testing.h"
#include "platform/module.h"
#include "platform/names.h"
#include "platform/npf.h"
#include "platform/registry.h"
#include "platform/sim/sim_host.h"
#include "platform/sysinfo.h"
#include "sim_test_util.h"

namespace platform::sim {
namespace {

using simtest::Ip;

class SimServices : public ::testing::Test {
 protected:
  explicit SimServices(HostModel model = DefaultHost()) : machine_(MakeMachine(std::move(model))) {}
  testing::ScopedMachineForTest machine_;
};

std::vector<BYTE> Fetch(const std::function<DWORD(void*, ULONG*)>& call, DWORD overflowCode) {
  ULONG size = 0;
  EXPECT_EQ(call(nullptr, &size), overflowCode);
  EXPECT_GT(size, 0u);
  std::vector<BYTE> buffer(size);
  EXPECT_EQ(call(buffer.data(), &size), ERROR_SUCCESS);
  return buffer;
}

TEST_F(SimServices, NetworkParamsAndAdaptersInfoOfTheDefaultHost) {
  std::vector<BYTE> b = Fetch([](void* p, ULONG* s) { return GetNetworkParams(static_cast<FIXED_INFO*>(p), s); },
                              ERROR_BUFFER_OVERFLOW);
  const auto* info = reinterpret_cast<const FIXED_INFO*>(b.data());
  EXPECT_STREQ(info->HostName, "simhost");
  EXPECT_STREQ(info->DnsServerList.IpAddress.String, "192.0.2.53");
  EXPECT_EQ(info->DnsServerList.Next, nullptr);
  EXPECT_EQ(info->EnableRouting, 0u);

  b = Fetch([](void* p, ULONG* s) { return GetAdaptersInfo(static_cast<IP_ADAPTER_INFO*>(p), s); },
            ERROR_BUFFER_OVERFLOW);
  const auto* a = reinterpret_cast<const IP_ADAPTER_INFO*>(b.data());
  EXPECT_STREQ(a->AdapterName, "sim0");
  EXPECT_EQ(a->AddressLength, 6u);
  const BYTE mac[6] = {2, 0, 0, 0, 0, 0x10};
  EXPECT_EQ(0, std::memcmp(a->Address, mac, 6));
  EXPECT_STREQ(a->IpAddressList.IpAddress.String, "192.0.2.10");
  EXPECT_STREQ(a->IpAddressList.IpMask.String, "255.255.255.0");
  EXPECT_STREQ(a->GatewayList.IpAddress.String, "192.0.2.1");
  EXPECT_EQ(a->DhcpEnabled, 0u);
  EXPECT_EQ(a->Next, nullptr);
}

TEST_F(SimServices, ForwardAndAddressTablesShowTheAdapterAndItsGateway) {
  std::vector<BYTE> b = Fetch(
      [](void* p, ULONG* s) { return GetIpForwardTable(static_cast<MIB_IPFORWARDTABLE*>(p), s, 1); },
      ERROR_INSUFFICIENT_BUFFER);
  const auto* t = reinterpret_cast<const MIB_IPFORWARDTABLE*>(b.data());
  ASSERT_GT(t->dwNumEntries, 0u);
  int defaults = 0;
  bool subnet = false;
  for (DWORD i = 0; i < t->dwNumEntries; ++i) {
    const MIB_IPFORWARDROW& r = t->table[i];
    if (r.dwForwardDest == 0 && r.dwForwardMask == 0) {
      ++defaults;
      EXPECT_EQ(r.dwForwardNextHop, Ip("192.0.2.1"));
      EXPECT_EQ(r.dwForwardIfIndex, 11u);
      EXPECT_EQ(r.dwForwardType, 4u);
    }
    if (r.dwForwardDest == Ip("192.0.2.0") && r.dwForwardMask == Ip("255.255.255.0")) subnet = true;
  }
  EXPECT_EQ(defaults, 1);
  EXPECT_TRUE(subnet);

  b = Fetch([](void* p, ULONG* s) { return GetIpAddrTable(static_cast<MIB_IPADDRTABLE*>(p), s, 1); },
            ERROR_INSUFFICIENT_BUFFER);
  const auto* at = reinterpret_cast<const MIB_IPADDRTABLE*>(b.data());
  bool found = false;
  for (DWORD i = 0; i < at->dwNumEntries; ++i) {
    if (at->table[i].dwAddr == Ip("192.0.2.10")) {
      found = true;
      EXPECT_EQ(at->table[i].dwIndex, 11u);
      EXPECT_EQ(at->table[i].dwMask, Ip("255.255.255.0"));
    }
  }
  EXPECT_TRUE(found);
}

TEST_F(SimServices, ArpTestIsAnsweredByPeersThatAnswerArp) {
  BYTE mac[8] = {};
  ULONG length = sizeof mac;
  ASSERT_EQ(SendARP(Ip("192.0.2.1"), Ip("192.0.2.10"), mac, &length), ERROR_SUCCESS);
  EXPECT_EQ(length, 6u);
  const BYTE router[6] = {2, 0, 0, 0, 0, 1};
  EXPECT_EQ(0, std::memcmp(mac, router, 6));
  length = sizeof mac;
  ASSERT_EQ(SendARP(Ip("192.0.2.20"), 0, mac, &length), ERROR_SUCCESS);
  EXPECT_EQ(mac[5], 0x20);
  // Nobody has this address; nothing answers within the bounded wait.
  length = sizeof mac;
  EXPECT_NE(SendARP(Ip("192.0.2.77"), 0, mac, &length), ERROR_SUCCESS);
  length = sizeof mac;
  EXPECT_EQ(SendARP(Ip("198.51.100.1"), 0, mac, &length), ERROR_NETWORK_UNREACHABLE);
}

TEST_F(SimServices, NamesResolveFromTheModel) {
  DWORD a = 0;
  ASSERT_EQ(ResolveIPv4("www.example.com", &a), ERROR_SUCCESS);
  EXPECT_EQ(a, Ip("203.0.113.10"));
  ASSERT_EQ(ResolveIPv4("WWW.Example.COM", &a), ERROR_SUCCESS);
  ASSERT_EQ(ResolveIPv4("192.0.2.20", &a), ERROR_SUCCESS);
  EXPECT_EQ(a, Ip("192.0.2.20"));
  EXPECT_EQ(ResolveIPv4("nowhere.example", &a), WSAHOST_NOT_FOUND);
  EXPECT_EQ(ResolveIPv4("192.0.2.300", &a), WSAHOST_NOT_FOUND);
}

TEST_F(SimServices, SystemFactsAndVersionValues) {
  const SystemFacts& f = GetSystemFacts();
  EXPECT_EQ(f.computerName, "simhost");
  EXPECT_EQ(f.processorCount, 2u);
  EXPECT_FALSE(f.elevated);
  EXPECT_FALSE(f.osNames[0].empty());
}

// Without the packet-capture installation nothing of it can be found: no
// system directory to load the capture library from, no NPF_ device; the
// host's other DOS devices stay.
TEST_F(SimServices, HostWithoutTheCaptureInstallation) {
  ASSERT_FALSE(SystemDirectory().empty());
  HostModel model = DefaultHost();
  model.facts.captureInstalled = false;
  model.dosDevices.push_back({"C:", "\\Device\\HarddiskVolume1"});
  InstallHost(model);
  EXPECT_EQ(SystemDirectory(), "");
  EXPECT_EQ(LoadLibrary("Packet.DLL"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  std::vector<std::string> names;
  ASSERT_TRUE(QueryDosDevice(nullptr, &names));
  EXPECT_EQ(names, std::vector<std::string>{"C:"});
  ASSERT_TRUE(QueryDosDevice("c:", &names));
  EXPECT_EQ(names, std::vector<std::string>{"\\Device\\HarddiskVolume1"});
  EXPECT_FALSE(QueryDosDevice("NPF_sim0", &names));
  EXPECT_EQ(CreateFile("\\\\.\\NPF_sim0", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(SimServices, InstalledHostIsWhatTheNextCallSees) {
  std::shared_ptr<SimHost> first = CurrentHost();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->model().hostName, "simhost");
  HANDLE device = CreateFile("\\\\.\\NPF_sim0", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0);
  ASSERT_NE(device, INVALID_HANDLE_VALUE);

  HostModel other;
  ASSERT_TRUE(ParseHostDescription("host second\nadapter e9\n mac 02-00-00-00-00-09\nend\n", &other, nullptr));
  std::shared_ptr<SimHost> second = InstallHost(other);
  ASSERT_TRUE(second);
  EXPECT_EQ(CurrentHost(), second);
  ULONG size = sizeof(FIXED_INFO);
  FIXED_INFO info;
  ASSERT_EQ(GetNetworkParams(&info, &size), ERROR_SUCCESS);
  EXPECT_STREQ(info.HostName, "second");
  EXPECT_EQ(CreateFile("\\\\.\\NPF_sim0", GENERIC_READ, 0, OPEN_EXISTING, 0), INVALID_HANDLE_VALUE);

  // The device opened before stays on the host it was opened on.
  npf::PACKET_OID_DATA q{};
  q.Oid = npf::OID_GEN_LINK_SPEED;
  q.Length = 4;
  DWORD done;
  ASSERT_TRUE(DeviceIoControl(device, npf::IOCTL_PROTOCOL_QUERY_OID, &q, sizeof q, &q, sizeof q, &done));
  EXPECT_EQ(q.Data[0] | q.Data[1] << 8 | q.Data[2] << 16 | q.Data[3] << 24, 10000000);
  CloseHandle(device);
}

class SimHostFromEnvironment : public ::testing::Test {
 protected:
  ~SimHostFromEnvironment() override {
    unsetenv(kHostEnvVar);
    std::filesystem::remove(file_);
  }
  void Write(const std::string& text) { std::ofstream(file_) << text; }
  // One name for the test process and the death test's child, which runs
  // the test again in a process of its own and ends without removing
  // anything: the child finds the name in the environment it inherited.
  static std::filesystem::path FileName() {
    static constexpr char kName[] = "MORVANE_TEST_ENV_HOST_FILE";
    if (const char* inherited = std::getenv(kName)) return inherited;
    const std::filesystem::path name =
        std::filesystem::temp_directory_path() / ("morvane-sim-env-" + std::to_string(getpid()) + ".host");
    setenv(kName, name.c_str(), 1);
    return name;
  }
  std::filesystem::path file_ = FileName();
};

TEST_F(SimHostFromEnvironment, NamedFileIsTheHost) {
  Write("host envhost\nprocessors 8\n");
  setenv(kHostEnvVar, file_.c_str(), 1);
  std::unique_ptr<Machine> m = MakeSimMachine();
  EXPECT_EQ(m->Facts().computerName, "envhost");
  EXPECT_EQ(m->Facts().processorCount, 8u);
  unsetenv(kHostEnvVar);
  EXPECT_EQ(MakeSimMachine()->Facts().computerName, "simhost");
}

TEST_F(SimHostFromEnvironment, SelectingAFileChecksItFirst) {
  Write("host picked\nbogus line\n");
  std::vector<DescriptionError> errors;
  EXPECT_FALSE(SelectHostFile(file_.string(), &errors));
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].line, 2);
  EXPECT_EQ(std::getenv(kHostEnvVar), nullptr);
  Write("host picked\n");
  EXPECT_TRUE(SelectHostFile(file_.string(), &errors));
  ASSERT_NE(std::getenv(kHostEnvVar), nullptr);
  EXPECT_EQ(std::filesystem::path(std::getenv(kHostEnvVar)), std::filesystem::absolute(file_));
  EXPECT_EQ(MakeSimMachine()->Facts().computerName, "picked");
}

TEST_F(SimHostFromEnvironment, BrokenFileStopsTheProcessNamingTheLine) {
  Write("host ok\nrouting perhaps\n");
  setenv(kHostEnvVar, file_.c_str(), 1);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(MakeSimMachine(), ::testing::ExitedWithCode(2), ":2: 'routing': expected yes or no");
}

std::string ReadText(HKEY key, const char* name, LONG* rc) {
  DWORD type = 0, size = 0;
  *rc = RegQueryValueEx(key, name, &type, nullptr, &size);
  if (*rc != ERROR_SUCCESS) return {};
  std::vector<BYTE> data(size);
  *rc = RegQueryValueEx(key, name, &type, data.data(), &size);
  EXPECT_EQ(type, REG_SZ);
  std::string text;
  for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
    if (!data[i] && !data[i + 1]) break;
    text += static_cast<char>(data[i]);
  }
  return text;
}

class SimRegistry : public SimServices {
 protected:
  SimRegistry() : SimServices(Model()) {}
  static HostModel Model() {
    HostModel m;
    std::vector<DescriptionError> errors;
    EXPECT_TRUE(ParseHostDescription(R"(
edition Professional
display-version 22H2
adapter eth0
  mac 02-00-00-00-00-31
  connection "Local Area Connection"
  description Lab NIC
  pnp-id PCI\VEN_1234&DEV_0001\1
end
adapter eth1
  mac 02-00-00-00-00-32
  lso-v2-ipv4 1
  lso-v1-ipv6 0
end
)",
                                     &m, &errors));
    return m;
  }
};

TEST_F(SimRegistry, AnswersTheKeysTheReportReads) {
  HKEY key;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  LONG rc;
  EXPECT_EQ(ReadText(key, "EditionID", &rc), "Professional");
  EXPECT_EQ(ReadText(key, "DisplayVersion", &rc), "22H2");
  RegCloseKey(key);

  const std::string cls = "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}";
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, cls.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
  std::vector<std::string> subs;
  std::string name;
  for (DWORD i = 0; RegEnumKeyEx(key, i, &name) == ERROR_SUCCESS; ++i) subs.push_back(name);
  RegCloseKey(key);
  ASSERT_EQ(subs, (std::vector<std::string>{"0000", "0001"}));

  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, (cls + "\\0001").c_str(), 0, KEY_QUERY_VALUE, &key), ERROR_SUCCESS);
  EXPECT_EQ(ReadText(key, "NetCfgInstanceId", &rc), "eth1");
  EXPECT_EQ(ReadText(key, "*LsoV2Ipv4", &rc), "1");
  EXPECT_EQ(ReadText(key, "*LsoV1Ipv6", &rc), "0");
  ReadText(key, "*LsoV1Ipv4", &rc);
  EXPECT_EQ(rc, static_cast<LONG>(ERROR_FILE_NOT_FOUND));
  DWORD size = 4;
  BYTE four[4];
  EXPECT_EQ(RegQueryValueEx(key, "*LsoV2Ipv4", nullptr, four, &size), ERROR_SUCCESS);  // "1" and its NUL
  RegCloseKey(key);

  const std::string conn = "SYSTEM\\CurrentControlSet\\Control\\Network\\{4D36E972-E325-11CE-BFC1-08002BE10318}"
                           "\\eth0\\Connection";
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, conn.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
  EXPECT_EQ(ReadText(key, "Name", &rc), "Local Area Connection");
  std::string pnp = ReadText(key, "PnpInstanceID", &rc);
  EXPECT_EQ(pnp, "PCI\\VEN_1234&DEV_0001\\1");
  RegCloseKey(key);
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, ("SYSTEM\\CurrentControlSet\\Enum\\" + pnp).c_str(), 0, KEY_READ, &key),
            ERROR_SUCCESS);
  EXPECT_EQ(ReadText(key, "DeviceDesc", &rc), "Lab NIC");
  RegCloseKey(key);
}

TEST_F(SimRegistry, HostWithoutDisplayVersionHasNoSuchValue) {
  HostModel m;
  ASSERT_TRUE(ParseHostDescription("edition Standard\n", &m, nullptr));
  testing::ScopedMachineForTest plain(MakeMachine(m));
  HKEY key;
  ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", 0, KEY_READ, &key),
            ERROR_SUCCESS);
  LONG rc;
  ReadText(key, "DisplayVersion", &rc);
  EXPECT_EQ(rc, static_cast<LONG>(ERROR_FILE_NOT_FOUND));
  RegCloseKey(key);
}

TEST(SimHostExtras, ExplicitRoutesAndTheDriverVersion) {
  HostModel m;
  std::vector<DescriptionError> errors;
  ASSERT_TRUE(ParseHostDescription(R"(
auto-routes no
driver-version 4.1.0.2980
adapter e0
  mac 02-00-00-00-00-41
  ip 198.51.100.5/24
end
route 0.0.0.0/0 198.51.100.1 metric 10
route 0.0.0.0/0 198.51.100.2 metric 20
)",
                                   &m, &errors));
  std::shared_ptr<SimHost> host = MakeHost(m);
  EXPECT_EQ(host->DriverFileVersion().Text(), "4.1.0.2980");
  std::vector<MIB_IPFORWARDROW> rows;
  ASSERT_EQ(host->IpHelper().ForwardTable(&rows), ERROR_SUCCESS);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1].dwForwardNextHop, Ip("198.51.100.2"));
  EXPECT_EQ(rows[1].dwForwardMetric1, 20u);
  EXPECT_EQ(rows[1].dwForwardIfIndex, 11u);
}

}  // namespace
}  // namespace platform::sim
