// One open virtual interface. The descriptor handed to the caller is one
// that select waits on, that platform::CloseSocket from any thread ends, and
// whose number stays reserved until vifnet32_close. Where the backend's
// device has a descriptor of its own (the kernel's TUN/TAP), that is the
// caller's: reads and writes go to the device directly, and a watch thread
// only looks after the host adapter. Otherwise (the simulated host) it is
// one end of a packet-preserving socket pair, and the library's pump thread
// moves every frame or packet that the device delivers into the other end.
//
// Locks, in the order they may be taken: the descriptor table's lock
// (vifnet_api.cpp), then Interface::m_lock (the configuration), then a
// port's own lock (a leaf). The table's lock is held only to look up, add
// or remove an entry, never across I/O; the statistics are atomic. The pump
// and watch threads take only the port's lock, and the caller's log lock (a
// leaf) through the debug output. The destructor joins them holding none of
// these locks.
//
// The pump or the watch also looks after the host adapter: once it has
// vanished, every read fails with ENODEV (a guest whose adapter is gone can
// reach nobody), and a caller waiting in select is woken. An adapter that
// is merely down keeps the guest.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "port.h"
#include "vifnet.h"

namespace vifnet {

class Interface {
 public:
  Interface(const HostAdapter& adapter, std::unique_ptr<Port> port, bool socketNotify);
  ~Interface();  // stops the pump or the watch and closes the descriptors
  Interface(const Interface&) = delete;
  Interface& operator=(const Interface&) = delete;

  // Makes the caller's descriptor; false with errno set.
  bool Open();
  int Fd() const { return m_callerFd; }

  // Each returns 0 or an errno value.
  int Ioctl(uint32_t request, void* arg);
  // Length of one frame or packet, 0 after the read time-out, -errno on error.
  int Read(void* buffer, int size);
  int Write(const void* buffer, int length);
  void Stats(vn32_stats* stats) const;
  // What the guest learns by ARP on its link about `ip` (network byte
  // order): its own MAC for its own address, the device's for any other on a
  // routed TAP link; nothing where the host's tables are the answer (TUN,
  // the simulated LAN, no device yet).
  std::optional<Mac> LinkMacFor(DWORD ip) const;

 private:
  int SetIff(vn32_ifreq* request);
  int SetAddress(uint32_t request, vn32_ifreq* ifr);
  void StartPumpIfReady();
  void Pump();
  void WatchAdapter();
  void DeviceFailed(int error);
  int ReadDevice(void* buffer, int size);
  // Counts a frame or packet handed to the reader; returns n.
  int Delivered(const void* buffer, int n);
  void CountFrame(const void* data, std::size_t size, bool written);
  bool DebugOn(uint32_t bit) const;

  const HostAdapter m_adapter;
  std::unique_ptr<Port> m_port;
  const bool m_bSocketNotify;
  int m_callerFd = -1;
  bool m_bDirect = false;  // m_callerFd is the device's own (the port keeps it)
  int m_libraryFd = -1;    // the pump's end of the socket pair
  int m_stopFd = -1;       // eventfd that ends the pump or the watch
  std::thread m_pump;      // the pump, or with a device of its own the watch

  mutable std::mutex m_lock;
  bool m_bCreated = false;
  std::atomic<bool> m_bTap{false};
  std::string m_strName;
  Mac m_guestMac{};
  bool m_bGuestMacSet = false;
  bool m_bHostAddressSet = false;  // the link's host end has an address
  DWORD m_guestIp = 0;
  unsigned m_flags = 0;
  std::atomic<uint32_t> m_debugFlags{0};
  std::atomic<bool> m_bDebug{false};  // IFF_DEBUG is set
  std::atomic<int> m_timeoutMs{-1};   // -1: reads wait until data arrives
  std::atomic<uint32_t> m_deviceBuffer{0};
  std::atomic<uint32_t> m_ioBuffer{0};
  std::atomic<int> m_readError{0};  // set by the pump or the watch when the device failed
  std::atomic<bool> m_bReadFailed{false};  // the reader has been told; later reads fail at once

  std::atomic<uint64_t> m_writeCalls{0}, m_writeIos{0}, m_readCalls{0}, m_readIos{0};
  std::atomic<uint64_t> m_packetsRead{0}, m_packetsWritten{0}, m_bytesRead{0}, m_bytesWritten{0};
  std::atomic<uint64_t> m_ignored{0}, m_fromOurself{0};
  std::atomic<uint64_t> m_toZeroRead{0}, m_toZeroWritten{0}, m_fromZeroRead{0}, m_fromZeroWritten{0};
  std::atomic<uint32_t> m_maxRead{0};
};

}  // namespace vifnet
