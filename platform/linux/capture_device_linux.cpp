// The capture driver bound to one interface: an AF_PACKET socket. Reads hand
// out the capture format; the OID requests and driver controls map onto the
// socket's options and the interface's facts.
#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <vector>

#include "linux/capture_format.h"
#include "linux/devices_linux.h"
#include "linux/netif_linux.h"
#include "linux/oid_answers_linux.h"
#include "platform/npf.h"
#include "platform/sync.h"
#include "platform/winerror.h"

namespace platform::linuxhost {
namespace {

constexpr DWORD kEthernetHeader = 14;
constexpr DWORD kImmediateReturn = 0xFFFFFFFF;  // read time-out -1: never wait
constexpr std::size_t kEventNameSize = 26;

DWORD ErrorOfErrno(int linuxErrno) {
  if (linuxErrno == EPERM || linuxErrno == EACCES) return ERROR_ACCESS_DENIED;
  return LastErrorForErrno(linuxErrno);
}

bool ReadDword(const void* in, DWORD inSize, DWORD* value) {
  if (in == nullptr || inSize < sizeof(DWORD)) return false;
  std::memcpy(value, in, sizeof *value);
  return true;
}

std::int64_t MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return std::int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

class CaptureDevice final : public Device {
 public:
  CaptureDevice(std::string name, unsigned index, unsigned mtu, int fd, int cancelFd)
      : name_(std::move(name)), index_(index), mtu_(mtu), lookahead_(mtu), fd_(fd), cancelFd_(cancelFd) {}

  ~CaptureDevice() override {
    // An event that follows this socket holds its own copy of it; leave that
    // copy quiet: no memberships, nothing queued, nothing more let in.
    if (followed_) {
      SetMembership(PACKET_MR_PROMISC, false, &promiscuous_);
      SetMembership(PACKET_MR_ALLMULTI, false, &allMulticast_);
      AttachDropAll();
      Drain();
    }
    if (namedEvent_ != nullptr) CloseHandle(namedEvent_);
    ::close(cancelFd_);
    ::close(fd_);
  }

  DWORD Read(void* buffer, DWORD size, DWORD* bytesRead) override {
    *bytesRead = 0;
    if (buffer == nullptr || size <= sizeof(npf::bpf_hdr)) return ERROR_INSUFFICIENT_BUFFER;
    std::lock_guard readLock(readMutex_);
    DWORD timeout;
    DWORD minToCopy;
    {
      std::lock_guard lock(mutex_);
      timeout = readTimeout_;
      minToCopy = minToCopy_;
    }
    std::uint64_t stale = 0;
    (void)!::read(cancelFd_, &stale, sizeof stale);  // a cancel before this read does not end it
    const bool limited = timeout != 0 && timeout != kImmediateReturn;
    const std::int64_t deadline = MonotonicMs() + timeout;
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::size_t used = 0;
    for (;;) {
      bool full = false;
      DWORD status = Collect(out, size, &used, &full);
      if (status != ERROR_SUCCESS && used == 0) return status;
      if (status != ERROR_SUCCESS || full) break;
      if (used > 0 && used >= minToCopy) break;
      if (timeout == kImmediateReturn) break;
      int waitMs = -1;
      if (limited) {
        std::int64_t left = deadline - MonotonicMs();
        if (left <= 0) break;
        waitMs = static_cast<int>(std::min<std::int64_t>(left, INT32_MAX));
      }
      pollfd fds[2] = {{fd_, POLLIN, 0}, {cancelFd_, POLLIN, 0}};
      int ready = ::poll(fds, 2, waitMs);
      if (ready < 0 && errno != EINTR) return ErrorOfErrno(errno);
      if (ready > 0 && (fds[1].revents & POLLIN) != 0) {
        if (used == 0) return ERROR_OPERATION_ABORTED;
        break;
      }
    }
    *bytesRead = static_cast<DWORD>(used);
    return ERROR_SUCCESS;
  }

