// The simulated LAN of each adapter: who sees a frame, and how the host's own
// stack, the peers, the routers and the far hosts behind them answer it.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <strings.h>

#include "sim/sim_bpf.h"
#include "sim/sim_internal.h"

namespace platform::sim {

// ---------------------------------------------------------------------------
// Scheduler

Scheduler::Scheduler() : thread_([this] { Run(); }) {}

Scheduler::~Scheduler() { Stop(); }

void Scheduler::Stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void Scheduler::After(DWORD milliseconds, std::function<void()> task) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stop_) return;
    items_.push(Item{Clock::now() + std::chrono::milliseconds(milliseconds), seq_++, std::move(task)});
  }
  cv_.notify_all();
}

void Scheduler::Run() {
  std::unique_lock<std::mutex> lock(mu_);
  while (!stop_) {
    if (items_.empty()) {
      cv_.wait(lock);
      continue;
    }
    Clock::time_point due = items_.top().due;
    if (Clock::now() < due) {
      cv_.wait_until(lock, due);
      continue;
    }
    std::function<void()> task = std::move(const_cast<Item&>(items_.top()).task);
    items_.pop();
    lock.unlock();
    task();
    lock.lock();
  }
}

// ---------------------------------------------------------------------------
// Capture queues

namespace {

npf::bpf_timeval Now() {
  timeval tv;
  gettimeofday(&tv, nullptr);
  return {static_cast<std::int32_t>(tv.tv_sec), static_cast<std::int32_t>(tv.tv_usec)};
}

bool HardwareFilterPasses(DWORD filter, const Mac& adapterMac, const Mac& dest) {
  if (filter & npf::NDIS_PACKET_TYPE_PROMISCUOUS) return true;
  if (dest == kBroadcastMac) return (filter & npf::NDIS_PACKET_TYPE_BROADCAST) != 0;
  if (IsGroupMac(dest))
    return (filter & (npf::NDIS_PACKET_TYPE_MULTICAST | npf::NDIS_PACKET_TYPE_ALL_MULTICAST)) != 0;
  return dest == adapterMac && (filter & npf::NDIS_PACKET_TYPE_DIRECTED) != 0;
}

}  // namespace

void CaptureCore::Offer(ByteSpan frame, bool outgoing, bool own) {
  std::lock_guard<std::mutex> lock(mu_);
  if (own && noLoopback_) return;
  // A filter of 0 passes nothing, the adapter's own transmissions included;
  // any other lets those by.
  if (packetFilter_ == 0) return;
  if (!outgoing) {
    std::optional<Ethernet> eth = ParseEthernet(frame);
    if (!eth || !HardwareFilterPasses(packetFilter_, adapter_.mac, eth->dest)) return;
  }
  ++received_;
  DWORD keep = static_cast<DWORD>(frame.size());
  if (!program_.empty()) keep = std::min(keep, RunBpf(program_, frame, static_cast<DWORD>(frame.size())));
  if (keep == 0) return;
  std::size_t room = npf::Packet_WORDALIGN(sizeof(npf::bpf_hdr) + keep);
  if (queuedBytes_ + room > bufferSize_) {
    ++dropped_;
    return;
  }
  queue_.push_back(Packet{Bytes(frame.begin(), frame.begin() + keep), static_cast<DWORD>(frame.size()), Now()});
  queuedBytes_ += room;
  UpdateEventLocked();
  cv_.notify_all();
}

void CaptureCore::UpdateEventLocked() {
  bool ready = readsFail_ || (!queue_.empty() && queuedBytes_ >= minToCopy_);
  if (!event_) return;
  if (ready) event_->Set();
  else event_->Reset();
}

// ---------------------------------------------------------------------------
// Stations

StationCore::StationCore(const StationOptions& options, std::size_t adapterIndex)
    : options_(options), adapterIndex_(adapterIndex) {
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds_) != 0) fds_[0] = fds_[1] = -1;
}

StationCore::~StationCore() {
  if (fds_[0] >= 0) close(fds_[0]);
  if (fds_[1] >= 0) close(fds_[1]);
}

