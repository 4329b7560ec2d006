// What the kernel tells about one network interface: names, hardware
// address, MTU, link state, and the ethtool answers (driver, speed, offload
// features). Shared by the capture devices, the IP helper and the registry.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform::linuxhost {

struct InterfaceFacts {
  std::string name;
  unsigned index = 0;
  unsigned short hardwareType = 0;  // ARPHRD_*
  std::array<std::uint8_t, 6> mac{};
  unsigned mtu = 0;
  bool up = false;
  bool running = false;  // the operational state, which follows the carrier only after a delay
  bool promiscuous = false;
};

// The checksum and segmentation features that the kit reports, as the
// interface has them switched on right now.
struct OffloadFeatures {
  bool txChecksumIpv4 = false;     // tx-checksum-ipv4
  bool txChecksumGeneric = false;  // tx-checksum-ip-generic
  bool txChecksumIpv6 = false;     // tx-checksum-ipv6
  bool rxChecksum = false;         // rx-checksum ("rx-checksumming")
  bool tcpSegmentation = false;    // tx-tcp-segmentation
  bool tcp6Segmentation = false;   // tx-tcp6-segmentation
};

// Interfaces whose frames are Ethernet (the ones the capture driver serves),
// in interface-index order.
std::vector<InterfaceFacts> EthernetInterfaces();

// One interface by name; nullopt when there is none (errno set).
std::optional<InterfaceFacts> ReadInterface(const std::string& name);
// The same asked through `sock`, any socket of the interface's network
// namespace (a capture device's own): no socket made and closed per question.
std::optional<InterfaceFacts> ReadInterface(int sock, const std::string& name);

// Whether the interface is up and its link has a carrier, as the kernel has
// it now. Asked apart from the other facts: it takes a netlink exchange,
// which most callers of ReadInterface (each driver query, each adapters
// table) do not need.
bool HasCarrier(const InterfaceFacts& facts);

bool IsEthernetLike(const InterfaceFacts& facts);

// Link speed in Mbit/s, nullopt when the driver does not know it.
std::optional<std::uint32_t> LinkSpeedMbps(const std::string& name);
std::optional<std::uint32_t> LinkSpeedMbps(int sock, const std::string& name);

// The driver's name (ethtool), else the sysfs driver link's name, else "".
std::string DriverName(const std::string& name);

// The kernel's features of the interface; nullopt when ethtool cannot tell.
std::optional<OffloadFeatures> ReadOffloadFeatures(const std::string& name);
std::optional<OffloadFeatures> ReadOffloadFeatures(int sock, const std::string& name);

// Sets the named features from the kernel's string table and active masks.
// Pure, so the mapping can be checked without a kernel.
OffloadFeatures FeaturesFromStrings(const std::vector<std::string>& names, const std::vector<std::uint32_t>& activeWords);

// A line for the device description: the driver's name, and the bus device
// it sits on when sysfs knows one ("virtio_net (pci 0000:00:03.0)").
std::string DeviceDescription(const std::string& name);

// A stable identifier of the device for the registry's Enum branch
// ("PCI\\0000:00:03.0", or "ROOT\\NET\\<name>" for a virtual interface).
std::string PnpInstanceId(const std::string& name);

}  // namespace platform::linuxhost
