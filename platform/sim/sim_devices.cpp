// The simulated host's devices: NPF_<name> (the capture driver bound to an
// adapter) and <name> (the adapter's own NDIS device), and its DOS device
// names.
#include <strings.h>

#include <algorithm>
#include <cstring>

#include "platform/file.h"
#include "platform/sync.h"
#include "sim/sim_bpf.h"
#include "sim/sim_internal.h"

namespace platform::sim {
namespace {

constexpr DWORD OID_GEN_MEDIA_SUPPORTED = 0x00010103;
constexpr DWORD OID_GEN_MAXIMUM_FRAME_SIZE = 0x00010106;
constexpr DWORD OID_802_3_PERMANENT_ADDRESS = 0x01010101;
constexpr DWORD TcpLargeSendNdisTask = 1;
constexpr DWORD kNdisEncapsulationIeee8023 = 2;

void PutDword(Bytes* b, DWORD v) {
  BYTE raw[4];
  std::memcpy(raw, &v, 4);
  b->insert(b->end(), raw, raw + 4);
}

DWORD GetDword(const BYTE* p) {
  DWORD v;
  std::memcpy(&v, p, 4);
  return v;
}

Bytes DwordValue(DWORD v) {
  Bytes b;
  PutDword(&b, v);
  return b;
}

std::vector<DWORD> SupportedOids(const SimAdapterModel& a) {
  std::vector<DWORD> oids = {npf::OID_GEN_SUPPORTED_LIST,      OID_GEN_MEDIA_SUPPORTED,
                             npf::OID_GEN_MEDIA_IN_USE,        npf::OID_GEN_MAXIMUM_LOOKAHEAD,
                             OID_GEN_MAXIMUM_FRAME_SIZE,       npf::OID_GEN_LINK_SPEED,
                             npf::OID_GEN_CURRENT_PACKET_FILTER, npf::OID_GEN_CURRENT_LOOKAHEAD,
                             npf::OID_GEN_MAXIMUM_TOTAL_SIZE,  npf::OID_GEN_MEDIA_CONNECT_STATUS,
                             OID_802_3_PERMANENT_ADDRESS,      npf::OID_802_3_CURRENT_ADDRESS};
  if (a.offload == OffloadForm::kNdis5 || a.offload == OffloadForm::kNdis5NoChecksumTask)
    oids.push_back(npf::OID_TCP_TASK_OFFLOAD);
  if (a.offload == OffloadForm::kNdis6) oids.push_back(npf::OID_TCP_OFFLOAD_CURRENT_CONFIG);
  return oids;
}

DWORD Ndis5Flags(const ChecksumDirection& d) {
  return (d.ipOptions == 1 ? npf::kCksumIpOptions : 0) | (d.tcpOptions == 1 ? npf::kCksumTcpOptions : 0) |
         (d.tcp == 1 ? npf::kCksumTcp : 0) | (d.udp == 1 ? npf::kCksumUdp : 0) | (d.ip == 1 ? npf::kCksumIp : 0);
}

DWORD Ndis6Fields(const ChecksumDirection& d) {
  return DWORD{d.ipOptions} | DWORD{d.tcpOptions} << 2 | DWORD{d.tcp} << 4 | DWORD{d.udp} << 6 | DWORD{d.ip} << 8;
}

// The NDIS 5 task list: the header, then one task record with its buffer.
Bytes Ndis5TaskList(const SimAdapterModel& a) {
  Bytes b;
  PutDword(&b, 1);   // Version
  PutDword(&b, 28);  // Size
  PutDword(&b, 0);
  PutDword(&b, 28);  // OffsetFirstTask
  PutDword(&b, kNdisEncapsulationIeee8023);
  PutDword(&b, 1);  // fixed header size
  PutDword(&b, 14);
  bool checksum = a.offload == OffloadForm::kNdis5;
  PutDword(&b, 0);   // Version
  PutDword(&b, 20);  // Size
  PutDword(&b, checksum ? npf::TcpIpChecksumNdisTask : TcpLargeSendNdisTask);
  PutDword(&b, 0);   // OffsetNextTask: the last
  PutDword(&b, 16);  // TaskBufferLength
  if (checksum) {
    PutDword(&b, Ndis5Flags(a.checksum.v4Transmit));
    PutDword(&b, Ndis5Flags(a.checksum.v4Receive));
    PutDword(&b, Ndis5Flags(a.checksum.v6Transmit));
    PutDword(&b, Ndis5Flags(a.checksum.v6Receive));
  } else {
    PutDword(&b, 0);      // Version
    PutDword(&b, 65536);  // MaxOffLoadSize
    PutDword(&b, 2);      // MinSegmentCount
    PutDword(&b, 0);      // options
  }
  return b;
}

Bytes Ndis6Offload(const SimAdapterModel& a) {
  Bytes b(npf::kNdis6OffloadMinimum, 0);
  b[0] = npf::NDIS_OBJECT_TYPE_OFFLOAD;
  b[1] = 1;
  b[2] = static_cast<BYTE>(npf::kNdis6OffloadMinimum);
  b[3] = static_cast<BYTE>(npf::kNdis6OffloadMinimum >> 8);
  const ChecksumDirection* dirs[4] = {&a.checksum.v4Transmit, &a.checksum.v4Receive, &a.checksum.v6Transmit,
                                      &a.checksum.v6Receive};
  for (int i = 0; i < 4; ++i) {
    ChecksumDirection d = *dirs[i];
    if (i >= 2) d.ip = 0;
    DWORD enc = kNdisEncapsulationIeee8023, fields = Ndis6Fields(d);
    std::memcpy(&b[4 + static_cast<std::size_t>(i) * 8], &enc, 4);
    std::memcpy(&b[8 + static_cast<std::size_t>(i) * 8], &fields, 4);
  }
  return b;
}

}  // namespace

DWORD QueryAdapterOid(const SimAdapterModel& a, bool plugged, DWORD oid, Bytes* value) {
  value->clear();
  switch (oid) {
    case npf::OID_GEN_SUPPORTED_LIST: {
      for (DWORD o : SupportedOids(a)) PutDword(value, o);
      if (a.supportedListBytes) value->resize(*a.supportedListBytes, 0);
      return ERROR_SUCCESS;
    }
    case OID_GEN_MEDIA_SUPPORTED:
    case npf::OID_GEN_MEDIA_IN_USE: *value = DwordValue(a.medium); return ERROR_SUCCESS;
    case npf::OID_GEN_MAXIMUM_LOOKAHEAD: *value = DwordValue(a.maxLookahead); return ERROR_SUCCESS;
    case OID_GEN_MAXIMUM_FRAME_SIZE: *value = DwordValue(a.maxTotalSize - 14); return ERROR_SUCCESS;
    case npf::OID_GEN_LINK_SPEED: *value = DwordValue(a.linkSpeed); return ERROR_SUCCESS;
    case npf::OID_GEN_MAXIMUM_TOTAL_SIZE: *value = DwordValue(a.maxTotalSize); return ERROR_SUCCESS;
    case npf::OID_GEN_MEDIA_CONNECT_STATUS:
      if (a.connectStatusFails) return ERROR_GEN_FAILURE;
      *value = DwordValue(plugged ? 0 : 1);
      return ERROR_SUCCESS;
    case OID_802_3_PERMANENT_ADDRESS:
    case npf::OID_802_3_CURRENT_ADDRESS: value->assign(a.mac.begin(), a.mac.end()); return ERROR_SUCCESS;
    case npf::OID_TCP_TASK_OFFLOAD:
      if (a.offload != OffloadForm::kNdis5 && a.offload != OffloadForm::kNdis5NoChecksumTask)
        return ERROR_NOT_SUPPORTED;
      *value = Ndis5TaskList(a);
      return ERROR_SUCCESS;
    case npf::OID_TCP_OFFLOAD_CURRENT_CONFIG:
      if (a.offload != OffloadForm::kNdis6) return ERROR_NOT_SUPPORTED;
      *value = Ndis6Offload(a);
      return ERROR_SUCCESS;
  }
  return ERROR_NOT_SUPPORTED;
}

namespace {

// ---------------------------------------------------------------------------
// NPF_<name>

class CaptureDevice final : public Device {
 public:
  CaptureDevice(std::shared_ptr<HostImpl> host, std::shared_ptr<CaptureCore> core)
      : host_(std::move(host)), core_(std::move(core)) {}

