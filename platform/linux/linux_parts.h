// The parts of the linux machine, one factory each (see platform/machine.h).
#pragma once

#include <memory>

#include "platform/machine.h"

namespace platform::linuxhost {

std::unique_ptr<DeviceService> MakeDeviceService();   // AF_PACKET capture devices, NDIS devices
std::unique_ptr<IpHelperBackend> MakeIpHelper();      // netlink / procfs, real ARP test
void BuildRegistry(RegistryTree* tree);               // os-release, sysfs, ethtool
std::unique_ptr<NameResolver> MakeNameResolver();     // getaddrinfo
SystemFacts ReadSystemFacts();                        // uname, os-release, /proc
std::unique_ptr<ProfileStore> MakeProfileStore();     // $XDG_CONFIG_HOME/Morvane/<program>.ini

}  // namespace platform::linuxhost
