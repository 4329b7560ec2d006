// Interface creation in the emulator's order, its failures and close path,
// the host adapter's values, and the statistics block, against the
// recording library.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "engine/debug_mode.h"
#include "engine/engine.h"
#include "engine_harness.h"
#include "mestralib/address.h"
#include "mestralib/errors.h"
#include "platform/sockets.h"
#include "platform/winerror.h"
#include "vifnet_fake.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using Bytes = std::vector<std::uint8_t>;

DWORD Addr(BYTE a, BYTE b, BYTE c, BYTE d) {
  const BYTE bytes[4] = {a, b, c, d};
  DWORD address;
  std::memcpy(&address, bytes, 4);
  return address;
}

// What TUNSETIFF gives back: the interface name, blanks around it.
Bytes NamedIfreq(const char* name) {
  Bytes record(32, 0);
  std::memcpy(record.data(), name, std::strlen(name));
  return record;
}

class LifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vifnet_fake::Reset();
    vifnet_fake::AnswerWith(VN32_TUNSETIFF, NamedIfreq(" tap0 "));
    SetDebugMode(false);
    TheEngineGlobals().AdapterMaskOf = [](DWORD) { return Addr(255, 255, 255, 0); };
    record_ = INTERFACEREC{};
    ResetInterfaceRec(record_, true);
    record_.strInterface_IPAddr = "192.0.2.111";
    record_.strInterface_MACAddr = "02-00-5E-80-00-04";
    record_.strAdapter_IPAddr = "192.0.2.10";
    record_.strBcastAddr = "192.0.2.255";
    record_.binInterface_IPAddr = Addr(192, 0, 2, 111);
    record_.binAdapter_IPAddr = Addr(192, 0, 2, 10);
    record_.binAdapter_MACAddr = {0x02, 0, 0, 0, 0, 0x10};
    record_.binAdapter_NetMask = Addr(255, 255, 255, 0);
    record_.bSameSubnet = true;
    harness_.Text();
  }
  void TearDown() override {
    SetDebugMode(false);
    TheEngineGlobals().AdapterMaskOf = nullptr;
  }

  // The logged text since SetUp.
  std::string Log() { return harness_.Text().substr(logStart_); }

  // The record of the request with this code (the first one).
  Bytes RecordOf(std::uint32_t code) {
    for (const auto& request : vifnet_fake::Requests()) {
      if (request.code == code) return request.record;
    }
    ADD_FAILURE() << "no request " << std::hex << code;
    return Bytes(36, 0);
  }
  std::string MaskSent() {
    Bytes ifr = RecordOf(VN32_SIOCSIFNETMASK);
    DWORD mask;
    std::memcpy(&mask, ifr.data() + 20, 4);
    return FormatIPAddr(mask);
  }

  EngineHarness harness_;
  std::size_t logStart_ = 0;
  INTERFACEREC record_;
};

TEST_F(LifecycleTest, CreationIssuesEveryRequestInTheEmulatorsOrder) {
  SetDebugMode(true);
  harness_.view().DebugFlags = 0x12345678;
  ASSERT_EQ(CreateInterface(record_), 3);
  EXPECT_EQ(record_.fd, 3);
  EXPECT_EQ(record_.strIfName, "tap0");
  EXPECT_THAT(vifnet_fake::Calls(),
              ElementsAre("open 192.0.2.10 2", "ioctl 800454C9", "ioctl 800454CA", "ioctl 8914", "ioctl 8916",
                          "ioctl 8918", "ioctl 891C", "ioctl 891A", "ioctl 8924", "ioctl 800454DE",
                          "ioctl 800454DC", "ioctl 800454DD", "ioctl 8914"));

  // The debug word with an empty name; the device in TAP mode without
  // packet information.
  Bytes debug = RecordOf(VN32_TUNSETDEBUG);
  EXPECT_EQ(debug, Bytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x78, 0x56, 0x34, 0x12}));
  Bytes iff = RecordOf(VN32_TUNSETIFF);
  EXPECT_EQ(iff, Bytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x02, 0x10, 0, 0, 0, 0, 0, 0,
                        0, 0, 0, 0, 0, 0, 0, 0}));
  auto requests = vifnet_fake::Requests();
  Bytes firstFlags = requests[2].record, lastFlags = requests.back().record;
  EXPECT_EQ(firstFlags[16], VN32_IFF_DEBUG);
  EXPECT_EQ(lastFlags[16], VN32_IFF_UP | VN32_IFF_DEBUG);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(lastFlags.data())), "tap0");
  EXPECT_EQ(MaskSent(), "255.255.255.0");
  Bytes timeout = RecordOf(VN32STIMEOUT), devBuffer = RecordOf(VN32SDEVBUFF), ioBuffer = RecordOf(VN32SIOBUFF);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(timeout.data())), "tap0");
  EXPECT_EQ(Bytes(timeout.begin() + 16, timeout.end()), Bytes({250, 0, 0, 0}));
  EXPECT_EQ(Bytes(devBuffer.begin() + 16, devBuffer.end()), Bytes({0, 0, 0x10, 0}));
  EXPECT_EQ(Bytes(ioBuffer.begin() + 16, ioBuffer.end()), Bytes({0, 0, 1, 0}));
  EXPECT_EQ(Log(), "*** Interface tap0 enabled/up... (ip=192.0.2.111, mac=02-00-5E-80-00-04)\n\n");
}

