// The capture driver bound to one interface: an AF_PACKET socket. A pump
// thread moves what the socket receives into the device's own buffer (the
// driver's buffer, with its size limit) and keeps the read event in line with
// it; reads hand the buffer out in the capture format.
//
// The pump starts only once something needs it: a read that waits, or a
// wait on the read event (the event tells the device before each wait, and
// the first brings the event up to date at once). A device that is only
// opened, asked about and closed (an adapter list) starts no thread; until
// the pump runs, what arrives waits in the socket, whose buffer is larger
// than the driver's, and reads and statistics take it from there.
//
// The OID requests and driver controls map onto the socket's options and the
// interface's facts.
//
// The hardware packet filter is applied as each frame is taken from the socket,
// by the kind the kernel gives it (sll_pkttype): frames to the adapter's own
// address (directed), broadcasts, multicasts to the groups of the adapter's
// multicast list or to any group, or everything (promiscuous). The adapter's
// own transmissions pass any filter but 0; a filter of 0 passes nothing.
//
// The read event is set exactly while a read would return at once: something
// is buffered and it reaches the minimum to copy, or it has waited for the
// read time-out (at once with the time-out -1); or a failure of the socket
// waits to be reported. A caller that reads only when the event is set never
// waits in the read.
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <poll.h>
#include <sys/epoll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "linux/capture_format.h"
#include "linux/devices_linux.h"
#include "linux/multicast_list_linux.h"
#include "linux/netif_linux.h"
#include "linux/oid_answers_linux.h"
#include "platform/npf.h"
#include "platform/sync.h"
#include "platform/winerror.h"

namespace platform::linuxhost {
namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kEthernetHeader = 14;
constexpr DWORD kImmediateReturn = 0xFFFFFFFF;  // read time-out -1: never wait
constexpr std::size_t kEventNameSize = 26;
constexpr DWORD kDefaultBufferSize = 1u << 20;  // until the caller sets one
// Room for the largest packet the kernel hands a packet socket (a segment
// offload packet of 64 KiB behind its headers); longer ones are cut to it.
constexpr std::size_t kLargestPacket = (1u << 16) + 256;
// The first bytes of each packet go to a small slot, all of a batch's slots
// side by side, and only the rest (of a larger packet) to its large slot: a
// batch of small packets then fills a few pages instead of a page each (after
// each system call the processor looks every page up anew).
constexpr std::size_t kHeadSlot = 256;
// Packets moved per turn of the pump, so a flood never holds the lock long.
constexpr int kPullBatch = 256;
// Packets taken from the socket by one call: a busy link costs a call per
// that many packets, not one each.
constexpr unsigned kReceiveBatch = 128;
// While the event is set, how long the pump leaves the socket to the reader.
constexpr int kNapMs = 10;
// The socket holds what arrives meanwhile: its buffer is this many times the
// driver's (the kernel counts a small packet at many times its size).
constexpr int kSocketShare = 4;
// How long a read of the adapter's multicast list serves: joins and leaves
// show within that time, and a flood of multicasts costs a few reads a second.
constexpr std::chrono::milliseconds kMulticastListLife{250};

DWORD ErrorOfErrno(int linuxErrno) {
  if (linuxErrno == EPERM || linuxErrno == EACCES) return ERROR_ACCESS_DENIED;
  return LastErrorForErrno(linuxErrno);
}

// The kernel stamps packets with their time of arrival only while some
// socket of the machine asks for time stamps, and each time that turns on or
// off it patches its own code on every CPU (a pause of every CPU, long on a
// virtual machine). Every capture socket asks for them, so a program that
// opens and closes adapters one after another (an adapter list opens each)
// would turn the stamps on and off for each adapter. An IP socket of the
// process's own asks from the first open on, for the rest of the process's
// life, so that only the first open pays for it. Without one (no IPv4 in the
// kernel) each socket still asks for itself.
void KeepArrivalStampsOn() {
  static const int holder = [] {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (fd >= 0) (void)::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on);
    return fd;
  }();
  (void)holder;
}

// The socket's receive buffer for a driver buffer of `bytes` (beyond the
// system's limit where the caller may).
DWORD SizeSocketBuffer(int fd, DWORD bytes) {
  const std::uint64_t wanted = std::uint64_t{bytes} * kSocketShare;
  const int size = wanted > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(wanted);
  if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0 &&
      ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0) {
    return ErrorOfErrno(errno);
  }
  return ERROR_SUCCESS;
}

