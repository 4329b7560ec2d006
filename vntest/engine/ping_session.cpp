// The ping test: numbered echo requests from the guest, replies matched on
// the interface's monitor thread, deadlines kept by a monitor of their own,
// and the statistics with a verdict.
#include "engine/ping_session.h"

#include <cstring>
#include <vector>

#include "engine/engine.h"
#include "engine/wire/icmp_echo.h"
#include "mestralib/address.h"
#include "platform/sockets.h"
#include "platform/sync.h"
#include "shell/log.h"
#include "shell/vn32test_view.h"
#include "vifnet.h"

namespace {

constexpr DWORD kGraceMs = 1000;  // one more second for late replies and duplicates

// A linear congruential generator with the classic C library's constants:
// numbers from 0 to 32767, seeded once per process. Its state is its own, so
// nothing else in the process moves the sequence.
class PingRandom {
 public:
  void Seed(DWORD seed) { state_ = seed; }
  WORD Next() {
    state_ = state_ * 214013u + 2531011u;
    return static_cast<WORD>((state_ >> 16) & 0x7FFF);
  }

 private:
  DWORD state_ = 1;
};

WORD PingNumber(const CVN32TestView& view, WORD sequenceHostOrder) {
  return static_cast<WORD>(sequenceHostOrder - view.wPingBaseSeq);
}

INTERFACEREC& PingRecord(const CVN32TestView& view) { return view.bPingFromInterface1 ? Interface1() : Interface2(); }

}  // namespace