// One byte waits in the descriptor exactly while something can be received.
void StationCore::SignalLocked() {
  bool want = failing_ || removed_ || !queue_.empty();
  if (want == signalled_) return;
  if (want) {
    char b = 1;
    if (send(fds_[0], &b, 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1) signalled_ = true;
  } else {
    char b;
    while (recv(fds_[1], &b, 1, MSG_DONTWAIT) == 1) {
    }
    signalled_ = false;
  }
}

void StationCore::Deliver(ByteSpan data) {
  constexpr std::size_t kMaxQueued = 4u << 20;
  std::lock_guard<std::mutex> lock(mu_);
  if (queuedBytes_ + data.size() > kMaxQueued) return;  // a full queue loses frames, as a NIC does
  queue_.emplace_back(data.begin(), data.end());
  queuedBytes_ += data.size();
  SignalLocked();
}

void StationCore::SetFailing(bool failing) {
  std::lock_guard<std::mutex> lock(mu_);
  failing_ = failing;
  SignalLocked();
}

void StationCore::SetRemoved() {
  std::lock_guard<std::mutex> lock(mu_);
  removed_ = true;
  queue_.clear();
  queuedBytes_ = 0;
  SignalLocked();
}

bool StationCore::Removed() {
  std::lock_guard<std::mutex> lock(mu_);
  return removed_;
}

DWORD StationCore::Receive(Bytes* data) {
  std::lock_guard<std::mutex> lock(mu_);
  if (removed_) return ERROR_DEV_NOT_EXIST;
  if (failing_) return ERROR_GEN_FAILURE;
  if (queue_.empty()) return ERROR_NO_DATA;
  *data = std::move(queue_.front());
  queue_.pop_front();
  queuedBytes_ -= data->size();
  SignalLocked();
  return ERROR_SUCCESS;
}

namespace {

class StationImpl final : public Station {
 public:
  StationImpl(std::shared_ptr<HostImpl> host, std::shared_ptr<StationCore> core)
      : host_(std::move(host)), core_(std::move(core)) {}
  ~StationImpl() override { host_->RemoveStation(core_.get()); }
  int ReadableFd() const override { return core_->fds_[1]; }
  DWORD Send(const void* data, std::size_t size) override {
    const SimAdapterModel& a = host_->model().adapters[core_->adapterIndex_];
    std::size_t min = core_->options_.mode == StationMode::kTap ? kEthernetHeader : 20;
    std::size_t max = core_->options_.mode == StationMode::kTap ? a.maxTotalSize : a.maxTotalSize - kEthernetHeader;
    if (!data || size < min || size > max) return ERROR_INVALID_PARAMETER;
    if (core_->Removed()) return ERROR_DEV_NOT_EXIST;
    host_->StationSend(core_, ByteSpan(static_cast<const BYTE*>(data), size));
    return ERROR_SUCCESS;
  }
  DWORD Receive(std::vector<BYTE>* data) override {
    if (!data) return ERROR_INVALID_PARAMETER;
    return core_->Receive(data);
  }
  const StationOptions& options() const override { return core_->options_; }

 private:
  std::shared_ptr<HostImpl> host_;
  std::shared_ptr<StationCore> core_;
};

}  // namespace

// ---------------------------------------------------------------------------
// A peer's ping

class PeerPingImpl final : public PeerPing {
 public:
  PeerPingImpl(std::size_t adapter, DWORD target, DWORD hop, DWORD count, DWORD interval, DWORD timeout, WORD id)
      : adapter_(adapter), target_(target), hop_(hop), count_(count), interval_(interval), timeout_(timeout),
        id_(id) {}

  PeerPingResult Result() const override {
    std::lock_guard<std::mutex> lock(mu_);
    return result_;
  }
  bool WaitDone(DWORD milliseconds) const override {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] { return result_.done; });
  }

  // Called by the host with its lock held (this lock nests inside it).
  void Update(const std::function<void(PeerPingResult&)>& change) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      change(result_);
    }
    cv_.notify_all();
  }

  const std::size_t adapter_;
  const DWORD target_;
  const DWORD hop_;  // the address to resolve: the target or the router
  const DWORD count_, interval_, timeout_;
  const WORD id_;
  std::optional<Mac> hopMac_;   // host lock
  DWORD arpAttempts_ = 0;       // host lock
  std::set<WORD> answered_;     // host lock
  bool finished_ = false;       // host lock
  bool echoesStarted_ = false;  // host lock
  // Starts the echo requests once the hop's address is known (host lock);
  // it holds the ping only weakly.
  std::function<void()> onResolved_;

 private:
  mutable std::mutex mu_;
  mutable std::condition_variable cv_;
  PeerPingResult result_;
};

// ---------------------------------------------------------------------------
// The host

