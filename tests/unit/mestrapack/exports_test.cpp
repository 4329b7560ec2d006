// The exported functions on the simulated default host, with the information
// utility run for real: argument checks, error values, handles, the adapter
// list, the packet-capture information and frames on the simulated LAN.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "mestrapack/mestrapack.h"
#include "mestralib/trace.h"
#include "mestrapack_app.h"
#include "platform/npf.h"
#include "platform/sync.h"
#include "test_support.h"

namespace {

using mptest::TraceCapture;
using mptest::U;
using mptest::Utf8;

const std::u16string kDefaultAdapter = u"NPF_sim0";
const BYTE kHostMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x10};
const BYTE kRouterMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};

void ExpectErrors(DWORD lastError, int errnoValue) {
  EXPECT_EQ(GetLastError(), lastError);
  EXPECT_EQ(errno, errnoValue);
}

// The handle no open ever gave out: the complement of a handle nobody holds.
MESTRAPACK_HANDLE UnknownHandle() { return reinterpret_cast<MESTRAPACK_HANDLE>(~std::uintptr_t{0x7FFF0}); }

class ExportsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    // The information is acquired once for the whole program.
    ASSERT_TRUE(TheApp().EnsureWinPCapInfo()) << "the information utility did not run: " << GetLastError();
  }
};

std::vector<BYTE> ArpRequestFor(DWORD targetIp) {
  std::vector<BYTE> frame(42, 0);
  std::memset(frame.data(), 0xFF, 6);
  std::memcpy(frame.data() + 6, kHostMac, 6);
  frame[12] = 0x08;
  frame[13] = 0x06;
  const BYTE arp[8] = {0x00, 0x01, 0x08, 0x00, 6, 4, 0x00, 0x01};
  std::memcpy(frame.data() + 14, arp, 8);
  std::memcpy(frame.data() + 22, kHostMac, 6);
  const BYTE senderIp[4] = {192, 0, 2, 10};
  std::memcpy(frame.data() + 28, senderIp, 4);
  std::memcpy(frame.data() + 38, &targetIp, 4);
  return frame;
}

