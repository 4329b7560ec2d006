// The library's C entry points and its table of open descriptors.
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "arp_answers.h"
#include "debug_output.h"
#include "host_tables.h"
#include "interface.h"
#include "mestralib/address.h"
#include "platform/machine.h"
#include "platform/winerror.h"
#include "vifnet.h"

namespace vifnet {
namespace {

// Guards the table only; taken before an interface's lock, never held
// across I/O.
std::mutex g_tableLock;
std::map<int, std::shared_ptr<Interface>>& Table() {
  static auto* table = new std::map<int, std::shared_ptr<Interface>>;
  return *table;
}

std::shared_ptr<Interface> Find(int fd) {
  std::lock_guard<std::mutex> lock(g_tableLock);
  auto it = Table().find(fd);
  return it == Table().end() ? nullptr : it->second;
}

// Failures: a negative result, errno and the thread's last error.
int Fail(int error, int result = -1) {
  platform::SetErrors(platform::LastErrorForErrno(error), error);
  return result;
}

int Succeed(int result) {
  platform::SetErrors(ERROR_SUCCESS, 0);
  return result;
}

}  // namespace
}  // namespace vifnet

using namespace vifnet;

extern "C" int vifnet32_open(const char* name, int flags) {
  if (name == nullptr) return Fail(EINVAL);
  if ((flags & VN32_OPEN_RDWR) == 0) return Fail(EINVAL);
  std::optional<HostAdapter> adapter = FindHostAdapter(name);
  if (!adapter) {
    DebugLine("vifnet32_open: no host adapter has the address \"%s\"\n", name);
    return Fail(ENODEV);
  }
  std::unique_ptr<Port> port = platform::CurrentMachineKind() == platform::MachineKind::kSim
                                   ? MakeSimPort(*adapter)
                                   : MakeLinuxPort(*adapter);
  auto interface = std::make_shared<Interface>(*adapter, std::move(port), (flags & VN32_OPEN_SOCKET_NOTIFY) != 0);
  if (!interface->Open()) return Fail(errno);
  const int fd = interface->Fd();
  {
    std::lock_guard<std::mutex> lock(g_tableLock);
    Table()[fd] = interface;
  }
  DebugLine("vifnet32_open(\"%s\"): adapter %s, descriptor %d\n", name, adapter->name.c_str(), fd);
  return Succeed(fd);
}

extern "C" int vifnet32_ioctl(int fd, uint32_t request, void* arg) {
  if (arg == nullptr) return Fail(EFAULT);
  if (request == VN32_SIOCGARP || request == VN32_SIOCGRARP) {
    // Answered with or without an open interface (descriptor -1).
    std::shared_ptr<Interface> open = fd >= 0 ? Find(fd) : nullptr;
    int rc = AnswerArpRequest(open.get(), request, static_cast<vn32_arpreq*>(arg));
    return rc == 0 ? Succeed(0) : Fail(rc);
  }
  std::shared_ptr<Interface> interface = Find(fd);
  if (!interface) return Fail(EBADF);
  int rc = interface->Ioctl(request, arg);
  return rc == 0 ? Succeed(0) : Fail(rc);
}

extern "C" int vifnet32_read(int fd, void* buffer, int size) {
  std::shared_ptr<Interface> interface = Find(fd);
  if (!interface) return Fail(EBADF);
  int n = interface->Read(buffer, size);
  return n >= 0 ? Succeed(n) : Fail(-n);
}

extern "C" int vifnet32_write(int fd, const void* buffer, int length) {
  std::shared_ptr<Interface> interface = Find(fd);
  if (!interface) return Fail(EBADF);
  int n = interface->Write(buffer, length);
  return n >= 0 ? Succeed(n) : Fail(-n);
}

extern "C" int vifnet32_close(int fd) {
  std::shared_ptr<Interface> interface;
  {
    std::lock_guard<std::mutex> lock(g_tableLock);
    auto it = Table().find(fd);
    if (it == Table().end()) return Fail(EBADF);
    interface = std::move(it->second);
    Table().erase(it);
  }
  interface.reset();  // stops the pump, closes the descriptor (unless a reader still holds it)
  return Succeed(0);
}

extern "C" int vifnet32_get_stats(int fd, vn32_stats* stats) {
  if (stats == nullptr || stats->size != VN32_STATS_SIZE) return Fail(EINVAL);
  std::shared_ptr<Interface> interface = Find(fd);
  if (!interface) return Fail(EBADF);
  interface->Stats(stats);
  return Succeed(0);
}

extern "C" const char* vifnet32_get_default_iface(void) {
  thread_local std::string text;
  std::optional<HostAdapter> adapter = DefaultRouteAdapter();
  text = adapter ? FormatMACAddr(adapter->mac.data()) : std::string();
  return text.c_str();
}

extern "C" void vifnet32_build_gorlan_iface_mac(uint8_t mac[6], const uint8_t ip[4]) {
  if (mac == nullptr || ip == nullptr) return;
  DWORD address;
  std::memcpy(&address, ip, 4);
  Mac derived = GuestMacFor(address);
  std::memcpy(mac, derived.data(), 6);
}

extern "C" uint16_t vifnet32_calc_inet_checksum(const void* buffer, int length) {
  if (buffer == nullptr || length <= 0) return 0xFFFF;
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  uint32_t sum = 0;
  int i = 0;
  for (; i + 1 < length; i += 2) sum += (uint32_t{bytes[i]} << 8) | bytes[i + 1];
  if (i < length) sum += uint32_t{bytes[i]} << 8;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum & 0xFFFF);
}

extern "C" int vifnet32_set_debug_output_func(vifnet32_debug_output_func_t function) {
  SetDebugSink(function);
  return 1;
}

extern "C" const char* vifnet32_version_string(void) { return "3.9.0.6222-UD"; }

extern "C" const char* vifnet32_copyright_string(void) {
  return "Copyright (C) Morvane. All rights reserved.";
}

extern "C" void vifnet32_version_numbers(int* major, int* inter, int* minor, int* build) {
  if (major != nullptr) *major = 3;
  if (inter != nullptr) *inter = 9;
  if (minor != nullptr) *minor = 0;
  if (build != nullptr) *build = 6222;
}