  ~CaptureDevice() override {
    Cancel();
    // Devices are destroyed outside the handle table's lock, so the event
    // this device made for its reader can be closed right here.
    if (ownEvent_) CloseHandle(ownEvent_);
  }

  DWORD Read(void* buffer, DWORD size, DWORD* bytesRead) override {
    *bytesRead = 0;
    if (!buffer && size) return ERROR_INVALID_PARAMETER;
    CaptureCore& c = *core_;
    std::unique_lock<std::mutex> lock(c.mu_);
    c.cancelled_ = false;
    auto ready = [&] { return c.readsFail_ || c.cancelled_ || !c.queue_.empty(); };
    if (c.queue_.empty() && c.readTimeout_ != 0xFFFFFFFF) {
      if (c.readTimeout_ == 0) c.cv_.wait(lock, ready);
      else c.cv_.wait_for(lock, std::chrono::milliseconds(c.readTimeout_), ready);
    }
    if (c.readsFail_) return ERROR_GEN_FAILURE;
    BYTE* out = static_cast<BYTE*>(buffer);
    std::size_t used = 0;
    while (!c.queue_.empty()) {
      const CaptureCore::Packet& p = c.queue_.front();
      std::size_t at = npf::Packet_WORDALIGN(used);
      std::size_t need = sizeof(npf::bpf_hdr) + p.data.size();
      if (at + need > size) {
        if (used == 0) return ERROR_INSUFFICIENT_BUFFER;  // the packet stays queued
        break;
      }
      std::memset(out + used, 0, at - used);
      npf::bpf_hdr h{};
      h.bh_tstamp = p.stamp;
      h.bh_caplen = static_cast<UINT>(p.data.size());
      h.bh_datalen = p.wireLength;
      h.bh_hdrlen = sizeof(npf::bpf_hdr);
      std::memcpy(out + at, &h, sizeof h);
      std::memcpy(out + at + sizeof h, p.data.data(), p.data.size());
      used = at + need;
      c.queuedBytes_ -= npf::Packet_WORDALIGN(need);
      c.queue_.pop_front();
    }
    c.UpdateEventLocked();
    *bytesRead = static_cast<DWORD>(used);
    return ERROR_SUCCESS;
  }

