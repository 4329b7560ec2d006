// The two kinds of device the linux machine opens for an Ethernet interface:
// the capture driver bound to it (NPF_<name>, an AF_PACKET socket) and the
// adapter's own NDIS device (<name>, ethtool queries).
#pragma once

#include <memory>
#include <string>

#include "platform/machine.h"

namespace platform::linuxhost {

// Both return ERROR_FILE_NOT_FOUND for a name that is not an Ethernet
// interface, ERROR_ACCESS_DENIED without the right to capture.
DWORD OpenCaptureDevice(const std::string& interfaceName, std::unique_ptr<Device>* device);
DWORD OpenNdisDevice(const std::string& interfaceName, std::unique_ptr<Device>* device);

// True when the process may open raw packet sockets (CAP_NET_RAW).
bool MayCapture();

}  // namespace platform::linuxhost