TEST_F(ExportsTest, VersionQueriesNeverFail) {
  int32_t major = -1, inter = -1, minor = -1, build = -1;
  MestraPackGetVersionNumbers(&major, &inter, &minor, &build);
  EXPECT_EQ(major, 3);
  EXPECT_EQ(inter, 9);
  EXPECT_EQ(minor, 0);
  EXPECT_EQ(build, 6222);
  MestraPackGetVersionNumbers(nullptr, &inter, nullptr, nullptr);
  MestraPackGetVersionNumbers(nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(Utf8(MestraPackGetVersionString()), "3.9.0.6222-D");
  EXPECT_NE(Utf8(MestraPackGetCopyrightString()).find("Copyright"), std::string::npos);
}

std::string g_hooked;
void Hook(const char* text) { g_hooked += text; }

TEST_F(ExportsTest, PrintHookTakesAdapterLinesOnly) {
  TraceCapture trace;
  g_hooked.clear();
  EXPECT_EQ(MestraPackSetPrintDebugStringFunction(&Hook), 1);
  SetLastError(0);
  EXPECT_EQ(MestraPackOpenAdapter(u"NPF_nosuchadapter"), nullptr);
  EXPECT_NE(GetLastError(), 0u);
  EXPECT_EQ(MestraPackOpenAdapter(nullptr), nullptr);
  EXPECT_NE(g_hooked.find("CAdapter"), std::string::npos) << g_hooked;
  // The application object's own lines keep going to the trace.
  EXPECT_EQ(g_hooked.find("pszAdapterName is NULL"), std::string::npos);
  EXPECT_TRUE(trace.Contains("CMestraPackApp::MestraPackOpenAdapter: pszAdapterName is NULL\n")) << trace.Text();

  EXPECT_EQ(MestraPackSetPrintDebugStringFunction(nullptr), 0);
  g_hooked.clear();
  trace.Clear();
  EXPECT_EQ(MestraPackOpenAdapter(u"NPF_nosuchadapter"), nullptr);
  EXPECT_TRUE(g_hooked.empty());
  EXPECT_TRUE(trace.Contains("CAdapter")) << trace.Text();
}

TEST_F(ExportsTest, ArgumentChecksGive87And22) {
  TraceCapture trace;
  MESTRAPACK_HANDLE handle = MestraPackOpenAdapter(kDefaultAdapter.c_str());
  ASSERT_NE(handle, nullptr);
  BYTE buffer[64] = {};
  uint32_t count = 0;
  MESTRAPACK_OVERLAPPED overlapped{};
  struct Case {
    const char* name;
    std::function<MESTRAPACK_BOOL()> call;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"open", [] { return MestraPackOpenAdapter(nullptr) != nullptr; }, "pszAdapterName is NULL\n"},
      {"offload", [&] { return MestraPackGetChecksumOffloadTask(handle, nullptr); }, "NULL parameter(s) passed\n"},
      {"offload handle", [&] { MESTRAPACK_CHECKSUM_OFFLOAD r; return MestraPackGetChecksumOffloadTask(nullptr, &r); },
       "NULL parameter(s) passed\n"},
      {"send", [&] { return MestraPackSendPacket(handle, buffer, 0); }, "NULL parameter(s) passed\n"},
      {"send null", [&] { return MestraPackSendPacket(handle, nullptr, 10); }, "NULL parameter(s) passed\n"},
      {"send many", [&] { return MestraPackSendManyPackets(handle, nullptr, 10); }, "NULL parameter(s) passed\n"},
      {"recv overlapped", [&] { return MestraPackRecvPacket(handle, buffer, sizeof buffer, &count, &overlapped); },
       "invalid parameter(s) passed\n"},
      {"recv count", [&] { return MestraPackRecvPacket(handle, buffer, sizeof buffer, nullptr, nullptr); },
       "invalid parameter(s) passed\n"},
      {"cancel", [] { return MestraPackCancelIo(nullptr); }, "invalid parameter(s)\n"},
      {"overlapped", [&] { return MestraPackGetOverlappedResult(handle, nullptr, &count); }, "invalid parameter(s)\n"},
      {"bpf", [&] { return MestraPackSetBpf(handle, nullptr); }, "pBF is NULL\n"},
      {"stats", [&] { return MestraPackGetStats(handle, nullptr); }, "pBS is NULL\n"},
      {"info", [] { return MestraPackGetWinPCapInfo(nullptr); }, "invalid argument\n"},
      {"list", [] { return MestraPackGetAdaptersList(nullptr, nullptr); }, "pdwBuffLen is NULL\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    trace.Clear();
    SetLastError(0);
    errno = 0;
    EXPECT_EQ(c.call(), 0);
    ExpectErrors(ERROR_INVALID_PARAMETER, 22);
    EXPECT_TRUE(trace.Contains(c.message)) << trace.Text();
  }
  // A bad argument is refused before the handle is looked up.
  trace.Clear();
  EXPECT_EQ(MestraPackRecvPacket(UnknownHandle(), buffer, sizeof buffer, &count, &overlapped), 0);
  ExpectErrors(ERROR_INVALID_PARAMETER, 22);
  EXPECT_FALSE(trace.Contains("Lookup"));
  MestraPackCloseAdapter(handle);
}

// Holds one thread inside the trace line of its failure (its cause recorded,
// not yet reported) until another thread has failed from start to end.
struct HeldInTrace {
  std::mutex mutex;
  std::condition_variable changed;
  std::atomic<std::thread::id> thread{};
  bool inside = false;
  bool otherDone = false;
};
HeldInTrace g_held;

void HoldInTrace(const char* text) {
  if (std::this_thread::get_id() != g_held.thread.load() || std::strstr(text, "NULL parameter(s) passed") == nullptr) {
    return;
  }
  std::unique_lock<std::mutex> lock(g_held.mutex);
  g_held.inside = true;
  g_held.changed.notify_all();
  g_held.changed.wait_for(lock, std::chrono::seconds(30), [] { return g_held.otherDone; });
}

TEST_F(ExportsTest, FailuresOnTwoThreadsAtOnceEachReportTheirOwnCause) {
  MestraLibSetTraceSink(&HoldInTrace);
  DWORD heldError = 0;
  int heldErrno = 0;
  std::thread held([&] {
    g_held.thread = std::this_thread::get_id();
    SetLastError(0);
    errno = 0;
    BYTE frame[14] = {};
    EXPECT_EQ(MestraPackSendPacket(nullptr, frame, sizeof frame), 0);
    heldError = GetLastError();
    heldErrno = errno;
  });
  {
    std::unique_lock<std::mutex> lock(g_held.mutex);
    EXPECT_TRUE(g_held.changed.wait_for(lock, std::chrono::seconds(30), [] { return g_held.inside; }))
        << "the refused send never traced its line";
  }
  // The size question fails with its own cause, without a trace line.
  uint32_t size = 0;
  SetLastError(0);
  errno = 0;
  EXPECT_EQ(MestraPackGetAdaptersList(nullptr, &size), 0);
  ExpectErrors(ERROR_INSUFFICIENT_BUFFER, 11);
  {
    std::lock_guard<std::mutex> lock(g_held.mutex);
    g_held.otherDone = true;
  }
  g_held.changed.notify_all();
  held.join();
  MestraLibSetTraceSink(nullptr);
  EXPECT_EQ(heldError, ERROR_INVALID_PARAMETER) << "the send reports its own refusal";
  EXPECT_EQ(heldErrno, 22);
}

TEST_F(ExportsTest, UnknownAndClosedHandlesGive1168And2) {
  MESTRAPACK_HANDLE closed = MestraPackOpenAdapter(kDefaultAdapter.c_str());
  ASSERT_NE(closed, nullptr);
  MestraPackCloseAdapter(closed);
  BYTE frame[60] = {};
  MESTRAPACK_BPF_STAT stats;
  MESTRAPACK_BPF_PROGRAM program{0, nullptr};
  MESTRAPACK_CHECKSUM_OFFLOAD offload;
  uint32_t count = 0;
  for (MESTRAPACK_HANDLE handle : {UnknownHandle(), closed, static_cast<MESTRAPACK_HANDLE>(nullptr)}) {
    const std::vector<std::function<MESTRAPACK_BOOL()>> calls = {
        [&] { return MestraPackResetAdapter(handle); },
        [&] { return MestraPackSetBuff(handle, 65536); },
        [&] { return MestraPackSetHwFilter(handle, 0); },
        [&] { return MestraPackSetNoCaptureSelf(handle, 1); },
        [&] { return MestraPackSetReadEventThreshold(handle, 1); },
        [&] { return MestraPackSetRecvPacketTimeout(handle, 10); },
        [&] { return MestraPackGetWin32ReadEventHandle(handle) != nullptr; },
        [&] { return MestraPackGetStats(handle, &stats); },
        [&] { return MestraPackSetBpf(handle, &program); },
    };
    for (const auto& call : calls) {
      SetLastError(0);
      errno = 0;
      EXPECT_EQ(call(), 0);
      ExpectErrors(ERROR_NOT_FOUND, 2);
    }
  }
  for (MESTRAPACK_HANDLE handle : {UnknownHandle(), closed}) {
    for (const auto& call : std::vector<std::function<MESTRAPACK_BOOL()>>{
             [&] { return MestraPackGetChecksumOffloadTask(handle, &offload); },
             [&] { return MestraPackSendPacket(handle, frame, sizeof frame); },
             [&] { return MestraPackRecvPacket(handle, frame, sizeof frame, &count, nullptr); },
             [&] { return MestraPackCancelIo(handle); }}) {
      SetLastError(0);
      EXPECT_EQ(call(), 0);
      ExpectErrors(ERROR_NOT_FOUND, 2);
    }
  }
  TraceCapture trace;
  SetLastError(0);
  errno = 0;
  MestraPackCloseAdapter(closed);
  ExpectErrors(ERROR_NOT_FOUND, 2);
  EXPECT_TRUE(trace.Contains("pHandleToCAdapterMap->Lookup(hFile,pAdapter) failed\n"));
}

TEST_F(ExportsTest, AdapterHandleIsTheComplementOfTheDriverHandle) {
  MESTRAPACK_HANDLE handle = MestraPackOpenAdapter(kDefaultAdapter.c_str());
  ASSERT_NE(handle, nullptr);
  std::shared_ptr<CAdapter> adapter = TheApp().GetAdapterPtr(handle);
  ASSERT_NE(adapter, nullptr);
  EXPECT_NE(adapter->m_hFile, handle);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(handle), ~reinterpret_cast<std::uintptr_t>(adapter->m_hFile));
  EXPECT_EQ(adapter->m_bPromiscuous, 1);
  EXPECT_EQ(adapter->m_bConnected, 1);
  MestraPackCloseAdapter(handle);
}

