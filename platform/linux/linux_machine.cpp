// The real machine: the linux parts put together. The registry view and the
// system facts are gathered on first use, since most processes never ask.
#include <mutex>

#include "linux/linux_parts.h"

namespace platform {
namespace {

class LinuxMachine final : public Machine {
 public:
  LinuxMachine()
      : devices_(linuxhost::MakeDeviceService()),
        ipHelper_(linuxhost::MakeIpHelper()),
        names_(linuxhost::MakeNameResolver()),
        profiles_(linuxhost::MakeProfileStore()) {}

  DeviceService& Devices() override { return *devices_; }
  IpHelperBackend& IpHelper() override { return *ipHelper_; }
  NameResolver& Names() override { return *names_; }
  ProfileStore& Profiles() override { return *profiles_; }

  const RegistryTree& Registry() override {
    std::call_once(registryBuilt_, [this] { linuxhost::BuildRegistry(&registry_); });
    return registry_;
  }

  const SystemFacts& Facts() override {
    std::call_once(factsRead_, [this] { facts_ = linuxhost::ReadSystemFacts(); });
    return facts_;
  }

 private:
  std::unique_ptr<DeviceService> devices_;
  std::unique_ptr<IpHelperBackend> ipHelper_;
  std::unique_ptr<NameResolver> names_;
  std::unique_ptr<ProfileStore> profiles_;
  std::once_flag registryBuilt_;
  RegistryTree registry_;
  std::once_flag factsRead_;
  SystemFacts facts_;
};

}  // namespace

std::unique_ptr<Machine> MakeLinuxMachine() { return std::make_unique<LinuxMachine>(); }

}  // namespace platform
