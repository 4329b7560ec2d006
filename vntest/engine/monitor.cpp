// The monitor thread of an interface and the guest's answers: ARP, RARP and
// echo replies, and the frame writer that the ping test shares.
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "engine/debug_mode.h"
#include "engine/engine.h"
#include "engine/process_packet.h"
#include "engine/ping_session.h"
#include "engine/wire/arp_packet.h"
#include "engine/wire/icmp_echo.h"
#include "mestralib/address.h"
#include "mestralib/errors.h"
#include "platform/sockets.h"
#include "platform/winerror.h"
#include "shell/log.h"
#include "shell/vn32test_view.h"
#include "vifnet.h"

namespace {

constexpr int kReadBufferSize = 65535;
// Frames answered between two looks at the stop event during a flood.
constexpr unsigned kFramesPerStopCheck = 32;
constexpr int kArpFrameLen = 42;
constexpr WORD kEtherTypeIPv4 = 0x0800;
constexpr WORD kEtherTypeArp = 0x0806;

bool IsZero(const wire::MacAddress& mac) {
  for (BYTE b : mac) {
    if (b != 0) return false;
  }
  return true;
}

bool IsGroup(const wire::MacAddress& mac) { return (mac[0] & 0x01) != 0; }

// One frame or packet of the guest's written: its size, what the write
// returned, and the error values just after it.
struct GuestWrite {
  int total;
  int written;
  platform::SavedErrors failure;
  bool ok() const { return written == total; }
};

// The frame writer's work without its failure report: TUN writes the packet
// as it is, TAP in an Ethernet frame to the destination's MAC.
GuestWrite WriteGuestPacket(INTERFACEREC& record, const BYTE* packet, int length) {
  // The ping thread writes through a record whose monitor thread may close
  // it meanwhile (a failed read): the descriptor must not change under the
  // write, nor be a number some other open has been given since.
  std::lock_guard<std::mutex> descriptor(DescriptorLock());
  std::vector<BYTE> frame;
  const BYTE* data = packet;
  int total = length;
  if (record.bTAPMode) {
    frame.assign(14 + static_cast<std::size_t>(length), 0);
    ResolveAdapterValues(record);
    DWORD destination;
    std::memcpy(&destination, packet + 16, 4);
    wire::MacAddress mac{};
    bool found = false;
    if ((destination & record.binAdapter_NetMask) == (record.binAdapter_IPAddr & record.binAdapter_NetMask)) {
      vn32_arpreq arp{};
      arp.arp_pa.family = VN32_AF_INET;
      std::memcpy(arp.arp_pa.data, &destination, 4);
      arp.arp_flags = VN32_ARP_FLAGS;
      if (vifnet32_ioctl(record.fd, VN32_SIOCGARP, &arp) == 0) {
        std::memcpy(mac.data(), arp.arp_ha.data, 6);
        found = true;
      }
    }
    if (!found && !IsZero(TheEngineGlobals().DefaultGatewayMAC)) {
      mac = TheEngineGlobals().DefaultGatewayMAC;
      found = true;
    }
    if (!found) {
      VN_ASSERT(!IsZero(record.binAdapter_MACAddr));
      mac = record.binAdapter_MACAddr;
    }
    VN_ASSERT(!IsZero(mac));
    std::memcpy(frame.data(), mac.data(), 6);
    std::memcpy(frame.data() + 6, record.binInterface_MACAddr.data(), 6);
    frame[12] = static_cast<BYTE>(kEtherTypeIPv4 >> 8);
    frame[13] = static_cast<BYTE>(kEtherTypeIPv4 & 0xFF);
    std::memcpy(frame.data() + 14, packet, static_cast<std::size_t>(length));
    data = frame.data();
    total = static_cast<int>(frame.size());
  }
  const int written = vifnet32_write(record.fd, data, total);
  return GuestWrite{total, written, platform::SavedErrors()};
}

// WritePingIPPacket's line for a write that failed; the write's error
// values are put back on the thread.
void ReportGuestWriteFailure(const INTERFACEREC& record, const GuestWrite& write) {
  const platform::SavedErrors& failure = write.failure;
  LogMsg("** CVN32TestView(%s)::WritePingIPPacket: vifnet32_write failed;\n"
         "                      dwPacketSize=%d, rc=%d, GetLastError=%d (0x%08X), errno=%d: %s\n",
         record.strIfName.c_str(), write.total, write.written, static_cast<int>(failure.lastError()),
         static_cast<unsigned>(failure.lastError()), failure.errnoValue(), StrError(failure.errnoValue()).c_str());
  failure.Restore();
}

// Turns an ARP or RARP request in place into the guest's reply and writes it.
void WriteArpReply(INTERFACEREC& record, wire::EthernetFrame frame, const char* who) {
  LogMsg("** CVN32TestView(%s)::%s: WRITING %s response...\n", record.strIfName.c_str(), who,
         std::strcmp(who, "HandleTapARPPacket") == 0 ? "ARP" : "RARP");
  int written = vifnet32_write(record.fd, frame.bytes().data(), kArpFrameLen);
  if (written != kArpFrameLen) {
    platform::SavedErrors failure;
    LogMsg("** CVN32TestView(%s)::%s: vifnet32_write failed; rc=%d: %s\n", record.strIfName.c_str(), who,
           static_cast<int>(failure.lastError()), FormatLastError(failure.lastError()).c_str());
    failure.Restore();
  }
}

class GuestResponder final : public PacketResponder {
 public:
  void HandleTapARPPacket(CVN32TestView*, INTERFACEREC& record, wire::EthernetFrame frame) override {
    if (frame.bytes().size() < static_cast<std::size_t>(kArpFrameLen)) return;
    VN_ASSERT(frame.ethertype() == kEtherTypeArp);
    auto arp = wire::ArpPacket::New(frame.payload());
    if (!arp) return;
    if (arp->hardware_type() != 1 || arp->protocol_type() != 0x0800 || arp->hardware_len() != 6 ||
        arp->protocol_len() != 4 || arp->operation() != 1) {
      return;
    }
    const wire::MacAddress destination = frame.destination();
    if (destination != record.binInterface_MACAddr && !IsGroup(destination)) return;
    if (arp->target_protocol_addr() != record.binInterface_IPAddr) return;
    const wire::MacAddress requester = arp->sender_hardware_addr();
    const DWORD requesterIp = arp->sender_protocol_addr();
    frame.set_destination(requester);
    frame.set_source(record.binInterface_MACAddr);
    arp->set_operation(2);
    arp->set_target_hardware_addr(requester);
    arp->set_target_protocol_addr(requesterIp);
    arp->set_sender_hardware_addr(record.binInterface_MACAddr);
    arp->set_sender_protocol_addr(record.binInterface_IPAddr);
    WriteArpReply(record, frame, "HandleTapARPPacket");
  }

