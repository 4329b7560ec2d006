// The interface records: from the user's texts to binary values, the host
// adapter's missing values, and the interface opened and configured the way
// the emulator does it.
#include <cerrno>
#include <cstring>
#include <mutex>

#include "engine/engine.h"
#include "engine/ifconfig.h"
#include "engine/debug_mode.h"
#include "mestralib/address.h"
#include "mestralib/errors.h"
#include "platform/sockets.h"
#include "platform/winerror.h"
#include "shell/log.h"
#include "shell/vn32test_view.h"
#include "vifnet.h"

namespace {

constexpr int kReadTimeoutMs = 250;

bool IsZero(const wire::MacAddress& mac) {
  for (BYTE b : mac) {
    if (b != 0) return false;
  }
  return true;
}

// Serialises ResolveAdapterValues, which the monitor and ping threads may run
// on the same record at once. A leaf lock.
std::mutex& AdapterValuesLock() {
  static std::mutex lock;
  return lock;
}

}  // namespace

std::mutex& DescriptorLock() {
  static std::mutex lock;
  return lock;
}

void SetRecordFd(INTERFACEREC& record, int fd) {
  std::lock_guard<std::mutex> lock(DescriptorLock());
  record.fd = fd;
}

EngineGlobals& TheEngineGlobals() {
  static EngineGlobals globals;
  return globals;
}

INTERFACEREC& Interface1() {
  static INTERFACEREC record;
  return record;
}

INTERFACEREC& Interface2() {
  static INTERFACEREC record = [] {
    INTERFACEREC r;
    return r;
  }();
  return record;
}

bool Interface2InUse() { return !Interface2().strAdapter_IPAddr.empty() || !Interface2().strAdapter_MACAddr.empty(); }

bool ResetInterfaceRec(INTERFACEREC& record, bool bTAPMode) {
  if (record.fd != -1) return false;
  record.strIfName.clear();
  record.strInterface_IPAddr.clear();
  record.strInterface_MACAddr.clear();
  record.strAdapter_IPAddr.clear();
  record.strAdapter_MACAddr.clear();
  record.bTAPMode = bTAPMode;
  record.bSameSubnet = false;
  record.binInterface_IPAddr = 0;
  record.binInterface_MACAddr = {};
  record.binAdapter_IPAddr = 0;
  record.binAdapter_MACAddr = {};
  record.binAdapter_NetMask = 0;
  return true;
}

void DeriveInterfaceAddrs() {
  for (INTERFACEREC* record : {&Interface1(), &Interface2()}) {
    DWORD host = 0;
    if (!record->strInterface_IPAddr.empty()) {
      if (ParseIPAddress(record->strInterface_IPAddr, &host, false)) {
        record->binInterface_IPAddr = platform::htonl(host);
      } else {
        VN_ASSERT(false);
      }
    }
    if (!record->strAdapter_IPAddr.empty()) {
      if (ParseIPAddress(record->strAdapter_IPAddr, &host, false)) {
        record->binAdapter_IPAddr = platform::htonl(host);
      } else {
        VN_ASSERT(false);
      }
    }
    if (!record->strBcastAddr.empty()) {
      if (ParseIPAddress(record->strBcastAddr, &host, true)) {
        record->binBcastAddr = platform::htonl(host);
      } else {
        VN_ASSERT(false);
      }
    }
    if (!record->strInterface_MACAddr.empty()) {
      VN_ASSERT(ParseMACAddress(record->strInterface_MACAddr, record->binInterface_MACAddr.data()));
    }
    if (!record->strAdapter_MACAddr.empty()) {
      VN_ASSERT(ParseMACAddress(record->strAdapter_MACAddr, record->binAdapter_MACAddr.data()));
    }
  }
}