  DWORD Write(const void* buffer, DWORD size, DWORD* bytesWritten) override {
    *bytesWritten = 0;
    if (!buffer || size < kEthernetHeader || size > core_->adapter_.maxTotalSize) return ERROR_INVALID_PARAMETER;
    host_->TransmitFromCapture(core_.get(), ByteSpan(static_cast<const BYTE*>(buffer), size));
    *bytesWritten = size;
    return ERROR_SUCCESS;
  }

  DWORD Cancel() override {
    std::lock_guard<std::mutex> lock(core_->mu_);
    core_->cancelled_ = true;
    core_->cv_.notify_all();
    return ERROR_SUCCESS;
  }

  DWORD IoControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                  DWORD* bytesReturned) override {
    *bytesReturned = 0;
    if ((!in && inSize) || (!out && outSize)) return ERROR_INVALID_PARAMETER;
    // Input and output are often the same buffer: take the input first.
    const BYTE* src = static_cast<const BYTE*>(in);
    Bytes input(src, src + inSize);
    BYTE* dst = static_cast<BYTE*>(out);
    switch (code) {
      case npf::IOCTL_PROTOCOL_QUERY_OID:
      case npf::IOCTL_PROTOCOL_SET_OID:
        return Oid(code == npf::IOCTL_PROTOCOL_SET_OID, input, dst, outSize, bytesReturned);
      case npf::IOCTL_PROTOCOL_RESET:
        return ERROR_SUCCESS;
      case npf::PACKET_GETEVENTNAME_IOCTL:
        return EventName(dst, outSize, bytesReturned);
      case npf::PACKET_SETEVENTHANDLE_IOCTL: {
        if (inSize != 4 && inSize != 8) return ERROR_INVALID_PARAMETER;
        // Handles fit in 32 bits; an 8-byte value carries the same number.
        std::uintptr_t value = GetDword(input.data());
        std::shared_ptr<EventControl> event = LookupEvent(reinterpret_cast<HANDLE>(value));
        if (!event) return ERROR_INVALID_HANDLE;
        std::lock_guard<std::mutex> lock(core_->mu_);
        core_->event_ = event;
        core_->UpdateEventLocked();
        return ERROR_SUCCESS;
      }
      case npf::PACKET_SETBPFILTER_IOCTL: {
        if (inSize % sizeof(npf::bpf_insn) != 0) return ERROR_INVALID_PARAMETER;
        std::vector<npf::bpf_insn> program(inSize / sizeof(npf::bpf_insn));
        if (inSize) std::memcpy(program.data(), input.data(), inSize);
        if (!program.empty() && !ValidateBpf(program)) return ERROR_INVALID_PARAMETER;
        std::lock_guard<std::mutex> lock(core_->mu_);
        core_->program_ = std::move(program);  // empty: every packet passes
        return ERROR_SUCCESS;
      }
      case npf::PACKET_GETSTATS_IOCTL: {
        if (outSize < sizeof(npf::bpf_stat)) return ERROR_INSUFFICIENT_BUFFER;
        npf::bpf_stat s;
        {
          std::lock_guard<std::mutex> lock(core_->mu_);
          s = {core_->received_, core_->dropped_};
        }
        std::memcpy(dst, &s, sizeof s);
        *bytesReturned = sizeof s;
        return ERROR_SUCCESS;
      }
      case npf::PACKET_MULTIPLEWRITE_IOCTL:
        return MultipleWrite(input, bytesReturned);
      case npf::PACKET_SETBUFFERSIZE_IOCTL:
      case npf::PACKET_SETMINTOCOPY_IOCTL:
      case npf::PACKET_SETREADTIMEOUT_IOCTL:
      case npf::PACKET_SETNOLOOPBACKS_IOCTL:
        if (inSize != 4) return ERROR_INVALID_PARAMETER;
        return Setting(code, GetDword(input.data()));
    }
    return ERROR_INVALID_FUNCTION;
  }

