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
// in interface-index order; asked through `sock` where one is given.
std::vector<InterfaceFacts> EthernetInterfaces();
std::vector<InterfaceFacts> EthernetInterfaces(int sock);

// A datagram socket of the calling thread's network namespace: all that the
// interface questions need, and no privilege.
class ControlSocket {
 public:
  ControlSocket();
  ~ControlSocket();
  ControlSocket(const ControlSocket&) = delete;
  ControlSocket& operator=(const ControlSocket&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// One interface by name; nullopt when there is none (errno set).
std::optional<InterfaceFacts> ReadInterface(const std::string& name);
// The same asked through `sock`, any socket of the interface's network
// namespace (a capture device's own): no socket made and closed per question.
// `wanted` (kFact... bits) limits the questions to the facts needed; the
// others are left as they are (the index is always asked).
constexpr unsigned kFactHardware = 1;  // hardwareType, mac
constexpr unsigned kFactMtu = 2;
constexpr unsigned kFactFlags = 4;  // up, running, promiscuous
constexpr unsigned kAllFacts = kFactHardware | kFactMtu | kFactFlags;
std::optional<InterfaceFacts> ReadInterface(int sock, const std::string& name, unsigned wanted = kAllFacts);

// Whether the interface is up and its link has a carrier, as the kernel has
// it now (facts with kFactFlags). Asked apart from the other facts, through
// `sock` (or netlink where the driver cannot tell), which most callers of
// ReadInterface (each driver query, each adapters table) do not need.
bool HasCarrier(int sock, const InterfaceFacts& facts);

bool IsEthernetLike(const InterfaceFacts& facts);

// Link speed in Mbit/s, nullopt when the driver does not know it.
std::optional<std::uint32_t> LinkSpeedMbps(const std::string& name);
std::optional<std::uint32_t> LinkSpeedMbps(int sock, const std::string& name);

// The driver's name (ethtool), else the sysfs driver link's name, else "".
std::string DriverName(const std::string& name);
std::string DriverName(int sock, const std::string& name);

// The kernel's features of the interface; nullopt when ethtool cannot tell.
std::optional<OffloadFeatures> ReadOffloadFeatures(const std::string& name);
std::optional<OffloadFeatures> ReadOffloadFeatures(int sock, const std::string& name);

// Sets the named features from the kernel's string table and active masks.
// Pure, so the mapping can be checked without a kernel.
OffloadFeatures FeaturesFromStrings(const std::vector<std::string>& names, const std::vector<std::uint32_t>& activeWords);

// A line for the device description: the driver's name, and the bus device
// it sits on when sysfs knows one ("virtio_net (pci 0000:00:03.0)").
std::string DeviceDescription(int sock, const std::string& name);

// A stable identifier of the device for the registry's Enum branch
// ("PCI\\0000:00:03.0", or "ROOT\\NET\\<name>" for a virtual interface).
std::string PnpInstanceId(const std::string& name);

}  // namespace platform::linuxhost
