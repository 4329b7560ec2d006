// The DOS device names of the linux machine: NPF_<name> and <name> for every
// Ethernet interface, and whatever the process defines on top.
#include <algorithm>
#include <map>
#include <mutex>

#include "linux/devices_linux.h"
#include "linux/linux_parts.h"
#include "linux/netif_linux.h"
#include "platform/file.h"
#include "platform/npf.h"
#include "platform/winerror.h"

namespace platform::linuxhost {
namespace {

constexpr DWORD DDD_REMOVE_DEFINITION = 0x2;
const std::string kDevicePrefix = "\\Device\\";

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

class LinuxDevices final : public DeviceService {
 public:
  DWORD Open(const std::string& name, std::unique_ptr<Device>* device) override {
    std::string target;
    {
      std::lock_guard lock(mutex_);
      auto it = defined_.find(name);
      if (it != defined_.end() && !it->second.empty()) target = it->second.back();
    }
    // A defined name stands for its target; a target outside \Device\ names nothing here.
    std::string deviceName = name;
    if (!target.empty()) {
      if (!StartsWith(target, kDevicePrefix)) return ERROR_FILE_NOT_FOUND;
      deviceName = target.substr(kDevicePrefix.size());
    }
    const std::string capturePrefix = npf::kDevicePrefix;
    if (StartsWith(deviceName, capturePrefix)) {
      return OpenCaptureDevice(deviceName.substr(capturePrefix.size()), device);
    }
    return OpenNdisDevice(deviceName, device);
  }

  std::vector<std::string> DosDeviceNames() override {
    std::vector<std::string> names;
    for (const InterfaceFacts& facts : EthernetInterfaces()) names.push_back(npf::kDevicePrefix + facts.name);
    std::lock_guard lock(mutex_);
    for (const auto& [name, targets] : defined_) {
      if (!targets.empty() && std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    }
    return names;
  }

  DWORD DefineDosDevice(DWORD flags, const std::string& name, const std::string& target) override {
    if (name.empty() || name.find('\\') != std::string::npos) return ERROR_INVALID_PARAMETER;
    std::lock_guard lock(mutex_);
    std::vector<std::string>& targets = defined_[name];
    if ((flags & DDD_REMOVE_DEFINITION) != 0) {
      if (targets.empty()) return ERROR_FILE_NOT_FOUND;
      auto it = target.empty() ? targets.end() - 1 : std::find(targets.begin(), targets.end(), target);
      if (it == targets.end()) return ERROR_FILE_NOT_FOUND;
      targets.erase(it);
      return ERROR_SUCCESS;
    }
    if (target.empty()) return ERROR_INVALID_PARAMETER;
    targets.push_back(target);
    return ERROR_SUCCESS;
  }

  DWORD QueryDosDevice(const std::string& name, std::vector<std::string>* targets) override {
    targets->clear();
    {
      std::lock_guard lock(mutex_);
      auto it = defined_.find(name);
      if (it != defined_.end() && !it->second.empty()) {
        targets->assign(it->second.rbegin(), it->second.rend());  // the latest definition first
        return ERROR_SUCCESS;
      }
    }
    const std::string capturePrefix = npf::kDevicePrefix;
    std::string interfaceName = StartsWith(name, capturePrefix) ? name.substr(capturePrefix.size()) : name;
    std::optional<InterfaceFacts> facts = ReadInterface(interfaceName);
    if (!facts || !IsEthernetLike(*facts)) return ERROR_FILE_NOT_FOUND;
    targets->push_back(kDevicePrefix + name);
    return ERROR_SUCCESS;
  }

 private:
  std::mutex mutex_;  // platform-internal leaf lock; guards defined_
  std::map<std::string, std::vector<std::string>> defined_;
};

}  // namespace

std::unique_ptr<DeviceService> MakeDeviceService() { return std::make_unique<LinuxDevices>(); }

}  // namespace platform::linuxhost
