// MestraPack's exports from several threads at once on the three adapters of
// a simulated host: workers open an adapter, tune it, send an ARP request to
// the router of its LAN, read the answer and close it again, round after
// round; other threads meanwhile list the adapters and query handles that a
// worker may be closing that very moment; every thread starts by asking for
// the packet-capture information, which the first call acquires by running
// the information utility. Nothing may crash, deadlock, leak or garble a
// capture record; a handle that was closed fails with ERROR_NOT_FOUND.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "mestrapack/mestrapack.h"
#include "platform/npf.h"
#include "platform/sync.h"
#include "platform/winerror.h"
#include "stress_support.h"

namespace {

// Every platform call of this program is on the three-LAN simulated host.
const bool g_onSim = [] {
  setenv("MORVANE_PLATFORM", "sim", 1);
  setenv("MORVANE_SIM_HOST", STRESS_HOSTS "/three_lans.host", 1);
  return true;
}();

struct Lan {
  const char16_t* adapter;
  BYTE mac[6];
  BYTE ip[4];
  BYTE router[4];
};
const Lan kLans[3] = {
    {u"NPF_lan0", {2, 0, 0, 0, 2, 1}, {192, 0, 2, 10}, {192, 0, 2, 1}},
    {u"NPF_lan1", {2, 0, 0, 0, 2, 2}, {198, 51, 100, 10}, {198, 51, 100, 1}},
    {u"NPF_lan2", {2, 0, 0, 0, 2, 3}, {203, 0, 113, 10}, {203, 0, 113, 1}},
};

constexpr int kWorkers = 4;
constexpr int kRounds = 150;
constexpr DWORD kBoundMs = 60000;

std::vector<BYTE> ArpRequestForRouter(const Lan& lan) {
  std::vector<BYTE> frame(42, 0);
  std::memset(frame.data(), 0xFF, 6);
  std::memcpy(frame.data() + 6, lan.mac, 6);
  frame[12] = 0x08;
  frame[13] = 0x06;
  const BYTE arp[8] = {0x00, 0x01, 0x08, 0x00, 6, 4, 0x00, 0x01};
  std::memcpy(frame.data() + 14, arp, 8);
  std::memcpy(frame.data() + 22, lan.mac, 6);
  std::memcpy(frame.data() + 28, lan.ip, 4);
  std::memcpy(frame.data() + 38, lan.router, 4);
  return frame;
}

// Walks one read's capture records. False when a record runs past the data
// or has a header shorter than its own; *answered when the router's ARP
// reply is among them.
bool WalkRecords(const std::vector<BYTE>& data, uint32_t size, const Lan& lan, bool* answered) {
  std::size_t offset = 0;
  while (offset < size) {
    if (offset + sizeof(npf::bpf_hdr) > size) return false;
    npf::bpf_hdr header;
    std::memcpy(&header, data.data() + offset, sizeof header);
    if (header.bh_hdrlen < sizeof header || header.bh_caplen > header.bh_datalen ||
        offset + header.bh_hdrlen + header.bh_caplen > size) {
      return false;
    }
    const BYTE* frame = data.data() + offset + header.bh_hdrlen;
    if (header.bh_caplen >= 42 && frame[12] == 0x08 && frame[13] == 0x06 && frame[21] == 2 &&
        std::memcmp(frame + 28, lan.router, 4) == 0 && std::memcmp(frame + 38, lan.ip, 4) == 0) {
      *answered = true;
    }
    offset = npf::Packet_WORDALIGN(offset + header.bh_hdrlen + header.bh_caplen);
  }
  return true;
}

// A worker's failures, counted (gtest assertions are for the test thread).
struct Tally {
  std::atomic<int> failures{0};
  std::atomic<int> garbled{0};
  std::atomic<int> answered{0};
  std::atomic<int> borrowedOk{0};
  std::atomic<int> borrowedClosed{0};
  std::atomic<int> borrowedWrong{0};
  std::atomic<DWORD> wrongError{0};
  std::atomic<int> lists{0};
  std::string firstFailure;  // set once, under failures' first increment
  std::atomic<bool> noted{false};