namespace {

std::uint64_t Mix(std::uint64_t seed, DWORD ip) {
  std::uint64_t z = seed + 0x9E3779B97F4A7C15ull * (std::uint64_t{ip} + 1);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

double Draw(std::mt19937_64& rng) { return static_cast<double>(rng() >> 11) * 0x1.0p-53; }

bool InSubnet(const SimAdapterModel& a, DWORD ip) { return a.ip && ((*a.ip ^ ip) & a.mask) == 0; }

}  // namespace

namespace {

// A model made in code may leave out what a description fills in.
HostModel Completed(HostModel model) {
  if (model.facts.computerName.empty()) model.facts.computerName = model.hostName;
  return model;
}

}  // namespace

HostImpl::HostImpl(HostModel model) : model_(Completed(std::move(model))) {
  BuildRegistry(model_, &registry_);
  devices_ = MakeDeviceService(this);
  ipHelper_ = MakeIpHelper(this);
  names_ = MakeNameResolver(model_);
  for (const SimAdapterModel& a : model_.adapters) {
    AdapterState state{&a, a.connected};
    state.opensLeft = a.opensAllowed;
    adapters_.push_back(std::move(state));
  }
  removed_ = std::make_unique<std::atomic<bool>[]>(model_.adapters.size());
  for (const PeerModel& p : model_.peers) {
    auto state = std::make_unique<PeerState>();
    state->model = p;
    state->rng.seed(Mix(model_.seed, p.ip));
    peers_.push_back(std::move(state));
  }
  for (const FarHostModel& f : model_.farHosts) {
    FarState state{f, {}};
    state.rng.seed(Mix(model_.seed, f.ip));
    far_.push_back(std::move(state));
  }
}

HostImpl::~HostImpl() { scheduler_.Stop(); }

int HostImpl::AdapterIndex(const std::string& name) const {
  for (std::size_t i = 0; i < model_.adapters.size(); ++i) {
    if (strcasecmp(model_.adapters[i].name.c_str(), name.c_str()) == 0) return Removed(i) ? -1 : static_cast<int>(i);
  }
  return -1;
}

bool HostImpl::Removed(std::size_t adapter) const { return removed_[adapter].load(); }

bool HostImpl::TakeCaptureOpen(std::size_t adapter) {
  std::lock_guard<std::mutex> lock(mu_);
  std::optional<DWORD>& left = adapters_[adapter].opensLeft;
  if (!left) return true;
  if (*left == 0) return false;
  --*left;
  return true;
}

bool HostImpl::Plugged(std::size_t adapter) {
  std::lock_guard<std::mutex> lock(mu_);
  return adapters_[adapter].plugged;
}

void HostImpl::AddCapture(const std::shared_ptr<CaptureCore>& core) {
  bool fail;
  {
    std::lock_guard<std::mutex> lock(mu_);
    AdapterState& a = adapters_[core->adapterIndex_];
    std::erase_if(a.captures, [](const std::weak_ptr<CaptureCore>& w) { return w.expired(); });
    a.captures.push_back(core);
    fail = a.readsFail;
  }
  std::lock_guard<std::mutex> lock(core->mu_);
  core->readsFail_ = fail;
}

void HostImpl::RemoveStation(const StationCore* core) {
  std::lock_guard<std::mutex> lock(mu_);
  auto& list = adapters_[core->adapterIndex_].stations;
  std::erase_if(list, [core](const std::weak_ptr<StationCore>& w) {
    auto s = w.lock();
    return !s || s.get() == core;
  });
}

bool HostImpl::SetPlugged(const std::string& adapter, bool plugged) {
  int i = AdapterIndex(adapter);
  if (i < 0) return false;
  std::lock_guard<std::mutex> lock(mu_);
  adapters_[static_cast<std::size_t>(i)].plugged = plugged;
  return true;
}

HostImpl::Members HostImpl::MembersLocked(std::size_t adapter) {
  Members members;
  for (auto& w : adapters_[adapter].captures)
    if (auto c = w.lock()) members.captures.push_back(c);
  for (auto& w : adapters_[adapter].stations)
    if (auto s = w.lock()) members.stations.push_back(s);
  return members;
}

void HostImpl::SetCapturesFailing(const Members& members, bool fail) {
  for (auto& c : members.captures) {
    std::lock_guard<std::mutex> lock(c->mu_);
    c->readsFail_ = fail;
    c->UpdateEventLocked();
    c->cv_.notify_all();
  }
}

bool HostImpl::FailReads(const std::string& adapter, bool fail) {
  int i = AdapterIndex(adapter);
  if (i < 0) return false;
  Members members;
  {
    std::lock_guard<std::mutex> lock(mu_);
    adapters_[static_cast<std::size_t>(i)].readsFail = fail;
    members = MembersLocked(static_cast<std::size_t>(i));
  }
  SetCapturesFailing(members, fail);
  for (auto& s : members.stations) s->SetFailing(fail);
  return true;
}

bool HostImpl::RemoveAdapter(const std::string& adapter) {
  int i = AdapterIndex(adapter);
  if (i < 0) return false;
  Members members;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (removed_[static_cast<std::size_t>(i)].exchange(true)) return false;
    AdapterState& a = adapters_[static_cast<std::size_t>(i)];
    a.plugged = false;  // nothing crosses its LAN any more
    a.readsFail = true;
    members = MembersLocked(static_cast<std::size_t>(i));
  }
  SetCapturesFailing(members, true);
  for (auto& s : members.stations) s->SetRemoved();
  return true;
}

