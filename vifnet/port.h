// What a backend supplies for one virtual interface: the device behind it,
// its configuration, and the frames or packets that cross it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/wintypes.h"

namespace vifnet {

using Mac = std::array<BYTE, 6>;

// The host adapter a virtual interface is bound to.
struct HostAdapter {
  std::string name;  // interface name (without the capture driver's prefix)
  DWORD index = 0;
  Mac mac{};
  DWORD ip = 0;    // network byte order; 0 when the adapter has none
  DWORD mask = 0;  // network byte order
};

// Results are 0 or an errno value.
class Port {
 public:
  virtual ~Port() = default;

  // The descriptor of a device that can be the caller's own: reads, writes
  // and select go to the device with no thread in between. Made at the
  // open, before the device exists, and kept by the port for its life, so
  // that its number is the caller's from the open to the close; the device
  // made later (Create) is bound to it. *fd stays -1 when the backend has no
  // such device (the frames then come through SourceFd and Receive).
  // Returns 0 or an errno value.
  virtual int OpenDevice(int* fd) {
    *fd = -1;
    return 0;
  }

  // TUNSETIFF: creates the device in TUN or TAP mode and names it.
  virtual int Create(bool tap, std::string* name) = 0;
  // Address requests: which one is told by `request` (the contract's code);
  // the address is in network byte order.
  virtual int SetAddress(unsigned request, DWORD address) = 0;
  virtual int SetMtu(int mtu) = 0;
  // Only IFF_UP and IFF_DEBUG are the caller's to change.
  virtual int SetFlags(unsigned flags) = 0;
  // The guest's own addresses, as far as they are known (dst = guest IP).
  virtual void SetGuest(const Mac& mac, DWORD ip) = 0;
  virtual void SetBuffers(DWORD deviceBytes, DWORD ioBytes) = 0;

  // A descriptor that is readable when Receive may give something; -1 while
  // there is nothing to wait on yet (the device is not up). Not used with a
  // device of OpenDevice, which the caller reads itself.
  virtual int SourceFd() = 0;
  // 0 with one frame or packet, EAGAIN when none is waiting, another errno
  // when reading failed.
  virtual int Receive(std::vector<BYTE>* data) = 0;
  virtual int Send(const void* data, std::size_t size) = 0;

  // What the guest learns by ARP on its own link about any address but its
  // own: on a routed link (the host forwards between the device and its
  // adapter) the device's MAC, since the host stands in for every other
  // station; nothing where the guest sits on the host adapter's LAN itself,
  // or before the device exists (the host's tables answer then).
  virtual std::optional<Mac> RoutedLinkMac() const { return std::nullopt; }

  // A descriptor that is readable when the host's adapters may have changed,
  // or -1 when the backend reports a vanished adapter through Receive alone.
  virtual int AdapterWatchFd() const { return -1; }
  // Takes what the watch descriptor holds; ENODEV once the host adapter is
  // gone (not merely down), 0 while it is there.
  virtual int CheckAdapter() { return 0; }

  // Frames or packets for the guest that the device itself dropped because
  // they were not read in time (its queue was full).
  virtual std::uint64_t DroppedByDevice() const { return 0; }
};

std::unique_ptr<Port> MakeLinuxPort(const HostAdapter& adapter);
std::unique_ptr<Port> MakeSimPort(const HostAdapter& adapter);

}  // namespace vifnet