TEST_F(LifecycleTest, SocketNotifyWithoutAdapterIpMacOrDebug) {
  harness_.view().SocketNotifyMode = true;
  record_.strAdapter_IPAddr.clear();
  record_.strAdapter_MACAddr = "02-00-00-00-00-10";
  record_.strInterface_MACAddr.clear();
  record_.strInterface_IPAddr = "  192.0.2.111 ";
  record_.strBcastAddr.clear();
  Bytes hw(32, 0);
  hw[16] = 1;
  const BYTE mac[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
  std::memcpy(hw.data() + 18, mac, 6);
  vifnet_fake::AnswerWith(VN32_SIOCGIFHWADDR, hw);
  ASSERT_EQ(CreateInterface(record_), 3);
  EXPECT_THAT(vifnet_fake::Calls(),
              ElementsAre("open 02-00-00-00-00-10 8000002", "ioctl 800454C9", "ioctl 800454CA", "ioctl 8918",
                          "ioctl 891C", "ioctl 8927", "ioctl 800454DC", "ioctl 800454DD", "ioctl 8914"));
  EXPECT_EQ(vifnet_fake::Requests().back().record[16], VN32_IFF_UP);
  EXPECT_EQ(record_.strInterface_IPAddr, "192.0.2.111");
  EXPECT_EQ(record_.binInterface_MACAddr, (wire::MacAddress{0x02, 0x11, 0x22, 0x33, 0x44, 0x55}));
  EXPECT_EQ(Log(), "*** Interface tap0 enabled/up... (ip=192.0.2.111, mac=)\n\n");
  harness_.view().SocketNotifyMode = false;
}

// An unknown mask (0) would turn the interface into a default route: the
// host mask goes out instead, as it does for another subnet.
TEST_F(LifecycleTest, NetMaskIsTheAdaptersOnlyForTheSameSubnetAndAKnownMask) {
  struct Case {
    bool sameSubnet;
    DWORD mask;
    const char* sent;
  } cases[] = {{true, Addr(255, 255, 255, 0), "255.255.255.0"},
               {false, Addr(255, 255, 255, 0), "255.255.255.255"},
               {true, 0, "255.255.255.255"}};
  for (const Case& c : cases) {
    vifnet_fake::Reset();
    vifnet_fake::AnswerWith(VN32_TUNSETIFF, NamedIfreq("tap0"));
    record_.fd = -1;
    record_.bSameSubnet = c.sameSubnet;
    record_.binAdapter_NetMask = c.mask;
    ASSERT_EQ(CreateInterface(record_), 3);
    EXPECT_EQ(MaskSent(), c.sent) << c.sameSubnet << " " << c.mask;
  }
}

TEST_F(LifecycleTest, FailedOpenReportsTheOpenNameAndClosesNothing) {
  vifnet_fake::SetOpenResult(-1, 2, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(CreateInterface(record_), -1);
  EXPECT_EQ(errno, 2);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(record_.fd, -1);
  EXPECT_THAT(vifnet_fake::Calls(), ElementsAre("open 192.0.2.10 2"));
  EXPECT_EQ(Log(), "** CreateInterface(192.0.2.10): vifnet32_open failed; errno=2: " + StrError(2) + "\n");
}

TEST_F(LifecycleTest, DeviceRequestIsRetriedWithItsShortCodeOnlyAfterEinval) {
  vifnet_fake::FailNext(VN32_TUNSETIFF, EINVAL, ERROR_INVALID_PARAMETER);
  vifnet_fake::AnswerWith(VN32_TUNSETIFF_OLD, NamedIfreq("tap1"));
  ASSERT_EQ(CreateInterface(record_), 3);
  EXPECT_EQ(record_.strIfName, "tap1");
  auto calls = vifnet_fake::Calls();
  EXPECT_EQ(calls[2], "ioctl 800454CA");
  EXPECT_EQ(calls[3], "ioctl 54CA");

  vifnet_fake::Reset();
  vifnet_fake::AnswerWith(VN32_TUNSETIFF, NamedIfreq("tap0"));
  record_.fd = -1;
  record_.strIfName.clear();
  vifnet_fake::FailNext(VN32_TUNSETIFF, 1, ERROR_ACCESS_DENIED);
  logStart_ = harness_.Text().size();
  EXPECT_EQ(CreateInterface(record_), -1);
  EXPECT_THAT(vifnet_fake::Calls(), ElementsAre("open 192.0.2.10 2", "ioctl 800454C9", "ioctl 800454CA", "close 3"));
  EXPECT_EQ(errno, 1);
  EXPECT_EQ(Log(), "** CreateInterface(): vifnet32_ioctl(TUNSETIFF) failed; errno=1: " + StrError(1) +
                       "\n*** Interface  closed... (ip=192.0.2.111, mac=02-00-5E-80-00-04)\n");
}

TEST_F(LifecycleTest, FailuresAtLaterStepsTakeTheClosePathWithTheirTexts) {
  struct Case {
    std::uint32_t code;
    bool debug;
    std::string line;
  } cases[] = {
      {VN32SDEVBUFF, false, "** CreateInterface(tap0): vifnet32_ioctl(VN32SDEVBUFF) failed; errno=5: "},
      {VN32_SIOCSIFHWADDR, false,
       "** CreateInterface(tap0): VIFNET_SetMACAddr(02-00-5E-80-00-04) failed; errno=5: "},
      {VN32_SIOCSIFNETMASK, false, "** CreateInterface(tap0): VIFNET_SetNetMask failed; errno=5: "},
      {VN32_SIOCSIFFLAGS, false, "** CreateInterface(tap0): VIFNET_SetFlags(IFF_UP) failed; errno=5: "},
      {VN32_SIOCSIFFLAGS, true, "** CreateInterface(tap0): VIFNET_SetFlags(IFF_DEBUG) failed; errno=5: "},
  };
  for (const Case& c : cases) {
    vifnet_fake::Reset();
    vifnet_fake::AnswerWith(VN32_TUNSETIFF, NamedIfreq("tap0"));
    SetDebugMode(c.debug);
    record_.fd = -1;
    vifnet_fake::FailNext(c.code, 5, ERROR_GEN_FAILURE);
    logStart_ = harness_.Text().size();
    EXPECT_EQ(CreateInterface(record_), -1) << c.line;
    EXPECT_EQ(errno, 5);
    EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
    EXPECT_EQ(record_.fd, -1);
    EXPECT_EQ(vifnet_fake::Calls().back(), "close 3");
    std::string log = Log();
    // The up flags fail after the enabled/up line has been written.
    const std::string enabled = "*** Interface tap0 enabled/up... (ip=192.0.2.111, mac=02-00-5E-80-00-04)\n\n";
    if (log.rfind(enabled, 0) == 0) log = log.substr(enabled.size());
    EXPECT_EQ(log, c.line + StrError(5) + "\n*** Interface tap0 closed... (ip=192.0.2.111, mac=02-00-5E-80-00-04)\n");
  }
}

TEST_F(LifecycleTest, EmptyNameOrGuestAddressStopsWithoutAnErrnoPart) {
  vifnet_fake::AnswerWith(VN32_TUNSETIFF, NamedIfreq("   "));
  EXPECT_EQ(CreateInterface(record_), -1);
  EXPECT_EQ(Log(), "** CreateInterface(192.0.2.10): interface name is empty!\n"
                   "*** Interface  closed... (ip=192.0.2.111, mac=02-00-5E-80-00-04)\n");

  vifnet_fake::Reset();
  vifnet_fake::AnswerWith(VN32_TUNSETIFF, NamedIfreq("tap0"));
  record_.strInterface_IPAddr = "   ";
  logStart_ = harness_.Text().size();
  EXPECT_EQ(CreateInterface(record_), -1);
  EXPECT_EQ(Log(), "** CreateInterface(tap0): interface IP address is empty!\n"
                   "*** Interface tap0 closed... (ip=, mac=02-00-5E-80-00-04)\n");
  EXPECT_EQ(vifnet_fake::Calls().back(), "close 3");
}

TEST_F(LifecycleTest, AdapterValuesComeFromTheHostTablesAndGiveTheBroadcast) {
  record_.binAdapter_MACAddr = {};
  record_.binAdapter_NetMask = 0;
  record_.bSameSubnet = false;
  record_.strBcastAddr.clear();
  record_.strInterface_IPAddr = "192.168.0.111";
  record_.binInterface_IPAddr = Addr(192, 168, 0, 111);
  record_.binAdapter_IPAddr = Addr(192, 168, 0, 10);
  Bytes arp(36, 0);
  const BYTE mac[6] = {0x02, 0, 0, 0, 0, 0x99};
  std::memcpy(arp.data() + 18, mac, 6);
  vifnet_fake::AnswerWith(VN32_SIOCGARP, arp);
  ResolveAdapterValues(record_);

  auto requests = vifnet_fake::Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].fd, -1);
  EXPECT_EQ(requests[0].code, VN32_SIOCGARP);
  EXPECT_EQ(requests[0].record, Bytes({2, 0, 192, 168, 0, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                       0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0}));
  EXPECT_EQ(record_.binAdapter_MACAddr, (wire::MacAddress{0x02, 0, 0, 0, 0, 0x99}));
  EXPECT_EQ(record_.binAdapter_NetMask, Addr(255, 255, 255, 0));
  EXPECT_TRUE(record_.bSameSubnet);
  EXPECT_EQ(record_.strBcastAddr, "192.168.0.255");

  // Only the MAC known: the address comes from the reverse look-up.
  vifnet_fake::Reset();
  Bytes rarp(36, 0);
  const BYTE ip[4] = {192, 168, 0, 10};
  std::memcpy(rarp.data() + 2, ip, 4);
  vifnet_fake::AnswerWith(VN32_SIOCGRARP, rarp);
  record_.binAdapter_IPAddr = 0;
  ResolveAdapterValues(record_);
  requests = vifnet_fake::Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].code, VN32_SIOCGRARP);
  EXPECT_EQ(Bytes(requests[0].record.begin() + 18, requests[0].record.begin() + 24), Bytes(mac, mac + 6));
  EXPECT_EQ(record_.binAdapter_IPAddr, Addr(192, 168, 0, 10));

  // No adapter with that IP: mask 0 makes any two addresses equal.
  TheEngineGlobals().AdapterMaskOf = [](DWORD) { return DWORD{0}; };
  record_.binInterface_IPAddr = Addr(10, 1, 1, 1);
  ResolveAdapterValues(record_);
  EXPECT_TRUE(record_.bSameSubnet);
  EXPECT_EQ(record_.binAdapter_NetMask, 0u);
}