  void HandleTapRARPPacket(CVN32TestView*, INTERFACEREC& record, wire::EthernetFrame frame) override {
    if (frame.bytes().size() < static_cast<std::size_t>(kArpFrameLen)) return;
    VN_ASSERT(frame.ethertype() == 0x8035);
    auto arp = wire::ArpPacket::New(frame.payload());
    if (!arp) return;
    if (arp->hardware_type() != 1 || arp->protocol_type() != 0x0800 || arp->hardware_len() != 6 ||
        arp->protocol_len() != 4 || arp->operation() != 3) {
      return;
    }
    const wire::MacAddress destination = frame.destination();
    if (destination != record.binInterface_MACAddr && !IsGroup(destination)) return;
    if (arp->target_hardware_addr() != record.binInterface_MACAddr) return;
    const wire::MacAddress requester = arp->sender_hardware_addr();
    frame.set_destination(requester);
    frame.set_source(record.binInterface_MACAddr);
    arp->set_operation(4);
    arp->set_sender_hardware_addr(record.binInterface_MACAddr);
    arp->set_sender_protocol_addr(record.binInterface_IPAddr);
    arp->set_target_protocol_addr(record.binInterface_IPAddr);
    WriteArpReply(record, frame, "HandleTapRARPPacket");
  }

  void AnswerEchoRequest(CVN32TestView*, INTERFACEREC& record, wire::Ipv4Packet packet) override {
    const DWORD requester = packet.src_addr();
    packet.set_dst_addr(requester);
    packet.set_src_addr(record.binInterface_IPAddr);
    packet.fill_checksum();
    const std::size_t icmpEnd = std::min<std::size_t>(packet.total_len(), packet.bytes().size());
    auto icmp = wire::IcmpEcho::New(packet.bytes().subspan(wire::Ipv4Packet::kHeaderLen, icmpEnd - wire::Ipv4Packet::kHeaderLen));
    if (!icmp) return;
    icmp->set_type(0);
    icmp->fill_checksum();
    // The reply goes out before its lines are logged: the requester waits
    // for the reply, not for the log's hand-off to the window's thread. The
    // lines keep their order, a failed write's report after them.
    const GuestWrite write = WriteGuestPacket(record, packet.bytes().data(), static_cast<int>(packet.bytes().size()));
    LogMsg("** Someone is PINGing Gorlan!\n** Sending PING reply to %s\n", FormatIPAddr(requester).c_str());
    if (!write.ok()) ReportGuestWriteFailure(record, write);
  }

  void MatchEchoReply(CVN32TestView* view, INTERFACEREC& record, wire::Ipv4Packet packet) override {
    MatchPingReply(view, record, packet);
  }
};

}  // namespace

bool WritePingIPPacket(CVN32TestView*, INTERFACEREC& record, const BYTE* packet, int length) {
  const GuestWrite write = WriteGuestPacket(record, packet, length);
  if (write.ok()) return true;
  ReportGuestWriteFailure(record, write);
  return false;
}