TEST_F(ExportsTest, ReceiveWithNothingBufferedFailsAtOnce) {
  MESTRAPACK_HANDLE handle = MestraPackOpenAdapter(kDefaultAdapter.c_str());
  ASSERT_NE(handle, nullptr);
  // Capture nothing, then drain what may already be there.
  MESTRAPACK_BPF_INSN rejectAll = {0x06, 0, 0, 0};  // ret #0
  MESTRAPACK_BPF_PROGRAM program = {1, &rejectAll};
  ASSERT_EQ(MestraPackSetBpf(handle, &program), 1);
  std::vector<BYTE> buffer(65536);
  uint32_t count = 12345;
  while (MestraPackRecvPacket(handle, buffer.data(), static_cast<uint32_t>(buffer.size()), &count, nullptr)) {
  }
  count = 12345;
  SetLastError(0);
  errno = 0;
  EXPECT_EQ(MestraPackRecvPacket(handle, buffer.data(), static_cast<uint32_t>(buffer.size()), &count, nullptr), 0);
  EXPECT_EQ(count, 0u);
  ExpectErrors(WAIT_TIMEOUT, 60);
  MestraPackCloseAdapter(handle);
}

TEST_F(ExportsTest, CaptureControlsReachTheDriver) {
  MESTRAPACK_HANDLE handle = MestraPackOpenAdapter(kDefaultAdapter.c_str());
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(MestraPackSetBuff(handle, 512 * 1024), 1);
  EXPECT_EQ(MestraPackSetReadEventThreshold(handle, 0), 1);
  EXPECT_EQ(MestraPackSetRecvPacketTimeout(handle, 100), 1);
  EXPECT_EQ(MestraPackSetHwFilter(handle, 0), 1);
  EXPECT_EQ(MestraPackSetHwFilter(handle, npf::NDIS_PACKET_TYPE_PROMISCUOUS), 1);
  EXPECT_EQ(MestraPackSetNoCaptureSelf(handle, 1), 1);
  EXPECT_EQ(MestraPackSetNoCaptureSelf(handle, 0), 1);
  MESTRAPACK_BPF_PROGRAM empty = {0, nullptr};
  EXPECT_EQ(MestraPackSetBpf(handle, &empty), 1);
  MESTRAPACK_BPF_STAT stats = {0xFFFFFFFF, 0xFFFFFFFF};
  EXPECT_EQ(MestraPackGetStats(handle, &stats), 1);
  EXPECT_EQ(MestraPackCancelIo(handle), 1);
  EXPECT_EQ(MestraPackResetAdapter(handle), 1);
  MESTRAPACK_OVERLAPPED done{};
  done.InternalHigh = 42;
  uint32_t transferred = 0;
  EXPECT_EQ(MestraPackGetOverlappedResult(handle, &done, &transferred), 1);
  EXPECT_EQ(transferred, 42u);
  MESTRAPACK_CHECKSUM_OFFLOAD offload{};
  EXPECT_EQ(MestraPackGetChecksumOffloadTask(handle, &offload), 1);
  EXPECT_EQ(offload.V4Transmit, MESTRAPACK_CKSUM_TCP | MESTRAPACK_CKSUM_UDP);
  MestraPackCloseAdapter(handle);
}

