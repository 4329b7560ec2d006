// A machine whose parts a test fills in a few lines: IP helper answers,
// registry values, settings store. Parts a test does not set answer
// ERROR_NOT_SUPPORTED.
#pragma once

#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "common/memory_profile_store.h"
#include "platform/machine.h"
#include "platform/machine_testing.h"

namespace machine_test {

using namespace platform;

class FakeIpHelper final : public IpHelperBackend {
 public:
  DWORD result = ERROR_SUCCESS;
  NetworkParamsModel params;
  std::vector<MIB_IPFORWARDROW> routes;
  std::vector<MIB_IPADDRROW> addresses;
  std::vector<AdapterModel> adapters;
  std::function<DWORD(DWORD, DWORD, BYTE*)> arp;

  DWORD NetworkParams(NetworkParamsModel* out) override { return Answer(out, params); }
  DWORD ForwardTable(std::vector<MIB_IPFORWARDROW>* out) override { return Answer(out, routes); }
  DWORD AddrTable(std::vector<MIB_IPADDRROW>* out) override { return Answer(out, addresses); }
  DWORD Adapters(std::vector<AdapterModel>* out) override { return Answer(out, adapters); }
  DWORD SendArp(DWORD destination, DWORD source, BYTE mac[6]) override {
    return arp ? arp(destination, source, mac) : ERROR_NOT_SUPPORTED;
  }

 private:
  template <typename T>
  DWORD Answer(T* out, const T& model) {
    if (result == ERROR_SUCCESS) *out = model;
    return result;
  }
};

class NoDevices final : public DeviceService {
 public:
  DWORD Open(const std::string&, std::unique_ptr<Device>*) override { return ERROR_NOT_SUPPORTED; }
  std::vector<std::string> DosDeviceNames() override { return {}; }
  DWORD DefineDosDevice(DWORD, const std::string&, const std::string&) override { return ERROR_NOT_SUPPORTED; }
  DWORD QueryDosDevice(const std::string&, std::vector<std::string>*) override { return ERROR_NOT_SUPPORTED; }
};

class NoNames final : public NameResolver {
 public:
  DWORD Resolve(const std::string&, DWORD*) override { return WSANO_RECOVERY; }
};

class FakeMachine final : public Machine {
 public:
  FakeIpHelper ipHelper;
  RegistryTree registry;
  SystemFacts facts;
  std::unique_ptr<ProfileStore> profiles = std::make_unique<MemoryProfileStore>();

  DeviceService& Devices() override { return devices_; }
  IpHelperBackend& IpHelper() override { return ipHelper; }
  const RegistryTree& Registry() override { return registry; }
  NameResolver& Names() override { return names_; }
  const SystemFacts& Facts() override { return facts; }
  ProfileStore& Profiles() override { return *profiles; }

 private:
  NoDevices devices_;
  NoNames names_;
};

// Installs a fresh FakeMachine for the life of the object.
class WithFakeMachine {
 public:
  WithFakeMachine() : machine_(new FakeMachine), scope_(std::unique_ptr<Machine>(machine_)) {}
  FakeMachine& operator*() { return *machine_; }
  FakeMachine* operator->() { return machine_; }

 private:
  FakeMachine* machine_;
  platform::testing::ScopedMachineForTest scope_;
};

}  // namespace machine_test