void ReportInterfaceStatistics(INTERFACEREC& record) {
  vn32_stats stats{};
  stats.size = VN32_STATS_SIZE;
  VN_ASSERT(vifnet32_get_stats(record.fd, &stats) == 0);
  auto kb = [](uint32_t bytes) { return static_cast<unsigned>((bytes + 1023u) / 1024u); };
  auto n = [](uint64_t v) { return static_cast<long long>(v); };
  char text[2048];
  std::snprintf(text, sizeof text,
                "*** Statistics for Interface %s:\n\n"
                "Size of Kernel Capture Buffer:   %5uK\n"
                "Size of DLL I/O Buffer:          %5uK\n"
                "Maximum DLL I/O Bytes Received:  %5uK\n\n"
                "%9lld  Total Write Calls\n%9lld  Total Write I/Os\n%9lld  Packets To All Zeroes MAC Written\n"
                "%9lld  Packets From All Zeroes MAC Written\n%9lld  Total Packets Written\n%9lld  Total Bytes Written\n\n"
                "%9lld  Total Read Calls\n%9lld  Total Read I/Os\n%9lld  Internally Handled ARP Packets\n"
                "%9lld  Packets From Ourself\n%9lld  Total Ignored Packets\n%9lld  Packets To All Zeroes MAC Read\n"
                "%9lld  Packets From All Zeroes MAC Read\n%9lld  Total Packets Read\n%9lld  Total Bytes Read\n\n",
                record.strIfName.c_str(), kb(stats.kernel_buffer_size), kb(stats.dll_buffer_size),
                kb(stats.max_io_bytes_received), n(stats.write_calls), n(stats.write_ios), n(stats.to_zero_mac_written),
                n(stats.from_zero_mac_written), n(stats.packets_written), n(stats.bytes_written), n(stats.read_calls),
                n(stats.read_ios), n(stats.arp_handled), n(stats.from_ourself), n(stats.ignored),
                n(stats.to_zero_mac_read), n(stats.from_zero_mac_read), n(stats.packets_read), n(stats.bytes_read));
  LogMsg("%s", text);
}

DWORD MonitorThread(void* argument) {
  INTERFACEREC& record = *static_cast<INTERFACEREC*>(argument);
  platform::timeBeginPeriod(1);
  platform::SetErrors(0, 0);
  platform::SavedErrors lastFailure;
  CVN32TestView* view = GetLogView();
  if (view != nullptr) {
    SetRecordFd(record, -1);
    CreateInterface(record);
    if (record.fd < 0) lastFailure = platform::SavedErrors();
    // The record is settled: from here on a ping test may write through it.
    VN_ASSERT(platform::SetEvent(InterfaceSettledEvent(*view, record)));
  }
  if (view != nullptr && record.fd >= 0) {
    if (const auto& ready = TheEngineGlobals().InterfaceReady) ready(record);
    GuestResponder responder;
    std::unique_ptr<BYTE[]> buffer(new BYTE[kReadBufferSize]);
    // A failing call (the read, or in socket-notify mode the wait for data)
    // is reported by its name and ends the thread.
    auto callFailed = [&record, &lastFailure](const char* call) {
      lastFailure = platform::SavedErrors();
      LogMsg("*** MonitorThread: interface %s %s failed; errno=%d: %s\n", record.strIfName.c_str(), call,
             lastFailure.errnoValue(), StrError(lastFailure.errnoValue()).c_str());
    };
    auto readFailed = [&callFailed] { callFailed("vifnet32_read"); };
    if (!view->SocketNotifyMode) {
      // The stop event is looked at after every read that found nothing
      // (it waited up to its time-out) and otherwise every few frames, so a
      // flood does not pay a system call per frame for it.
      unsigned framesUnchecked = 0;
      for (;;) {
        if (framesUnchecked == 0 && platform::WaitForSingleObject(view->hStopEvent, 0) == platform::WAIT_OBJECT_0) {
          break;
        }
        int n = vifnet32_read(record.fd, buffer.get(), kReadBufferSize);
        if (n < 0) {
          readFailed();
          break;
        }
        if (n > 0) {
          ProcessPacket(responder, view, record, buffer.get(), n);
          framesUnchecked = (framesUnchecked + 1) % kFramesPerStopCheck;
        } else {
          framesUnchecked = 0;
        }
      }
    } else {
      bool failed = false;
      while (!failed && platform::WaitForSingleObject(view->hStopEvent, 0) != platform::WAIT_OBJECT_0) {
        int ready = platform::SelectReadable(record.fd, -1);
        if (ready < 0) {
          callFailed("select");
          break;
        }
        if (ready == 0) continue;
        for (;;) {
          int n = vifnet32_read(record.fd, buffer.get(), kReadBufferSize);
          if (n == 0) break;
          if (n < 0) {
            readFailed();
            failed = true;
            break;
          }
          ProcessPacket(responder, view, record, buffer.get(), n);
        }
      }
    }
    ReportInterfaceStatistics(record);
    {
      std::lock_guard<std::mutex> lock(DescriptorLock());
      vifnet32_close(record.fd);
      record.fd = -1;
    }
    LogMsg("** Interface %s closed... (ip=%s, mac=%s)\n", record.strIfName.c_str(), record.strInterface_IPAddr.c_str(),
           record.strInterface_MACAddr.c_str());
  }
  platform::timeEndPeriod(1);
  if (view != nullptr) view->PostMessage(WM_APP_MONITOR_ENDED);
  lastFailure.Restore();
  return 0;
}