void HostImpl::DropNextReplies(DWORD n) {
  std::lock_guard<std::mutex> lock(mu_);
  dropNext_ = n;
}

void HostImpl::DuplicateNextReplies(DWORD n) {
  std::lock_guard<std::mutex> lock(mu_);
  duplicateNext_ = n;
}

void HostImpl::DelayNextReplies(DWORD n, DWORD extraMs) {
  std::lock_guard<std::mutex> lock(mu_);
  delayNext_ = n;
  delayNextMs_ = extraMs;
}

std::unique_ptr<Station> HostImpl::Attach(const std::string& adapter, const StationOptions& options, DWORD* error) {
  DWORD dummy;
  if (!error) error = &dummy;
  int i = AdapterIndex(adapter);
  if (i < 0) {
    *error = ERROR_FILE_NOT_FOUND;
    return nullptr;
  }
  if (options.ip == 0 || (options.mode == StationMode::kTap && IsGroupMac(options.mac))) {
    *error = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  auto core = std::make_shared<StationCore>(options, static_cast<std::size_t>(i));
  if (!core->Valid()) {
    *error = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    auto& list = adapters_[static_cast<std::size_t>(i)].stations;
    std::erase_if(list, [](const std::weak_ptr<StationCore>& w) { return w.expired(); });
    list.push_back(core);
    if (adapters_[static_cast<std::size_t>(i)].readsFail) core->SetFailing(true);
  }
  *error = ERROR_SUCCESS;
  return std::make_unique<StationImpl>(shared_from_this(), core);
}

// --- Frames entering a LAN ---

void HostImpl::TransmitFromCapture(CaptureCore* from, ByteSpan frame) {
  Inject(from->adapterIndex_, Bytes(frame.begin(), frame.end()), Origin{Origin::Kind::kCapture, from});
}

void HostImpl::ReplyLater(DWORD delayMs, Bytes frame, Origin origin) {
  pending_->push_back(Pending{delayMs, std::move(frame), origin});
}

std::optional<Mac> HostImpl::NeighbourMacLocked(std::size_t adapter, DWORD ip) {
  const SimAdapterModel& a = *adapters_[adapter].model;
  if (a.ip && *a.ip == ip) return a.mac;
  for (auto& p : peers_) {
    if (p->model.ip == ip && p->model.adapter == a.name) return p->model.mac;
  }
  for (auto& w : adapters_[adapter].stations) {
    auto s = w.lock();
    if (s && s->options_.mode == StationMode::kTap && s->options_.ip == ip) return s->options_.mac;
  }
  return std::nullopt;
}

void HostImpl::StationSend(const std::shared_ptr<StationCore>& from, ByteSpan data) {
  std::size_t adapter = from->adapterIndex_;
  Origin origin{Origin::Kind::kStation, from.get()};
  if (from->options_.mode == StationMode::kTap) {
    Inject(adapter, Bytes(data.begin(), data.end()), origin);
    return;
  }
  // A point-to-point station's packets are routed by the host: to its own
  // stack, to a neighbour on the LAN, or to the default gateway.
  std::optional<Ipv4> ip = ParseIpv4(data);
  if (!ip) return;
  Bytes frame;
  {
    std::lock_guard<std::mutex> lock(mu_);
    const SimAdapterModel& a = *adapters_[adapter].model;
    if (a.ip && ip->dest == *a.ip) {
      std::optional<IcmpEcho> echo;
      if (ip->protocol == 1) echo = ParseIcmpEcho(ip->payload);
      if (echo && echo->type == 8) {
        Bytes reply = EmitIpv4(*a.ip, ip->source, 1, 128, hostIpId_++,
                               EmitIcmpEcho(0, echo->id, echo->sequence, echo->data));
        std::weak_ptr<StationCore> target = from;
        scheduler_.After(0, [target, r = std::move(reply)] {
          if (auto s = target.lock()) s->Deliver(r);
        });
      }
      return;
    }
    if (!adapters_[adapter].plugged) return;
    std::optional<Mac> mac;
    if (InSubnet(a, ip->dest)) mac = NeighbourMacLocked(adapter, ip->dest);
    else if (!a.gateways.empty()) mac = NeighbourMacLocked(adapter, a.gateways.front());
    if (!mac) return;  // nobody to hand it to: ARP would have failed
    frame = EmitEthernet(*mac, a.mac, kEtherTypeIpv4, data);
  }
  Inject(adapter, std::move(frame), Origin{Origin::Kind::kHostStack, from.get()});
}

void HostImpl::Inject(std::size_t adapter, Bytes frame, Origin origin) {
  std::vector<std::shared_ptr<CaptureCore>> captures;
  std::vector<std::shared_ptr<StationCore>> stations;
  std::vector<std::pair<std::shared_ptr<StationCore>, Bytes>> tunDeliveries;
  std::vector<Pending> replies;
  std::optional<Ethernet> eth = ParseEthernet(frame);
  if (!eth) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    AdapterState& a = adapters_[adapter];
    if (!a.plugged) return;  // on an unplugged adapter a frame goes nowhere
    for (auto& w : a.captures)
      if (auto c = w.lock()) captures.push_back(c);
    for (auto& w : a.stations) {
      auto s = w.lock();
      if (!s || s->options_.mode != StationMode::kTap) continue;
      if (origin.kind == Origin::Kind::kStation && origin.who == s.get()) continue;
      if (eth->dest == s->options_.mac || IsGroupMac(eth->dest) || s->options_.promiscuous) stations.push_back(s);
    }
    pending_ = &replies;
    ReactLocked(adapter, frame, origin, &tunDeliveries);
    pending_ = nullptr;
  }
  bool outgoing = origin.kind == Origin::Kind::kCapture || origin.kind == Origin::Kind::kHostStack;
  for (auto& c : captures) c->Offer(frame, outgoing, origin.kind == Origin::Kind::kCapture && origin.who == c.get());
  for (auto& s : stations) s->Deliver(frame);
  for (auto& [s, packet] : tunDeliveries) s->Deliver(packet);
  for (Pending& r : replies) {
    scheduler_.After(r.delayMs, [this, adapter, f = std::move(r.frame), o = r.origin]() mutable {
      Inject(adapter, std::move(f), o);
    });
  }
}