// Walks one read's capture records for an ARP reply from `ip`.
bool HoldsArpReplyFrom(const std::vector<BYTE>& data, uint32_t size, DWORD ip, BYTE mac[6]) {
  std::size_t offset = 0;
  while (offset + sizeof(npf::bpf_hdr) <= size) {
    npf::bpf_hdr header;
    std::memcpy(&header, data.data() + offset, sizeof header);
    if (header.bh_hdrlen < sizeof header || offset + header.bh_hdrlen + header.bh_caplen > size) {
      return false;
    }
    const BYTE* frame = data.data() + offset + header.bh_hdrlen;
    if (header.bh_caplen >= 42 && frame[12] == 0x08 && frame[13] == 0x06 && frame[21] == 2 &&
        std::memcmp(frame + 28, &ip, 4) == 0) {
      std::memcpy(mac, frame + 22, 6);
      return true;
    }
    offset = npf::Packet_WORDALIGN(offset + header.bh_hdrlen + header.bh_caplen);
  }
  return false;
}

TEST_F(ExportsTest, ArpRequestForTheRouterGetsItsReply) {
  MESTRAPACK_HANDLE handle = MestraPackOpenAdapter(kDefaultAdapter.c_str());
  ASSERT_NE(handle, nullptr);
  MESTRAPACK_HANDLE readEvent = MestraPackGetWin32ReadEventHandle(handle);
  ASSERT_NE(readEvent, nullptr);
  const DWORD router = 0x010200C0;  // 192.0.2.1
  std::vector<BYTE> request = ArpRequestFor(router);
  ASSERT_EQ(MestraPackSendPacket(handle, request.data(), static_cast<uint32_t>(request.size())), 1);
  std::vector<BYTE> buffer(65536);
  BYTE mac[6] = {};
  bool answered = false;
  for (int reads = 0; reads < 50 && !answered; ++reads) {
    ASSERT_EQ(platform::WaitForSingleObject(readEvent, 10000), platform::WAIT_OBJECT_0);
    uint32_t count = 0;
    if (MestraPackRecvPacket(handle, buffer.data(), static_cast<uint32_t>(buffer.size()), &count, nullptr)) {
      answered = HoldsArpReplyFrom(buffer, count, router, mac);
    }
  }
  ASSERT_TRUE(answered);
  EXPECT_EQ(0, std::memcmp(mac, kRouterMac, 6));
  MestraPackCloseAdapter(handle);
}