TEST_F(LifecycleTest, StatisticsBlockPrintsEachCounterOnItsOwnLine) {
  record_.strIfName = "tap0";
  record_.fd = 3;
  vn32_stats stats{};
  stats.kernel_buffer_size = 1048576;
  stats.dll_buffer_size = 65536;
  stats.max_io_bytes_received = 1;
  stats.write_calls = 1;
  stats.write_ios = 2;
  stats.read_calls = 3;
  stats.read_ios = 4;
  stats.packets_read = 5;
  stats.packets_written = 6;
  stats.bytes_read = 7;
  stats.bytes_written = 8;
  stats.arp_handled = 9;
  stats.ignored = 10;
  stats.from_ourself = 11;
  stats.to_zero_mac_read = 12;
  stats.to_zero_mac_written = 13;
  stats.from_zero_mac_read = 14;
  stats.from_zero_mac_written = 123456789012;
  vifnet_fake::SetStats(stats);
  ReportInterfaceStatistics(record_);
  EXPECT_EQ(Log(),
            "*** Statistics for Interface tap0:\n"
            "\n"
            "Size of Kernel Capture Buffer:    1024K\n"
            "Size of DLL I/O Buffer:             64K\n"
            "Maximum DLL I/O Bytes Received:      1K\n"
            "\n"
            "        1  Total Write Calls\n"
            "        2  Total Write I/Os\n"
            "       13  Packets To All Zeroes MAC Written\n"
            "123456789012  Packets From All Zeroes MAC Written\n"
            "        6  Total Packets Written\n"
            "        8  Total Bytes Written\n"
            "\n"
            "        3  Total Read Calls\n"
            "        4  Total Read I/Os\n"
            "        9  Internally Handled ARP Packets\n"
            "       11  Packets From Ourself\n"
            "       10  Total Ignored Packets\n"
            "       12  Packets To All Zeroes MAC Read\n"
            "       14  Packets From All Zeroes MAC Read\n"
            "        5  Total Packets Read\n"
            "        7  Total Bytes Read\n"
            "\n");

  // Sizes round up to whole kilobytes; a failing query is a broken
  // assumption, and the block follows all the same.
  stats = vn32_stats{};
  stats.kernel_buffer_size = 1025;
  stats.dll_buffer_size = 0;
  stats.max_io_bytes_received = 1024;
  vifnet_fake::SetStats(stats, -1);
  logStart_ = harness_.Text().size();
  ReportInterfaceStatistics(record_);
  const std::string log = Log();
  EXPECT_THAT(log, HasSubstr("** Assertion Failed **\n*** Statistics for Interface tap0:\n"));
  EXPECT_THAT(log, HasSubstr("Size of Kernel Capture Buffer:       2K\n"
                             "Size of DLL I/O Buffer:              0K\n"
                             "Maximum DLL I/O Bytes Received:      1K\n"));
  record_.fd = -1;
}

}  // namespace
