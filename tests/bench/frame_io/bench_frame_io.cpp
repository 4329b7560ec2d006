// Frames through a packet-capture library, sent on one interface and received
// on another (the two ends of a veth pair):
//   bench_frame_io mestrapack|libpcap SEND RECEIVE [FRAMES [BURST [SIZE]]]
// Sends FRAMES frames of SIZE bytes (default 200000 of 60) in bursts of BURST
// (default 64), each burst sent with one call per frame and then received
// whole before the next, so that no queue overflows and the count is the
// libraries' work, not the kernel's drops. A frame still missing after a
// second is counted lost (after three such bursts in a row the run stops, and
// the frames not sent count as lost too). Prints "frames=N received=M lost=L ms=T rate=R",
// the time and rate from the first send to the last receive.
// MestraPack sends with MestraPackSendPacket and reads with
// MestraPackRecvPacket after its read event; libpcap sends with pcap_inject
// and reads with pcap_next_ex in immediate, non-blocking mode, polling its
// descriptor when the ring is empty. Both receivers are
// promiscuous with a 4 MB buffer; neither sender captures its own frames.
#include <net/if.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common_clock.h"
#include "mestrapack/mestrapack.h"
#include "platform/npf.h"
#include "platform/sync.h"

namespace {

using Mac = std::array<std::uint8_t, 6>;
constexpr std::uint8_t kEtherType[2] = {0x88, 0xB5};  // local experimental
constexpr char kMagic[4] = {'B', 'N', 'C', 'H'};
constexpr std::uint32_t kPatientMs = 1000;
// A receiver that stops receiving would cost a quiet second for each burst
// left; after this many such bursts in a row the run ends.
constexpr int kQuietBurstsToStop = 3;
constexpr std::uint32_t kCaptureBuffer = 4 * 1024 * 1024;

bool IsOurs(const std::uint8_t* data, std::size_t length) {
  return length >= 22 && std::memcmp(data + 12, kEtherType, 2) == 0 && std::memcmp(data + 14, kMagic, 4) == 0;
}

// One library's two ends: a sender and a receiver.
class Ends {
 public:
  virtual ~Ends() = default;
  virtual bool Send(const std::vector<std::uint8_t>& frame) = 0;
  // Frames of ours received, waiting at most a second for the first, with
  // `quiet` set when that second passed with nothing; -1 on an error.
  virtual long Receive(bool* quiet) = 0;
};

class MestraPackEnds final : public Ends {
 public:
  static std::unique_ptr<Ends> Open(const std::string& send, const std::string& receive) {
    auto ends = std::unique_ptr<MestraPackEnds>(new MestraPackEnds);
    ends->m_sender = MestraPackOpenAdapter(Wide("NPF_" + send).c_str());
    ends->m_receiver = MestraPackOpenAdapter(Wide("NPF_" + receive).c_str());
    if (ends->m_sender == nullptr || ends->m_receiver == nullptr) {
      std::fprintf(stderr, "bench_frame_io: MestraPackOpenAdapter failed (errno %d)\n", errno);
      return nullptr;
    }
    if (!MestraPackSetNoCaptureSelf(ends->m_sender, 1) || !MestraPackSetBuff(ends->m_receiver, kCaptureBuffer) ||
        !MestraPackSetReadEventThreshold(ends->m_receiver, 1) ||
        !MestraPackSetRecvPacketTimeout(ends->m_receiver, kPatientMs)) {
      std::fprintf(stderr, "bench_frame_io: setting up the adapters failed (errno %d)\n", errno);
      return nullptr;
    }
    ends->m_event = MestraPackGetWin32ReadEventHandle(ends->m_receiver);
    return ends;
  }

  ~MestraPackEnds() override {
    if (m_sender != nullptr) MestraPackCloseAdapter(m_sender);
    if (m_receiver != nullptr) MestraPackCloseAdapter(m_receiver);
  }