PeerState* HostImpl::PeerByMacLocked(std::size_t adapter, const Mac& mac) {
  const std::string& name = adapters_[adapter].model->name;
  for (auto& p : peers_) {
    if (p->model.mac == mac && p->model.adapter == name) return p.get();
  }
  return nullptr;
}

FarState* HostImpl::FarLocked(DWORD ip, DWORD via) {
  for (FarState& f : far_) {
    if (f.model.ip == ip && f.model.via == via) return &f;
  }
  return nullptr;
}

std::shared_ptr<StationCore> HostImpl::TunStationLocked(std::size_t adapter, DWORD ip) {
  for (auto& w : adapters_[adapter].stations) {
    auto s = w.lock();
    if (s && s->options_.mode == StationMode::kTun && s->options_.ip == ip) return s;
  }
  return nullptr;
}

void HostImpl::EchoReplyLocked(std::mt19937_64& rng, const Behaviour& b, Bytes frame,
                               Origin origin) {
  // Always three draws, so one request's fate never shifts the next one's.
  bool lost = Draw(rng) < b.loss;
  bool late = Draw(rng) < b.late;
  bool twice = Draw(rng) < b.duplicate;
  if (dropNext_ > 0) {
    --dropNext_;
    lost = true;
  }
  if (lost) return;
  DWORD delay = b.delayMs + (late ? b.lateMs : 0);
  if (delayNext_ > 0) {
    --delayNext_;
    delay += delayNextMs_;
  }
  if (duplicateNext_ > 0) {
    --duplicateNext_;
    twice = true;
  }
  if (twice) ReplyLater(delay, frame, origin);
  ReplyLater(delay, std::move(frame), origin);
}

