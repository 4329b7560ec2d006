// The simulated host's devices through the calls the programs make:
// CreateFile("\\.\NPF_x"), DeviceIoControl, ReadFile, WriteFile.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/file.h"
#include "platform/machine_testing.h"
#include "platform/npf.h"
#include "platform/sim/sim_host.h"
#include "platform/sync.h"
#include "sim_test_util.h"

namespace platform::sim {
namespace {

using namespace simtest;

const Mac6 kAdapterMac{0x02, 0, 0, 0, 0, 0x10};
const Mac6 kRouterMac{0x02, 0, 0, 0, 0, 0x01};

HostModel Parse(const std::string& text) {
  HostModel m;
  std::vector<DescriptionError> errors;
  EXPECT_TRUE(ParseHostDescription(text, &m, &errors)) << (errors.empty() ? "" : errors[0].Text());
  return m;
}

// The default host plus odd adapters that tests of the callers need.
const char* kOddAdapters = R"(
adapter wifi0
  mac 02-00-00-00-00-21
  ip 198.51.100.21/24
  promiscuous no
  connect-status fails
  offload ndis5
  checksum v4-transmit tcp udp ip
  checksum v4-receive ip
end
adapter old0
  mac 02-00-00-00-00-22
  offload ndis5-no-checksum
  dos-link define
  supported-list-bytes 3602
end
adapter dead0
  mac 02-00-00-00-00-23
  opens no
  ndis-device no
  supported-list-bytes 0
end
)";

class SimDevices : public ::testing::Test {
 protected:
  SimDevices() : machine_(MakeMachine(Parse(std::string(DefaultHostDescription()) + kOddAdapters))) {}

  HANDLE Open(const char* name) {
    return CreateFile(name, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE);
  }

  // The OID request as the control library sends it: the whole record in
  // and out of one buffer.
  BOOL Oid(HANDLE h, bool set, DWORD oid, void* value, DWORD length) {
    npf::PACKET_OID_DATA record{};
    record.Oid = oid;
    record.Length = length;
    if (set) std::memcpy(record.Data, value, length);
    DWORD done = 0;
    BOOL ok = DeviceIoControl(h, set ? npf::IOCTL_PROTOCOL_SET_OID : npf::IOCTL_PROTOCOL_QUERY_OID, &record,
                              sizeof record, &record, sizeof record, &done);
    if (ok && !set) std::memcpy(value, record.Data, length);
    return ok;
  }

  BOOL Set4(HANDLE h, DWORD code, DWORD value) {
    DWORD done;
    return DeviceIoControl(h, code, &value, 4, nullptr, 0, &done);
  }