 private:
  DWORD Setting(DWORD code, DWORD value) {
    std::lock_guard<std::mutex> lock(core_->mu_);
    CaptureCore& c = *core_;
    switch (code) {
      case npf::PACKET_SETBUFFERSIZE_IOCTL:
        // A new buffer starts empty, as the driver's reallocation does.
        c.bufferSize_ = value;
        c.queue_.clear();
        c.queuedBytes_ = 0;
        break;
      case npf::PACKET_SETMINTOCOPY_IOCTL: c.minToCopy_ = value; break;
      case npf::PACKET_SETREADTIMEOUT_IOCTL: c.readTimeout_ = value; break;
      case npf::PACKET_SETNOLOOPBACKS_IOCTL:
        if (value != 1 && value != 2) return ERROR_INVALID_PARAMETER;
        c.noLoopback_ = value == 1;
        break;
    }
    c.UpdateEventLocked();
    return ERROR_SUCCESS;
  }

  DWORD Oid(bool set, const Bytes& input, BYTE* out, DWORD outSize, DWORD* bytesReturned) {
    constexpr std::size_t kHead = offsetof(npf::PACKET_OID_DATA, Data);
    if (input.size() < kHead) return ERROR_INVALID_PARAMETER;
    DWORD oid = GetDword(input.data()), length = GetDword(input.data() + 4);
    if (length > npf::kOidDataMax || kHead + length > input.size()) return ERROR_INVALID_PARAMETER;
    const SimAdapterModel& a = core_->adapter_;
    if (set) {
      if (oid != npf::OID_GEN_CURRENT_PACKET_FILTER && oid != npf::OID_GEN_CURRENT_LOOKAHEAD)
        return ERROR_NOT_SUPPORTED;
      if (length < 4) return ERROR_INVALID_PARAMETER;
      DWORD value = GetDword(input.data() + kHead);
      std::lock_guard<std::mutex> lock(core_->mu_);
      if (oid == npf::OID_GEN_CURRENT_PACKET_FILTER) {
        if ((value & npf::NDIS_PACKET_TYPE_PROMISCUOUS) && !a.promiscuousAccepted) return ERROR_NOT_SUPPORTED;
        core_->packetFilter_ = value;
      } else {
        if (value > a.maxLookahead) return ERROR_INVALID_PARAMETER;
        core_->lookahead_ = value;
      }
      if (outSize >= kHead + length) {
        std::memcpy(out, input.data(), kHead + length);
        *bytesReturned = static_cast<DWORD>(kHead + length);
      }
      return ERROR_SUCCESS;
    }
    Bytes value;
    if (oid == npf::OID_GEN_CURRENT_PACKET_FILTER || oid == npf::OID_GEN_CURRENT_LOOKAHEAD) {
      std::lock_guard<std::mutex> lock(core_->mu_);
      value = DwordValue(oid == npf::OID_GEN_CURRENT_PACKET_FILTER ? core_->packetFilter_ : core_->lookahead_);
    } else if (DWORD rc = QueryAdapterOid(a, host_->Plugged(core_->adapterIndex_), oid, &value); rc) {
      return rc;
    }
    if (value.size() > length || outSize < kHead + value.size()) return ERROR_INSUFFICIENT_BUFFER;
    DWORD answered = static_cast<DWORD>(value.size());
    std::memcpy(out, &oid, 4);
    std::memcpy(out + 4, &answered, 4);
    std::memcpy(out + kHead, value.data(), value.size());
    *bytesReturned = static_cast<DWORD>(kHead + value.size());
    return ERROR_SUCCESS;
  }