  bool Send(const std::vector<std::uint8_t>& frame) override {
    if (MestraPackSendPacket(m_sender, frame.data(), static_cast<std::uint32_t>(frame.size()))) return true;
    std::fprintf(stderr, "bench_frame_io: MestraPackSendPacket failed (errno %d)\n", errno);
    return false;
  }

  long Receive(bool* quiet) override {
    *quiet = platform::WaitForSingleObject(m_event, kPatientMs) != platform::WAIT_OBJECT_0;
    if (*quiet) return 0;
    std::uint32_t count = 0;
    if (!MestraPackRecvPacket(m_receiver, m_buffer.data(), static_cast<std::uint32_t>(m_buffer.size()), &count,
                              nullptr)) {
      return 0;  // the event was early: nothing to read yet
    }
    return CountCaptured(count);
  }

 private:
  MestraPackEnds() : m_buffer(1024 * 1024) {}

  static std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

  // Frames of ours in one read of the capture format.
  long CountCaptured(std::size_t size) const {
    long count = 0;
    std::size_t offset = 0;
    while (size - offset >= sizeof(npf::bpf_hdr)) {
      npf::bpf_hdr header;
      std::memcpy(&header, m_buffer.data() + offset, sizeof header);
      if (header.bh_hdrlen < sizeof header || header.bh_caplen > size - offset - header.bh_hdrlen) break;
      if (IsOurs(m_buffer.data() + offset + header.bh_hdrlen, header.bh_caplen)) ++count;
      offset = npf::Packet_WORDALIGN(offset + header.bh_hdrlen + header.bh_caplen);
    }
    return count;
  }

  MESTRAPACK_HANDLE m_sender = nullptr;
  MESTRAPACK_HANDLE m_receiver = nullptr;
  MESTRAPACK_HANDLE m_event = nullptr;
  std::vector<std::uint8_t> m_buffer;
};

class LibpcapEnds final : public Ends {
 public:
  static std::unique_ptr<Ends> Open(const std::string& send, const std::string& receive) {
    auto ends = std::unique_ptr<LibpcapEnds>(new LibpcapEnds);
    char error[PCAP_ERRBUF_SIZE] = {};
    ends->m_sender = pcap_open_live(send.c_str(), 65535, 0, static_cast<int>(kPatientMs), error);
    if (ends->m_sender == nullptr) {
      std::fprintf(stderr, "bench_frame_io: pcap_open_live(%s): %s\n", send.c_str(), error);
      return nullptr;
    }
    pcap_setdirection(ends->m_sender, PCAP_D_IN);
    pcap_t* receiver = ends->m_receiver = pcap_create(receive.c_str(), error);
    if (receiver == nullptr || pcap_set_snaplen(receiver, 65535) != 0 || pcap_set_promisc(receiver, 1) != 0 ||
        pcap_set_immediate_mode(receiver, 1) != 0 || pcap_set_buffer_size(receiver, kCaptureBuffer) != 0 ||
        pcap_set_timeout(receiver, static_cast<int>(kPatientMs)) != 0 || pcap_activate(receiver) < 0 ||
        pcap_setnonblock(receiver, 1, error) != 0 || pcap_get_selectable_fd(receiver) < 0) {
      std::fprintf(stderr, "bench_frame_io: opening %s with libpcap failed: %s\n", receive.c_str(),
                   receiver != nullptr ? pcap_geterr(receiver) : error);
      return nullptr;
    }
    return ends;
  }

  ~LibpcapEnds() override {
    if (m_sender != nullptr) pcap_close(m_sender);
    if (m_receiver != nullptr) pcap_close(m_receiver);
  }

  bool Send(const std::vector<std::uint8_t>& frame) override {
    if (pcap_inject(m_sender, frame.data(), frame.size()) >= 0) return true;
    std::fprintf(stderr, "bench_frame_io: pcap_inject: %s\n", pcap_geterr(m_sender));
    return false;
  }