  void Fail(const std::string& what) {
    failures.fetch_add(1);
    bool expected = false;
    if (noted.compare_exchange_strong(expected, true)) firstFailure = what + ": " + std::to_string(GetLastError());
  }
};

bool SameInfo(const WPCINFO& a, const WPCINFO& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

class MestraPackThreads : public ::testing::Test {
 protected:
  // One round: open, tune, ask the router, read its answer, close. Half the
  // rounds lend the handle to the borrowers while it is open.
  void Round(int worker, int round) {
    const Lan& lan = kLans[(worker + round) % 3];
    MESTRAPACK_HANDLE handle = MestraPackOpenAdapter(lan.adapter);
    if (handle == nullptr) return tally_.Fail("open");
    const bool lend = (round % 2) == 0;
    if (lend) lent_[worker].store(handle);
    MESTRAPACK_BPF_INSN acceptAll = {0x06, 0, 0, 0xFFFF};  // ret #65535
    MESTRAPACK_BPF_PROGRAM program = {1, &acceptAll};
    if (!MestraPackSetBuff(handle, 256 * 1024)) tally_.Fail("set buffer");
    if (!MestraPackSetBpf(handle, &program)) tally_.Fail("set filter");
    if (!MestraPackSetReadEventThreshold(handle, 0)) tally_.Fail("set threshold");
    MESTRAPACK_HANDLE readEvent = MestraPackGetWin32ReadEventHandle(handle);
    if (readEvent == nullptr) tally_.Fail("read event");
    const std::vector<BYTE> request = ArpRequestForRouter(lan);
    if (!MestraPackSendPacket(handle, request.data(), static_cast<uint32_t>(request.size()))) tally_.Fail("send");
    std::vector<BYTE> buffer(256 * 1024);
    bool answered = false;
    for (int reads = 0; reads < 100 && !answered && readEvent != nullptr; ++reads) {
      if (platform::WaitForSingleObject(readEvent, kBoundMs) != platform::WAIT_OBJECT_0) {
        tally_.Fail("no answer within the bound");
        break;
      }
      uint32_t count = 0;
      if (MestraPackRecvPacket(handle, buffer.data(), static_cast<uint32_t>(buffer.size()), &count, nullptr) &&
          !WalkRecords(buffer, count, lan, &answered)) {
        tally_.garbled.fetch_add(1);
      }
    }
    if (answered) tally_.answered.fetch_add(1);
    MESTRAPACK_BPF_STAT stats{};
    if (!MestraPackGetStats(handle, &stats)) tally_.Fail("statistics");
    // The third adapter's driver knows no checksum offload.
    MESTRAPACK_CHECKSUM_OFFLOAD offload{};
    const bool offloadKnown = MestraPackGetChecksumOffloadTask(handle, &offload) != 0;
    if (offloadKnown != (&lan != &kLans[2])) tally_.Fail("offload");
    if (lend) lent_[worker].store(nullptr);
    MestraPackCloseAdapter(handle);
  }

  // Queries whatever handles are lent out, and now and then sends a frame
  // nobody takes on them (few enough that their workers' reads still find
  // the router's answer among their own frames), while their worker may be
  // closing them: each call either works or finds the handle gone. Nothing
  // that changes the adapter: a closed handle's value may come back from a
  // later open of another worker.
  void Borrow() {
    static const std::vector<BYTE> stray = [] {
      std::vector<BYTE> frame(60, 0);
      const BYTE header[14] = {0x02, 0x00, 0x5e, 0x7f, 0x7f, 0x7f, 0x02, 0x00, 0x5e, 0x7f, 0x7f, 0x7e, 0x88, 0xB5};
      std::memcpy(frame.data(), header, sizeof header);
      return frame;
    }();
    for (std::atomic<MESTRAPACK_HANDLE>& slot : lent_) {
      MESTRAPACK_HANDLE handle = slot.load();
      if (handle == nullptr) continue;
      MESTRAPACK_BPF_STAT stats{};
      Count(MestraPackGetStats(handle, &stats));
      if (++borrows_ % 256 == 0) Count(MestraPackSendPacket(handle, stray.data(), static_cast<uint32_t>(stray.size())));
    }
  }

  void Count(MESTRAPACK_BOOL ok) {
    if (ok) {
      tally_.borrowedOk.fetch_add(1);
    } else if (GetLastError() == ERROR_NOT_FOUND) {
      tally_.borrowedClosed.fetch_add(1);
    } else {
      tally_.borrowedWrong.fetch_add(1);
      tally_.wrongError.store(GetLastError());
    }
  }

  void List() {
    uint32_t size = 0;
    if (MestraPackGetAdaptersList(nullptr, &size) || GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
      return tally_.Fail("list size");
    }
    std::vector<BYTE> buffer(size);
    auto* list = reinterpret_cast<ADAPTER_INFO_LIST_ENTRY*>(buffer.data());
    if (!MestraPackGetAdaptersList(list, &size)) return tally_.Fail("list");
    int entries = 0;
    for (const ADAPTER_INFO_LIST_ENTRY* e = list; e != nullptr && entries < 10; e = e->pNext) ++entries;
    if (entries != 3) return tally_.Fail("list of " + std::to_string(entries));
    tally_.lists.fetch_add(1);
  }

  Tally tally_;
  std::atomic<MESTRAPACK_HANDLE> lent_[kWorkers] = {};
  unsigned borrows_ = 0;  // the borrowing thread's own
};

TEST_F(MestraPackThreads, ExportsOnSeveralAdaptersWhileOthersOpenAndClose) {
  stress::Watchdog watchdog("MestraPackThreads", std::chrono::seconds(120));

  // Every thread's first call wants the information; one acquisition serves all.
  constexpr int kThreads = kWorkers + 2;
  std::vector<WPCINFO> infos(kThreads);
  std::vector<int> infoOk(kThreads, 0);
  {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        infos[t].dwSize = sizeof infos[t];
        infoOk[t] = MestraPackGetWinPCapInfo(&infos[t]);
      });
    }
    for (std::thread& t : threads) t.join();
  }
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(infoOk[t], 1) << "thread " << t;
    EXPECT_TRUE(SameInfo(infos[t], infos[0])) << "thread " << t;
  }
  watchdog.Progress("information acquired");

  // One round of each kind brings up what lives for the process.
  Round(0, 0);
  List();
  tally_.answered.store(0);
  const stress::ResourceBaseline baseline;

  std::atomic<int> workersLeft{kWorkers};
  std::vector<std::thread> threads;
  for (int w = 0; w < kWorkers; ++w) {
    threads.emplace_back([&, w] {
      for (int r = 0; r < kRounds; ++r) {
        Round(w, r);
        if (w == 0 && r % 10 == 0) watchdog.Progress("worker 0, round " + std::to_string(r));
      }
      workersLeft.fetch_sub(1);
    });
  }
  threads.emplace_back([&] {
    while (workersLeft.load() > 0) Borrow();
  });
  threads.emplace_back([&] {
    while (workersLeft.load() > 0) List();
  });
  for (std::thread& t : threads) t.join();
  watchdog.Progress("all threads joined");

  EXPECT_EQ(tally_.failures.load(), 0) << tally_.firstFailure;
  EXPECT_EQ(tally_.garbled.load(), 0);
  EXPECT_EQ(tally_.answered.load(), kWorkers * kRounds);
  EXPECT_EQ(tally_.borrowedWrong.load(), 0) << "last error " << tally_.wrongError.load();
  EXPECT_GT(tally_.lists.load(), 0);
  std::string why;
  EXPECT_TRUE(baseline.Restored(&why)) << why;
  std::printf("rounds %d, lists %d, borrowed calls %d (handle gone: %d)\n", kWorkers * kRounds, tally_.lists.load(),
              tally_.borrowedOk.load() + tally_.borrowedClosed.load(), tally_.borrowedClosed.load());
}

}  // namespace