void HostImpl::ReactLocked(std::size_t adapter, const Bytes& frame, Origin origin,
                           std::vector<std::pair<std::shared_ptr<StationCore>, Bytes>>* tunDeliveries) {
  const SimAdapterModel& am = *adapters_[adapter].model;
  std::optional<Ethernet> eth = ParseEthernet(frame);
  if (!eth) return;
  // The host's own stack hears what arrives from the LAN, not what its own
  // adapter sends.
  bool fromLan = origin.kind == Origin::Kind::kPeer || origin.kind == Origin::Kind::kStation;

  if (eth->type == kEtherTypeArp) {
    std::optional<Arp> arp = ParseArp(eth->payload);
    if (!arp) return;
    if (arp->op == 1) {
      if (fromLan && am.ip) {
        bool own = arp->targetIp == *am.ip;
        bool proxied = !own && TunStationLocked(adapter, arp->targetIp) != nullptr;
        if (own || proxied) {
          Bytes reply = EmitEthernet(arp->senderMac, am.mac, kEtherTypeArp,
                                     EmitArp(2, am.mac, arp->targetIp, arp->senderMac, arp->senderIp));
          ReplyLater(0, std::move(reply), Origin{Origin::Kind::kHostStack, nullptr});
        }
      }
      for (auto& p : peers_) {
        if (p->model.adapter != am.name || !p->model.answersArp || p->model.ip != arp->targetIp) continue;
        if (origin.kind == Origin::Kind::kPeer && origin.who == p.get()) continue;
        Bytes reply = EmitEthernet(eth->source, p->model.mac, kEtherTypeArp,
                                   EmitArp(2, p->model.mac, p->model.ip, arp->senderMac, arp->senderIp));
        ReplyLater(p->model.behaviour.delayMs, std::move(reply), Origin{Origin::Kind::kPeer, p.get()});
      }
    } else if (arp->op == 2) {
      if (fromLan && (eth->dest == am.mac || eth->dest == kBroadcastMac)) {
        bool woke = false;
        for (ArpWait* w : arpWaits_) {
          if (w->adapter == adapter && w->ip == arp->senderIp && !w->mac) {
            w->mac = arp->senderMac;
            woke = true;
          }
        }
        if (woke) arpCv_.notify_all();
      }
      PeerState* p = PeerByMacLocked(adapter, eth->dest);
      if (p && !(origin.kind == Origin::Kind::kPeer && origin.who == p)) {
        for (auto& ping : p->pings) {
          if (ping->hopMac_ || arp->senderIp != ping->hop_) continue;
          ping->hopMac_ = arp->senderMac;
          // The requests go out as soon as the address is known, as a real
          // host's ping sends once its ARP request is answered.
          if (!ping->finished_ && !ping->echoesStarted_ && ping->onResolved_) {
            ping->echoesStarted_ = true;
            ping->onResolved_();
          }
        }
      }
    }
    return;
  }

  if (eth->type != kEtherTypeIpv4) return;
  std::optional<Ipv4> ip = ParseIpv4(eth->payload);
  if (!ip) return;

  if (fromLan && eth->dest == am.mac) {
    HostStackIpLocked(adapter, *eth, *ip, eth->payload, tunDeliveries);
    return;
  }
  PeerState* p = PeerByMacLocked(adapter, eth->dest);
  if (!p || (origin.kind == Origin::Kind::kPeer && origin.who == p)) return;
  if (ip->protocol != 1) return;
  std::optional<IcmpEcho> echo = ParseIcmpEcho(ip->payload);
  if (!echo) return;
  Origin from{Origin::Kind::kPeer, p};
  if (ip->dest == p->model.ip) {
    if (echo->type == 8 && p->model.answersPing) {
      Bytes reply = EmitEthernet(eth->source, p->model.mac, kEtherTypeIpv4,
                                 EmitIpv4(p->model.ip, ip->source, 1, p->model.behaviour.ttl, p->nextIpId++,
                                          EmitIcmpEcho(0, echo->id, echo->sequence, echo->data)));
      EchoReplyLocked(p->rng, p->model.behaviour, std::move(reply), from);
    } else if (echo->type == 0) {
      for (auto& ping : p->pings) {
        if (echo->id != ping->id_ || ip->source != ping->target_ || ping->finished_) continue;
        bool first = ping->answered_.insert(echo->sequence).second;
        ping->Update([&](PeerPingResult& r) { (first ? r.received : r.duplicates)++; });
      }
    }
    return;
  }
  if (!p->model.router || echo->type != 8) return;
  FarState* far = FarLocked(ip->dest, p->model.ip);
  if (!far || !far->model.answersPing) return;
  BYTE ttl = static_cast<BYTE>(far->model.behaviour.ttl > 1 ? far->model.behaviour.ttl - 1 : 1);
  Bytes reply = EmitEthernet(eth->source, p->model.mac, kEtherTypeIpv4,
                             EmitIpv4(far->model.ip, ip->source, 1, ttl, p->nextIpId++,
                                      EmitIcmpEcho(0, echo->id, echo->sequence, echo->data)));
  EchoReplyLocked(far->rng, far->model.behaviour, std::move(reply), from);
}

