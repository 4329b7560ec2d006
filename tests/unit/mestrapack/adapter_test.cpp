// An adapter object on simulated hosts, with every driver request recorded:
// the open sequence, OID requests, the support level, the reset and the
// checksum offload paths.
#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

#include "adapter.h"
#include "mestrapack_app.h"
#include "platform/npf.h"
#include "platform/sim/sim_host.h"
#include "test_support.h"

namespace {

using mptest::Override;
using mptest::RecordingMachine;
using mptest::Request;
using mptest::TraceCapture;
using platform::sim::HostModel;
using platform::sim::OffloadForm;
using platform::sim::SimAdapterModel;

// The default host with its adapter changed by `change`.
HostModel HostWith(const std::function<void(SimAdapterModel*)>& change) {
  HostModel model = platform::sim::DefaultHost();
  change(&model.adapters.at(0));
  return model;
}

DWORD OidOf(const Request& request) {
  DWORD oid = 0;
  if (request.in.size() >= 4) std::memcpy(&oid, request.in.data(), 4);
  return oid;
}

DWORD LengthOf(const Request& request) {
  DWORD length = 0;
  if (request.in.size() >= 8) std::memcpy(&length, request.in.data() + 4, 4);
  return length;
}

class AdapterTest : public ::testing::Test {
 protected:
  void SetUp() override { mptest::AdoptWinPcapRelease(4, 1); }
};

TEST_F(AdapterTest, OpensWithTheFixedSequenceOfRequests) {
  RecordingMachine machine(platform::sim::DefaultHost());
  CAdapter adapter("NPF_sim0");
  ASSERT_NE(adapter.m_hFile, nullptr);
  std::vector<std::pair<DWORD, DWORD>> seen;  // code, OID
  for (const Request& r : machine.Requests()) seen.emplace_back(r.code, r.code >= 0x80000000u ? OidOf(r) : 0);
  const std::vector<std::pair<DWORD, DWORD>> expected = {
      {npf::PACKET_SETEVENTHANDLE_IOCTL, 0},
      {npf::IOCTL_PROTOCOL_QUERY_OID, npf::OID_GEN_MAXIMUM_LOOKAHEAD},
      {npf::IOCTL_PROTOCOL_SET_OID, npf::OID_GEN_CURRENT_LOOKAHEAD},
      {npf::IOCTL_PROTOCOL_QUERY_OID, npf::OID_802_3_CURRENT_ADDRESS},
      {npf::IOCTL_PROTOCOL_QUERY_OID, npf::OID_GEN_MEDIA_IN_USE},
      {npf::IOCTL_PROTOCOL_QUERY_OID, npf::OID_GEN_LINK_SPEED},
      {npf::IOCTL_PROTOCOL_QUERY_OID, npf::OID_GEN_MAXIMUM_TOTAL_SIZE},
      {npf::IOCTL_PROTOCOL_SET_OID, npf::OID_GEN_CURRENT_PACKET_FILTER},
      {npf::IOCTL_PROTOCOL_QUERY_OID, npf::OID_GEN_MEDIA_CONNECT_STATUS},
  };
  EXPECT_EQ(seen, expected);
  // The read event travels as a 4-byte handle value.
  EXPECT_EQ(machine.Requests().at(0).in.size(), 4u);
  const BYTE mac[6] = {0x02, 0, 0, 0, 0, 0x10};
  EXPECT_EQ(0, std::memcmp(adapter.m_MACAddress, mac, 6));
  EXPECT_EQ(adapter.m_dwIPAddress, 0x0A0200C0u);
  EXPECT_EQ(adapter.m_dwGateway, 0x010200C0u);
  EXPECT_EQ(adapter.m_bPromiscuous, 1);
  EXPECT_EQ(adapter.m_bConnected, 1);
}

TEST_F(AdapterTest, ToleratesARefusedPromiscuousFilterAndAnUnknownLinkState) {
  RecordingMachine machine(HostWith([](SimAdapterModel* a) {
    a->promiscuousAccepted = false;
    a->connectStatusFails = true;
  }));
  TraceCapture trace;
  CAdapter adapter("NPF_sim0");
  ASSERT_NE(adapter.m_hFile, nullptr);
  EXPECT_EQ(adapter.m_bPromiscuous, 0);
  EXPECT_EQ(adapter.m_bConnected, 0);
  EXPECT_EQ(trace.Count("::FinishOpenAdapter: WARNING: SetOID( OID_GEN_CURRENT_PACKET_FILTER = "
                        "NDIS_PACKET_TYPE_PROMISCUOUS ) failed; rc="),
            1);
  EXPECT_EQ(trace.Count("::FinishOpenAdapter: QueryOID( OID_GEN_MEDIA_CONNECT_STATUS ) failed; rc="), 1);
}

TEST_F(AdapterTest, WithoutAMatchingIpRecordAllAddressesAreUnknown) {
  RecordingMachine machine(platform::sim::DefaultHost());
  // The driver reports a hardware address that no IP record carries.
  Override otherMac;
  otherMac.replaceAnswer = true;
  otherMac.answer.assign(sizeof(npf::PACKET_OID_DATA), 0);
  const DWORD head[2] = {npf::OID_802_3_CURRENT_ADDRESS, 6};
  std::memcpy(otherMac.answer.data(), head, sizeof head);
  const BYTE mac[6] = {0x02, 0, 0, 0, 0, 0x99};
  std::memcpy(otherMac.answer.data() + 8, mac, sizeof mac);
  otherMac.claimedBytes = sizeof(npf::PACKET_OID_DATA);
  machine.SetOverride(npf::OID_802_3_CURRENT_ADDRESS, otherMac);
  CAdapter adapter("NPF_sim0");
  ASSERT_NE(adapter.m_hFile, nullptr);
  EXPECT_EQ(0, std::memcmp(adapter.m_MACAddress, mac, 6));
  EXPECT_EQ(adapter.m_dwIPAddress, 0xFFFFFFFFu);
  EXPECT_EQ(adapter.m_dwIPMask, 0xFFFFFFFFu);
  EXPECT_EQ(adapter.m_dwGateway, 0xFFFFFFFFu);
  EXPECT_EQ(adapter.m_bDHCPEnabled, 0);
}

TEST_F(AdapterTest, DefinesAMissingDeviceLinkOnce) {
  RecordingMachine machine(HostWith([](SimAdapterModel* a) { a->needsDosDefine = true; }));
  TraceCapture trace;
  CAdapter adapter("NPF_sim0");
  EXPECT_NE(adapter.m_hFile, nullptr);
  EXPECT_FALSE(trace.Contains("failed")) << trace.Text();

  CAdapter missing("NPF_nosuch");
  EXPECT_EQ(missing.m_hFile, nullptr);
  EXPECT_NE(missing.m_dwLastError, 0u);
  EXPECT_TRUE(trace.Contains("NPF_nosuch")) << trace.Text();
}

TEST_F(AdapterTest, AnAdapterThatWillNotOpenKeepsTheCause) {
  RecordingMachine machine(HostWith([](SimAdapterModel* a) { a->opens = false; }));
  TraceCapture trace;
  SetLastError(0);
  CAdapter adapter("NPF_sim0");
  EXPECT_EQ(adapter.m_hFile, nullptr);
  EXPECT_EQ(adapter.m_dwLastError, ERROR_GEN_FAILURE);
  EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
  EXPECT_TRUE(trace.Contains("** CAdapter(NPF_sim0)::DoOpenAdapter: CreateFile( \"\\\\.\\NPF_sim0\" ) failed; rc=31"))
      << trace.Text();
}

TEST_F(AdapterTest, OidRequestsCarryTheWholeRecord) {
  RecordingMachine machine(platform::sim::DefaultHost());
  CAdapter adapter("NPF_sim0");
  ASSERT_NE(adapter.m_hFile, nullptr);
  machine.Clear();
  BYTE mac[6];
  std::memset(mac, 0xAA, sizeof mac);
  ASSERT_EQ(adapter.QueryOID(npf::OID_802_3_CURRENT_ADDRESS, mac, 6), 1);
  auto queries = machine.RequestsWithCode(npf::IOCTL_PROTOCOL_QUERY_OID);
  ASSERT_EQ(queries.size(), 1u);
  EXPECT_EQ(queries[0].in.size(), 4104u);
  EXPECT_EQ(queries[0].outSize, 4104u);
  EXPECT_EQ(LengthOf(queries[0]), 6u);
  for (std::size_t i = 8; i < queries[0].in.size(); ++i) ASSERT_EQ(queries[0].in[i], 0) << i;
  EXPECT_EQ(mac[5], 0x10);

  TraceCapture trace;
  machine.Clear();
  std::vector<BYTE> big(5000, 0x5A);
  adapter.SetOID(npf::OID_GEN_CURRENT_LOOKAHEAD, big.data(), 5000);
  auto sets = machine.RequestsWithCode(npf::IOCTL_PROTOCOL_SET_OID);
  ASSERT_EQ(sets.size(), 1u);
  EXPECT_EQ(LengthOf(sets[0]), 4096u);
  EXPECT_TRUE(trace.Contains("** CAdapter(NPF_sim0)::QueryOrSetOID: requested datalen of 5000 exceeds available "
                             "buffer size\n"));
  EXPECT_TRUE(trace.Contains("** Assertion Failed **"));
}

TEST_F(AdapterTest, AFailedResetTracesItsCodeAsASignedNumber) {
  RecordingMachine machine(platform::sim::DefaultHost());
  CAdapter adapter("NPF_sim0");
  ASSERT_NE(adapter.m_hFile, nullptr);
  Override refuse;
  refuse.error = ERROR_GEN_FAILURE;
  machine.SetOverride(npf::IOCTL_PROTOCOL_RESET, refuse);
  TraceCapture trace;
  EXPECT_EQ(adapter.ResetAdapter(), 0);
  EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
  EXPECT_TRUE(trace.Contains("::IntSyncDeviceIoControl: DeviceIoControl(-2147483636) failed; rc=31")) << trace.Text();
  EXPECT_TRUE(trace.Contains("::ResetAdapter: IntSyncDeviceIoControl( IOCTL_PROTOCOL_RESET ) failed; rc=31"));
}

TEST_F(AdapterTest, AByteCountBeyondTheBufferIsNotBelieved) {
  RecordingMachine machine(platform::sim::DefaultHost());
  CAdapter adapter("NPF_sim0");
  ASSERT_NE(adapter.m_hFile, nullptr);
  Override lie;
  lie.replaceAnswer = true;
  lie.answer.assign(8, 0);
  lie.claimedBytes = 9;
  machine.SetOverride(npf::PACKET_GETSTATS_IOCTL, lie);
  MESTRAPACK_BPF_STAT stats;
  EXPECT_EQ(adapter.GetStats(&stats), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_DATA);
}

TEST_F(AdapterTest, FeaturesOf41AreRefusedBelowIt) {
  RecordingMachine machine(platform::sim::DefaultHost());
  CAdapter adapter("NPF_sim0");
  ASSERT_NE(adapter.m_hFile, nullptr);
  BYTE frames[64] = {};
  for (auto [major, minor, expectSent] : {std::tuple{4, 0, false}, std::tuple{3, 1, false}, std::tuple{4, 1, true},
                                          std::tuple{5, 0, true}}) {
    SCOPED_TRACE(std::to_string(major) + "." + std::to_string(minor));
    mptest::AdoptWinPcapRelease(static_cast<WORD>(major), static_cast<WORD>(minor));
    machine.Clear();
    SetLastError(0);
    BOOL noLoop = adapter.SetNoCaptureSelf(1);
    BOOL capture = adapter.SetNoCaptureSelf(0);
    adapter.SendManyPackets(frames, sizeof frames);
    auto loopbacks = machine.RequestsWithCode(npf::PACKET_SETNOLOOPBACKS_IOCTL);
    auto writes = machine.RequestsWithCode(npf::PACKET_MULTIPLEWRITE_IOCTL);
    if (expectSent) {
      EXPECT_EQ(noLoop, 1);
      EXPECT_EQ(capture, 1);
      ASSERT_EQ(loopbacks.size(), 2u);
      EXPECT_EQ(loopbacks[0].in, (std::vector<BYTE>{1, 0, 0, 0}));
      EXPECT_EQ(loopbacks[1].in, (std::vector<BYTE>{2, 0, 0, 0}));
      EXPECT_EQ(writes.size(), 1u);
    } else {
      EXPECT_EQ(noLoop, 0);
      EXPECT_EQ(capture, 0);
      EXPECT_EQ(GetLastError(), ERROR_BAD_DRIVER_LEVEL);
      EXPECT_TRUE(loopbacks.empty());
      EXPECT_TRUE(writes.empty());
    }
  }
}

TEST_F(AdapterTest, FilterAndStatisticsRequestSizes) {
  RecordingMachine machine(platform::sim::DefaultHost());
  CAdapter adapter("NPF_sim0");
  ASSERT_NE(adapter.m_hFile, nullptr);
  machine.Clear();
  // ARP frames only.
  MESTRAPACK_BPF_INSN program[4] = {{0x28, 0, 0, 12}, {0x15, 0, 1, 0x0806}, {0x06, 0, 0, 0xFFFF}, {0x06, 0, 0, 0}};
  MESTRAPACK_BPF_PROGRAM filter = {4, program};
  EXPECT_EQ(adapter.SetBpf(&filter), 1);
  MESTRAPACK_BPF_STAT stats;
  EXPECT_EQ(adapter.GetStats(&stats), 1);
  // A program that claims instructions it does not have never reaches the driver.
  MESTRAPACK_BPF_PROGRAM missing = {2, nullptr};
  EXPECT_EQ(adapter.SetBpf(&missing), 0);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  auto filters = machine.RequestsWithCode(npf::PACKET_SETBPFILTER_IOCTL);
  ASSERT_EQ(filters.size(), 1u);
  EXPECT_EQ(filters[0].in.size(), 32u);
  auto statistics = machine.RequestsWithCode(npf::PACKET_GETSTATS_IOCTL);
  ASSERT_EQ(statistics.size(), 1u);
  EXPECT_EQ(statistics[0].outSize, 8u);
  EXPECT_TRUE(statistics[0].in.empty());
}

TEST_F(AdapterTest, OlderDriversNameTheirReadEvent) {
  mptest::AdoptWinPcapRelease(3, 1);
  RecordingMachine machine(platform::sim::DefaultHost());
  CAdapter adapter("NPF_sim0");
  ASSERT_NE(adapter.m_hFile, nullptr) << adapter.m_dwLastError;
  EXPECT_EQ(machine.RequestsWithCode(npf::PACKET_GETEVENTNAME_IOCTL).size(), 1u);
  EXPECT_TRUE(machine.RequestsWithCode(npf::PACKET_SETEVENTHANDLE_IOCTL).empty());
  EXPECT_NE(adapter.m_hReadEvent, nullptr);
}

// --- Checksum offload --------------------------------------------------------

MESTRAPACK_CHECKSUM_OFFLOAD Garbage() { return {0xDEAD, 0xDEAD, 0xDEAD, 0xDEAD}; }

TEST_F(AdapterTest, Ndis6AnswerIsReportedInTheNdis5Form) {
  RecordingMachine machine(HostWith([](SimAdapterModel* a) {
    a->offload = OffloadForm::kNdis6;
    a->checksum.v4Transmit = {0, 0, 1, 1, 1};
    a->checksum.v4Receive = {0, 0, 2, 3, 1};
    a->checksum.v6Transmit = {1, 1, 1, 0, 1};
    a->checksum.v6Receive = {0, 0, 0, 1, 0};
  }));
  CAdapter adapter("NPF_sim0");
  MESTRAPACK_CHECKSUM_OFFLOAD record = Garbage();
  ASSERT_EQ(adapter.GetChecksumOffloadTask(&record), 1);
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(record.V4Transmit, 0x1Cu);
  EXPECT_EQ(record.V4Receive, 0x10u);
  EXPECT_EQ(record.V6Transmit, 0x04u);
  EXPECT_EQ(record.V6Receive, 0x08u);
  EXPECT_TRUE(machine.RequestsWithCode(npf::IOCTL_NDIS_QUERY_GLOBAL_STATS).size() == 2u);
}

TEST_F(AdapterTest, Ndis5AnswerIsCopiedAsItIs) {
  RecordingMachine machine(HostWith([](SimAdapterModel* a) {
    a->offload = OffloadForm::kNdis5;
    a->checksum.v4Transmit = {1, 1, 1, 1, 1};
    a->checksum.v4Receive = {0, 0, 1, 0, 1};
  }));
  CAdapter adapter("NPF_sim0");
  MESTRAPACK_CHECKSUM_OFFLOAD record = Garbage();
  ASSERT_EQ(adapter.GetChecksumOffloadTask(&record), 1);
  EXPECT_EQ(record.V4Transmit, 0x1Fu);
  EXPECT_EQ(record.V4Receive, 0x14u);
}

TEST_F(AdapterTest, OddSupportedListsFallBackToNdis5) {
  for (DWORD bytes : {3602u, 0u}) {
    SCOPED_TRACE(bytes);
    RecordingMachine machine(HostWith([bytes](SimAdapterModel* a) {
      a->offload = OffloadForm::kNdis6;
      a->supportedListBytes = bytes;
    }));
    CAdapter adapter("NPF_sim0");
    TraceCapture trace;
    MESTRAPACK_CHECKSUM_OFFLOAD record = Garbage();
    EXPECT_EQ(adapter.GetChecksumOffloadTask(&record), 0);
    EXPECT_TRUE(trace.Contains("GetChecksumOffloadTask: WARNING: 'OID_GEN_SUPPORTED_LIST' unexpectedly returned " +
                               std::to_string(bytes) + " bytes\n"))
        << trace.Text();
    std::vector<DWORD> asked;
    for (const Request& r : machine.RequestsWithCode(npf::IOCTL_NDIS_QUERY_GLOBAL_STATS)) asked.push_back(OidOf(r));
    EXPECT_EQ(asked, (std::vector<DWORD>{npf::OID_GEN_SUPPORTED_LIST, npf::OID_TCP_TASK_OFFLOAD}));
    // The NDIS 5 way failed, so the record is zeroed.
    EXPECT_EQ(record.V4Transmit, 0u);
  }
}

TEST_F(AdapterTest, Ndis5AnswerWithoutTheChecksumTaskIsNotFound) {
  RecordingMachine machine(HostWith([](SimAdapterModel* a) { a->offload = OffloadForm::kNdis5NoChecksumTask; }));
  CAdapter adapter("NPF_sim0");
  TraceCapture trace;
  MESTRAPACK_CHECKSUM_OFFLOAD record = Garbage();
  EXPECT_EQ(adapter.GetChecksumOffloadTask(&record), 0);
  EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
  EXPECT_EQ(errno, 2);
  EXPECT_EQ(record.V4Transmit, 0u);
  EXPECT_EQ(record.V6Receive, 0u);
  EXPECT_TRUE(trace.Contains("::Get5XCksumOffloadTask: Find5XChecksumTask failed; rc=1168"));
}

TEST_F(AdapterTest, Ndis5AnswerThatLeavesItselfIsNotFollowed) {
  RecordingMachine machine(HostWith([](SimAdapterModel* a) { a->offload = OffloadForm::kNdis5; }));
  CAdapter adapter("NPF_sim0");
  // A header whose first task lies beyond the 40 bytes answered.
  Override answer;
  answer.replaceAnswer = true;
  answer.answer.assign(40, 0);
  const DWORD header[4] = {1, 28, 0, 28};
  std::memcpy(answer.answer.data(), header, sizeof header);
  answer.claimedBytes = 40;
  machine.SetOverride(npf::OID_TCP_TASK_OFFLOAD, answer);
  MESTRAPACK_CHECKSUM_OFFLOAD record = Garbage();
  EXPECT_EQ(adapter.GetChecksumOffloadTask(&record), 0);
  EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
}

TEST_F(AdapterTest, AnUnopenableNetworkDeviceLeavesTheRecordAlone) {
  RecordingMachine machine(HostWith([](SimAdapterModel* a) { a->ndisDeviceOpens = false; }));
  CAdapter adapter("NPF_sim0");
  TraceCapture trace;
  MESTRAPACK_CHECKSUM_OFFLOAD record = Garbage();
  EXPECT_EQ(adapter.GetChecksumOffloadTask(&record), 0);
  EXPECT_NE(GetLastError(), 0u);
  EXPECT_EQ(record.V4Transmit, 0xDEADu);
  EXPECT_TRUE(trace.Contains("::OpenRealAdapter: CreateFile( \"\\\\.\\sim0\" ) failed")) << trace.Text();
}

}  // namespace