void ResolveAdapterValues(INTERFACEREC& record) {
  std::lock_guard<std::mutex> lock(AdapterValuesLock());
  if (IsZero(record.binAdapter_MACAddr)) {
    vn32_arpreq arp{};
    arp.arp_pa.family = VN32_AF_INET;
    std::memcpy(arp.arp_pa.data, &record.binAdapter_IPAddr, 4);
    arp.arp_flags = VN32_ARP_FLAGS;
    if (vifnet32_ioctl(record.fd, VN32_SIOCGARP, &arp) == 0) {
      std::memcpy(record.binAdapter_MACAddr.data(), arp.arp_ha.data, 6);
    } else {
      VN_ASSERT(false);
    }
  }
  if (record.binAdapter_IPAddr == 0) {
    vn32_arpreq arp{};
    arp.arp_pa.family = VN32_AF_INET;
    std::memcpy(arp.arp_ha.data, record.binAdapter_MACAddr.data(), 6);
    arp.arp_flags = VN32_ARP_FLAGS;
    if (vifnet32_ioctl(record.fd, VN32_SIOCGRARP, &arp) == 0) {
      std::memcpy(&record.binAdapter_IPAddr, arp.arp_pa.data, 4);
    } else {
      VN_ASSERT(false);
    }
  }
  const auto& maskOf = TheEngineGlobals().AdapterMaskOf;
  const DWORD mask = maskOf ? maskOf(record.binAdapter_IPAddr) : 0;
  record.binAdapter_NetMask = mask;
  record.bSameSubnet = (record.binInterface_IPAddr & mask) == (record.binAdapter_IPAddr & mask);
  if (record.strInterface_IPAddr.empty() || !record.strBcastAddr.empty()) return;
  VN_ASSERT(record.binInterface_IPAddr != 0);
  record.binBcastAddr = (record.binInterface_IPAddr & mask) | ~mask;
  record.strBcastAddr = FormatIPAddr(record.binBcastAddr);
}

namespace {

// The close path: reports nothing new, closes what was opened, and leaves
// the failure's errno and last error for the caller.
int CloseAfterFailure(INTERFACEREC& record, const platform::SavedErrors& failure) {
  if (record.fd >= 0) {
    LogMsg("*** Interface %s closed... (ip=%s, mac=%s)\n", record.strIfName.c_str(),
           record.strInterface_IPAddr.c_str(), record.strInterface_MACAddr.c_str());
    std::lock_guard<std::mutex> lock(DescriptorLock());
    vifnet32_close(record.fd);
    record.fd = -1;
  }
  failure.Restore();
  return -1;
}

// A failing step: its message with errno and its text, then the close path.
int StepFailed(INTERFACEREC& record, const char* what) {
  platform::SavedErrors failure;
  LogMsg("** CreateInterface(%s): %s failed; errno=%d: %s\n", record.strIfName.c_str(), what,
         failure.errnoValue(), StrError(failure.errnoValue()).c_str());
  return CloseAfterFailure(record, failure);
}

int Control(INTERFACEREC& record, uint32_t request, uint32_t value) {
  vn32ctl ctl{};
  FillIfName(ctl.name, record.strIfName);
  ctl.value = value;
  return vifnet32_ioctl(record.fd, request, &ctl);
}

}  // namespace