void HostImpl::HostStackIpLocked(std::size_t adapter, const Ethernet& eth, const Ipv4& ip, ByteSpan packet,
                                 std::vector<std::pair<std::shared_ptr<StationCore>, Bytes>>* tunDeliveries) {
  const SimAdapterModel& am = *adapters_[adapter].model;
  if (auto tun = TunStationLocked(adapter, ip.dest)) {
    std::size_t total = static_cast<std::size_t>(ip.payload.data() - packet.data()) + ip.payload.size();
    tunDeliveries->emplace_back(tun, Bytes(packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(total)));
    return;
  }
  if (!am.ip || ip.dest != *am.ip || ip.protocol != 1) return;
  std::optional<IcmpEcho> echo = ParseIcmpEcho(ip.payload);
  if (!echo || echo->type != 8) return;
  Bytes reply = EmitEthernet(eth.source, am.mac, kEtherTypeIpv4,
                             EmitIpv4(*am.ip, ip.source, 1, 128, hostIpId_++,
                                      EmitIcmpEcho(0, echo->id, echo->sequence, echo->data)));
  ReplyLater(0, std::move(reply), Origin{Origin::Kind::kHostStack, nullptr});
}

// --- The ARP test of the IP helper ---

DWORD HostImpl::SendArp(DWORD destination, DWORD source, BYTE mac[6]) {
  constexpr DWORD kArpWaitMs = 1000;
  std::size_t adapter = model_.adapters.size();
  for (std::size_t i = 0; i < model_.adapters.size(); ++i) {
    const SimAdapterModel& a = model_.adapters[i];
    if (Removed(i)) continue;
    if (source != 0 ? (a.ip && *a.ip == source) : InSubnet(a, destination)) {
      adapter = i;
      break;
    }
  }
  if (adapter == model_.adapters.size()) return source != 0 ? ERROR_INVALID_PARAMETER : ERROR_NETWORK_UNREACHABLE;
  const SimAdapterModel& a = model_.adapters[adapter];
  if (a.ip && *a.ip == destination) {
    std::memcpy(mac, a.mac.data(), 6);
    return ERROR_SUCCESS;
  }
  ArpWait wait{adapter, destination, std::nullopt};
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (!adapters_[adapter].plugged) return ERROR_GEN_FAILURE;
    arpWaits_.push_back(&wait);
  }
  Inject(adapter,
         EmitEthernet(kBroadcastMac, a.mac, kEtherTypeArp,
                      EmitArp(1, a.mac, a.ip.value_or(0), Mac{}, destination)),
         Origin{Origin::Kind::kHostStack, nullptr});
  std::unique_lock<std::mutex> lock(mu_);
  arpCv_.wait_for(lock, std::chrono::milliseconds(kArpWaitMs), [&] { return wait.mac.has_value(); });
  std::erase(arpWaits_, &wait);
  if (!wait.mac) return ERROR_GEN_FAILURE;
  std::memcpy(mac, wait.mac->data(), 6);
  return ERROR_SUCCESS;
}

// --- A peer pings ---

