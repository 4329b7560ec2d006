#include "interface.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "debug_output.h"
#include "host_tables.h"
#include "mestralib/address.h"
#include "platform/sockets.h"

namespace vifnet {
namespace {

constexpr int kMinimumQueueBytes = 256 * 1024;

std::string NameOf(const char name[VN32_IFNAMSIZ]) { return std::string(name, strnlen(name, VN32_IFNAMSIZ - 1)); }

DWORD AddressOf(const vn32_ifreq& ifr) {
  DWORD address;
  std::memcpy(&address, ifr.u.addr.address, 4);
  return address;
}

void PutAddress(vn32_ifreq* ifr, DWORD address) {
  std::memset(&ifr->u, 0, sizeof ifr->u);
  ifr->u.addr.family = VN32_AF_INET;
  std::memcpy(ifr->u.addr.address, &address, 4);
}

const char* AddressRequestName(uint32_t request) {
  switch (request) {
    case VN32_SIOCSIFADDR: return "address";
    case VN32_SIOCSIFDSTADDR: return "destination address";
    case VN32_SIOCSIFBRDADDR: return "broadcast address";
    case VN32_SIOCSIFNETMASK: return "net mask";
    default: return "?";
  }
}

bool IsArpType(const void* data, std::size_t size) {
  if (size < 14) return false;
  const auto* bytes = static_cast<const BYTE*>(data);
  const unsigned type = (unsigned{bytes[12]} << 8) | bytes[13];
  return type == 0x0806 || type == 0x8035;
}

bool IsZeroMac(const BYTE* mac) {
  static const BYTE zero[6] = {};
  return std::memcmp(mac, zero, 6) == 0;
}

}  // namespace

Interface::Interface(const HostAdapter& adapter, std::unique_ptr<Port> port, bool socketNotify)
    : m_adapter(adapter), m_port(std::move(port)), m_bSocketNotify(socketNotify) {}

Interface::~Interface() {
  if (m_stopFd >= 0) {
    uint64_t one = 1;
    ssize_t ignored = write(m_stopFd, &one, sizeof one);
    (void)ignored;
  }
  if (m_pump.joinable()) m_pump.join();
  m_port.reset();  // closes a device descriptor of its own
  for (int fd : {m_bDirect ? -1 : m_callerFd, m_libraryFd, m_stopFd}) {
    if (fd >= 0) close(fd);
  }
}

bool Interface::Open() {
  m_stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (m_stopFd < 0) return false;
  int device = -1;
  if (int rc = m_port->OpenDevice(&device); rc != 0) {
    errno = rc;
    return false;
  }
  if (device >= 0) {
    m_callerFd = device;
    m_bDirect = true;
    return true;
  }
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return false;
  m_callerFd = pair[0];
  m_libraryFd = pair[1];
  const int queue = kMinimumQueueBytes;
  setsockopt(m_libraryFd, SOL_SOCKET, SO_SNDBUF, &queue, sizeof queue);
  return true;
}

bool Interface::DebugOn(uint32_t bit) const { return m_bDebug.load() && (m_debugFlags.load() & bit) != 0; }

int Interface::Ioctl(uint32_t request, void* arg) {
  if (arg == nullptr) return EFAULT;
  switch (request) {
    case VN32_TUNSETDEBUG:
      m_debugFlags.store(static_cast<vn32ctl*>(arg)->value);
      return 0;
    case VN32STIMEOUT:
      m_timeoutMs.store(static_cast<int>(static_cast<vn32ctl*>(arg)->value));
      return 0;
    case VN32SDEVBUFF:
    case VN32SIOBUFF: {
      const uint32_t value = static_cast<vn32ctl*>(arg)->value;
      (request == VN32SDEVBUFF ? m_deviceBuffer : m_ioBuffer).store(value);
      if (request == VN32SDEVBUFF && !m_bDirect) {
        // The queue between device and caller plays the driver's buffer.
        const int queue = value > static_cast<uint32_t>(kMinimumQueueBytes) ? static_cast<int>(value)
                                                                           : kMinimumQueueBytes;
        setsockopt(m_libraryFd, SOL_SOCKET, SO_SNDBUF, &queue, sizeof queue);
      }
      std::lock_guard<std::mutex> lock(m_lock);
      m_port->SetBuffers(m_deviceBuffer.load(), m_ioBuffer.load());
      return 0;
    }
    case VN32_TUNSETIFF:
    case VN32_TUNSETIFF_OLD:
      return SetIff(static_cast<vn32_ifreq*>(arg));
    default:
      break;
  }

  auto* ifr = static_cast<vn32_ifreq*>(arg);
  std::unique_lock<std::mutex> lock(m_lock);
  if (!m_bCreated) return EBADFD;
  if (NameOf(ifr->name) != m_strName) return ENODEV;
  switch (request) {
    case VN32_SIOCSIFADDR:
    case VN32_SIOCSIFDSTADDR:
    case VN32_SIOCSIFBRDADDR:
    case VN32_SIOCSIFNETMASK:
      return SetAddress(request, ifr);
    case VN32_SIOCSIFMTU:
      if (ifr->u.mtu < 46 || ifr->u.mtu > 65536) return EINVAL;
      return m_port->SetMtu(ifr->u.mtu);
    case VN32_SIOCSIFFLAGS: {
      const unsigned flags = ifr->u.flags;
      if (DebugOn(kDebugOldNew)) DebugLine("vifnet: %s: flags changed from 0x%04X to 0x%04X\n", m_strName.c_str(), m_flags, flags);
      int rc = m_port->SetFlags(flags);
      if (rc != 0) return rc;
      m_flags = flags;
      m_bDebug.store((flags & VN32_IFF_DEBUG) != 0);
      lock.unlock();
      StartPumpIfReady();
      return 0;
    }
    case VN32_SIOCSIFHWADDR: {
      if (ifr->u.hwaddr.family != VN32_ARPHRD_ETHER) return EINVAL;
      Mac mac;
      std::memcpy(mac.data(), ifr->u.hwaddr.data, 6);
      if (mac[0] & 0x01) return EADDRNOTAVAIL;  // a group address cannot be a station's
      if (DebugOn(kDebugOldNew)) {
        DebugLine("vifnet: %s: MAC address changed from %s to %s\n", m_strName.c_str(),
                  m_bGuestMacSet ? FormatMACAddr(m_guestMac.data()).c_str() : "(none)",
                  FormatMACAddr(mac.data()).c_str());
      }
      m_guestMac = mac;
      m_bGuestMacSet = true;
      m_port->SetGuest(m_guestMac, m_guestIp);
      return 0;
    }
    case VN32_SIOCGIFHWADDR: {
      Mac mac = m_guestMac;
      if (!m_bGuestMacSet) {
        if (m_guestIp == 0) return EADDRNOTAVAIL;
        mac = GuestMacFor(m_guestIp);
      }
      std::memset(&ifr->u, 0, sizeof ifr->u);
      ifr->u.hwaddr.family = VN32_ARPHRD_ETHER;
      std::memcpy(ifr->u.hwaddr.data, mac.data(), 6);
      return 0;
    }
    case VN32_SIOCGIFDSTADDR:
      if (m_adapter.ip == 0) return EADDRNOTAVAIL;
      PutAddress(ifr, m_adapter.ip);
      return 0;
    default:
      return EINVAL;
  }
}

int Interface::SetIff(vn32_ifreq* ifr) {
  const unsigned mode = ifr->u.flags & (VN32_IFF_TUN | VN32_IFF_TAP);
  if (mode != VN32_IFF_TUN && mode != VN32_IFF_TAP) return EINVAL;
  if ((ifr->u.flags & VN32_IFF_NO_PI) == 0) return EINVAL;  // packet information is not offered
  {
    std::lock_guard<std::mutex> lock(m_lock);
    if (m_bCreated) return EBUSY;
    std::string name;
    int rc = m_port->Create(mode == VN32_IFF_TAP, &name);
    if (rc != 0) return rc;
    m_bCreated = true;
    m_bTap = mode == VN32_IFF_TAP;
    m_strName = name.substr(0, VN32_IFNAMSIZ - 1);
    std::memset(ifr->name, 0, sizeof ifr->name);
    std::memcpy(ifr->name, m_strName.data(), m_strName.size());
  }
  DebugLine("vifnet: %s created in %s mode on adapter %s\n", m_strName.c_str(), m_bTap ? "TAP" : "TUN",
            m_adapter.name.c_str());
  StartPumpIfReady();
  return 0;
}

int Interface::SetAddress(uint32_t request, vn32_ifreq* ifr) {
  if (ifr->u.addr.family != VN32_AF_INET) return EINVAL;
  const DWORD address = AddressOf(*ifr);
  if (DebugOn(kDebugOldNew)) {
    DebugLine("vifnet: %s: %s set to %s\n", m_strName.c_str(), AddressRequestName(request),
              FormatIPAddr(address).c_str());
  }
  if (request != VN32_SIOCSIFADDR && !m_bHostAddressSet && m_adapter.ip != 0) {
    // An adapter named by its MAC leaves the link's host end without an
    // address, and the kernel takes a peer, mask or broadcast only for an
    // address it has: that end takes the adapter's own, as it would had the
    // adapter been named by it.
    if (int rc = m_port->SetAddress(VN32_SIOCSIFADDR, m_adapter.ip); rc != 0) return rc;
    m_bHostAddressSet = true;
  }
  int rc = m_port->SetAddress(request, address);
  if (rc != 0) return rc;
  if (request == VN32_SIOCSIFADDR) m_bHostAddressSet = true;
  if (request == VN32_SIOCSIFDSTADDR) {
    m_guestIp = address;
    m_port->SetGuest(m_bGuestMacSet ? m_guestMac : GuestMacFor(address), address);
  }
  return 0;
}

void Interface::StartPumpIfReady() {
  std::lock_guard<std::mutex> lock(m_lock);
  if (m_pump.joinable()) return;
  if (m_bDirect) {
    if (m_bCreated) m_pump = std::thread([this] { WatchAdapter(); });
    return;
  }
  if (m_port->SourceFd() < 0) return;
  m_pump = std::thread([this] { Pump(); });
}

void Interface::Pump() {
  // The adapter may have gone between the open and now, before the watch.
  if (int rc = m_port->CheckAdapter(); rc != 0) return DeviceFailed(rc);
  std::vector<BYTE> frame;
  for (;;) {
    // A negative descriptor (no watch) is skipped by poll.
    pollfd fds[3] = {{m_port->SourceFd(), POLLIN, 0}, {m_stopFd, POLLIN, 0}, {m_port->AdapterWatchFd(), POLLIN, 0}};
    if (poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    if (fds[2].revents != 0) {
      if (int rc = m_port->CheckAdapter(); rc != 0) return DeviceFailed(rc);
    }
    for (;;) {
      int rc = m_port->Receive(&frame);
      if (rc == EAGAIN) break;
      if (rc != 0) return DeviceFailed(rc);
      if (frame.empty()) continue;
      if (send(m_libraryFd, frame.data(), frame.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0) {
        m_ignored.fetch_add(1);  // the caller is not keeping up, or has shut its end
      }
    }
  }
}

void Interface::WatchAdapter() {
  for (;;) {
    // The adapter may have gone between the open and the first look.
    if (int rc = m_port->CheckAdapter(); rc != 0) return DeviceFailed(rc);
    if (m_port->AdapterWatchFd() < 0) return;
    pollfd fds[2] = {{m_port->AdapterWatchFd(), POLLIN, 0}, {m_stopFd, POLLIN, 0}};
    while (poll(fds, 2, -1) < 0) {
      if (errno != EINTR) return;
    }
    if (fds[1].revents != 0) return;
  }
}

void Interface::DeviceFailed(int error) {
  if (error == ENODEV) {
    DebugLine("vifnet: %s: host adapter %s is gone; reads fail from now on\n", m_strName.c_str(), m_adapter.name.c_str());
  } else {
    DebugLine("vifnet: %s: the device failed (errno %d); reads fail from now on\n", m_strName.c_str(), error);
  }
  m_readError.store(error);
  if (m_bDirect) {
    // The next read fails; a caller waiting in select is woken by ending the
    // descriptor, which takes the device with it (the number stays the
    // caller's until vifnet32_close).
    m_bReadFailed.store(true);
    platform::CloseSocket(m_callerFd);
    return;
  }
  // Tell the reader after what is already queued: an empty message wakes it,
  // the error explains it.
  ssize_t ignored = send(m_libraryFd, "", 0, MSG_DONTWAIT | MSG_NOSIGNAL);
  (void)ignored;
}

std::optional<Mac> Interface::LinkMacFor(DWORD ip) const {
  std::lock_guard<std::mutex> lock(m_lock);
  if (!m_bCreated || !m_bTap.load()) return std::nullopt;
  if (ip != 0 && ip == m_guestIp) return m_bGuestMacSet ? m_guestMac : GuestMacFor(m_guestIp);
  return m_port->RoutedLinkMac();
}

void Interface::CountFrame(const void* data, std::size_t size, bool written) {
  const bool tap = m_bTap.load();
  const uint32_t bit = tap && IsArpType(data, size) ? (written ? kDebugArpWritten : kDebugArpRead)
                                                    : (written ? kDebugOtherWritten : kDebugOtherRead);
  if (DebugOn(bit)) {
    DebugLine("vifnet: %s: %s %s packet of %zu bytes\n", m_strName.c_str(), written ? "wrote" : "read",
              bit == kDebugArpRead || bit == kDebugArpWritten ? "ARP" : "other", size);
    if (DebugOn(kDebugContents)) DebugDump(data, size);
  }
  if (!tap || size < 14) return;
  const auto* bytes = static_cast<const BYTE*>(data);
  if (IsZeroMac(bytes)) (written ? m_toZeroWritten : m_toZeroRead).fetch_add(1);
  if (IsZeroMac(bytes + 6)) (written ? m_fromZeroWritten : m_fromZeroRead).fetch_add(1);
  if (!written) {
    Mac guest;
    {
      std::lock_guard<std::mutex> lock(m_lock);
      guest = m_bGuestMacSet ? m_guestMac : GuestMacFor(m_guestIp);
    }
    if (std::memcmp(bytes + 6, guest.data(), 6) == 0) m_fromOurself.fetch_add(1);
  }
}

int Interface::Read(void* buffer, int size) {
  m_readCalls.fetch_add(1);
  if (buffer == nullptr || size <= 0) return -EINVAL;
  if (m_bReadFailed.load()) return -m_readError.load();
  if (m_bDirect) return ReadDevice(buffer, size);
  // In socket-notify mode the caller waits with select and then reads until
  // nothing is left, so a read never waits there.
  const int timeout = m_bSocketNotify ? 0 : m_timeoutMs.load();
  pollfd fd = {m_callerFd, POLLIN, 0};
  int ready = poll(&fd, 1, timeout);
  if (ready < 0) return errno == EINTR ? 0 : -errno;
  if (ready == 0) return 0;
  ssize_t n = recv(m_callerFd, buffer, static_cast<std::size_t>(size), MSG_DONTWAIT | MSG_TRUNC);
  if (n < 0) return errno == EAGAIN ? 0 : -errno;
  if (n == 0) {
    // An empty message is the pump's word that the device failed; an end
    // of stream is a caller who shut the socket down to stop waiting.
    int error = m_readError.load();
    if (error == 0) return 0;
    m_bReadFailed.store(true);
    return -error;
  }
  if (n > size) {
    m_ignored.fetch_add(1);  // longer than the caller's buffer: cut
    n = size;
  }
  return Delivered(buffer, static_cast<int>(n));
}

int Interface::ReadDevice(void* buffer, int size) {
  // The device's descriptor never blocks: a frame already waiting costs
  // one read; otherwise the read waits for one in poll, with the time-out
  // (in socket-notify mode the caller has waited in select already).
  bool waited = m_bSocketNotify;
  for (;;) {
    ssize_t n;
    if (static_cast<std::size_t>(size) >= VN32_MAX_PACKET) {
      n = read(m_callerFd, buffer, static_cast<std::size_t>(size));
    } else {
      // The device hands out a frame whole or not at all: a short buffer
      // gets the frame cut.
      thread_local std::vector<BYTE> whole(VN32_MAX_PACKET);
      n = read(m_callerFd, whole.data(), whole.size());
      if (n > size) {
        m_ignored.fetch_add(1);
        n = size;
      }
      if (n > 0) std::memcpy(buffer, whole.data(), static_cast<std::size_t>(n));
    }
    if (n > 0) return Delivered(buffer, static_cast<int>(n));
    if (m_bReadFailed.load()) return -m_readError.load();
    // End of file: the caller ended the descriptor to stop waiting.
    if (n == 0) return 0;
    if (errno == EINTR) continue;
    if (errno != EAGAIN) return -errno;  // EBADFD: no device yet
    if (waited) return 0;
    waited = true;
    pollfd fd = {m_callerFd, POLLIN, 0};
    const int ready = poll(&fd, 1, m_timeoutMs.load());
    if (ready < 0 && errno != EINTR) return -errno;
    if (ready <= 0) return 0;
  }
}

int Interface::Delivered(const void* buffer, int n) {
  m_readIos.fetch_add(1);
  m_packetsRead.fetch_add(1);
  m_bytesRead.fetch_add(static_cast<uint64_t>(n));
  uint32_t previous = m_maxRead.load();
  while (static_cast<uint32_t>(n) > previous && !m_maxRead.compare_exchange_weak(previous, static_cast<uint32_t>(n))) {
  }
  CountFrame(buffer, static_cast<std::size_t>(n), false);
  return static_cast<int>(n);
}

int Interface::Write(const void* buffer, int length) {
  m_writeCalls.fetch_add(1);
  if (buffer == nullptr || length <= 0) return -EINVAL;
  {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_bCreated) return -EBADFD;
  }
  int rc = m_port->Send(buffer, static_cast<std::size_t>(length));
  if (rc != 0) return -rc;
  m_writeIos.fetch_add(1);
  m_packetsWritten.fetch_add(1);
  m_bytesWritten.fetch_add(static_cast<uint64_t>(length));
  CountFrame(buffer, static_cast<std::size_t>(length), true);
  return length;
}

void Interface::Stats(vn32_stats* stats) const {
  stats->kernel_buffer_size = m_deviceBuffer.load();
  stats->dll_buffer_size = m_ioBuffer.load();
  stats->max_io_bytes_received = m_maxRead.load();
  stats->write_calls = m_writeCalls.load();
  stats->write_ios = m_writeIos.load();
  stats->read_calls = m_readCalls.load();
  stats->read_ios = m_readIos.load();
  stats->packets_read = m_packetsRead.load();
  stats->packets_written = m_packetsWritten.load();
  stats->bytes_read = m_bytesRead.load();
  stats->bytes_written = m_bytesWritten.load();
  stats->arp_handled = 0;  // the guest answers its own ARP
  // Besides the frames cut or left by the library, those the device itself
  // dropped because the guest did not read them in time.
  std::uint64_t dropped;
  {
    std::lock_guard<std::mutex> lock(m_lock);  // the device's name may change under a TUNSETIFF
    dropped = m_port->DroppedByDevice();
  }
  stats->ignored = m_ignored.load() + dropped;
  stats->from_ourself = m_fromOurself.load();
  stats->to_zero_mac_read = m_toZeroRead.load();
  stats->to_zero_mac_written = m_toZeroWritten.load();
  stats->from_zero_mac_read = m_fromZeroRead.load();
  stats->from_zero_mac_written = m_fromZeroWritten.load();
}

}  // namespace vifnet