  DWORD EventName(BYTE* out, DWORD outSize, DWORD* bytesReturned) {
    constexpr DWORD kNameBytes = 26;
    if (outSize < kNameBytes) return ERROR_INSUFFICIENT_BUFFER;
    std::lock_guard<std::mutex> lock(eventMu_);
    if (!ownEvent_) {
      static std::atomic<unsigned> serial{0};
      std::snprintf(eventName_, sizeof eventName_, "NPFSimEvent%010u", ++serial);
      HANDLE h = CreateEvent(false, eventName_);
      if (!h) return ERROR_NOT_ENOUGH_MEMORY;
      std::shared_ptr<EventControl> event = LookupEvent(h);
      if (!event) {
        CloseHandle(h);
        return ERROR_INVALID_HANDLE;
      }
      ownEvent_ = h;
      std::lock_guard<std::mutex> core(core_->mu_);
      core_->event_ = event;
      core_->UpdateEventLocked();
    }
    std::memset(out, 0, kNameBytes);
    std::memcpy(out, eventName_, std::strlen(eventName_));
    *bytesReturned = kNameBytes;
    return ERROR_SUCCESS;
  }

  // The multiple-write buffer holds frames each behind a capture header and
  // padded to 4 bytes. The whole buffer is checked before anything is sent.
  DWORD MultipleWrite(const Bytes& input, DWORD* bytesReturned) {
    std::vector<ByteSpan> frames;
    std::size_t at = 0;
    while (at < input.size()) {
      if (input.size() - at < sizeof(npf::bpf_hdr)) return ERROR_INVALID_PARAMETER;
      npf::bpf_hdr h;
      std::memcpy(&h, input.data() + at, sizeof h);
      std::size_t rest = input.size() - at;
      if (h.bh_hdrlen < sizeof(npf::bpf_hdr) || h.bh_hdrlen > rest || h.bh_caplen > rest - h.bh_hdrlen)
        return ERROR_INVALID_PARAMETER;
      if (h.bh_caplen < kEthernetHeader || h.bh_caplen > core_->adapter_.maxTotalSize) return ERROR_INVALID_PARAMETER;
      frames.emplace_back(input.data() + at + h.bh_hdrlen, h.bh_caplen);
      at = npf::Packet_WORDALIGN(at + h.bh_hdrlen + h.bh_caplen);
    }
    for (ByteSpan f : frames) host_->TransmitFromCapture(core_.get(), f);
    *bytesReturned = static_cast<DWORD>(input.size());
    return ERROR_SUCCESS;
  }