  DWORD Write(const void* buffer, DWORD size, DWORD* bytesWritten) override {
    *bytesWritten = 0;
    if (buffer == nullptr || size < kEthernetHeader) return ERROR_INVALID_PARAMETER;
    DWORD status = SendFrame(static_cast<const std::uint8_t*>(buffer), size);
    if (status == ERROR_SUCCESS) *bytesWritten = size;
    return status;
  }

  DWORD Cancel() override {
    std::uint64_t one = 1;
    (void)!::write(cancelFd_, &one, sizeof one);
    return ERROR_SUCCESS;
  }

  DWORD IoControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* bytesReturned) override {
    *bytesReturned = 0;
    if (in == nullptr) inSize = 0;
    if (out == nullptr) outSize = 0;
    // The caller may pass one buffer as input and output.
    std::vector<std::uint8_t> input(static_cast<const std::uint8_t*>(in), static_cast<const std::uint8_t*>(in) + inSize);
    std::lock_guard lock(mutex_);
    DWORD value = 0;
    switch (code) {
      case npf::IOCTL_PROTOCOL_QUERY_OID:
        return QueryOid(input, static_cast<std::uint8_t*>(out), outSize, bytesReturned);
      case npf::IOCTL_PROTOCOL_SET_OID:
        return SetOid(input, static_cast<std::uint8_t*>(out), outSize, bytesReturned);
      case npf::IOCTL_PROTOCOL_RESET:
        return ERROR_SUCCESS;
      case npf::PACKET_GETEVENTNAME_IOCTL:
        return EventName(static_cast<char*>(out), outSize, bytesReturned);
      case npf::PACKET_SETEVENTHANDLE_IOCTL:
        return FollowEvent(input);
      case npf::PACKET_SETBPFILTER_IOCTL:
        return SetProgram(input);
      case npf::PACKET_GETSTATS_IOCTL:
        return Statistics(out, outSize, bytesReturned);
      case npf::PACKET_MULTIPLEWRITE_IOCTL:
        return WriteMany(input, bytesReturned);
      case npf::PACKET_SETBUFFERSIZE_IOCTL:
        if (!ReadDword(input.data(), inSize, &value)) return ERROR_INVALID_PARAMETER;
        return SetBufferSize(value);
      case npf::PACKET_SETMINTOCOPY_IOCTL:
        if (!ReadDword(input.data(), inSize, &value)) return ERROR_INVALID_PARAMETER;
        minToCopy_ = value;
        return ERROR_SUCCESS;
      case npf::PACKET_SETREADTIMEOUT_IOCTL:
        if (!ReadDword(input.data(), inSize, &value)) return ERROR_INVALID_PARAMETER;
        readTimeout_ = value;
        return ERROR_SUCCESS;
      case npf::PACKET_SETNOLOOPBACKS_IOCTL:
        if (!ReadDword(input.data(), inSize, &value)) return ERROR_INVALID_PARAMETER;
        return SetNoLoopbacks(value);
      default:
        return ERROR_INVALID_FUNCTION;
    }
  }

 private:
  // Moves queued packets into the caller's buffer behind their headers, as
  // many as fit, without waiting. A packet larger than an empty buffer is cut
  // to fit rather than blocking the queue for ever.
  DWORD Collect(std::uint8_t* out, std::size_t size, std::size_t* used, bool* full) {
    for (;;) {
      // The kernel hands out a packet's length before any filter cut it only
      // to the first receive that looks at the packet, so the peek asks.
      PeekedPacket head;
      if (!Peek(&head)) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return ERROR_SUCCESS;
        return ErrorOfErrno(errno);
      }
      if (headWireLength_ == 0) headWireLength_ = head.wireLength;
      std::size_t room = size - *used;
      std::size_t captured = head.length;
      if (room < sizeof(npf::bpf_hdr) + captured) {
        if (*used != 0 || room <= sizeof(npf::bpf_hdr)) {
          *full = true;  // the packet waits for the next read, its length remembered
          return ERROR_SUCCESS;
        }
        captured = room - sizeof(npf::bpf_hdr);
      }
      ssize_t got = ::recv(fd_, out + *used + sizeof(npf::bpf_hdr), captured, MSG_TRUNC | MSG_DONTWAIT);
      if (got < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return ERROR_SUCCESS;
        return ErrorOfErrno(errno);
      }
      std::uint32_t capturedLength = static_cast<std::uint32_t>(std::min<std::size_t>(captured, got));
      std::uint32_t wireLength = std::max(static_cast<std::uint32_t>(got), headWireLength_.load());
      headWireLength_ = 0;
      WriteCaptureHeader(out + *used, head.stamp.tv_sec, head.stamp.tv_usec, capturedLength, wireLength);
      std::size_t end = *used + sizeof(npf::bpf_hdr) + capturedLength;
      std::size_t next = std::min(npf::Packet_WORDALIGN(end), size);
      std::memset(out + end, 0, next - end);
      *used = next;
      if (*used == size) {
        *full = true;
        return ERROR_SUCCESS;
      }
    }
  }