  long Receive(bool* quiet) override {
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    // Non-blocking: a ring that holds a frame costs no system call; an empty
    // one is waited for here, at most a second (pcap_next_ex itself may wait
    // past its time-out when nothing at all arrives).
    int rc = pcap_next_ex(m_receiver, &header, &data);
    if (rc == 0) {
      pollfd ring{pcap_get_selectable_fd(m_receiver), POLLIN, 0};
      if (poll(&ring, 1, static_cast<int>(kPatientMs)) > 0) rc = pcap_next_ex(m_receiver, &header, &data);
    }
    *quiet = rc == 0;  // the time-out passed with nothing
    if (rc < 0) {
      std::fprintf(stderr, "bench_frame_io: pcap_next_ex: %s\n", pcap_geterr(m_receiver));
      return -1;
    }
    return rc == 1 && IsOurs(data, header->caplen) ? 1 : 0;
  }

 private:
  LibpcapEnds() = default;
  pcap_t* m_sender = nullptr;
  pcap_t* m_receiver = nullptr;
};

bool MacOf(const std::string& name, Mac* mac) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  ifreq request{};
  std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
  bool ok = ioctl(fd, SIOCGIFHWADDR, &request) == 0;
  close(fd);
  if (ok) std::memcpy(mac->data(), request.ifr_hwaddr.sa_data, 6);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: bench_frame_io mestrapack|libpcap SEND RECEIVE [FRAMES [BURST [SIZE]]]\n");
    return 2;
  }
  const std::string which = argv[1];
  const long frames = argc > 4 ? std::atol(argv[4]) : 200000;
  const long burstSize = argc > 5 ? std::atol(argv[5]) : 64;
  const long size = argc > 6 ? std::atol(argv[6]) : 60;
  if (frames <= 0 || burstSize <= 0 || size < 60 || size > 1514) {
    std::fprintf(stderr, "bench_frame_io: FRAMES and BURST must be positive, SIZE 60 to 1514\n");
    return 2;
  }
  Mac from{}, to{};
  if (!MacOf(argv[2], &from) || !MacOf(argv[3], &to)) {
    std::fprintf(stderr, "bench_frame_io: cannot read the interfaces' MAC addresses\n");
    return 1;
  }
  std::unique_ptr<Ends> ends = which == "mestrapack" ? MestraPackEnds::Open(argv[2], argv[3])
                               : which == "libpcap"  ? LibpcapEnds::Open(argv[2], argv[3])
                                                     : nullptr;
  if (!ends) return 1;

  std::vector<std::uint8_t> frame(static_cast<std::size_t>(size), 0);
  std::memcpy(frame.data(), to.data(), 6);
  std::memcpy(frame.data() + 6, from.data(), 6);
  std::memcpy(frame.data() + 12, kEtherType, 2);
  std::memcpy(frame.data() + 14, kMagic, 4);

  long received = 0;
  std::uint32_t sequence = 0;
  int quietBursts = 0;  // bursts in a row that ended with frames missing
  const double start = bench::NowMs();
  for (long left = frames; left > 0 && quietBursts < kQuietBurstsToStop;) {
    const long burst = std::min(left, burstSize);
    for (long i = 0; i < burst; ++i, ++sequence) {
      std::memcpy(frame.data() + 18, &sequence, 4);
      if (!ends->Send(frame)) return 1;
    }
    long got = 0;
    bool quiet = false;
    while (got < burst && !quiet) {  // after a quiet second, what is missing is lost
      long more = ends->Receive(&quiet);
      if (more < 0) return 1;
      got += more;
    }
    received += std::min(got, burst);
    left -= burst;
    quietBursts = quiet ? quietBursts + 1 : 0;
  }
  if (quietBursts >= kQuietBurstsToStop) {
    std::fprintf(stderr, "bench_frame_io: %d bursts in a row lost frames; the frames not sent count as lost\n",
                 kQuietBurstsToStop);
  }
  const double ms = bench::NowMs() - start;
  std::printf("frames=%ld received=%ld lost=%ld ms=%.3f rate=%.0f\n", frames, received, frames - received, ms,
              static_cast<double>(received) * 1000.0 / ms);
  return 0;
}