bool SendPing(CVN32TestView& view, INTERFACEREC& record, DWORD target, const char*, WORD sequence) {
  const int dataSize = view.PingDataSize;
  std::vector<BYTE> packet(static_cast<std::size_t>(dataSize) + 28, 0);
  auto ip = wire::Ipv4Packet::New(packet);
  ip->set_version_and_header_words(4, 5);
  ip->set_tos(0);
  ip->set_total_len(static_cast<WORD>(packet.size()));
  ip->set_ident(0);
  ip->set_flags_fragment(0x4000);
  ip->set_ttl(64);
  ip->set_protocol(1);
  ip->set_src_addr(record.binInterface_IPAddr);
  ip->set_dst_addr(target);
  ip->set_checksum(0);
  ip->set_checksum(vifnet32_calc_inet_checksum(packet.data(), 20));
  auto icmp = wire::IcmpEcho::New(std::span<BYTE>(packet).subspan(20));
  icmp->set_type(8);
  icmp->set_code(0);
  icmp->set_ident(view.wPingIdent);  // the field holds htons(wPingIdent)
  std::memcpy(packet.data() + 26, &sequence, 2);  // already in network order
  static const char kPattern[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  for (int i = 0; i < dataSize; ++i) packet[28 + static_cast<std::size_t>(i)] = static_cast<BYTE>(kPattern[i % 36]);
  icmp->set_checksum(0);
  icmp->set_checksum(vifnet32_calc_inet_checksum(packet.data() + 20, 8 + dataSize));

  LogMsg(" Sending ping #%hu bytes=%d to %s...\n", PingNumber(view, platform::ntohs(sequence)), dataSize,
         view.strPingTarget.c_str());
  platform::Guard lock(view.csPingList);  // held across the write: a fast reply finds its entry
  // The send time is taken before the write: a reply can arrive, and take
  // its own time, before the write returns.
  const DWORD sendTime = platform::GetTickCount();
  bool ok = WritePingIPPacket(&view, record, packet.data(), static_cast<int>(packet.size()));
  if (ok) {
    CPing ping;
    std::memcpy(&ping.wIdent, packet.data() + 24, 2);
    ping.wSeq = sequence;
    std::memcpy(&ping.wChecksum, packet.data() + 22, 2);
    ping.wDataSize = static_cast<WORD>(dataSize);
    ping.dwSendTime = sendTime;
    ping.dwDeadline = ping.dwSendTime + static_cast<DWORD>(view.PingTimeout);
    view.PingList.push_back(ping);
    VN_ASSERT(platform::SetEvent(view.hPingEvent));
  }
  return ok;
}

void MatchPingReply(CVN32TestView* view, INTERFACEREC&, const wire::Ipv4Packet& packet) {
  if (view == nullptr) return;
  const DWORD now = platform::GetTickCount();
  const unsigned ttl = packet.ttl();
  const std::string source = FormatIPAddr(packet.src_addr());
  WORD ident, sequence;
  std::memcpy(&ident, packet.bytes().data() + 24, 2);
  std::memcpy(&sequence, packet.bytes().data() + 26, 2);
  const int payload = static_cast<int>(packet.total_len()) - 28;

  platform::Guard lock(view->csPingList);
  for (CPing& ping : view->PingList) {
    if (ping.wIdent != ident || ping.wSeq != sequence) continue;
    ping.dwReplyTime = now;
    ping.nReplies += 1;
    const DWORD roundTrip = ping.dwReplyTime - ping.dwSendTime;
    char timeText[16], duplicateText[16] = "", lateText[32] = "";
    if (roundTrip == 0) {
      std::snprintf(timeText, sizeof timeText, "<1");
    } else {
      std::snprintf(timeText, sizeof timeText, "%u", static_cast<unsigned>(roundTrip));
    }
    if (ping.nReplies > 1) std::snprintf(duplicateText, sizeof duplicateText, " #%u", static_cast<unsigned>(ping.nReplies));
    if (static_cast<LONG>(ping.dwReplyTime - ping.dwDeadline) > 0) {
      std::snprintf(lateText, sizeof lateText, " (%ums late)", static_cast<unsigned>(ping.dwReplyTime - ping.dwDeadline));
    }
    LogMsg(" Reply%s to ping #%hu received from %s: bytes=%d time=%sms TTL=%u%s\n", duplicateText,
           PingNumber(*view, platform::ntohs(sequence)), source.c_str(), payload, timeText, ttl, lateText);
    VN_ASSERT(platform::SetEvent(view->hPingEvent));
    return;
  }
}

DWORD PingThread(void* argument) {
  CVN32TestView& view = *static_cast<CVN32TestView*>(argument);
  LogMsg("\n** START %sPING TEST **\n\n", "");
  INTERFACEREC& record = PingRecord(view);
  static PingRandom random;
  static bool seeded = false;
  const EngineGlobals& globals = TheEngineGlobals();
  WORD sequence;
  {
    // The counters are read by reply matching on the monitor thread.
    platform::Guard lock(view.csPingList);
    if (!seeded) {
      seeded = true;
      random.Seed(platform::GetTickCount());
      view.wPingIdent = random.Next();
      view.wPingSeq = random.Next();
    }
    view.wPingBaseSeq = view.wPingSeq;
    sequence = view.wPingSeq;
  }
  int remaining = view.NumPings;
  view.strPingTargetIP = FormatIPAddr(globals.dwPingTargetIP);
  if (view.strPingTargetIP != globals.strPingTargetName) {
    view.strPingTarget = globals.strPingTargetName + " [" + view.strPingTargetIP + "]";
  } else {
    view.strPingTarget = view.strPingTargetIP;
  }
  LogMsg(" ping  -c %d  -i %d  -s %d  -w %d  %s\n\n", view.NumPings, view.PingDelay, view.PingDataSize, view.PingTimeout,
         view.strPingTarget.c_str());

  // The test may start while the interface is still being created: nothing
  // is written through the record before it is settled. A stop meanwhile ends
  // the test with nothing sent.
  const HANDLE settledOrStopped[2] = {view.hPingStopEvent, InterfaceSettledEvent(view, record)};
  const bool settled =
      platform::WaitForMultipleObjects(2, settledOrStopped, INFINITE) == platform::WAIT_OBJECT_0 + 1;

  view.csPingList.Lock();
  while (settled) {
    sequence = static_cast<WORD>(sequence + 1);
    if (!SendPing(view, record, globals.dwPingTargetIP, globals.strPingTargetName.c_str(), platform::htons(sequence))) {
      LogMsg("\n***  Ping #%hu failed; abort  ***\n\n", PingNumber(view, sequence));
      platform::SetEvent(view.hPingStopEvent);
      break;
    }
    if (view.hPingMonitorThread.load() == nullptr) {
      view.hPingMonitorThread.store(platform::CreateThread(PingMonitorThread, &view));
      VN_ASSERT(view.hPingMonitorThread.load() != nullptr);
    }
    view.csPingList.Unlock();
    platform::WaitForSingleObject(view.hPingStopEvent, static_cast<DWORD>(view.PingDelay));
    view.csPingList.Lock();
    if (platform::WaitForSingleObject(view.hPingStopEvent, 0) == platform::WAIT_OBJECT_0) break;
    if (--remaining == 0) break;
  }
  view.wPingSeq = sequence;
  view.csPingList.Unlock();
  view.PostMessage(WM_APP_PING_ENDED);
  return 0;
}

DWORD PingMonitorThread(void* argument) {
  CVN32TestView& view = *static_cast<CVN32TestView*>(argument);
  const HANDLE handles[3] = {view.hPingStopEvent, view.hPingEvent, view.hPingTimer};
  DWORD wait = 0;
  bool graceGiven = false;
  bool timerArmed = false;
  DWORD lastWake = platform::WAIT_OBJECT_0 + 1;
  for (;;) {
    if (lastWake == platform::WAIT_OBJECT_0 + 1) platform::ResetEvent(view.hPingEvent);
    if (timerArmed) {
      platform::CancelWaitableTimer(view.hPingTimer);
      timerArmed = false;
    }
    wait = 0;
    std::size_t entries = 0;
    {
      platform::Guard lock(view.csPingList);
      const DWORD now = platform::GetTickCount();
      for (CPing& ping : view.PingList) {
        if (ping.nReplies == 0 && ping.nTimedOut == 0 && static_cast<LONG>(ping.dwDeadline - now) <= 0) {
          LogMsg(" Ping #%hu has timed out.\n", PingNumber(view, platform::ntohs(ping.wSeq)));
          ping.nTimedOut = 1;
        }
      }
      for (const CPing& ping : view.PingList) {
        if (ping.nReplies == 0 && ping.nTimedOut == 0 && static_cast<LONG>(ping.dwDeadline - now) > 0) {
          wait = ping.dwDeadline - now;
          break;
        }
      }
      entries = view.PingList.size();
    }
    if (wait == 0 && entries >= static_cast<std::size_t>(view.NumPings)) {
      if (graceGiven) break;
      graceGiven = true;
      wait = kGraceMs;
    }
    if (wait != 0) {
      platform::SetWaitableTimer(view.hPingTimer, wait);
      timerArmed = true;
    }
    lastWake = platform::WaitForMultipleObjects(3, handles, INFINITE);
    if (lastWake == platform::WAIT_OBJECT_0 || lastWake == platform::WAIT_FAILED) break;
  }
  if (timerArmed) platform::CancelWaitableTimer(view.hPingTimer);

  unsigned sent = 0, received = 0, timeouts = 0, duplicates = 0, lost = 0;
  DWORD minimum = 0, maximum = 0, sum = 0;
  {
    platform::Guard lock(view.csPingList);
    sent = static_cast<unsigned>(view.PingList.size());
    for (const CPing& ping : view.PingList) {
      if (ping.nTimedOut) ++timeouts;
      if (ping.nReplies <= 0) {
        ++lost;
        continue;
      }
      ++received;
      duplicates += static_cast<unsigned>(ping.nReplies - 1);
      const DWORD roundTrip = ping.dwReplyTime - ping.dwSendTime;
      if (received == 1 || roundTrip < minimum) minimum = roundTrip;
      if (roundTrip > maximum) maximum = roundTrip;
      sum += roundTrip;
    }
  }
  // MulDiv(lost, 1000, sent) rounds to nearest; then to whole percent.
  const unsigned lossPercent = sent != 0 ? ((lost * 1000u + sent / 2) / sent + 5) / 10 : 0;
  const unsigned average = received != 0 ? sum / received : 0;
  LogMsg("\n Ping statistics for %s:\n\n %5u Pings Sent\n %5u Replies Received (Minimum = %ums, Maximum = %ums, Average = %ums)\n"
         " %5u Pings Timeouts\n %5u Duplicate Replies\n %5u Pings Lost (%u%%)\n\n",
         view.strPingTarget.c_str(), sent, received, static_cast<unsigned>(minimum), static_cast<unsigned>(maximum), average,
         timeouts, duplicates, lost, lossPercent);
  LogMsg("%s", lost > 0 ? " Ping test has FAILED.\n" : " Ping test successful.\n");
  LogMsg("\n** END %sPING TEST **\n\n", "");
  view.PostMessage(WM_APP_PING_MONITOR_ENDED);
  return 0;
}

void StartPingTest(CVN32TestView& view) {
  VN_ASSERT(view.IsRunning());
  VN_ASSERT(!view.IsPinging());
  // A second start would lose the running test's thread handle.
  if (view.IsPinging()) return;
  {
    platform::Guard lock(view.csPingList);
    view.PingList.clear();
  }
  platform::ResetEvent(view.hPingStopEvent);
  view.m_pfnStopThreads = StopEngineThreads;
  const HANDLE thread = platform::CreateThread(PingThread, &view);
  view.hPingThread.store(thread);
  VN_ASSERT(thread != nullptr && thread != INVALID_HANDLE_VALUE);
}

void StopPingTest(CVN32TestView& view) {
  if (!view.IsPinging()) return;
  VN_ASSERT(view.hPingStopEvent != nullptr);
  VN_ASSERT(platform::SetEvent(view.hPingStopEvent));
  // The ping thread first: once it has ended, the monitor's handle is final.
  for (std::atomic<HANDLE>* handle : {&view.hPingThread, &view.hPingMonitorThread}) {
    const HANDLE thread = handle->load();
    if (thread == nullptr) continue;
    platform::WaitForSingleObject(thread, INFINITE);
    platform::CloseHandle(thread);
    handle->store(nullptr);
  }
  platform::ResetEvent(view.hPingStopEvent);
  platform::Guard lock(view.csPingList);
  view.PingList.clear();
}