  struct PeekedPacket {
    std::size_t length = 0;        // as queued (after the filter)
    std::uint32_t wireLength = 0;  // as it was on the wire
    timeval stamp{};
  };

  // Looks at the next queued packet without taking it; false with errno set
  // when there is none or the socket failed.
  bool Peek(PeekedPacket* packet) {
    sockaddr_ll from{};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timeval)) + CMSG_SPACE(sizeof(tpacket_auxdata))];
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t length = ::recvmsg(fd_, &message, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
    if (length < 0) return false;
    packet->length = static_cast<std::size_t>(length);
    packet->wireLength = static_cast<std::uint32_t>(length);
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMP && c->cmsg_len >= CMSG_LEN(sizeof(timeval))) {
        std::memcpy(&packet->stamp, CMSG_DATA(c), sizeof(timeval));
      } else if (c->cmsg_level == SOL_PACKET && c->cmsg_type == PACKET_AUXDATA &&
                 c->cmsg_len >= CMSG_LEN(sizeof(tpacket_auxdata))) {
        tpacket_auxdata aux;
        std::memcpy(&aux, CMSG_DATA(c), sizeof aux);
        packet->wireLength = std::max(packet->wireLength, aux.tp_len);
      }
    }
    return true;
  }

  DWORD SendFrame(const std::uint8_t* frame, std::size_t size) {
    if (size < kEthernetHeader || size > mtu_ + kEthernetHeader) return ERROR_INVALID_PARAMETER;
    for (;;) {
      ssize_t sent = ::send(fd_, frame, size, 0);
      if (sent >= 0) return ERROR_SUCCESS;
      if (errno != EINTR) return ErrorOfErrno(errno);
    }
  }

  DWORD QueryOid(const std::vector<std::uint8_t>& input, std::uint8_t* out, DWORD outSize, DWORD* bytesReturned) {
    npf::PACKET_OID_DATA request;
    DWORD status = ParseOidRequest(input, &request);
    if (status != ERROR_SUCCESS) return status;
    std::vector<BYTE> value;
    if (request.Oid == npf::OID_GEN_CURRENT_PACKET_FILTER) {
      value.resize(4);
      std::memcpy(value.data(), &packetFilter_, 4);
    } else if (request.Oid == npf::OID_GEN_CURRENT_LOOKAHEAD) {
      value.resize(4);
      std::memcpy(value.data(), &lookahead_, 4);
    } else {
      status = AnswerInterfaceOid(name_, request.Oid, &value);
      if (status != ERROR_SUCCESS) return status;
    }
    if (value.size() > request.Length) return ERROR_INSUFFICIENT_BUFFER;
    if (outSize < offsetof(npf::PACKET_OID_DATA, Data) + value.size()) return ERROR_INSUFFICIENT_BUFFER;
    DWORD length = static_cast<DWORD>(value.size());
    std::memcpy(out, &request.Oid, 4);
    std::memcpy(out + 4, &length, 4);
    std::memcpy(out + 8, value.data(), value.size());
    *bytesReturned = 8 + length;
    return ERROR_SUCCESS;
  }

  DWORD SetOid(const std::vector<std::uint8_t>& input, std::uint8_t* out, DWORD outSize, DWORD* bytesReturned) {
    npf::PACKET_OID_DATA request;
    DWORD status = ParseOidRequest(input, &request);
    if (status != ERROR_SUCCESS) return status;
    DWORD value = 0;
    if (!ReadDword(request.Data, request.Length, &value)) return ERROR_INVALID_PARAMETER;
    switch (request.Oid) {
      case npf::OID_GEN_CURRENT_PACKET_FILTER:
        status = SetPacketFilter(value);
        break;
      case npf::OID_GEN_CURRENT_LOOKAHEAD:
        if (value > mtu_) return ERROR_INVALID_PARAMETER;
        lookahead_ = value;
        break;
      default:
        return ERROR_NOT_SUPPORTED;
    }
    if (status != ERROR_SUCCESS) return status;
    std::size_t echoed = std::min<std::size_t>(outSize, 8 + request.Length);
    std::memcpy(out, &request, echoed);
    *bytesReturned = static_cast<DWORD>(echoed);
    return ERROR_SUCCESS;
  }

  static DWORD ParseOidRequest(const std::vector<std::uint8_t>& input, npf::PACKET_OID_DATA* request) {
    constexpr std::size_t kHead = offsetof(npf::PACKET_OID_DATA, Data);
    if (input.size() < kHead) return ERROR_INVALID_PARAMETER;
    std::memset(request, 0, sizeof *request);
    std::memcpy(request, input.data(), kHead);
    if (request->Length > npf::kOidDataMax || request->Length > input.size() - kHead) return ERROR_INVALID_PARAMETER;
    std::memcpy(request->Data, input.data() + kHead, request->Length);
    return ERROR_SUCCESS;
  }

  DWORD SetPacketFilter(DWORD mask) {
    DWORD status = SetMembership(PACKET_MR_PROMISC, (mask & npf::NDIS_PACKET_TYPE_PROMISCUOUS) != 0, &promiscuous_);
    if (status != ERROR_SUCCESS) return status;
    status = SetMembership(PACKET_MR_ALLMULTI, (mask & npf::NDIS_PACKET_TYPE_ALL_MULTICAST) != 0, &allMulticast_);
    if (status != ERROR_SUCCESS) return status;
    packetFilter_ = mask;
    return ERROR_SUCCESS;
  }

  DWORD SetMembership(int type, bool wanted, bool* held) {
    if (wanted == *held) return ERROR_SUCCESS;
    packet_mreq request{};
    request.mr_ifindex = static_cast<int>(index_);
    request.mr_type = static_cast<unsigned short>(type);
    int option = wanted ? PACKET_ADD_MEMBERSHIP : PACKET_DROP_MEMBERSHIP;
    if (::setsockopt(fd_, SOL_PACKET, option, &request, sizeof request) != 0) return ErrorOfErrno(errno);
    *held = wanted;
    return ERROR_SUCCESS;
  }

  DWORD EventName(char* out, DWORD outSize, DWORD* bytesReturned) {
    if (outSize < kEventNameSize) return ERROR_INSUFFICIENT_BUFFER;
    if (namedEvent_ == nullptr) {
      static std::atomic<unsigned> serial{0};
      char name[kEventNameSize] = {};
      // 21 characters at most, so the name always fits the driver's 26 bytes.
      std::snprintf(name, sizeof name, "NPFR%08X_%08X", static_cast<unsigned>(::getpid()), serial.fetch_add(1));
      HANDLE event = CreateEvent(false, name);
      std::shared_ptr<EventControl> control = event != nullptr ? LookupEvent(event) : nullptr;
      if (!control) {
        if (event != nullptr) CloseHandle(event);
        return ERROR_NOT_ENOUGH_MEMORY;
      }
      control->FollowReadable(fd_);
      followed_ = true;
      namedEvent_ = event;
      eventName_ = name;
    }
    std::memset(out, 0, kEventNameSize);
    std::memcpy(out, eventName_.data(), eventName_.size());
    *bytesReturned = kEventNameSize;
    return ERROR_SUCCESS;
  }

  DWORD FollowEvent(const std::vector<std::uint8_t>& input) {
    // A 64-bit caller may pass the handle in 8 bytes; handles fit in 32 bits.
    std::uint64_t value = 0;
    if (input.size() == 4) {
      std::uint32_t narrow;
      std::memcpy(&narrow, input.data(), 4);
      value = narrow;
    } else if (input.size() == 8) {
      std::memcpy(&value, input.data(), 8);
    } else {
      return ERROR_INVALID_PARAMETER;
    }
    std::shared_ptr<EventControl> event = LookupEvent(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value)));
    if (!event) return ERROR_INVALID_HANDLE;
    event->FollowReadable(fd_);
    followed_ = true;
    return ERROR_SUCCESS;
  }

  void AttachDropAll() {
    sock_filter dropAll = BPF_STMT(BPF_RET | BPF_K, 0);
    sock_fprog program{1, &dropAll};
    (void)::setsockopt(fd_, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program);
  }

  void Drain() {
    std::uint8_t sink;
    while (::recv(fd_, &sink, sizeof sink, MSG_DONTWAIT | MSG_TRUNC) >= 0) {
    }
  }

  DWORD Attach(const std::vector<sock_filter>& program) {
    if (program.empty()) {
      int unused = 0;  // the option takes no value, but the kernel wants an int's room
      if (::setsockopt(fd_, SOL_SOCKET, SO_DETACH_FILTER, &unused, sizeof unused) != 0 && errno != ENOENT) {
        return ErrorOfErrno(errno);
      }
      return ERROR_SUCCESS;
    }
    sock_fprog fprog{static_cast<unsigned short>(program.size()), const_cast<sock_filter*>(program.data())};
    if (::setsockopt(fd_, SOL_SOCKET, SO_ATTACH_FILTER, &fprog, sizeof fprog) != 0) {
      return errno == EINVAL ? ERROR_INVALID_PARAMETER : ErrorOfErrno(errno);
    }
    return ERROR_SUCCESS;
  }

  // A new program applies to every packet after it: what the old one let
  // into the queue is dropped, as the driver empties its buffer.
  DWORD SetProgram(const std::vector<std::uint8_t>& input) {
    if (input.size() % sizeof(npf::bpf_insn) != 0) return ERROR_INVALID_PARAMETER;
    std::size_t count = input.size() / sizeof(npf::bpf_insn);
    if (count > BPF_MAXINSNS) return ERROR_INVALID_PARAMETER;
    static_assert(sizeof(sock_filter) == sizeof(npf::bpf_insn));
    std::vector<sock_filter> program(count);
    for (std::size_t i = 0; i < count; ++i) {
      npf::bpf_insn instruction;
      std::memcpy(&instruction, input.data() + i * sizeof instruction, sizeof instruction);
      program[i] = {instruction.code, instruction.jt, instruction.jf, instruction.k};
    }
    AttachDropAll();
    Drain();
    headWireLength_ = 0;
    DWORD status = Attach(program);
    if (status != ERROR_SUCCESS) {
      (void)Attach(program_);  // keep what was there
      return status;
    }
    program_ = std::move(program);
    return ERROR_SUCCESS;
  }

  DWORD Statistics(void* out, DWORD outSize, DWORD* bytesReturned) {
    if (outSize < sizeof(npf::bpf_stat)) return ERROR_INSUFFICIENT_BUFFER;
    // The kernel's counters restart at every read; the driver's run from the open.
    tpacket_stats stats{};
    socklen_t length = sizeof stats;
    if (::getsockopt(fd_, SOL_PACKET, PACKET_STATISTICS, &stats, &length) != 0) return ErrorOfErrno(errno);
    received_ += stats.tp_packets;
    dropped_ += stats.tp_drops;
    npf::bpf_stat answer{static_cast<UINT>(received_), static_cast<UINT>(dropped_)};
    std::memcpy(out, &answer, sizeof answer);
    *bytesReturned = sizeof answer;
    return ERROR_SUCCESS;
  }

  DWORD WriteMany(const std::vector<std::uint8_t>& input, DWORD* bytesReturned) {
    std::vector<FrameSpan> frames;
    std::string why;
    if (!SplitCaptureBuffer(input.data(), input.size(), &frames, &why)) return ERROR_INVALID_PARAMETER;
    for (const FrameSpan& frame : frames) {
      if (frame.length < kEthernetHeader || frame.length > mtu_ + kEthernetHeader) return ERROR_INVALID_PARAMETER;
    }
    for (const FrameSpan& frame : frames) {
      DWORD status = SendFrame(input.data() + frame.offset, frame.length);
      if (status != ERROR_SUCCESS) return status;
      *bytesReturned = static_cast<DWORD>(frame.offset + frame.length);
    }
    *bytesReturned = static_cast<DWORD>(input.size());
    return ERROR_SUCCESS;
  }

  DWORD SetBufferSize(DWORD bytes) {
    int size = bytes > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(bytes);
    if (::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) == 0) return ERROR_SUCCESS;
    if (::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) == 0) return ERROR_SUCCESS;
    return ErrorOfErrno(errno);
  }

  DWORD SetNoLoopbacks(DWORD mode) {
    if (mode != 1 && mode != 2) return ERROR_INVALID_PARAMETER;
    int ignore = mode == 1 ? 1 : 0;
    if (::setsockopt(fd_, SOL_PACKET, PACKET_IGNORE_OUTGOING, &ignore, sizeof ignore) != 0) {
      return errno == ENOPROTOOPT ? ERROR_NOT_SUPPORTED : ErrorOfErrno(errno);
    }
    return ERROR_SUCCESS;
  }

  const std::string name_;
  const unsigned index_;
  const unsigned mtu_;
  std::mutex mutex_;      // guards the settings below and the socket's options
  std::mutex readMutex_;  // one reader at a time: a read peeks, then takes
  DWORD packetFilter_ = 0;
  DWORD lookahead_;
  DWORD minToCopy_ = 0;
  DWORD readTimeout_ = 0;
  bool promiscuous_ = false;
  bool allMulticast_ = false;
  bool followed_ = false;
  std::vector<sock_filter> program_;
  std::uint64_t received_ = 0;
  std::uint64_t dropped_ = 0;
  // The wire length of a packet a read looked at but left queued.
  std::atomic<std::uint32_t> headWireLength_{0};
  HANDLE namedEvent_ = nullptr;
  std::string eventName_;
  const int fd_;
  const int cancelFd_;
};

}  // namespace

