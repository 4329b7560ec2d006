// Linux machine parts that are not built yet: each fails cleanly with
// ERROR_NOT_SUPPORTED. This file goes away part by part as they arrive.
#include "linux/linux_parts.h"

namespace platform::linuxhost {
namespace {

class NoDevices final : public DeviceService {
 public:
  DWORD Open(const std::string&, std::unique_ptr<Device>*) override { return ERROR_NOT_SUPPORTED; }
  std::vector<std::string> DosDeviceNames() override { return {}; }
  DWORD DefineDosDevice(DWORD, const std::string&, const std::string&) override { return ERROR_NOT_SUPPORTED; }
  DWORD QueryDosDevice(const std::string&, std::vector<std::string>*) override { return ERROR_NOT_SUPPORTED; }
};

class NoIpHelper final : public IpHelperBackend {
 public:
  DWORD NetworkParams(NetworkParamsModel*) override { return ERROR_NOT_SUPPORTED; }
  DWORD ForwardTable(std::vector<MIB_IPFORWARDROW>*) override { return ERROR_NOT_SUPPORTED; }
  DWORD AddrTable(std::vector<MIB_IPADDRROW>*) override { return ERROR_NOT_SUPPORTED; }
  DWORD Adapters(std::vector<AdapterModel>*) override { return ERROR_NOT_SUPPORTED; }
  DWORD SendArp(DWORD, DWORD, BYTE*) override { return ERROR_NOT_SUPPORTED; }
};

class NoNames final : public NameResolver {
 public:
  DWORD Resolve(const std::string&, DWORD*) override { return WSANO_RECOVERY; }
};

}  // namespace

std::unique_ptr<DeviceService> MakeDeviceService() { return std::make_unique<NoDevices>(); }
std::unique_ptr<IpHelperBackend> MakeIpHelper() { return std::make_unique<NoIpHelper>(); }
void BuildRegistry(RegistryTree*) {}
std::unique_ptr<NameResolver> MakeNameResolver() { return std::make_unique<NoNames>(); }

}  // namespace platform::linuxhost