std::shared_ptr<PeerPing> HostImpl::Ping(DWORD peerIp, DWORD target, DWORD count, DWORD intervalMs,
                                         DWORD timeoutMs) {
  std::lock_guard<std::mutex> lock(mu_);
  PeerState* peer = nullptr;
  std::size_t peerIndex = 0;
  for (std::size_t i = 0; i < peers_.size(); ++i) {
    if (peers_[i]->model.ip == peerIp) {
      peer = peers_[i].get();
      peerIndex = i;
    }
  }
  if (!peer) return nullptr;
  int ai = AdapterIndex(peer->model.adapter);
  if (ai < 0) return nullptr;
  std::size_t adapter = static_cast<std::size_t>(ai);
  const SimAdapterModel& am = model_.adapters[adapter];
  // Off the LAN, a host resolves its router instead of the target.
  DWORD hop = target;
  if (!InSubnet(am, target)) {
    for (auto& p : peers_) {
      if (p->model.router && p->model.adapter == am.name && p.get() != peer) {
        hop = p->model.ip;
        break;
      }
    }
  }
  WORD id = static_cast<WORD>(0x5000 + (peerIndex << 8) + (++pingSerial_ & 0xFF));
  auto ping = std::make_shared<PeerPingImpl>(adapter, target, hop, count, intervalMs, timeoutMs, id);
  std::erase_if(peer->pings, [](const std::shared_ptr<PeerPingImpl>& q) { return q->finished_; });
  peer->pings.push_back(ping);

  // Each step runs on the scheduler: ARP (up to three tries), then the requests.
  struct Steps {
    HostImpl* host;
    PeerState* peer;
    std::shared_ptr<PeerPingImpl> ping;
    void Arp() {
      Bytes request;
      {
        std::lock_guard<std::mutex> lock(host->mu_);
        if (ping->echoesStarted_) return;
        if (ping->hopMac_) {
          ping->echoesStarted_ = true;
          return Send(1);
        }
        if (ping->arpAttempts_ == 3) return FinishLocked();
        ++ping->arpAttempts_;
        request = EmitEthernet(kBroadcastMac, peer->model.mac, kEtherTypeArp,
                               EmitArp(1, peer->model.mac, peer->model.ip, Mac{}, ping->hop_));
      }
      host->Inject(ping->adapter_, std::move(request), Origin{Origin::Kind::kPeer, peer});
      Steps next = *this;
      host->scheduler_.After(std::max<DWORD>(ping->timeout_ / 2, 50), [next]() mutable { next.Arp(); });
    }
    // mu_ held by the caller: Arp, or the ARP reply that resolved the hop.
    void Send(DWORD sequence) {
      if (sequence == 1) ping->Update([](PeerPingResult& r) { r.arpResolved = true; });
      Steps next = *this;
      host->scheduler_.After(0, [next, sequence]() mutable { next.Echo(sequence); });
    }
    void Echo(DWORD sequence) {
      Bytes request;
      {
        std::lock_guard<std::mutex> lock(host->mu_);
        static const BYTE kPattern[32] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p',
                                          'q', 'r', 's', 't', 'u', 'v', 'w', 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i'};
        request = EmitEthernet(*ping->hopMac_, peer->model.mac, kEtherTypeIpv4,
                               EmitIpv4(peer->model.ip, ping->target_, 1, 64, peer->nextIpId++,
                                        EmitIcmpEcho(8, ping->id_, static_cast<WORD>(sequence), kPattern)));
        ping->Update([](PeerPingResult& r) { r.sent++; });
      }
      host->Inject(ping->adapter_, std::move(request), Origin{Origin::Kind::kPeer, peer});
      Steps next = *this;
      if (sequence < ping->count_) {
        host->scheduler_.After(ping->interval_, [next, sequence]() mutable { next.Echo(sequence + 1); });
      } else {
        host->scheduler_.After(ping->timeout_, [next]() mutable {
          std::lock_guard<std::mutex> lock(next.host->mu_);
          next.FinishLocked();
        });
      }
    }
    void FinishLocked() {
      ping->finished_ = true;
      ping->Update([](PeerPingResult& r) { r.done = true; });
    }
  };
  Steps steps{this, peer, ping};
  std::weak_ptr<PeerPingImpl> weak = ping;
  ping->onResolved_ = [host = this, peer, weak] {
    if (std::shared_ptr<PeerPingImpl> strong = weak.lock()) Steps{host, peer, strong}.Send(1);
  };
  if (count == 0) {
    steps.FinishLocked();
    return ping;
  }
  scheduler_.After(0, [steps]() mutable { steps.Arp(); });
  return ping;
}

}  // namespace platform::sim