  std::shared_ptr<HostImpl> host_;
  std::shared_ptr<CaptureCore> core_;
  std::mutex eventMu_;
  HANDLE ownEvent_ = nullptr;
  char eventName_[32] = {};
};

// ---------------------------------------------------------------------------
// <name>: the adapter's NDIS device

class NdisDevice final : public Device {
 public:
  NdisDevice(std::shared_ptr<HostImpl> host, std::size_t adapter) : host_(std::move(host)), adapter_(adapter) {}
  DWORD Read(void*, DWORD, DWORD* bytesRead) override {
    *bytesRead = 0;
    return ERROR_INVALID_FUNCTION;
  }
  DWORD Write(const void*, DWORD, DWORD* bytesWritten) override {
    *bytesWritten = 0;
    return ERROR_INVALID_FUNCTION;
  }
  DWORD IoControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                  DWORD* bytesReturned) override {
    *bytesReturned = 0;
    if (code != npf::IOCTL_NDIS_QUERY_GLOBAL_STATS) return ERROR_INVALID_FUNCTION;
    if (!in || inSize < 4 || (!out && outSize)) return ERROR_INVALID_PARAMETER;
    DWORD oid = GetDword(static_cast<const BYTE*>(in));
    const SimAdapterModel& a = host_->model().adapters[adapter_];
    Bytes value;
    if (DWORD rc = QueryAdapterOid(a, host_->Plugged(adapter_), oid, &value); rc) return rc;
    if (oid == npf::OID_GEN_SUPPORTED_LIST && a.supportedListBytes) {
      // An odd driver: it reports the count it was described with, even
      // one larger than the caller's buffer (of which only what fits is
      // written).
      std::memcpy(out, value.data(), std::min<std::size_t>(value.size(), outSize));
      *bytesReturned = static_cast<DWORD>(value.size());
      return ERROR_SUCCESS;
    }
    if (value.size() > outSize) return ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(out, value.data(), value.size());
    *bytesReturned = static_cast<DWORD>(value.size());
    return ERROR_SUCCESS;
  }

 private:
  std::shared_ptr<HostImpl> host_;
  std::size_t adapter_;
};

// ---------------------------------------------------------------------------
// The device service

std::string Fold(const std::string& s) {
  std::string f = s;
  for (char& c : f) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return f;
}

bool HasPrefix(const std::string& s, const char* prefix) {
  std::size_t n = std::strlen(prefix);
  return s.size() >= n && strncasecmp(s.c_str(), prefix, n) == 0;
}

constexpr DWORD DDD_REMOVE_DEFINITION = 0x2;
constexpr DWORD DDD_EXACT_MATCH_ON_REMOVE = 0x4;
constexpr DWORD DDD_NO_BROADCAST_SYSTEM = 0x8;

class SimDeviceService final : public DeviceService {
 public:
  // The host's other DOS devices are there from the start, as if defined.
  explicit SimDeviceService(HostImpl* host) : host_(host) {
    for (const auto& [name, target] : host_->model().dosDevices) {
      Define& define = defines_[Fold(name)];
      define.name = name;
      define.targets.insert(define.targets.begin(), target);
    }
  }

  DWORD Open(const std::string& name, std::unique_ptr<Device>* device) override {
    std::optional<std::string> target;
    {
      std::lock_guard<std::mutex> lock(mu_);
      auto it = defines_.find(Fold(name));
      if (it != defines_.end()) target = it->second.targets.front();
    }
    if (target) {
      if (!HasPrefix(*target, "\\Device\\")) return ERROR_FILE_NOT_FOUND;
      return OpenDevice(target->substr(8), true, device);
    }
    return OpenDevice(name, false, device);
  }

