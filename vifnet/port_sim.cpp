// The sim backend: the virtual interface is a station on the simulated LAN of
// its host adapter (TAP: with the guest's MAC; TUN: a point-to-point link for
// the guest's IP, the host answering ARP for it). It joins the LAN when the
// interface is brought up, once the guest's addresses are known. The station
// reports a removed host adapter itself (its reads fail), so no watch is
// needed here.
#include <atomic>
#include <cerrno>
#include <string>
#include <mutex>

#include "platform/sim/sim_host.h"
#include "port.h"
#include "vifnet.h"

namespace vifnet {
namespace {

class SimPort final : public Port {
 public:
  explicit SimPort(const HostAdapter& adapter) : m_adapter(adapter) {}

  int Create(bool tap, std::string* name) override {
    // Each kind counts on its own, as the kernel's tun%d and tap%d names do,
    // so two guests started at once get the same names whichever is first.
    static std::atomic<int> s_nextTun{0}, s_nextTap{0};
    // The errors the kernel gives without its TUN/TAP device, or to a
    // program that may not create interfaces.
    if (std::shared_ptr<platform::sim::SimHost> host = platform::sim::CurrentHost()) {
      if (host->model().tunDevice == platform::sim::TunDevice::kMissing) return ENOENT;
      if (host->model().tunDevice == platform::sim::TunDevice::kDenied) return EPERM;
    }
    m_bTap = tap;
    *name = (tap ? "simtap" : "simtun") + std::to_string((tap ? s_nextTap : s_nextTun).fetch_add(1));
    return 0;
  }

  int SetAddress(unsigned request, DWORD) override {
    // As the kernel: a peer, mask or broadcast needs an address of the
    // device's own first.
    if (request == VN32_SIOCSIFADDR) m_bHasAddress = true;
    return m_bHasAddress ? 0 : EADDRNOTAVAIL;
  }

  int SetMtu(int mtu) override { return mtu < 68 ? EINVAL : 0; }

  int SetFlags(unsigned flags) override {
    std::lock_guard<std::mutex> lock(m_lock);
    // Down, the station stays attached (the pump may be waiting on its
    // descriptor) but nothing crosses it.
    m_bUp = (flags & VN32_IFF_UP) != 0;
    if (!m_bUp || m_station) return 0;
    std::shared_ptr<platform::sim::SimHost> host = platform::sim::CurrentHost();
    if (!host) return ENODEV;
    platform::sim::StationOptions options;
    options.mode = m_bTap ? platform::sim::StationMode::kTap : platform::sim::StationMode::kTun;
    options.mac = m_guestMac;
    options.ip = m_guestIp;
    DWORD error = 0;
    m_station = host->Attach(m_adapter.name, options, &error);
    if (!m_station) {
      m_bUp = false;
      return error == ERROR_FILE_NOT_FOUND ? ENODEV : EINVAL;
    }
    return 0;
  }

  void SetGuest(const Mac& mac, DWORD ip) override {
    std::lock_guard<std::mutex> lock(m_lock);
    m_guestMac = mac;
    m_guestIp = ip;
  }

  void SetBuffers(DWORD, DWORD) override {}

  int SourceFd() override {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_station ? m_station->ReadableFd() : -1;
  }

  int Receive(std::vector<BYTE>* data) override {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_station) return EAGAIN;
    DWORD rc = m_station->Receive(data);
    while (!m_bUp && rc == ERROR_SUCCESS) rc = m_station->Receive(data);  // dropped while down
    if (rc == ERROR_SUCCESS) return 0;
    if (rc == ERROR_NO_DATA) return EAGAIN;
    return rc == ERROR_DEV_NOT_EXIST ? ENODEV : EIO;
  }

  int Send(const void* data, std::size_t size) override {
    std::lock_guard<std::mutex> lock(m_lock);
    if (!m_station || !m_bUp) return ENETDOWN;
    DWORD rc = m_station->Send(data, size);
    if (rc == ERROR_DEV_NOT_EXIST) return ENODEV;
    return rc == ERROR_SUCCESS ? 0 : EINVAL;
  }

 private:
  const HostAdapter m_adapter;
  bool m_bHasAddress = false;  // SIOCSIFADDR came (the interface's lock guards the calls)
  std::mutex m_lock;  // a leaf: guards the station and the guest's addresses
  bool m_bTap = false;
  bool m_bUp = false;
  Mac m_guestMac{};
  DWORD m_guestIp = 0;
  std::unique_ptr<platform::sim::Station> m_station;
};

}  // namespace

std::unique_ptr<Port> MakeSimPort(const HostAdapter& adapter) { return std::make_unique<SimPort>(adapter); }

}  // namespace vifnet