int CreateInterface(INTERFACEREC& record) {
  CVN32TestView* view = GetLogView();
  const bool socketNotify = view != nullptr && view->SocketNotifyMode;
  const DWORD debugFlags = view != nullptr ? view->DebugFlags : 0x80008080;
  const bool debugMode = DebugMode.load();
  const EngineGlobals& globals = TheEngineGlobals();

  // 1. Open, by the host adapter's IP address when there is one.
  const std::string& openName = !record.strAdapter_IPAddr.empty() ? record.strAdapter_IPAddr : record.strAdapter_MACAddr;
  int flags = VN32_OPEN_RDWR | (socketNotify ? VN32_OPEN_SOCKET_NOTIFY : 0);
  const int fd = vifnet32_open(openName.c_str(), flags);
  if (fd < 0) {
    platform::SavedErrors failure;
    LogMsg("** CreateInterface(%s): vifnet32_open failed; errno=%d: %s\n", openName.c_str(), failure.errnoValue(),
           StrError(failure.errnoValue()).c_str());
    failure.Restore();
    SetRecordFd(record, -1);
    return -1;
  }
  SetRecordFd(record, fd);

  // 2. The library's own debug messages, whatever the debug switch says.
  {
    vn32ctl ctl{};
    ctl.value = debugFlags;
    if (vifnet32_ioctl(record.fd, VN32_TUNSETDEBUG, &ctl) != 0) return StepFailed(record, "vifnet32_ioctl(TUNSETDEBUG)");
  }

  // 3. The device, in the guest's mode; older libraries know the request
  // by its short code.
  vn32_ifreq iff{};
  iff.u.flags = static_cast<uint16_t>((record.bTAPMode ? VN32_IFF_TAP : VN32_IFF_TUN) | VN32_IFF_NO_PI);
  if (vifnet32_ioctl(record.fd, VN32_TUNSETIFF, &iff) != 0) {
    if (errno != EINVAL || vifnet32_ioctl(record.fd, VN32_TUNSETIFF_OLD, &iff) != 0) {
      return StepFailed(record, "vifnet32_ioctl(TUNSETIFF)");
    }
  }

  // 4. Its name.
  record.strIfName = TrimBlanks(std::string(iff.name, strnlen(iff.name, sizeof iff.name)));
  if (record.strIfName.empty()) {
    platform::SavedErrors failure;
    LogMsg("** CreateInterface(%s): interface name is empty!\n", openName.c_str());
    return CloseAfterFailure(record, failure);
  }
  const char* name = record.strIfName.c_str();

  // 5.
  if (debugMode && VIFNET_SetFlags(record.fd, name, VN32_IFF_DEBUG) != 0) {
    return StepFailed(record, "VIFNET_SetFlags(IFF_DEBUG)");
  }

  // 6. The interface's own address is the host side.
  if (!record.strAdapter_IPAddr.empty() &&
      VIFNET_SetIPAddr(record.fd, name, record.strAdapter_IPAddr.c_str()) != 0) {
    return StepFailed(record, "VIFNET_SetIPAddr");
  }

  // 7. The guest is the peer.
  record.strInterface_IPAddr = TrimBlanks(record.strInterface_IPAddr);
  if (record.strInterface_IPAddr.empty()) {
    platform::SavedErrors failure;
    LogMsg("** CreateInterface(%s): interface IP address is empty!\n", name);
    return CloseAfterFailure(record, failure);
  }
  if (VIFNET_SetDestAddr(record.fd, name, record.strInterface_IPAddr.c_str()) != 0) {
    return StepFailed(record, "VIFNET_SetDestAddr");
  }

  // 8. The adapter's mask when the guest shares its subnet. An unknown mask
  // (0) would make the interface a default route, so it counts as a host
  // mask here.
  std::string mask = "255.255.255.255";
  if (record.bSameSubnet && record.binAdapter_NetMask != 0) mask = FormatIPAddr(record.binAdapter_NetMask);
  if (VIFNET_SetNetMask(record.fd, name, mask.c_str()) != 0) return StepFailed(record, "VIFNET_SetNetMask");

  // 9.
  if (!record.strBcastAddr.empty() && VIFNET_SetBcastAddr(record.fd, name, record.strBcastAddr.c_str()) != 0) {
    return StepFailed(record, "VIFNET_SetBcastAddr");
  }

  // 10. The guest's MAC, or the library's own.
  if (!record.strInterface_MACAddr.empty()) {
    if (VIFNET_SetMACAddr(record.fd, name, record.strInterface_MACAddr.c_str()) != 0) {
      platform::SavedErrors failure;
      LogMsg("** CreateInterface(%s): VIFNET_SetMACAddr(%s) failed; errno=%d: %s\n", name,
             record.strInterface_MACAddr.c_str(), failure.errnoValue(), StrError(failure.errnoValue()).c_str());
      return CloseAfterFailure(record, failure);
    }
  } else if (!GetInterfaceMACAddr(record)) {
    return StepFailed(record, "GetInterfaceMACAddr()");
  }

  // 11-13. Read time-out (not in socket-notify mode) and buffer sizes.
  if (!socketNotify && Control(record, VN32STIMEOUT, kReadTimeoutMs) != 0) {
    return StepFailed(record, "vifnet32_ioctl(VN32STIMEOUT)");
  }
  if (Control(record, VN32SDEVBUFF, globals.dwDriverBufferSize) != 0) {
    return StepFailed(record, "vifnet32_ioctl(VN32SDEVBUFF)");
  }
  if (Control(record, VN32SIOBUFF, globals.dwDllBufferSize) != 0) {
    return StepFailed(record, "vifnet32_ioctl(VN32SIOBUFF)");
  }

  // 14-15. Up.
  LogMsg("*** Interface %s enabled/up... (ip=%s, mac=%s)\n\n", name, record.strInterface_IPAddr.c_str(),
         record.strInterface_MACAddr.c_str());
  if (VIFNET_SetFlags(record.fd, name, VN32_IFF_UP | (debugMode ? VN32_IFF_DEBUG : 0)) != 0) {
    platform::SavedErrors failure;
    LogMsg("** CreateInterface(%s): VIFNET_SetFlags(IFF_UP%s) failed; errno=%d: %s\n", name,
           debugMode ? "|IFF_DEBUG" : "", failure.errnoValue(), StrError(failure.errnoValue()).c_str());
    return CloseAfterFailure(record, failure);
  }
  return record.fd;
}