bool ReadDword(const void* in, DWORD inSize, DWORD* value) {
  if (in == nullptr || inSize < sizeof(DWORD)) return false;
  std::memcpy(value, in, sizeof *value);
  return true;
}

class CaptureDevice final : public Device {
 public:
  // `multicastFd`: the open multicast list file of the interface's network
  // namespace, or -1 (then the list is empty).
  CaptureDevice(std::string name, unsigned index, unsigned mtu, int fd, int wakeFd, int multicastFd)
      : name_(std::move(name)),
        index_(index),
        mtu_(mtu),
        lookahead_(mtu),
        fd_(fd),
        wakeFd_(wakeFd),
        multicastFd_(multicastFd) {}

  // Readies the pump's wait (the pump itself starts when first needed).
  DWORD Start() {
    pollFd_ = ::epoll_create1(EPOLL_CLOEXEC);
    epoll_event wake{};
    wake.events = EPOLLIN;
    wake.data.fd = wakeFd_;
    if (pollFd_ < 0 || ::epoll_ctl(pollFd_, EPOLL_CTL_ADD, wakeFd_, &wake) != 0) return ErrorOfErrno(errno);
    return ERROR_SUCCESS;
  }

  ~CaptureDevice() override {
    waits_->Leave();  // no wait on the event reaches this device any more
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      ChooseModeLocked();  // an event that followed the socket stops
    }
    Wake();
    if (pump_.joinable()) pump_.join();
    // Nothing more can be read: an event that followed this device says so.
    if (event_ && eventSet_) event_->Reset();
    if (namedEvent_ != nullptr) CloseHandle(namedEvent_);
    if (multicastFd_ >= 0) ::close(multicastFd_);
    if (pollFd_ >= 0) ::close(pollFd_);
    ::close(wakeFd_);
    ::close(fd_);
  }

  DWORD Read(void* buffer, DWORD size, DWORD* bytesRead) override {
    *bytesRead = 0;
    if (buffer == nullptr || size <= sizeof(npf::bpf_hdr)) return ERROR_INSUFFICIENT_BUFFER;
    std::unique_lock lock(mutex_);
    cancelled_ = false;  // a cancel before this read does not end it
    PullLocked();        // what the socket holds already counts
    NoteTimeOutLocked();
    const DWORD timeout = readTimeout_;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout);
    while (!ReadyLocked() && !cancelled_ && timeout != kImmediateReturn) {
      if (DWORD status = StartPumpLocked(); status != ERROR_SUCCESS) return status;
      ArmLocked();  // the pump tells this reader of the next packet
      if (timeout == 0) {
        changed_.wait(lock);
      } else if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
        break;
      }
    }
    return HandOutLocked(buffer, size, bytesRead);
  }

  // A read that only takes what is ready, as a wait on the read event would
  // find it, and never waits: the frame path of a caller that reads only
  // when the event is set, spared the look at the event.
  DWORD ReadReady(void* buffer, DWORD size, DWORD* bytesRead) override {
    *bytesRead = 0;
    if (buffer == nullptr || size <= sizeof(npf::bpf_hdr)) return ERROR_INSUFFICIENT_BUFFER;
    std::lock_guard lock(mutex_);
    PullLocked();
    NoteTimeOutLocked();
    if (!ReadyLocked()) {
      UpdateEventLocked();
      return WAIT_TIMEOUT;
    }
    return HandOutLocked(buffer, size, bytesRead);
  }

  DWORD Write(const void* buffer, DWORD size, DWORD* bytesWritten) override {
    *bytesWritten = 0;
    if (buffer == nullptr || size < kEthernetHeader) return ERROR_INVALID_PARAMETER;
    DWORD status = SendFrame(static_cast<const std::uint8_t*>(buffer), size);
    if (status == ERROR_SUCCESS) *bytesWritten = size;
    return status;
  }

  // Write is a send of the frame on the socket, once its length passed.
  FrameSocket DirectFrames() const override { return {fd_, kEthernetHeader, mtu_ + kEthernetHeader}; }

  DWORD Cancel() override {
    std::lock_guard lock(mutex_);
    cancelled_ = true;
    changed_.notify_all();
    return ERROR_SUCCESS;
  }

  DWORD IoControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* bytesReturned) override {
    *bytesReturned = 0;
    if (in == nullptr) inSize = 0;
    if (out == nullptr) outSize = 0;
    // The caller may pass one buffer as input and output.
    std::vector<std::uint8_t> input(static_cast<const std::uint8_t*>(in), static_cast<const std::uint8_t*>(in) + inSize);
    // The event requests reach the handle table; they take the device's lock
    // only once they have the event.
    if (code == npf::PACKET_GETEVENTNAME_IOCTL) return EventName(static_cast<char*>(out), outSize, bytesReturned);
    if (code == npf::PACKET_SETEVENTHANDLE_IOCTL) return FollowEvent(input);
    std::lock_guard lock(mutex_);
    DWORD value = 0;
    switch (code) {
      case npf::IOCTL_PROTOCOL_QUERY_OID:
        return QueryOid(input, static_cast<std::uint8_t*>(out), outSize, bytesReturned);
      case npf::IOCTL_PROTOCOL_SET_OID:
        return SetOid(input, static_cast<std::uint8_t*>(out), outSize, bytesReturned);
      case npf::IOCTL_PROTOCOL_RESET:
        return ERROR_SUCCESS;
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
        ChooseModeLocked();
        SettledLocked();
        return ERROR_SUCCESS;
      case npf::PACKET_SETREADTIMEOUT_IOCTL:
        if (!ReadDword(input.data(), inSize, &value)) return ERROR_INVALID_PARAMETER;
        readTimeout_ = value;
        timedOut_ = false;  // measured anew against the new time-out
        SettledLocked();
        return ERROR_SUCCESS;
      case npf::PACKET_SETNOLOOPBACKS_IOCTL:
        if (!ReadDword(input.data(), inSize, &value)) return ERROR_INVALID_PARAMETER;
        return SetNoLoopbacks(value);
      default:
        return ERROR_INVALID_FUNCTION;
    }
  }

 private:
  // Hands waits on the followed event to the device while it lives.
  class WaitsOnEvent final : public WaitNotice {
   public:
    explicit WaitsOnEvent(CaptureDevice* device) : device_(device) {}
    void BeforeWait() override {
      std::lock_guard lock(mutex_);
      if (device_ != nullptr) device_->BeforeEventWait();
    }
    void Leave() {
      std::lock_guard lock(mutex_);
      device_ = nullptr;
    }

   private:
    std::mutex mutex_;  // before the device's mutex_; guards device_
    CaptureDevice* device_;
  };

  // A wait on the read event is coming: the event shows what the socket
  // holds now, and the pump keeps it so from now on.
  void BeforeEventWait() {
    if (pumping_.load(std::memory_order_acquire)) return;
    std::lock_guard lock(mutex_);
    if (pump_.joinable() || stopping_) return;
    PullLocked();
    NoteTimeOutLocked();
    UpdateEventLocked();
    // Without a thread the event stays as it is now; a read still waits and
    // reports the failure.
    (void)StartPumpLocked();
  }

  // Starts the pump unless it runs; ERROR_NOT_ENOUGH_MEMORY when no thread
  // can be made.
  // The socket joins the pump's wait only now (see WatchLocked).
  DWORD StartPumpLocked() {
    if (pump_.joinable()) return ERROR_SUCCESS;
    if (!armed_ && !WatchLocked()) return ErrorOfErrno(errno);
    try {
      pump_ = std::thread(&CaptureDevice::Pump, this);
    } catch (const std::system_error&) {
      return ERROR_NOT_ENOUGH_MEMORY;
    }
    pumping_.store(true, std::memory_order_release);
    return ERROR_SUCCESS;
  }

  // The pump: waits for the socket, a change of the settings or the moment
  // buffered data reaches its time-out, and brings the buffer and the event
  // up to date each time.
  //
  // When every packet the socket receives makes the device ready (a minimum
  // to copy no larger than a packet's header, a promiscuous packet filter),
  // the event follows the socket itself: the kernel wakes its waiters, and a
  // read takes the socket's packets itself, with no hand-over from the pump.
  //
  // The socket wakes the pump once and is then left alone (a watch for one wake-up)
  // until it matters again: while the event is set, waiters have their
  // signal already and a packet more changes nothing for them, so a read
  // takes what the socket holds itself and watches it anew once the device
  // is no longer ready. A flood thus costs a wake-up per read, not one per
  // packet. A set event that nobody reads keeps the pump looking every
  // kNapMs, so that the buffer still fills; a look that finds nothing new
  // watches the socket again instead.
  void Pump() {
    sigset_t all;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_BLOCK, &all, nullptr);  // signals are for the program's own threads
    std::unique_lock lock(mutex_);
    bool quiet = false;  // the last look while ready found nothing new
    while (!stopping_) {
      const bool nap = ReadyLocked() && !quiet;
      if (!nap) ArmLocked();
      const int waitMs = nap ? kNapMs : MsUntilTimeOutLocked();
      lock.unlock();
      epoll_event events[2];
      const int count = ::epoll_wait(pollFd_, events, 2, waitMs);
      bool socketReady = false;
      for (int i = 0; i < count; ++i) {
        if (events[i].data.fd == wakeFd_) {
          std::uint64_t wakes = 0;
          (void)!::read(wakeFd_, &wakes, sizeof wakes);
        } else {
          socketReady = true;
        }
      }
      lock.lock();
      if (socketReady) UnwatchLocked();  // a watch for one wake-up, spent
      if (stopping_) break;
      if (nap) {
        quiet = PullLocked() == 0;
      } else {
        quiet = false;
        if (socketReady) PullLocked();
      }
      NoteTimeOutLocked();
      UpdateEventLocked();
      changed_.notify_all();
    }
  }

  // Whether the event follows the socket (see Pump), made so.
  void ChooseModeLocked() {
    const bool direct = event_ && !stopping_ && minToCopy_ <= sizeof(npf::bpf_hdr) &&
                        (packetFilter_ & npf::NDIS_PACKET_TYPE_PROMISCUOUS) != 0;
    if (direct == direct_) return;
    direct_ = direct;
    if (direct) {
      event_->FollowReadable(fd_);
    } else {
      event_->Unfollow(fd_);
    }
  }

  // Watches the socket for the pump (until it next wakes the pump), unless
  // it is watched already or no pump runs.
  void ArmLocked() {
    if (!armed_ && pump_.joinable()) (void)WatchLocked();
  }

  // The socket joins the pump's wait, and stays in it only until it wakes
  // the pump: a socket in a wait costs the kernel a call of the wait's
  // callback for every packet the socket sends or receives, also while the
  // watch could not wake anybody, so a flood that readers take themselves
  // costs nothing for it.
  bool WatchLocked() {
    epoll_event socket{};
    socket.events = EPOLLIN;
    socket.data.fd = fd_;
    armed_ = ::epoll_ctl(pollFd_, EPOLL_CTL_ADD, fd_, &socket) == 0;
    return armed_;
  }

  void UnwatchLocked() {
    (void)::epoll_ctl(pollFd_, EPOLL_CTL_DEL, fd_, nullptr);
    armed_ = false;
  }

  // Makes the pump look again (settings changed, or it is to stop).
  void Wake() {
    std::uint64_t one = 1;
    (void)!::write(wakeFd_, &one, sizeof one);
  }

  // After a change of the buffer or the settings: event, readers and pump
  // see the new state.
  void SettledLocked() {
    NoteTimeOutLocked();
    UpdateEventLocked();
    changed_.notify_all();
    Wake();
  }

  bool LimitedTimeOutLocked() const { return readTimeout_ != 0 && readTimeout_ != kImmediateReturn; }

  bool ReadyLocked() const {
    if (pendingError_ != ERROR_SUCCESS) return true;
    if (queue_.empty()) return false;
    return queue_.bytes() >= minToCopy_ || timedOut_ || readTimeout_ == kImmediateReturn;
  }

  void NoteTimeOutLocked() {
    if (queue_.empty() || timedOut_ || !LimitedTimeOutLocked()) return;
    timedOut_ = Clock::now() - waitingSince_ >= std::chrono::milliseconds(readTimeout_);
  }

  // Milliseconds until buffered data reaches its time-out (rounded up), or
  // -1 when nothing waits for one.
  int MsUntilTimeOutLocked() const {
    if (queue_.empty() || timedOut_ || !LimitedTimeOutLocked()) return -1;
    const auto left = waitingSince_ + std::chrono::milliseconds(readTimeout_) - Clock::now();
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::clamp<std::int64_t>(ms, 0, INT32_MAX));
  }

  void UpdateEventLocked() {
    const bool ready = ReadyLocked();
    if (!event_ || ready == eventSet_) return;
    if (ready) {
      event_->Set();
    } else {
      event_->Reset();
    }
    eventSet_ = ready;
  }

  // Moves what the socket holds into the buffer, without waiting: a batch of
  // packets per call, into slots made at the first pull (an adapter that is
  // only opened to be asked about never needs them).
  // Returns the number of packets taken from the socket.
  unsigned PullLocked() {
    if (!slots_) slots_ = std::make_unique<Slots>();
    Slots& in = *slots_;
    unsigned pulled = 0;
    while (pulled < kPullBatch) {
      const int got = ::recvmmsg(fd_, in.messages, kReceiveBatch, MSG_TRUNC | MSG_DONTWAIT, nullptr);
      if (got < 0) {
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) pendingError_ = ErrorOfErrno(errno);
        return pulled;
      }
      for (int i = 0; i < got; ++i) {
        const std::size_t length = in.messages[i].msg_len;
        const std::size_t captured = std::min(length, kLargestPacket);
        const std::uint8_t* data = in.heads + static_cast<std::size_t>(i) * kHeadSlot;
        if (captured > kHeadSlot) {
          // A larger packet is made whole in its large slot, before its rest.
          std::uint8_t* whole = in.bytes.get() + static_cast<std::size_t>(i) * kLargestPacket;
          std::memcpy(whole, data, kHeadSlot);
          data = whole;
        }
        if (PassesPacketFilterLocked(in.from[i].sll_pkttype, data, captured)) {
          Keep(in.messages[i].msg_hdr, data, length);
        }
        in.Renew(static_cast<unsigned>(i));
      }
      pulled += static_cast<unsigned>(got);
      if (static_cast<unsigned>(got) < kReceiveBatch) break;  // the socket is empty
    }
    return pulled;
  }

  // The hardware packet filter for a frame of `captured` bytes at `data`.
  bool PassesPacketFilterLocked(unsigned char kind, const std::uint8_t* data, std::size_t captured) {
    const DWORD filter = packetFilter_;
    if (filter == 0) return false;
    if (kind == PACKET_OUTGOING || (filter & npf::NDIS_PACKET_TYPE_PROMISCUOUS) != 0) return true;
    switch (kind) {
      case PACKET_HOST:
        return (filter & npf::NDIS_PACKET_TYPE_DIRECTED) != 0;
      case PACKET_BROADCAST:
        return (filter & npf::NDIS_PACKET_TYPE_BROADCAST) != 0;
      case PACKET_MULTICAST:
        if ((filter & npf::NDIS_PACKET_TYPE_ALL_MULTICAST) != 0) return true;
        return (filter & npf::NDIS_PACKET_TYPE_MULTICAST) != 0 && captured >= 6 && InMulticastListLocked(data);
      default:
        return false;  // another host's frame: promiscuous mode only
    }
  }

  bool InMulticastListLocked(const std::uint8_t* destination) {
    if (Clock::now() - multicastListReadAt_ >= kMulticastListLife) ReadMulticastListLocked();
    for (const MacAddress& group : multicastList_) {
      if (std::memcmp(group.data(), destination, group.size()) == 0) return true;
    }
    return false;
  }

  void ReadMulticastListLocked() {
    multicastListReadAt_ = Clock::now();
    multicastList_.clear();
    if (multicastFd_ < 0 || ::lseek(multicastFd_, 0, SEEK_SET) != 0) return;
    std::string text;
    char chunk[4096];
    for (;;) {
      const ssize_t got = ::read(multicastFd_, chunk, sizeof chunk);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      text.append(chunk, static_cast<std::size_t>(got));
    }
    multicastList_ = ParseMulticastList(text, index_);
  }

  // One packet from the socket that passed the packet filter into the
  // buffer, or counted as dropped when the buffer has no room for it.
  void Keep(msghdr& message, const std::uint8_t* data, std::size_t length) {
    std::uint32_t wireLength = static_cast<std::uint32_t>(std::min<std::size_t>(length, UINT32_MAX));
    timeval stamp{};
    bool stamped = false;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMP && c->cmsg_len >= CMSG_LEN(sizeof(timeval))) {
        std::memcpy(&stamp, CMSG_DATA(c), sizeof(timeval));
        stamped = true;
      } else if (c->cmsg_level == SOL_PACKET && c->cmsg_type == PACKET_AUXDATA &&
                 c->cmsg_len >= CMSG_LEN(sizeof(tpacket_auxdata))) {
        tpacket_auxdata aux;
        std::memcpy(&aux, CMSG_DATA(c), sizeof aux);
        wireLength = std::max(wireLength, aux.tp_len);  // before a filter cut it
      }
    }
    if (!stamped) ::gettimeofday(&stamp, nullptr);
    const std::size_t captured = std::min(length, kLargestPacket);
    ++received_;
    if (queue_.bytes() + CaptureRoomOf(captured) > bufferSize_) {
      ++dropped_;
      return;
    }
    if (queue_.empty()) {
      waitingSince_ = Clock::now();
      timedOut_ = false;
      if (!pump_.joinable() && stamped) {
        // Nobody took it from the socket on arrival: it has waited since
        // the kernel's stamp.
        timeval now{};
        ::gettimeofday(&now, nullptr);
        const std::int64_t waitedUs =
            (std::int64_t{now.tv_sec} - stamp.tv_sec) * 1000000 + (now.tv_usec - stamp.tv_usec);
        if (waitedUs > 0) waitingSince_ -= std::chrono::microseconds(waitedUs);
      }
    }
    queue_.Append(stamp.tv_sec, stamp.tv_usec, wireLength, data, captured);
  }

  // The end of a read: what is buffered into the caller's buffer, or the
  // socket's failure, or nothing (the time-out passed, or a cancel came).
  DWORD HandOutLocked(void* buffer, DWORD size, DWORD* bytesRead) {
    if (queue_.empty()) {
      if (pendingError_ != ERROR_SUCCESS) {
        DWORD error = pendingError_;
        pendingError_ = ERROR_SUCCESS;
        UpdateEventLocked();
        return error;
      }
      return cancelled_ ? ERROR_OPERATION_ABORTED : ERROR_SUCCESS;  // else the time-out passed with nothing
    }
    *bytesRead = TakeLocked(static_cast<std::uint8_t*>(buffer), size);
    UpdateEventLocked();
    // Not ready any more: the pump watches the socket again, without being
    // woken for it (unless the event follows the socket itself).
    if (!ReadyLocked() && !direct_) ArmLocked();
    return ERROR_SUCCESS;
  }

  // Moves buffered packets into the caller's buffer behind their headers, as
  // many as fit. A packet larger than an empty buffer is cut to fit rather
  // than blocking the buffer for ever.
  DWORD TakeLocked(std::uint8_t* out, std::size_t size) {
    const std::size_t used = queue_.Take(out, size);
    if (!queue_.empty()) {
      // What a read left behind waits anew for its time-out.
      waitingSince_ = Clock::now();
      timedOut_ = false;
    }
    return static_cast<DWORD>(used);
  }

  void ClearBufferLocked() {
    queue_.Clear();
    timedOut_ = false;
  }

  DWORD SendFrame(const std::uint8_t* frame, std::size_t size) {
    if (size < kEthernetHeader || size > mtu_ + kEthernetHeader) return ERROR_INVALID_PARAMETER;
    return SendFrameOn(fd_, frame, size);
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
      status = AnswerInterfaceOid(name_, request.Oid, &value, fd_);
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

  // A new filter applies to the frames that arrive after it: what the socket
  // already holds is judged by the old one first. The memberships make a
  // real adapter hand the kernel what the filter asks for.
  DWORD SetPacketFilter(DWORD mask) {
    PullLocked();
    DWORD status = SetMembership(PACKET_MR_PROMISC, (mask & npf::NDIS_PACKET_TYPE_PROMISCUOUS) != 0, &promiscuous_);
    if (status != ERROR_SUCCESS) return status;
    status = SetMembership(PACKET_MR_ALLMULTI, (mask & npf::NDIS_PACKET_TYPE_ALL_MULTICAST) != 0, &allMulticast_);
    if (status != ERROR_SUCCESS) return status;
    packetFilter_ = mask;
    ChooseModeLocked();
    // The list counts only for a filter that takes some groups but not all;
    // for any other it is read when first needed.
    constexpr DWORD kAllGroups = npf::NDIS_PACKET_TYPE_PROMISCUOUS | npf::NDIS_PACKET_TYPE_ALL_MULTICAST;
    if ((mask & npf::NDIS_PACKET_TYPE_MULTICAST) != 0 && (mask & kAllGroups) == 0) {
      ReadMulticastListLocked();
    } else {
      multicastListReadAt_ = {};
    }
    SettledLocked();
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

  // The driver's own event, made on the first question and followed from then on.
  DWORD EventName(char* out, DWORD outSize, DWORD* bytesReturned) {
    if (outSize < kEventNameSize) return ERROR_INSUFFICIENT_BUFFER;
    std::lock_guard eventLock(eventMutex_);
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
      namedEvent_ = event;
      eventName_ = name;
      Follow(std::move(control));
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
    Follow(std::move(event));
    return ERROR_SUCCESS;
  }

  void Follow(std::shared_ptr<EventControl> event) {
    std::lock_guard lock(mutex_);
    if (direct_) event_->Unfollow(fd_);
    direct_ = false;
    event_ = std::move(event);
    event_->NoticeWaits(waits_);
    eventSet_ = !ReadyLocked();  // so that the update below sets the new event's state either way
    UpdateEventLocked();
    ChooseModeLocked();
    SettledLocked();
  }

  void TellLengthsBeforeCut(bool on) {
    const int value = on ? 1 : 0;
    (void)::setsockopt(fd_, SOL_PACKET, PACKET_AUXDATA, &value, sizeof value);
  }

  void AttachDropAll() {
    sock_filter dropAll = BPF_STMT(BPF_RET | BPF_K, 0);
    sock_fprog program{1, &dropAll};
    (void)::setsockopt(fd_, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program);
  }

  void DrainSocket() {
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
  // into the buffer is dropped, as the driver empties its buffer.
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
    DrainSocket();
    ClearBufferLocked();
    // A program may cut packets short: the kernel then tells each packet's
    // length before the cut beside it. Without one a packet's length is its
    // own, and the note would cost every packet a copy more.
    TellLengthsBeforeCut(!program.empty());
    DWORD status = Attach(program);
    if (status != ERROR_SUCCESS) {
      (void)Attach(program_);  // keep what was there
      TellLengthsBeforeCut(!program_.empty());
    } else {
      program_ = std::move(program);
    }
    SettledLocked();
    return status;
  }

  DWORD Statistics(void* out, DWORD outSize, DWORD* bytesReturned) {
    if (outSize < sizeof(npf::bpf_stat)) return ERROR_INSUFFICIENT_BUFFER;
    // What has arrived counts, also what still waits in the socket while the
    // pump naps.
    PullLocked();
    UpdateEventLocked();
    // The kernel's counters restart at every question; the driver's run from
    // the open. What the kernel dropped never reached the buffer.
    tpacket_stats stats{};
    socklen_t length = sizeof stats;
    if (::getsockopt(fd_, SOL_PACKET, PACKET_STATISTICS, &stats, &length) != 0) return ErrorOfErrno(errno);
    received_ += stats.tp_drops;
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

  // A new buffer starts empty, as the driver's reallocation does. The
  // socket's own buffer grows with it, so that what arrives while the pump
  // leaves the socket to the reader waits there.
  DWORD SetBufferSize(DWORD bytes) {
    if (DWORD status = SizeSocketBuffer(fd_, bytes); status != ERROR_SUCCESS) return status;
    bufferSize_ = bytes;
    ClearBufferLocked();
    SettledLocked();
    return ERROR_SUCCESS;
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
  // Locks: the wait notice's lock (WaitsOnEvent, taken by a thread about to
  // wait on the event, holding nothing else) before mutex_; eventMutex_
  // before mutex_; then the followed event's own lock (in FollowReadable,
  // Unfollow and NoticeWaits); all leaves of the platform.
  std::mutex eventMutex_;  // guards namedEvent_ and eventName_
  std::mutex mutex_;       // guards everything below and the socket's options
  std::condition_variable changed_;  // the buffer or a setting changed, or a cancel came
  // Until a caller sets one, the filter an adapter has for its own traffic.
  DWORD packetFilter_ =
      npf::NDIS_PACKET_TYPE_DIRECTED | npf::NDIS_PACKET_TYPE_MULTICAST | npf::NDIS_PACKET_TYPE_BROADCAST;
  std::vector<MacAddress> multicastList_;
  Clock::time_point multicastListReadAt_{};
  DWORD lookahead_;
  DWORD minToCopy_ = 0;
  DWORD readTimeout_ = 0;
  DWORD bufferSize_ = kDefaultBufferSize;
  bool promiscuous_ = false;
  bool allMulticast_ = false;
  std::vector<sock_filter> program_;
  CaptureQueue queue_;
  Clock::time_point waitingSince_{};  // when the buffered data began to wait
  bool timedOut_ = false;             // it has waited for the read time-out
  DWORD pendingError_ = ERROR_SUCCESS;  // a failure of the socket, for the next read
  bool cancelled_ = false;
  bool stopping_ = false;
  bool armed_ = false;  // the socket is in the pump's wait
  bool direct_ = false;  // the event follows the socket (see Pump)
  std::uint64_t received_ = 0;
  std::uint64_t dropped_ = 0;
  std::shared_ptr<EventControl> event_;
  bool eventSet_ = false;
  HANDLE namedEvent_ = nullptr;
  std::string eventName_;
  const int fd_;
  const int wakeFd_;
  int pollFd_ = -1;  // the pump's wait: the wake-up eventfd and the socket
  const int multicastFd_;
  // Where a batch of packets lands on its way from the socket (under mutex_).
  struct Slots {
    std::unique_ptr<std::uint8_t[]> bytes{new std::uint8_t[kReceiveBatch * kLargestPacket]};
    mmsghdr messages[kReceiveBatch];
    Slots() {
      for (unsigned i = 0; i < kReceiveBatch; ++i) {
        data[i][0] = {heads + i * kHeadSlot, kHeadSlot};
        data[i][1] = {bytes.get() + i * kLargestPacket + kHeadSlot, kLargestPacket - kHeadSlot};
        messages[i] = {};
        msghdr& message = messages[i].msg_hdr;
        message.msg_name = &from[i];
        message.msg_iov = data[i];
        message.msg_iovlen = 2;
        message.msg_control = control[i];
        Renew(i);
      }
    }
    // Readies message `i` again after a call filled it (the kernel writes
    // back the lengths and flags of the messages it filled only).
    void Renew(unsigned i) {
      msghdr& message = messages[i].msg_hdr;
      message.msg_namelen = sizeof from[i];
      message.msg_controllen = sizeof control[i];
      message.msg_flags = 0;
      messages[i].msg_len = 0;
    }
    alignas(64) std::uint8_t heads[kReceiveBatch * kHeadSlot];
    iovec data[kReceiveBatch][2];
    sockaddr_ll from[kReceiveBatch];
    alignas(cmsghdr) char control[kReceiveBatch][CMSG_SPACE(sizeof(timeval)) + CMSG_SPACE(sizeof(tpacket_auxdata))];
  };
  std::unique_ptr<Slots> slots_;
  std::thread pump_;  // started when first needed (see BeforeEventWait)
  std::atomic<bool> pumping_{false};  // pump_ runs: waits on the event need nothing more
  const std::shared_ptr<WaitsOnEvent> waits_ = std::make_shared<WaitsOnEvent>(this);
};

}  // namespace

DWORD OpenCaptureDevice(const std::string& interfaceName, std::unique_ptr<Device>* device) {
  // Protocol 0 receives nothing until the bind: no other interface's packets
  // slip in first. The socket also asks about its interface.
  int fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    const int error = errno;
    // No interface of that name is reported as such, privilege or not.
    std::optional<InterfaceFacts> facts = ReadInterface(interfaceName);
    if (!facts || !IsEthernetLike(*facts)) return ERROR_FILE_NOT_FOUND;
    return ErrorOfErrno(error);
  }
  std::optional<InterfaceFacts> facts = ReadInterface(fd, interfaceName, kFactHardware | kFactMtu);
  if (!facts || !IsEthernetLike(*facts)) {
    ::close(fd);
    return ERROR_FILE_NOT_FOUND;
  }
  KeepArrivalStampsOn();
  int on = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on) != 0 ||
      SizeSocketBuffer(fd, kDefaultBufferSize) != ERROR_SUCCESS) {
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
  int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd < 0) {
    int error = errno;
    ::close(fd);
    return ErrorOfErrno(error);
  }
  // The list of the namespace this thread is in, which is the interface's.
  const int multicastFd = ::open("/proc/thread-self/net/dev_mcast", O_RDONLY | O_CLOEXEC);
  auto capture = std::make_unique<CaptureDevice>(interfaceName, facts->index, facts->mtu, fd, wakeFd, multicastFd);
  DWORD status = capture->Start();
  if (status != ERROR_SUCCESS) return status;
  *device = std::move(capture);
  return ERROR_SUCCESS;
}

}  // namespace platform::linuxhost