DWORD OpenCaptureDevice(const std::string& interfaceName, std::unique_ptr<Device>* device) {
  std::optional<InterfaceFacts> facts = ReadInterface(interfaceName);
  if (!facts || !IsEthernetLike(*facts)) return ERROR_FILE_NOT_FOUND;
  // Protocol 0 receives nothing until the bind: no other interface's packets
  // slip in first.
  int fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
  if (fd < 0) return ErrorOfErrno(errno);
  int on = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on) != 0 ||
      ::setsockopt(fd, SOL_PACKET, PACKET_AUXDATA, &on, sizeof on) != 0) {
    int error = errno;
    ::close(fd);
    return ErrorOfErrno(error);
  }
  sockaddr_ll address{};
  address.sll_family = AF_PACKET;
  address.sll_protocol = htons(ETH_P_ALL);
  address.sll_ifindex = static_cast<int>(facts->index);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    int error = errno;
    ::close(fd);
    return error == ENODEV ? ERROR_FILE_NOT_FOUND : ErrorOfErrno(error);
  }
  int cancelFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (cancelFd < 0) {
    int error = errno;
    ::close(fd);
    return ErrorOfErrno(error);
  }
  *device = std::make_unique<CaptureDevice>(interfaceName, facts->index, facts->mtu, fd, cancelFd);
  return ERROR_SUCCESS;
}

}  // namespace platform::linuxhost
