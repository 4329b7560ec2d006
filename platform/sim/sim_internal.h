// The running simulated host's insides, shared by the files of this folder.
//
// Locks: the host lock (HostImpl::mu_) guards the LAN's membership and the
// peers' state; a capture device's or a station's own lock guards its queue.
// The host lock is never held while a device or station lock is taken, nor
// while calling into the common platform code (events, handles), so none of
// them can wait on another.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <queue>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "platform/npf.h"
#include "platform/sim/sim_host.h"
#include "sim/sim_frames.h"

namespace platform::sim {

using Clock = std::chrono::steady_clock;

// Runs tasks at their due times on one thread, in due order (ties in the
// order they were given).
class Scheduler {
 public:
  Scheduler();
  ~Scheduler();
  void After(DWORD milliseconds, std::function<void()> task);
  void Stop();  // runs nothing more; joins the thread

 private:
  struct Item {
    Clock::time_point due;
    std::uint64_t seq;
    std::function<void()> task;
    bool operator>(const Item& o) const { return due != o.due ? due > o.due : seq > o.seq; }
  };
  void Run();
  std::mutex mu_;
  std::condition_variable cv_;
  std::priority_queue<Item, std::vector<Item>, std::greater<Item>> items_;
  std::uint64_t seq_ = 0;
  bool stop_ = false;
  std::thread thread_;
};

// The answers of an adapter's NDIS objects, shared by both device kinds.
// Returns ERROR_SUCCESS with the value, or the error the query gives.
DWORD QueryAdapterOid(const SimAdapterModel& adapter, bool plugged, DWORD oid, Bytes* value);

class HostImpl;

// One open capture device's queue and settings.
class CaptureCore {
 public:
  CaptureCore(const SimAdapterModel& adapter, std::size_t adapterIndex)
      : adapter_(adapter), adapterIndex_(adapterIndex), lookahead_(adapter.maxLookahead) {}
  // A frame seen on the adapter. `outgoing`: the adapter sent it (the
  // hardware filter does not apply); `own`: this open sent it.
  void Offer(ByteSpan frame, bool outgoing, bool own);

  const SimAdapterModel& adapter_;
  const std::size_t adapterIndex_;

  struct Packet {
    Bytes data;
    DWORD wireLength;
    npf::bpf_timeval stamp;
  };
  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<Packet> queue_;
  std::size_t queuedBytes_ = 0;  // as the packets take room in a read buffer
  DWORD bufferSize_ = 1u << 20;
  DWORD minToCopy_ = 0;
  DWORD readTimeout_ = 0xFFFFFFFF;  // no waiting
  DWORD packetFilter_ = npf::NDIS_PACKET_TYPE_DIRECTED | npf::NDIS_PACKET_TYPE_MULTICAST |
                        npf::NDIS_PACKET_TYPE_BROADCAST;
  DWORD lookahead_;
  bool noLoopback_ = false;
  bool readsFail_ = false;
  bool cancelled_ = false;
  std::vector<npf::bpf_insn> program_;
  UINT received_ = 0;
  UINT dropped_ = 0;
  std::shared_ptr<EventControl> event_;
  // Brings the read event in line with the queue; call with mu_ held.
  void UpdateEventLocked();
};

// A station's queue and the descriptor that shows it.
class StationCore {
 public:
  StationCore(const StationOptions& options, std::size_t adapterIndex);
  ~StationCore();
  bool Valid() const { return fds_[0] >= 0; }
  void Deliver(ByteSpan data);
  void SetFailing(bool failing);
  void SetRemoved();  // its adapter is gone, for good
  bool Removed();
  DWORD Receive(Bytes* data);

  const StationOptions options_;
  const std::size_t adapterIndex_;
  int fds_[2] = {-1, -1};  // [0] the host's end, [1] the readable end

 private:
  void SignalLocked();
  std::mutex mu_;
  std::deque<Bytes> queue_;
  std::size_t queuedBytes_ = 0;
  bool failing_ = false;
  bool removed_ = false;
  bool signalled_ = false;
};

// Who put a frame on a LAN.
struct Origin {
  enum class Kind { kCapture, kHostStack, kStation, kPeer } kind;
  const void* who = nullptr;  // the capture core, station core or peer state
};

class PeerPingImpl;

struct PeerState {
  PeerModel model;
  std::mt19937_64 rng;
  std::vector<std::shared_ptr<PeerPingImpl>> pings;
  WORD nextIpId = 1;
};

struct FarState {
  FarHostModel model;
  std::mt19937_64 rng;
};

struct AdapterState {
  const SimAdapterModel* model;
  bool plugged;
  bool readsFail = false;
  std::optional<DWORD> opensLeft;  // unset: no limit ("opens N")
  std::vector<std::weak_ptr<CaptureCore>> captures;
  std::vector<std::weak_ptr<StationCore>> stations;
};

class HostImpl final : public SimHost, public std::enable_shared_from_this<HostImpl> {
 public:
  explicit HostImpl(HostModel model);
  ~HostImpl() override;