  std::vector<std::string> DosDeviceNames() override {
    std::vector<std::string> names;
    std::set<std::string> seen;
    for (const SimAdapterModel& a : host_->model().adapters) {
      if (a.opens && !a.needsDosDefine && host_->model().facts.captureInstalled) {
        names.push_back(npf::kDevicePrefix + a.name);
        seen.insert(Fold(names.back()));
      }
    }
    std::lock_guard<std::mutex> lock(mu_);
    for (const auto& [folded, d] : defines_) {
      if (seen.insert(folded).second) names.push_back(d.name);
    }
    return names;
  }

  DWORD DefineDosDevice(DWORD flags, const std::string& name, const std::string& target) override {
    if (flags & ~(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE | DDD_NO_BROADCAST_SYSTEM))
      return ERROR_INVALID_PARAMETER;
    if (name.empty() || name.size() > 255 || name.find('\\') != std::string::npos) return ERROR_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lock(mu_);
    std::string key = Fold(name);
    if (flags & DDD_REMOVE_DEFINITION) {
      auto it = defines_.find(key);
      if (it == defines_.end()) return ERROR_FILE_NOT_FOUND;
      auto& targets = it->second.targets;
      if (target.empty()) {
        targets.erase(targets.begin());
      } else {
        auto t = std::find(targets.begin(), targets.end(), target);
        if (t == targets.end()) return ERROR_FILE_NOT_FOUND;
        targets.erase(t);
      }
      if (targets.empty()) defines_.erase(it);
      return ERROR_SUCCESS;
    }
    if (target.empty() || target.size() > 1024) return ERROR_INVALID_PARAMETER;
    Define& d = defines_[key];
    d.name = name;
    d.targets.insert(d.targets.begin(), target);
    return ERROR_SUCCESS;
  }

  DWORD QueryDosDevice(const std::string& name, std::vector<std::string>* targets) override {
    targets->clear();
    if (name.empty()) {
      *targets = DosDeviceNames();
      return ERROR_SUCCESS;
    }
    {
      std::lock_guard<std::mutex> lock(mu_);
      auto it = defines_.find(Fold(name));
      if (it != defines_.end()) {
        *targets = it->second.targets;
        return ERROR_SUCCESS;
      }
    }
    if (HasPrefix(name, npf::kDevicePrefix)) {
      const SimAdapterModel* a = host_->model().FindAdapter(name.substr(4));
      if (a && a->opens && !a->needsDosDefine && host_->model().facts.captureInstalled) {
        targets->push_back("\\Device\\" + std::string(npf::kDevicePrefix) + a->name);
        return ERROR_SUCCESS;
      }
    }
    return ERROR_FILE_NOT_FOUND;
  }

 private:
  DWORD OpenDevice(const std::string& device, bool defined, std::unique_ptr<Device>* out) {
    bool capture = HasPrefix(device, npf::kDevicePrefix);
    int index = host_->AdapterIndex(capture ? device.substr(4) : device);
    if (index < 0) return ERROR_FILE_NOT_FOUND;
    std::size_t i = static_cast<std::size_t>(index);
    const SimAdapterModel& a = host_->model().adapters[i];
    if (!capture) {
      if (!a.ndisDeviceOpens) return ERROR_FILE_NOT_FOUND;
      *out = std::make_unique<NdisDevice>(host_->shared_from_this(), i);
      return ERROR_SUCCESS;
    }
    // Without the capture installation there is no capture driver to open.
    if (!host_->model().facts.captureInstalled) return ERROR_FILE_NOT_FOUND;
    if (a.needsDosDefine && !defined) return ERROR_FILE_NOT_FOUND;
    if (!a.opens || !host_->TakeCaptureOpen(i)) return ERROR_GEN_FAILURE;
    auto core = std::make_shared<CaptureCore>(a, i);
    host_->AddCapture(core);
    *out = std::make_unique<CaptureDevice>(host_->shared_from_this(), core);
    return ERROR_SUCCESS;
  }

  struct Define {
    std::string name;
    std::vector<std::string> targets;  // newest first
  };
  HostImpl* host_;
  std::mutex mu_;
  std::map<std::string, Define> defines_;
};

}  // namespace

std::unique_ptr<DeviceService> MakeDeviceService(HostImpl* host) { return std::make_unique<SimDeviceService>(host); }

}  // namespace platform::sim