TEST_F(ExportsTest, AdapterListInTwoCalls) {
  TraceCapture trace;
  uint32_t size = 0;
  SetLastError(0);
  EXPECT_EQ(MestraPackGetAdaptersList(nullptr, &size), 0);
  ExpectErrors(ERROR_INSUFFICIENT_BUFFER, 11);
  ASSERT_GT(size, 0u);
  EXPECT_EQ(size % sizeof(ADAPTER_INFO_LIST_ENTRY), 0u);
  EXPECT_FALSE(trace.Contains("MestraPackBuildAdapterInfoList failed"));

  std::vector<BYTE> buffer(size);
  uint32_t shortSize = size - 1;
  EXPECT_EQ(MestraPackGetAdaptersList(reinterpret_cast<ADAPTER_INFO_LIST_ENTRY*>(buffer.data()), &shortSize), 0);
  ExpectErrors(ERROR_INSUFFICIENT_BUFFER, 11);
  EXPECT_EQ(shortSize, size);
  EXPECT_TRUE(trace.Contains("MestraPackBuildAdapterInfoList failed; rc=122"));

  auto* list = reinterpret_cast<ADAPTER_INFO_LIST_ENTRY*>(buffer.data());
  ASSERT_EQ(MestraPackGetAdaptersList(list, &size), 1);
  const ADAPTER_INFO_LIST_ENTRY& entry = list[0];
  EXPECT_EQ(entry.dwSize, 1376u);
  EXPECT_EQ(entry.pNext, nullptr);
  EXPECT_EQ(Utf8(entry.szAdapterName), "NPF_sim0");
  EXPECT_EQ(Utf8(entry.szDescription), "Simulated Gigabit Ethernet Adapter");
  EXPECT_EQ(Utf8(entry.szConnectionName), "Ethernet");
  EXPECT_EQ(0, std::memcmp(entry.bMACAddress, kHostMac, 6));
  EXPECT_EQ(entry.dwIPAddress, 0x0A0200C0u);  // 192.0.2.10
  EXPECT_EQ(entry.dwIPMask, 0x00FFFFFFu);
  EXPECT_EQ(entry.dwGateway, 0x010200C0u);
  EXPECT_EQ(entry.dwMedium, 0u);
  EXPECT_EQ(entry.dwLinkSpeed, 10000000u);
  EXPECT_EQ(entry.dwMaxTotalSize, 1514u);
  EXPECT_EQ(entry.bMediaConnected, 1);
  EXPECT_EQ(entry.bPromiscuous, 1);
  EXPECT_EQ(entry.bHaveChecksumOffload, 1);
  EXPECT_EQ(entry.ChecksumOffload.V4Transmit, MESTRAPACK_CKSUM_TCP | MESTRAPACK_CKSUM_UDP);
  EXPECT_EQ(entry.ChecksumOffload.V6Receive, MESTRAPACK_CKSUM_TCP | MESTRAPACK_CKSUM_UDP);
  EXPECT_EQ(entry.bChecksumOffloadOverride, 0);
  EXPECT_EQ(entry.dwReserved, 0u);
}

TEST_F(ExportsTest, WinPCapInfoNeedsTheRightSize) {
  WPCINFO info{};
  SetLastError(0);
  EXPECT_EQ(MestraPackGetWinPCapInfo(&info), 0);
  ExpectErrors(ERROR_INVALID_PARAMETER, 22);
  info.dwSize = sizeof info;
  ASSERT_EQ(MestraPackGetWinPCapInfo(&info), 1);
  EXPECT_EQ(info.dwSize, 104u);
  EXPECT_EQ(Utf8(info.pszLibraryName), "Packet.DLL");
  EXPECT_EQ(Utf8(info.pszDeviceNamePrefix), "NPF_");
  EXPECT_FALSE(Utf8(info.pszLibraryVersion).empty());
  EXPECT_EQ(info.dwIoCtlProtocolQueryOid, 0x80000004u);
  EXPECT_EQ(info.dwIoCtlProtocolSetOid, 0x80000000u);
  EXPECT_EQ(info.wWinPCapMajorVersion, 4);
  EXPECT_EQ(info.wWinPCapMinorVersion, 1);
  EXPECT_EQ(info.vsLibraryFileInfo.dwSignature, 0xFEEF04BDu);
}

}  // namespace
