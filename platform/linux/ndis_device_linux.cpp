// The adapter's own NDIS device: answers the global-statistics query for the
// OIDs the kit asks it (the supported list and the offload configuration).
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <optional>

#include "linux/devices_linux.h"
#include "linux/netif_linux.h"
#include "linux/oid_answers_linux.h"
#include "platform/npf.h"
#include "platform/winerror.h"

namespace platform::linuxhost {
namespace {

class NdisDevice final : public Device {
 public:
  explicit NdisDevice(std::string name) : name_(std::move(name)) {}

  DWORD Read(void*, DWORD, DWORD* bytesRead) override {
    *bytesRead = 0;
    return ERROR_INVALID_FUNCTION;
  }
  DWORD Write(const void*, DWORD, DWORD* bytesWritten) override {
    *bytesWritten = 0;
    return ERROR_INVALID_FUNCTION;
  }

  DWORD IoControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* bytesReturned) override {
    *bytesReturned = 0;
    if (code != npf::IOCTL_NDIS_QUERY_GLOBAL_STATS) return ERROR_INVALID_FUNCTION;
    if (in == nullptr || inSize < sizeof(DWORD)) return ERROR_INVALID_PARAMETER;
    DWORD oid;
    std::memcpy(&oid, in, sizeof oid);
    std::vector<BYTE> value;
    DWORD status = AnswerInterfaceOid(name_, oid, &value, sock_.get());
    if (status != ERROR_SUCCESS) return status;
    if (out == nullptr || outSize < value.size()) return ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(out, value.data(), value.size());
    *bytesReturned = static_cast<DWORD>(value.size());
    return ERROR_SUCCESS;
  }

 private:
  const std::string name_;
  ControlSocket sock_;  // for its questions about the interface
};

}  // namespace

bool MayCapture() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (::syscall(SYS_capget, &header, data) != 0) return ::geteuid() == 0;
  return (data[CAP_TO_INDEX(CAP_NET_RAW)].effective & CAP_TO_MASK(CAP_NET_RAW)) != 0;
}

DWORD OpenNdisDevice(const std::string& interfaceName, std::unique_ptr<Device>* device) {
  std::optional<InterfaceFacts> facts = ReadInterface(interfaceName);
  if (!facts || !IsEthernetLike(*facts)) return ERROR_FILE_NOT_FOUND;
  // The adapter's device is as privileged as its capture driver.
  if (!MayCapture()) return ERROR_ACCESS_DENIED;
  *device = std::make_unique<NdisDevice>(interfaceName);
  return ERROR_SUCCESS;
}

}  // namespace platform::linuxhost