HANDLE InterfaceSettledEvent(CVN32TestView& view, const INTERFACEREC& record) {
  return &record == &Interface2() ? view.hInterface2Settled : view.hInterface1Settled;
}

void StopEngineThreads(CVN32TestView& view) {
  StopPingTest(view);
  StopGorlan(view);
}

void StartGorlan(CVN32TestView& view) {
  VN_ASSERT(platform::ResetEvent(view.hStopEvent));
  view.m_pfnStopThreads = StopEngineThreads;
  auto start = [&view](INTERFACEREC& record) -> HANDLE {
    // Until its monitor thread has created the interface, the record is being
    // written: a ping test waits for this event.
    VN_ASSERT(platform::ResetEvent(InterfaceSettledEvent(view, record)));
    HANDLE thread = platform::CreateThread(MonitorThread, &record);
    VN_ASSERT(thread != nullptr && thread != INVALID_HANDLE_VALUE);
    if (thread != nullptr) {
      platform::SetThreadPriority(thread, platform::THREAD_PRIORITY_ABOVE_NORMAL);
    } else {
      platform::SetEvent(InterfaceSettledEvent(view, record));  // no creation will come
    }
    return thread;
  };
  view.hMonitorThread1 = start(Interface1());
  if (Interface2InUse()) view.hMonitorThread2 = start(Interface2());
}

void StopGorlan(CVN32TestView& view) {
  if (!view.IsRunning()) return;
  StopPingTest(view);
  VN_ASSERT(view.hStopEvent != nullptr && platform::SetEvent(view.hStopEvent));
  auto stop = [&view](std::atomic<HANDLE>& handle, INTERFACEREC& record) {
    const HANDLE thread = handle.load();
    if (thread == nullptr) return;
    // In socket-notify mode the thread waits in select; shutting the socket
    // down ends that wait (the descriptor itself stays the thread's to close).
    {
      std::lock_guard<std::mutex> lock(DescriptorLock());
      if (view.SocketNotifyMode && record.fd >= 0) platform::CloseSocket(record.fd);
    }
    VN_ASSERT(platform::WaitForSingleObject(thread, INFINITE) == platform::WAIT_OBJECT_0);
    VN_ASSERT(platform::CloseHandle(thread));
    handle.store(nullptr);
    // However the thread ended, nothing writes the record now.
    VN_ASSERT(platform::SetEvent(InterfaceSettledEvent(view, record)));
  };
  stop(view.hMonitorThread1, Interface1());
  stop(view.hMonitorThread2, Interface2());
  if (view.IsRunning()) return;
  VN_ASSERT(platform::ResetEvent(view.hStopEvent));
}

long OnEngineMessage(CVN32TestView& view, UINT message) {
  auto join = [](std::atomic<HANDLE>& handle) {
    const HANDLE thread = handle.load();
    if (thread == nullptr) return;
    platform::WaitForSingleObject(thread, INFINITE);
    platform::CloseHandle(thread);
    handle.store(nullptr);
  };
  switch (message) {
    case WM_APP_MONITOR_ENDED:
      StopGorlan(view);
      break;
    case WM_APP_PING_ENDED:
      join(view.hPingThread);
      break;
    case WM_APP_PING_MONITOR_ENDED:
      join(view.hPingMonitorThread);
      break;
    default:
      break;
  }
  return 0;
}