  const HostModel& model() const override { return model_; }
  DeviceService& Devices() override { return *devices_; }
  IpHelperBackend& IpHelper() override { return *ipHelper_; }
  const RegistryTree& Registry() override { return registry_; }
  NameResolver& Names() override { return *names_; }
  const SystemFacts& Facts() override { return model_.facts; }
  const FileVersion& DriverFileVersion() const override { return model_.driverVersion; }

  bool SetPlugged(const std::string& adapter, bool plugged) override;
  bool FailReads(const std::string& adapter, bool fail) override;
  bool RemoveAdapter(const std::string& adapter) override;
  void DropNextReplies(DWORD n) override;
  void DuplicateNextReplies(DWORD n) override;
  void DelayNextReplies(DWORD n, DWORD extraMs) override;
  std::shared_ptr<PeerPing> Ping(DWORD peer, DWORD target, DWORD count, DWORD intervalMs, DWORD timeoutMs) override;
  std::unique_ptr<Station> Attach(const std::string& adapter, const StationOptions& options, DWORD* error) override;

  // For the devices and stations of this folder.
  int AdapterIndex(const std::string& name) const;  // -1 when unknown or removed
  bool Removed(std::size_t adapter) const;
  bool Plugged(std::size_t adapter);
  void AddCapture(const std::shared_ptr<CaptureCore>& core);
  // Counts one open of the adapter's capture device; false once the opens
  // its description allows are used up.
  bool TakeCaptureOpen(std::size_t adapter);
  void RemoveStation(const StationCore* core);
  // A frame written by a capture device of the adapter.
  void TransmitFromCapture(CaptureCore* from, ByteSpan frame);
  void StationSend(const std::shared_ptr<StationCore>& from, ByteSpan data);
  DWORD SendArp(DWORD destination, DWORD source, BYTE mac[6]);

 private:
  friend class PeerPingImpl;
  // The open capture devices and stations of an adapter; mu_ held. They
  // are told of a change after mu_ is released.
  struct Members {
    std::vector<std::shared_ptr<CaptureCore>> captures;
    std::vector<std::shared_ptr<StationCore>> stations;
  };
  Members MembersLocked(std::size_t adapter);
  static void SetCapturesFailing(const Members& members, bool fail);
  void Inject(std::size_t adapter, Bytes frame, Origin origin);
  // Reacts to a frame as the host's stack and the peers would; mu_ held.
  void ReactLocked(std::size_t adapter, const Bytes& frame, Origin origin,
                   std::vector<std::pair<std::shared_ptr<StationCore>, Bytes>>* tunDeliveries);
  // Answers go on the LAN of the frame being reacted to; mu_ held.
  void ReplyLater(DWORD delayMs, Bytes frame, Origin origin);
  // Sends an echo reply as a peer or far host behaves; mu_ held.
  void EchoReplyLocked(std::mt19937_64& rng, const Behaviour& b, Bytes frame, Origin origin);
  void HostStackIpLocked(std::size_t adapter, const Ethernet& eth, const Ipv4& ip, ByteSpan packet,
                         std::vector<std::pair<std::shared_ptr<StationCore>, Bytes>>* tunDeliveries);
  PeerState* PeerByMacLocked(std::size_t adapter, const Mac& mac);
  FarState* FarLocked(DWORD ip, DWORD via);
  std::shared_ptr<StationCore> TunStationLocked(std::size_t adapter, DWORD ip);
  std::optional<Mac> NeighbourMacLocked(std::size_t adapter, DWORD ip);

  const HostModel model_;
  RegistryTree registry_;
  std::unique_ptr<DeviceService> devices_;
  std::unique_ptr<IpHelperBackend> ipHelper_;
  std::unique_ptr<NameResolver> names_;

  std::mutex mu_;
  std::condition_variable arpCv_;
  std::vector<AdapterState> adapters_;
  // One flag per adapter of the model, set once by RemoveAdapter; read
  // without the host lock (AdapterIndex runs under it and outside it).
  std::unique_ptr<std::atomic<bool>[]> removed_;
  std::vector<std::unique_ptr<PeerState>> peers_;
  std::vector<FarState> far_;
  struct ArpWait {
    std::size_t adapter;
    DWORD ip;
    std::optional<Mac> mac;
  };
  std::vector<ArpWait*> arpWaits_;
  // Replies decided while reacting to a frame; Inject schedules them once
  // the frame itself has been delivered, so no answer overtakes its question.
  struct Pending {
    DWORD delayMs;
    Bytes frame;
    Origin origin;
  };
  std::vector<Pending>* pending_ = nullptr;
  DWORD dropNext_ = 0, duplicateNext_ = 0, delayNext_ = 0, delayNextMs_ = 0;
  WORD hostIpId_ = 1;
  DWORD pingSerial_ = 0;

  Scheduler scheduler_;  // last: stopped first
};

// Factories of the machine parts over one host (sim_devices.cpp, sim_services.cpp).
std::unique_ptr<DeviceService> MakeDeviceService(HostImpl* host);
std::unique_ptr<IpHelperBackend> MakeIpHelper(HostImpl* host);
std::unique_ptr<NameResolver> MakeNameResolver(const HostModel& model);
void BuildRegistry(const HostModel& model, RegistryTree* tree);

// The forward table a host with this model shows (unsorted).
std::vector<MIB_IPFORWARDROW> ForwardRows(const HostModel& model);

}  // namespace platform::sim