  testing::ScopedMachineForTest machine_;
};

TEST_F(SimDevices, CaptureDeviceAnswersTheOpenSequenceQueries) {
  HANDLE h = Open("\\\\.\\NPF_sim0");
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
  DWORD v = 0;
  ASSERT_TRUE(Oid(h, false, npf::OID_GEN_MAXIMUM_LOOKAHEAD, &v, 4));
  EXPECT_EQ(v, 1500u);
  EXPECT_TRUE(Oid(h, true, npf::OID_GEN_CURRENT_LOOKAHEAD, &v, 4));
  BYTE mac[6] = {};
  ASSERT_TRUE(Oid(h, false, npf::OID_802_3_CURRENT_ADDRESS, mac, 6));
  EXPECT_EQ(0, std::memcmp(mac, kAdapterMac.data(), 6));
  ASSERT_TRUE(Oid(h, false, npf::OID_GEN_MEDIA_IN_USE, &v, 4));
  EXPECT_EQ(v, npf::NdisMedium802_3);
  ASSERT_TRUE(Oid(h, false, npf::OID_GEN_LINK_SPEED, &v, 4));
  EXPECT_EQ(v, 10000000u);
  ASSERT_TRUE(Oid(h, false, npf::OID_GEN_MAXIMUM_TOTAL_SIZE, &v, 4));
  EXPECT_EQ(v, 1514u);
  v = npf::NDIS_PACKET_TYPE_PROMISCUOUS;
  EXPECT_TRUE(Oid(h, true, npf::OID_GEN_CURRENT_PACKET_FILTER, &v, 4));
  v = 7;
  ASSERT_TRUE(Oid(h, false, npf::OID_GEN_MEDIA_CONNECT_STATUS, &v, 4));
  EXPECT_EQ(v, 0u);

  // A value that does not fit the length asked for is refused, and the
  // length field is checked against the record the caller sent.
  EXPECT_FALSE(Oid(h, false, npf::OID_802_3_CURRENT_ADDRESS, mac, 4));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  npf::PACKET_OID_DATA record{};
  record.Oid = npf::OID_GEN_LINK_SPEED;
  record.Length = 4096;
  DWORD done;
  EXPECT_FALSE(DeviceIoControl(h, npf::IOCTL_PROTOCOL_QUERY_OID, &record, 100, &record, sizeof record, &done));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(Oid(h, false, 0x00ABCDEF, &v, 4));
  EXPECT_EQ(GetLastError(), ERROR_NOT_SUPPORTED);
  EXPECT_TRUE(DeviceIoControl(h, npf::IOCTL_PROTOCOL_RESET, nullptr, 0, nullptr, 0, &done));
  EXPECT_FALSE(DeviceIoControl(h, 0x12345, nullptr, 0, nullptr, 0, &done));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
  EXPECT_TRUE(CloseHandle(h));
}

TEST_F(SimDevices, OddAdaptersRefuseWhatTheirDescriptionSays) {
  HANDLE wifi = Open("\\\\.\\NPF_wifi0");
  ASSERT_NE(wifi, INVALID_HANDLE_VALUE);
  DWORD v = npf::NDIS_PACKET_TYPE_PROMISCUOUS;
  EXPECT_FALSE(Oid(wifi, true, npf::OID_GEN_CURRENT_PACKET_FILTER, &v, 4));
  v = npf::NDIS_PACKET_TYPE_DIRECTED | npf::NDIS_PACKET_TYPE_BROADCAST;
  EXPECT_TRUE(Oid(wifi, true, npf::OID_GEN_CURRENT_PACKET_FILTER, &v, 4));
  EXPECT_FALSE(Oid(wifi, false, npf::OID_GEN_MEDIA_CONNECT_STATUS, &v, 4));
  CloseHandle(wifi);

  EXPECT_EQ(Open("\\\\.\\NPF_dead0"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
  EXPECT_EQ(Open("\\\\.\\NPF_nosuch"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(SimDevicesOpens, AdapterAllowedOneOpenRefusesTheNextButStaysADevice) {
  testing::ScopedMachineForTest machine(
      MakeMachine(Parse(std::string(DefaultHostDescription()) + "adapter once0\n mac 02-00-00-00-00-24\n opens 1\nend\n")));
  auto open = [] { return CreateFile("\\\\.\\NPF_once0", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING, 0); };
  HANDLE first = open();
  ASSERT_NE(first, INVALID_HANDLE_VALUE) << GetLastError();
  EXPECT_TRUE(CloseHandle(first));
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
  }
  // Still a device (listed among the DOS devices), unlike one that never opens.
  std::vector<std::string> names;
  ASSERT_TRUE(QueryDosDevice(nullptr, &names));
  EXPECT_EQ(names, (std::vector<std::string>{"NPF_sim0", "NPF_once0"}));
}

TEST_F(SimDevices, DeviceThatNeedsItsDosLinkOpensOnceDefined) {
  std::vector<std::string> names;
  ASSERT_TRUE(QueryDosDevice(nullptr, &names));
  EXPECT_EQ(names, (std::vector<std::string>{"NPF_sim0", "NPF_wifi0"}));

  EXPECT_EQ(Open("\\\\.\\NPF_old0"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  ASSERT_TRUE(DefineDosDevice(DDD_RAW_TARGET_PATH, "NPF_old0", "\\Device\\NPF_old0"));
  HANDLE h = Open("\\\\.\\NPF_old0");
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
  CloseHandle(h);

  ASSERT_TRUE(QueryDosDevice(nullptr, &names));
  EXPECT_EQ(names, (std::vector<std::string>{"NPF_sim0", "NPF_wifi0", "NPF_old0"}));
  ASSERT_TRUE(QueryDosDevice("NPF_old0", &names));
  EXPECT_EQ(names, (std::vector<std::string>{"\\Device\\NPF_old0"}));
  ASSERT_TRUE(QueryDosDevice("NPF_sim0", &names));
  EXPECT_EQ(names, (std::vector<std::string>{"\\Device\\NPF_sim0"}));
  EXPECT_FALSE(QueryDosDevice("Packet_x", &names));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(DefineDosDevice(0x100, "NPF_x", "\\Device\\NPF_x"));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

class NdisQuery : public SimDevices {
 protected:
  BOOL Query(const char* device, DWORD oid, std::vector<BYTE>* out, DWORD room = 4096) {
    HANDLE h = CreateFile(device, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << device;
    out->assign(room, 0xEE);
    DWORD done = 0xFFFF;
    BOOL ok = DeviceIoControl(h, npf::IOCTL_NDIS_QUERY_GLOBAL_STATS, &oid, 4, out->data(), room, &done);
    returned_ = done;
    if (ok && done <= room) out->resize(done);
    CloseHandle(h);
    return ok;
  }
  static std::vector<DWORD> Dwords(const std::vector<BYTE>& b) {
    std::vector<DWORD> v(b.size() / 4);
    std::memcpy(v.data(), b.data(), v.size() * 4);
    return v;
  }
  DWORD returned_ = 0;
};

TEST_F(NdisQuery, Ndis6AdapterListsCurrentConfigAndAnswersIt) {
  std::vector<BYTE> b;
  ASSERT_TRUE(Query("\\\\.\\sim0", npf::OID_GEN_SUPPORTED_LIST, &b, 3600));
  std::vector<DWORD> oids = Dwords(b);
  EXPECT_NE(std::find(oids.begin(), oids.end(), npf::OID_TCP_OFFLOAD_CURRENT_CONFIG), oids.end());
  EXPECT_EQ(std::find(oids.begin(), oids.end(), npf::OID_TCP_TASK_OFFLOAD), oids.end());

  ASSERT_TRUE(Query("\\\\.\\sim0", npf::OID_TCP_OFFLOAD_CURRENT_CONFIG, &b));
  ASSERT_GE(b.size(), npf::kNdis6OffloadMinimum);
  npf::NDIS_OBJECT_HEADER header;
  std::memcpy(&header, b.data(), 4);
  EXPECT_EQ(header.Type, npf::NDIS_OBJECT_TYPE_OFFLOAD);
  EXPECT_EQ(header.Revision, 1);
  EXPECT_EQ(header.Size, npf::kNdis6OffloadMinimum);
  npf::NDIS6_CHECKSUM_OFFLOAD c;
  std::memcpy(&c, b.data() + 4, sizeof c);
  // TCP (bits 4-5) and UDP (bits 6-7) supported, nothing else.
  for (const npf::NDIS6_CHECKSUM_PAIR& p : {c.IPv4Transmit, c.IPv4Receive, c.IPv6Transmit, c.IPv6Receive})
    EXPECT_EQ(p.Fields, 0x50u);

  EXPECT_FALSE(Query("\\\\.\\sim0", npf::OID_TCP_OFFLOAD_CURRENT_CONFIG, &b, 50));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST_F(NdisQuery, Ndis5AdaptersAnswerATaskList) {
  std::vector<BYTE> b;
  ASSERT_TRUE(Query("\\\\.\\wifi0", npf::OID_GEN_SUPPORTED_LIST, &b, 3600));
  std::vector<DWORD> oids = Dwords(b);
  EXPECT_NE(std::find(oids.begin(), oids.end(), npf::OID_TCP_TASK_OFFLOAD), oids.end());
  EXPECT_EQ(std::find(oids.begin(), oids.end(), npf::OID_TCP_OFFLOAD_CURRENT_CONFIG), oids.end());

  ASSERT_TRUE(Query("\\\\.\\wifi0", npf::OID_TCP_TASK_OFFLOAD, &b));
  npf::NDIS_TASK_OFFLOAD_HEADER h;
  ASSERT_GE(b.size(), sizeof h);
  std::memcpy(&h, b.data(), sizeof h);
  EXPECT_EQ(h.Version, 1u);
  EXPECT_EQ(h.Size, 28u);
  ASSERT_EQ(h.OffsetFirstTask, 28u);
  npf::NDIS_TASK_OFFLOAD t;
  ASSERT_GE(b.size(), 28 + sizeof t + 16);
  std::memcpy(&t, b.data() + 28, sizeof t);
  EXPECT_EQ(t.Task, npf::TcpIpChecksumNdisTask);
  EXPECT_EQ(t.OffsetNextTask, 0u);
  EXPECT_EQ(t.TaskBufferLength, 16u);
  npf::NDIS_TASK_TCP_IP_CHECKSUM c;
  std::memcpy(&c, b.data() + 28 + 20, sizeof c);
  EXPECT_EQ(c.V4Transmit, npf::kCksumTcp | npf::kCksumUdp | npf::kCksumIp);
  EXPECT_EQ(c.V4Receive, npf::kCksumIp);
  EXPECT_EQ(c.V6Transmit, 0u);

  // The old adapter's list has no checksum task.
  ASSERT_TRUE(Query("\\\\.\\old0", npf::OID_TCP_TASK_OFFLOAD, &b));
  std::memcpy(&t, b.data() + 28, sizeof t);
  EXPECT_NE(t.Task, npf::TcpIpChecksumNdisTask);
}

TEST_F(NdisQuery, OddSupportedListsAndDevicesThatDoNotOpen) {
  std::vector<BYTE> b;
  // 3602 bytes reported into a 3600-byte buffer; nothing written past it.
  ASSERT_TRUE(Query("\\\\.\\old0", npf::OID_GEN_SUPPORTED_LIST, &b, 3600));
  EXPECT_EQ(returned_, 3602u);
  ASSERT_EQ(CreateFile("\\\\.\\dead0", 0, 3, OPEN_EXISTING, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

  HostModel m = Parse("adapter zero0\n mac 02-00-00-00-00-30\n supported-list-bytes 0\nend\n");
  testing::ScopedMachineForTest zero(MakeMachine(m));
  ASSERT_TRUE(Query("\\\\.\\zero0", npf::OID_GEN_SUPPORTED_LIST, &b, 3600));
  EXPECT_EQ(returned_, 0u);
}

TEST_F(SimDevices, ReadEventByHandleFollowsTheQueue) {
  HANDLE h = Open("\\\\.\\NPF_sim0");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  HANDLE event = CreateEvent(false);
  DWORD value = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(event));
  DWORD done;
  ASSERT_TRUE(DeviceIoControl(h, npf::PACKET_SETEVENTHANDLE_IOCTL, &value, 4, nullptr, 0, &done));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);

  Bytes arp = ArpRequest(kAdapterMac, Ip("192.0.2.10"), Ip("192.0.2.20"));
  ASSERT_TRUE(WriteFile(h, arp.data(), static_cast<DWORD>(arp.size()), &done));
  EXPECT_EQ(done, arp.size());
  // The adapter's own transmission is captured at once (loop-back on).
  ASSERT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
  std::vector<Bytes> seen;
  EXPECT_TRUE(ReadUntil(h, event, [](const Bytes& f) { return IsArpReplyFrom(f, Ip("192.0.2.20")); }, &seen));
  ASSERT_GE(seen.size(), 2u);
  EXPECT_EQ(seen[0], arp);
  DWORD got = 1;
  BYTE buffer[2048];
  EXPECT_TRUE(ReadFile(h, buffer, sizeof buffer, &got));
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);

  value = 0x7FFFFFF0;  // no such handle
  EXPECT_FALSE(DeviceIoControl(h, npf::PACKET_SETEVENTHANDLE_IOCTL, &value, 4, nullptr, 0, &done));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  CloseHandle(h);
  CloseHandle(event);
}

TEST_F(SimDevices, ReadEventByNameForOlderDrivers) {
  HANDLE h = Open("\\\\.\\NPF_sim0");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  char name[26];
  std::memset(name, 'x', sizeof name);
  DWORD done = 0;
  ASSERT_TRUE(DeviceIoControl(h, npf::PACKET_GETEVENTNAME_IOCTL, nullptr, 0, name, sizeof name, &done));
  EXPECT_EQ(done, 26u);
  ASSERT_NE(std::memchr(name, 0, sizeof name), nullptr);
  HANDLE event = OpenEvent(name);
  ASSERT_NE(event, nullptr) << name;
  Bytes arp = ArpRequest(kAdapterMac, Ip("192.0.2.10"), Ip("192.0.2.1"));
  ASSERT_TRUE(WriteFile(h, arp.data(), static_cast<DWORD>(arp.size()), &done));
  EXPECT_TRUE(ReadUntil(h, event, [](const Bytes& f) { return IsArpReplyFrom(f, Ip("192.0.2.1")); }));
  EXPECT_FALSE(DeviceIoControl(h, npf::PACKET_GETEVENTNAME_IOCTL, nullptr, 0, name, 25, &done));
  CloseHandle(h);
  CloseHandle(event);
}

// The issue's done-when: ARP and ping of the router through \\.\NPF_sim0.
TEST_F(SimDevices, ArpAndPingOfTheRouterComeBackThroughReads) {
  HANDLE h = Open("\\\\.\\NPF_sim0");
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
  HANDLE event = CreateEvent(false);
  DWORD value = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(event)), done;
  ASSERT_TRUE(DeviceIoControl(h, npf::PACKET_SETEVENTHANDLE_IOCTL, &value, 4, nullptr, 0, &done));
  ASSERT_TRUE(Set4(h, npf::PACKET_SETNOLOOPBACKS_IOCTL, 1));

  Bytes arp = ArpRequest(kAdapterMac, Ip("192.0.2.10"), Ip("192.0.2.1"));
  ASSERT_TRUE(WriteFile(h, arp.data(), static_cast<DWORD>(arp.size()), &done));
  std::vector<Bytes> seen;
  ASSERT_TRUE(ReadUntil(h, event, [](const Bytes& f) { return IsArpReplyFrom(f, Ip("192.0.2.1")); }, &seen));
  const Bytes& reply = seen.back();
  EXPECT_EQ(MacAt(reply, 0), kAdapterMac);
  EXPECT_EQ(MacAt(reply, 22), kRouterMac);  // sender hardware address

  Bytes echo = EchoFrame(kAdapterMac, MacAt(reply, 22), Ip("192.0.2.10"), Ip("192.0.2.1"), 0x1234, 7);
  ASSERT_TRUE(WriteFile(h, echo.data(), static_cast<DWORD>(echo.size()), &done));
  seen.clear();
  ASSERT_TRUE(ReadUntil(h, event, [](const Bytes& f) { return IsEchoReplyFrame(f, Ip("192.0.2.1"), 0x1234, 7); },
                        &seen));
  const Bytes& pong = seen.back();
  EXPECT_EQ(pong.size(), echo.size());
  EXPECT_EQ(Bytes(pong.begin() + 42, pong.end()), Bytes(echo.begin() + 42, echo.end()));  // same payload
  for (const Bytes& f : seen) EXPECT_NE(f, echo);  // no loop-back of our own

  // The far host answers through the router, with one hop spent.
  Bytes far = EchoFrame(kAdapterMac, kRouterMac, Ip("192.0.2.10"), Ip("203.0.113.10"), 0x1234, 8);
  ASSERT_TRUE(WriteFile(h, far.data(), static_cast<DWORD>(far.size()), &done));
  seen.clear();
  ASSERT_TRUE(ReadUntil(
      h, event, [](const Bytes& f) { return IsEchoReplyFrame(f, Ip("203.0.113.10"), 0x1234, 8); }, &seen));
  EXPECT_EQ(seen.back()[14 + 8], 63);
  EXPECT_EQ(MacAt(seen.back(), 6), kRouterMac);

  npf::bpf_stat stats{};
  ASSERT_TRUE(DeviceIoControl(h, npf::PACKET_GETSTATS_IOCTL, nullptr, 0, &stats, sizeof stats, &done));
  EXPECT_EQ(done, 8u);
  EXPECT_EQ(stats.bs_recv, 3u);
  EXPECT_EQ(stats.bs_drop, 0u);
  CloseHandle(h);
  CloseHandle(event);
}

TEST_F(SimDevices, ReadsPackAlignedPacketsAndKeepWhatDoesNotFit) {
  HANDLE h = Open("\\\\.\\NPF_sim0");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  DWORD done;
  // Frames of 43, 61 and 60 bytes, looped back to the reader.
  for (std::size_t size : {43u, 61u, 60u}) {
    Bytes f(size, 0);
    std::memcpy(f.data(), kBroadcast.data(), 6);
    std::memcpy(f.data() + 6, kAdapterMac.data(), 6);
    f[12] = 0x88;
    f[13] = 0xB5;  // local experimental type: nobody answers
    f[size - 1] = BYTE(size);
    ASSERT_TRUE(WriteFile(h, f.data(), static_cast<DWORD>(f.size()), &done));
  }
  BYTE small[40];
  EXPECT_FALSE(ReadFile(h, small, sizeof small, &done));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  // Room for the first two only: 20+43 -> 64, then 20+61 = 145.
  std::vector<BYTE> buffer(150, 0xEE);
  ASSERT_TRUE(ReadFile(h, buffer.data(), static_cast<DWORD>(buffer.size()), &done));
  EXPECT_EQ(done, 145u);
  EXPECT_EQ(buffer[63], 0);  // padding is zero
  std::vector<Bytes> packets = SplitCapture(buffer.data(), done);
  ASSERT_EQ(packets.size(), 2u);
  EXPECT_EQ(packets[0].back(), 43);
  EXPECT_EQ(packets[1].back(), 61);
  npf::bpf_hdr hdr;
  std::memcpy(&hdr, buffer.data(), sizeof hdr);
  EXPECT_EQ(hdr.bh_datalen, 43u);
  EXPECT_GT(hdr.bh_tstamp.tv_sec, 0);
  ASSERT_TRUE(ReadFile(h, buffer.data(), static_cast<DWORD>(buffer.size()), &done));
  packets = SplitCapture(buffer.data(), done);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0].back(), 60);

  // Frames the medium cannot carry are refused.
  Bytes tiny(13, 0), huge(1515, 0);
  EXPECT_FALSE(WriteFile(h, tiny.data(), 13, &done));
  EXPECT_FALSE(WriteFile(h, huge.data(), 1515, &done));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  CloseHandle(h);
}

TEST_F(SimDevices, FilterProgramKeepsOnlyWhatItAccepts) {
  HANDLE h = Open("\\\\.\\NPF_sim0");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  // ldh [12]; jeq #0x806 → ret #42 (snap), else ret #0
  npf::bpf_insn arpOnly[] = {{0x28, 0, 0, 12}, {0x15, 0, 1, 0x0806}, {0x06, 0, 0, 42}, {0x06, 0, 0, 0}};
  DWORD done;
  ASSERT_TRUE(DeviceIoControl(h, npf::PACKET_SETBPFILTER_IOCTL, arpOnly, sizeof arpOnly, nullptr, 0, &done));
  Bytes echo = EchoFrame(kAdapterMac, kRouterMac, Ip("192.0.2.10"), Ip("192.0.2.1"), 1, 1);
  Bytes arp = ArpRequest(kAdapterMac, Ip("192.0.2.10"), Ip("192.0.2.99"));
  arp.resize(60, 0);  // padded as on the wire
  ASSERT_TRUE(WriteFile(h, echo.data(), static_cast<DWORD>(echo.size()), &done));
  ASSERT_TRUE(WriteFile(h, arp.data(), static_cast<DWORD>(arp.size()), &done));
  std::vector<BYTE> buffer(4096);
  ASSERT_TRUE(ReadFile(h, buffer.data(), static_cast<DWORD>(buffer.size()), &done));
  std::vector<Bytes> packets = SplitCapture(buffer.data(), done);
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(packets[0].size(), 42u);
  npf::bpf_hdr hdr;
  std::memcpy(&hdr, buffer.data(), sizeof hdr);
  EXPECT_EQ(hdr.bh_datalen, 60u);

  // Programs that could jump or read outside themselves are refused.
  npf::bpf_insn jumpOut[] = {{0x05, 0, 0, 5}, {0x06, 0, 0, 0}};
  npf::bpf_insn noReturn[] = {{0x28, 0, 0, 12}};
  npf::bpf_insn badSlot[] = {{0x02, 0, 0, 16}, {0x06, 0, 0, 0}};
  npf::bpf_insn divZero[] = {{0x34, 0, 0, 0}, {0x06, 0, 0, 0}};
  for (auto [program, size] : {std::pair{(void*)jumpOut, sizeof jumpOut}, {(void*)noReturn, sizeof noReturn},
                               {(void*)badSlot, sizeof badSlot}, {(void*)divZero, sizeof divZero}}) {
    EXPECT_FALSE(DeviceIoControl(h, npf::PACKET_SETBPFILTER_IOCTL, program, static_cast<DWORD>(size), nullptr, 0,
                                 &done));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  }
  EXPECT_FALSE(DeviceIoControl(h, npf::PACKET_SETBPFILTER_IOCTL, arpOnly, 7, nullptr, 0, &done));
  // A load past the packet rejects it rather than reading beyond.
  npf::bpf_insn farLoad[] = {{0x20, 0, 0, 5000}, {0x06, 0, 0, 0xFFFF}};
  ASSERT_TRUE(DeviceIoControl(h, npf::PACKET_SETBPFILTER_IOCTL, farLoad, sizeof farLoad, nullptr, 0, &done));
  ASSERT_TRUE(WriteFile(h, arp.data(), static_cast<DWORD>(arp.size()), &done));
  ASSERT_TRUE(ReadFile(h, buffer.data(), static_cast<DWORD>(buffer.size()), &done));
  EXPECT_EQ(done, 0u);
  // An empty program lets everything through again. The router's reply to
  // the echo above travels with its delay and may come through here too.
  ASSERT_TRUE(DeviceIoControl(h, npf::PACKET_SETBPFILTER_IOCTL, nullptr, 0, nullptr, 0, &done));
  ASSERT_TRUE(WriteFile(h, arp.data(), static_cast<DWORD>(arp.size()), &done));
  ASSERT_TRUE(ReadFile(h, buffer.data(), static_cast<DWORD>(buffer.size()), &done));
  packets = SplitCapture(buffer.data(), done);
  EXPECT_EQ(std::count(packets.begin(), packets.end(), arp), 1);
  for (const Bytes& p : packets) {
    EXPECT_TRUE(p == arp || IsEchoReplyFrame(p, Ip("192.0.2.1"), 1, 1)) << "unexpected frame of " << p.size();
  }
  CloseHandle(h);
}

TEST_F(SimDevices, MultipleWriteChecksTheWholeBufferFirst) {
  HANDLE h = Open("\\\\.\\NPF_sim0");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  auto add = [](Bytes& buffer, const Bytes& frame) {
    npf::bpf_hdr hdr{};
    hdr.bh_caplen = hdr.bh_datalen = static_cast<UINT>(frame.size());
    hdr.bh_hdrlen = 20;
    buffer.resize(npf::Packet_WORDALIGN(buffer.size()), 0);
    const BYTE* p = reinterpret_cast<const BYTE*>(&hdr);
    buffer.insert(buffer.end(), p, p + sizeof hdr);
    buffer.insert(buffer.end(), frame.begin(), frame.end());
  };
  Bytes a = ArpRequest(kAdapterMac, Ip("192.0.2.10"), Ip("192.0.2.98"));
  Bytes b = ArpRequest(kAdapterMac, Ip("192.0.2.10"), Ip("192.0.2.97"));
  b.push_back(0);  // 43 bytes: the next header needs padding
  Bytes batch;
  add(batch, a);
  add(batch, b);
  add(batch, a);
  DWORD done;
  ASSERT_TRUE(DeviceIoControl(h, npf::PACKET_MULTIPLEWRITE_IOCTL, batch.data(), static_cast<DWORD>(batch.size()),
                              nullptr, 0, &done));
  std::vector<BYTE> buffer(4096);
  ASSERT_TRUE(ReadFile(h, buffer.data(), static_cast<DWORD>(buffer.size()), &done));
  std::vector<Bytes> packets = SplitCapture(buffer.data(), done);
  ASSERT_EQ(packets.size(), 3u);
  EXPECT_EQ(packets[1], b);

  // A record that claims more than the buffer holds: nothing at all is sent.
  Bytes broken = batch;
  npf::bpf_hdr last;
  std::size_t lastAt = npf::Packet_WORDALIGN(20 + a.size()) + npf::Packet_WORDALIGN(20 + b.size());
  std::memcpy(&last, broken.data() + lastAt, sizeof last);
  last.bh_caplen = 500;
  std::memcpy(broken.data() + lastAt, &last, sizeof last);
  EXPECT_FALSE(DeviceIoControl(h, npf::PACKET_MULTIPLEWRITE_IOCTL, broken.data(),
                               static_cast<DWORD>(broken.size()), nullptr, 0, &done));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  Bytes cut(batch.begin(), batch.begin() + 10);
  EXPECT_FALSE(DeviceIoControl(h, npf::PACKET_MULTIPLEWRITE_IOCTL, cut.data(), 10, nullptr, 0, &done));
  ASSERT_TRUE(ReadFile(h, buffer.data(), static_cast<DWORD>(buffer.size()), &done));
  EXPECT_EQ(done, 0u);
  CloseHandle(h);
}

TEST_F(SimDevices, CaptureSettingsTakeEffect) {
  HANDLE h = Open("\\\\.\\NPF_sim0");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  HANDLE event = CreateEvent(false);
  DWORD value = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(event)), done;
  ASSERT_TRUE(DeviceIoControl(h, npf::PACKET_SETEVENTHANDLE_IOCTL, &value, 4, nullptr, 0, &done));
  Bytes f = ArpRequest(kAdapterMac, Ip("192.0.2.10"), Ip("192.0.2.96"));

  // The event waits for the minimum amount of data.
  ASSERT_TRUE(Set4(h, npf::PACKET_SETMINTOCOPY_IOCTL, 100));
  ASSERT_TRUE(WriteFile(h, f.data(), static_cast<DWORD>(f.size()), &done));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
  ASSERT_TRUE(WriteFile(h, f.data(), static_cast<DWORD>(f.size()), &done));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);

  // A small buffer drops what does not fit, and counts it.
  ASSERT_TRUE(Set4(h, npf::PACKET_SETBUFFERSIZE_IOCTL, 70));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);  // the new buffer starts empty
  ASSERT_TRUE(WriteFile(h, f.data(), static_cast<DWORD>(f.size()), &done));
  ASSERT_TRUE(WriteFile(h, f.data(), static_cast<DWORD>(f.size()), &done));
  npf::bpf_stat stats;
  ASSERT_TRUE(DeviceIoControl(h, npf::PACKET_GETSTATS_IOCTL, nullptr, 0, &stats, 8, &done));
  EXPECT_EQ(stats.bs_recv, 4u);
  EXPECT_EQ(stats.bs_drop, 1u);
  EXPECT_FALSE(DeviceIoControl(h, npf::PACKET_GETSTATS_IOCTL, nullptr, 0, &stats, 7, &done));

  // Loop-back suppression takes 1 or 2 only.
  EXPECT_FALSE(Set4(h, npf::PACKET_SETNOLOOPBACKS_IOCTL, 3));
  EXPECT_TRUE(Set4(h, npf::PACKET_SETNOLOOPBACKS_IOCTL, 2));
  DWORD eight[2] = {1, 0};
  EXPECT_FALSE(DeviceIoControl(h, npf::PACKET_SETREADTIMEOUT_IOCTL, eight, 8, nullptr, 0, &done));

  // A read time-out makes an empty read wait, and a cancel ends the wait.
  ASSERT_TRUE(Set4(h, npf::PACKET_SETBUFFERSIZE_IOCTL, 1 << 16));
  ASSERT_TRUE(Set4(h, npf::PACKET_SETREADTIMEOUT_IOCTL, 0));  // without limit
  HANDLE reader = CreateThread(
      [](void* device) -> DWORD {
        BYTE b[256];
        DWORD got = 99;
        ReadFile(device, b, sizeof b, &got);
        return got;
      },
      h);
  EXPECT_EQ(WaitForSingleObject(reader, 50), WAIT_TIMEOUT);
  // Cancel until the reader has noticed (it may not have started waiting yet).
  DWORD waited = WAIT_TIMEOUT;
  for (int i = 0; i < 100 && waited == WAIT_TIMEOUT; ++i) {
    CancelIo(h);
    waited = WaitForSingleObject(reader, 50);
  }
  ASSERT_EQ(waited, WAIT_OBJECT_0);
  DWORD got = 1;
  GetExitCodeThread(reader, &got);
  EXPECT_EQ(got, 0u);
  CloseHandle(reader);
  CloseHandle(h);
  CloseHandle(event);
}

// An empty read waits its whole read time-out (the monotonic clock guarantees
// the lower bound however loaded the machine is), then delivers nothing.
TEST_F(SimDevices, AnEmptyReadWaitsItsWholeReadTimeOut) {
  HANDLE h = Open("\\\\.\\NPF_sim0");
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(Set4(h, npf::PACKET_SETBUFFERSIZE_IOCTL, 1 << 16));
  std::vector<BYTE> buffer(4096);
  for (DWORD ms : {30u, 1000u}) {
    SCOPED_TRACE(ms);
    ASSERT_TRUE(Set4(h, npf::PACKET_SETREADTIMEOUT_IOCTL, ms));
    DWORD done = 99;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(ReadFile(h, buffer.data(), static_cast<DWORD>(buffer.size()), &done));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(ms));
    EXPECT_EQ(done, 0u);
  }
  CloseHandle(h);
}

TEST_F(SimDevices, PromiscuousModeDecidesWhatOfTheLanIsSeen) {
  HANDLE a = Open("\\\\.\\NPF_sim0");
  HANDLE b = Open("\\\\.\\NPF_sim0");
  ASSERT_NE(a, INVALID_HANDLE_VALUE);
  ASSERT_NE(b, INVALID_HANDLE_VALUE);
  DWORD v = npf::NDIS_PACKET_TYPE_PROMISCUOUS;
  ASSERT_TRUE(Oid(b, true, npf::OID_GEN_CURRENT_PACKET_FILTER, &v, 4));
  ASSERT_TRUE(Set4(a, npf::PACKET_SETNOLOOPBACKS_IOCTL, 1));
  ASSERT_TRUE(Set4(b, npf::PACKET_SETNOLOOPBACKS_IOCTL, 1));
  ASSERT_TRUE(Set4(a, npf::PACKET_SETREADTIMEOUT_IOCTL, 100));
  ASSERT_TRUE(Set4(b, npf::PACKET_SETREADTIMEOUT_IOCTL, 100));

  // A station-like frame to the router: only a promiscuous open sees the reply.
  DWORD done;
  Bytes f = EchoFrame(Mac6{2, 0, 0, 0, 0, 0x55}, kRouterMac, Ip("192.0.2.55"), Ip("192.0.2.1"), 9, 9);
  ASSERT_TRUE(WriteFile(a, f.data(), static_cast<DWORD>(f.size()), &done));
  // a wrote it; b sees it as the adapter's own transmission, and the reply
  // (to a MAC that is not the adapter's) only because it is promiscuous.
  EXPECT_TRUE(ReadUntil(b, nullptr, [](const Bytes& p) { return IsEchoReplyFrame(p, Ip("192.0.2.1"), 9, 9); }));
  std::vector<BYTE> buffer(4096);
  ASSERT_TRUE(ReadFile(a, buffer.data(), static_cast<DWORD>(buffer.size()), &done));
  EXPECT_EQ(done, 0u);
  CloseHandle(a);
  CloseHandle(b);
}

TEST_F(SimDevices, AFilterOfZeroPassesNothingNotEvenTheAdaptersOwnFrames) {
  HANDLE quiet = Open("\\\\.\\NPF_sim0");
  HANDLE talker = Open("\\\\.\\NPF_sim0");
  ASSERT_NE(quiet, INVALID_HANDLE_VALUE);
  ASSERT_NE(talker, INVALID_HANDLE_VALUE);
  DWORD v = 0;
  ASSERT_TRUE(Oid(quiet, true, npf::OID_GEN_CURRENT_PACKET_FILTER, &v, 4));
  ASSERT_TRUE(Set4(talker, npf::PACKET_SETREADTIMEOUT_IOCTL, 100));

  // The talker's echo request and the router's reply, both to the adapter's
  // own traffic; once the talker has the reply, the quiet open was offered both.
  DWORD done;
  Bytes f = EchoFrame(kAdapterMac, kRouterMac, Ip("192.0.2.10"), Ip("192.0.2.1"), 7, 7);
  ASSERT_TRUE(WriteFile(talker, f.data(), static_cast<DWORD>(f.size()), &done));
  ASSERT_TRUE(ReadUntil(talker, nullptr, [](const Bytes& p) { return IsEchoReplyFrame(p, Ip("192.0.2.1"), 7, 7); }));
  std::vector<BYTE> buffer(4096);
  ASSERT_TRUE(ReadFile(quiet, buffer.data(), static_cast<DWORD>(buffer.size()), &done));
  EXPECT_EQ(done, 0u);
  CloseHandle(quiet);
  CloseHandle(talker);
}

}  // namespace
}  // namespace platform::sim
