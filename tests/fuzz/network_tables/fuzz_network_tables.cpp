// The host's network tables from the input: the route table, the address
// table, the adapters' records and the network parameters that the IP helper
// answers, read by everything that reads them: the network discovery, the
// environment report's network and adapter blocks, MestraPack's adapter
// list and the virtual-interface library's default adapter and address
// look-ups. Devices, registry and names are the simulated default host's.
//
// Input: a count byte then that many 16-byte routes (destination, mask, next
// hop, interface index and metric packed in 4+4+4+2+2 bytes), a count byte
// then that many 12-byte addresses (address, mask, interface index), a count
// byte then that many adapters (name length, name, 6-byte MAC, index byte,
// type byte, flags byte, address count and 8 bytes per address, a gateway),
// then the host name and DNS servers. Anything missing reads as zeros.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "mestrapack_app.h"
#include "platform/machine.h"
#include "platform/machine_testing.h"
#include "platform/sim/sim_host.h"
#include "platform/sync.h"
#include "shell/discovery.h"
#include "shell/environment_report.h"
#include "shell/vn32test_view.h"
#include "vifnet.h"

#include "../common/usual_capture_facts.h"

namespace {

struct Reader {
  const std::uint8_t* at;
  std::size_t left;
  std::uint8_t Byte() {
    if (left == 0) return 0;
    --left;
    return *at++;
  }
  DWORD Dword() {
    DWORD v = 0;
    for (int i = 0; i < 4; ++i) v = v << 8 | Byte();
    return v;
  }
  WORD Word() { return static_cast<WORD>(Byte() << 8 | Byte()); }
};

class TableHelper final : public platform::IpHelperBackend {
 public:
  explicit TableHelper(platform::IpHelperBackend& sim) : sim_(sim) {}
  DWORD NetworkParams(platform::NetworkParamsModel* out) override {
    *out = params;
    return ERROR_SUCCESS;
  }
  DWORD ForwardTable(std::vector<platform::MIB_IPFORWARDROW>* out) override {
    *out = routes;
    return ERROR_SUCCESS;
  }
  DWORD AddrTable(std::vector<platform::MIB_IPADDRROW>* out) override {
    *out = addresses;
    return ERROR_SUCCESS;
  }
  DWORD Adapters(std::vector<platform::AdapterModel>* out) override {
    *out = adapters;
    return ERROR_SUCCESS;
  }
  DWORD SendArp(DWORD destination, DWORD source, BYTE mac[6]) override {
    return sim_.SendArp(destination, source, mac);
  }

  platform::NetworkParamsModel params;
  std::vector<platform::MIB_IPFORWARDROW> routes;
  std::vector<platform::MIB_IPADDRROW> addresses;
  std::vector<platform::AdapterModel> adapters;

 private:
  platform::IpHelperBackend& sim_;
};

class TableMachine final : public platform::Machine {
 public:
  explicit TableMachine(std::unique_ptr<platform::Machine> sim) : sim_(std::move(sim)), helper(sim_->IpHelper()) {}
  platform::DeviceService& Devices() override { return sim_->Devices(); }
  platform::IpHelperBackend& IpHelper() override { return helper; }
  const platform::RegistryTree& Registry() override { return sim_->Registry(); }
  platform::NameResolver& Names() override { return sim_->Names(); }
  const platform::SystemFacts& Facts() override { return sim_->Facts(); }
  platform::ProfileStore& Profiles() override { return sim_->Profiles(); }

 private:
  std::unique_ptr<platform::Machine> sim_;

 public:
  TableHelper helper;
};

TableMachine* g_machine = nullptr;

void SetUpOnce() {
  setenv("MORVANE_PLATFORM", "sim", 1);
  auto machine = std::make_unique<TableMachine>(platform::sim::MakeMachine(platform::sim::DefaultHost()));
  g_machine = machine.get();
  platform::testing::InstallMachineForTest(std::move(machine));
  AdoptUsualCaptureFacts();
}

void Fill(Reader& in, TableHelper& h) {
  h.routes.assign(in.Byte() % 40, platform::MIB_IPFORWARDROW{});
  for (platform::MIB_IPFORWARDROW& r : h.routes) {
    r.dwForwardDest = in.Dword();
    r.dwForwardMask = in.Dword();
    r.dwForwardNextHop = in.Dword();
    r.dwForwardIfIndex = in.Word();
    r.dwForwardMetric1 = in.Word();
    r.dwForwardType = r.dwForwardNextHop == 0 ? 3 : 4;
  }
  h.addresses.assign(in.Byte() % 40, platform::MIB_IPADDRROW{});
  for (platform::MIB_IPADDRROW& a : h.addresses) {
    a.dwAddr = in.Dword();
    a.dwMask = in.Dword();
    a.dwIndex = in.Dword();
  }
  h.adapters.assign(in.Byte() % 8, platform::AdapterModel{});
  for (platform::AdapterModel& a : h.adapters) {
    const std::size_t length = in.Byte() % 40;
    for (std::size_t i = 0; i < length; ++i) a.name.push_back(static_cast<char>(in.Byte()));
    a.description = a.name;
    a.address.resize(in.Byte() % 2 == 0 ? 6 : in.Byte() % 9);
    for (BYTE& b : a.address) b = in.Byte();
    a.index = in.Byte();
    a.type = in.Byte() % 2 == 0 ? platform::MIB_IF_TYPE_ETHERNET : in.Byte();
    const std::uint8_t flags = in.Byte();
    a.dhcpEnabled = (flags & 1) != 0;
    a.ipAddresses.resize(flags >> 5);
    for (auto& ip : a.ipAddresses) {
      ip.address = in.Dword();
      ip.mask = in.Dword();
    }
    if ((flags & 2) != 0) a.gateways.push_back(in.Dword());
    a.dhcpServer = (flags & 4) != 0 ? in.Dword() : 0;
  }
  h.params = platform::NetworkParamsModel{};
  const std::size_t nameLength = in.Byte() % 200;
  for (std::size_t i = 0; i < nameLength; ++i) h.params.hostName.push_back(static_cast<char>(in.Byte()));
  h.params.dnsServers.assign(in.Byte() % 6, 0);
  for (DWORD& d : h.params.dnsServers) d = in.Dword();
  h.params.nodeType = in.Byte();
  h.params.enableRouting = in.Byte() % 2 == 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool ready = (SetUpOnce(), true);
  (void)ready;
  std::vector<std::uint8_t> input(data, data + size);
  Reader in{input.data(), input.size()};
  Fill(in, g_machine->helper);

  InitGlobals();
  CVN32TestView view;
  ReportNetworkInformation();
  ReportDetectedAdapters(view);
  for (const platform::MIB_IPFORWARDROW& r : g_machine->helper.routes) {
    (void)GetAdapterNetMask(r.dwForwardNextHop);
    (void)GetIfIndexIPAddr(r.dwForwardIfIndex);
    vn32_arpreq arp{};
    arp.arp_pa.family = VN32_AF_INET;
    std::memcpy(arp.arp_pa.data, &r.dwForwardDest, 4);
    (void)vifnet32_ioctl(-1, VN32_SIOCGARP, &arp);
  }
  (void)vifnet32_get_default_iface();
  FreeDiscoveryResults();
  return 0;
}
