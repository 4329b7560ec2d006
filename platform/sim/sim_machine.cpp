// The sim machine: the parts of machine.h over one simulated host, which the
// process may replace (InstallHost) while it runs.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "common/memory_profile_store.h"
#include "linux/linux_parts.h"
#include "sim/sim_internal.h"

namespace platform {
namespace sim {

std::shared_ptr<SimHost> MakeHost(HostModel model) { return std::make_shared<HostImpl>(std::move(model)); }

namespace {

class SimMachine;

// Each part asks the machine for the host of the moment, so that a host
// installed later is what the next call sees.
class DevicesPart final : public DeviceService {
 public:
  explicit DevicesPart(SimMachine& m) : m_(m) {}
  DWORD Open(const std::string& name, std::unique_ptr<Device>* device) override;
  std::vector<std::string> DosDeviceNames() override;
  DWORD DefineDosDevice(DWORD flags, const std::string& name, const std::string& target) override;
  DWORD QueryDosDevice(const std::string& name, std::vector<std::string>* targets) override;

 private:
  SimMachine& m_;
};

class IpHelperPart final : public IpHelperBackend {
 public:
  explicit IpHelperPart(SimMachine& m) : m_(m) {}
  DWORD NetworkParams(NetworkParamsModel* params) override;
  DWORD ForwardTable(std::vector<MIB_IPFORWARDROW>* rows) override;
  DWORD AddrTable(std::vector<MIB_IPADDRROW>* rows) override;
  DWORD Adapters(std::vector<AdapterModel>* adapters) override;
  DWORD SendArp(DWORD destination, DWORD source, BYTE mac[6]) override;

 private:
  SimMachine& m_;
};

class NamesPart final : public NameResolver {
 public:
  explicit NamesPart(SimMachine& m) : m_(m) {}
  DWORD Resolve(const std::string& name, DWORD* address) override;

 private:
  SimMachine& m_;
};

class SimMachine final : public Machine {
 public:
  explicit SimMachine(std::shared_ptr<SimHost> host) : host_(std::move(host)) {}

  DeviceService& Devices() override { return devices_; }
  IpHelperBackend& IpHelper() override { return ipHelper_; }
  const RegistryTree& Registry() override { return Host()->Registry(); }
  NameResolver& Names() override { return names_; }
  const SystemFacts& Facts() override { return Host()->Facts(); }
  // The host of the moment says where per-user settings live.
  ProfileStore& Profiles() override {
    if (!Host()->model().settingsInFiles) return profiles_;
    std::lock_guard<std::mutex> lock(mu_);
    if (!files_) files_ = linuxhost::MakeProfileStore();
    return *files_;
  }

  std::shared_ptr<SimHost> Host() {
    std::lock_guard<std::mutex> lock(mu_);
    return host_;
  }
  // The replaced host lives on while anything (an open device, a reference
  // a caller still holds to its registry or facts) keeps it.
  void Replace(std::shared_ptr<SimHost> host) {
    std::lock_guard<std::mutex> lock(mu_);
    retired_.push_back(host_);
    host_ = std::move(host);
  }

 private:
  std::mutex mu_;
  std::shared_ptr<SimHost> host_;
  std::vector<std::shared_ptr<SimHost>> retired_;
  DevicesPart devices_{*this};
  IpHelperPart ipHelper_{*this};
  NamesPart names_{*this};
  MemoryProfileStore profiles_;
  std::unique_ptr<ProfileStore> files_;  // made at first use, under mu_
};

DWORD DevicesPart::Open(const std::string& name, std::unique_ptr<Device>* device) {
  return m_.Host()->Devices().Open(name, device);
}
std::vector<std::string> DevicesPart::DosDeviceNames() { return m_.Host()->Devices().DosDeviceNames(); }
DWORD DevicesPart::DefineDosDevice(DWORD flags, const std::string& name, const std::string& target) {
  return m_.Host()->Devices().DefineDosDevice(flags, name, target);
}
DWORD DevicesPart::QueryDosDevice(const std::string& name, std::vector<std::string>* targets) {
  return m_.Host()->Devices().QueryDosDevice(name, targets);
}
DWORD IpHelperPart::NetworkParams(NetworkParamsModel* params) { return m_.Host()->IpHelper().NetworkParams(params); }
DWORD IpHelperPart::ForwardTable(std::vector<MIB_IPFORWARDROW>* rows) { return m_.Host()->IpHelper().ForwardTable(rows); }
DWORD IpHelperPart::AddrTable(std::vector<MIB_IPADDRROW>* rows) { return m_.Host()->IpHelper().AddrTable(rows); }
DWORD IpHelperPart::Adapters(std::vector<AdapterModel>* adapters) { return m_.Host()->IpHelper().Adapters(adapters); }
DWORD IpHelperPart::SendArp(DWORD destination, DWORD source, BYTE mac[6]) {
  return m_.Host()->IpHelper().SendArp(destination, source, mac);
}
DWORD NamesPart::Resolve(const std::string& name, DWORD* address) { return m_.Host()->Names().Resolve(name, address); }

SimMachine* CurrentSimMachine() { return dynamic_cast<SimMachine*>(&TheMachine()); }

}  // namespace

std::unique_ptr<Machine> MakeMachine(HostModel model) { return std::make_unique<SimMachine>(MakeHost(std::move(model))); }

std::shared_ptr<SimHost> CurrentHost() {
  SimMachine* machine = CurrentSimMachine();
  return machine ? machine->Host() : nullptr;
}

std::shared_ptr<SimHost> InstallHost(HostModel model) {
  SimMachine* machine = CurrentSimMachine();
  if (!machine) return nullptr;
  std::shared_ptr<SimHost> host = MakeHost(std::move(model));
  machine->Replace(host);
  return host;
}

bool SelectHostFile(const std::string& path, std::vector<DescriptionError>* errors) {
  HostModel model;
  if (!LoadHostDescription(path, &model, errors)) return false;
  std::error_code ec;
  std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  ::setenv(kHostEnvVar, ec ? path.c_str() : absolute.c_str(), 1);
  if (CurrentMachineKind() == MachineKind::kSim) InstallHost(std::move(model));
  return true;
}

}  // namespace sim

// A description that does not load stops the process: running some other
// host instead would answer questions about a machine nobody described.
std::unique_ptr<Machine> MakeSimMachine() {
  const char* path = std::getenv(sim::kHostEnvVar);
  if (!path || !*path) return sim::MakeMachine(sim::DefaultHost());
  sim::HostModel model;
  std::vector<sim::DescriptionError> errors;
  if (!sim::LoadHostDescription(path, &model, &errors)) {
    for (const sim::DescriptionError& e : errors) {
      if (e.line > 0) std::fprintf(stderr, "%s:%d: %s\n", path, e.line, e.message.c_str());
      else std::fprintf(stderr, "%s\n", e.message.c_str());
    }
    std::fprintf(stderr, "the simulated host described by %s=\"%s\" was rejected\n", sim::kHostEnvVar, path);
    std::fflush(stderr);
    std::_Exit(2);
  }
  return sim::MakeMachine(std::move(model));
}

}  // namespace platform
