#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "engine/ifconfig.h"
#include "log_capture.h"
#include "mestralib/errors.h"
#include "platform/winerror.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Bytes = std::vector<std::uint8_t>;

constexpr int kFd = 7;

// A 32-byte ifreq: the name, then bytes placed at their offsets.
Bytes Ifreq(const std::string& name, std::initializer_list<std::pair<std::size_t, Bytes>> parts) {
  Bytes record(32, 0);
  std::memcpy(record.data(), name.data(), std::min<std::size_t>(name.size(), 15));
  for (const auto& [offset, bytes] : parts) std::copy(bytes.begin(), bytes.end(), record.begin() + offset);
  return record;
}

class IfconfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vifnet_fake::Reset();
    log_.Lines();
  }

  // The one request issued; fails the test when there was not exactly one.
  vifnet_fake::Request OnlyRequest() {
    auto requests = vifnet_fake::Requests();
    EXPECT_EQ(requests.size(), 1u);
    return requests.empty() ? vifnet_fake::Request{} : requests.front();
  }

  // A validation failure: -1, errno 22, last error 87, no request.
  void ExpectRejected(int result) {
    EXPECT_EQ(result, -1);
    EXPECT_EQ(errno, kErrnoInval);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_THAT(vifnet_fake::Requests(), IsEmpty());
  }

  LogCapture log_;
};

TEST_F(IfconfigTest, AddressSettersSendTheirCodeFamilyAndAddress) {
  struct Case {
    int (*setter)(int, const char*, const char*);
    std::uint32_t code;
    const char* text;
    Bytes address;
  };
  const Case cases[] = {
      {&VIFNET_SetIPAddr, 0x8916, "198.51.100.1", {198, 51, 100, 1}},
      {&VIFNET_SetDestAddr, 0x8918, "198.51.100.2", {198, 51, 100, 2}},
      {&VIFNET_SetNetMask, 0x891C, "255.255.255.0", {255, 255, 255, 0}},
      {&VIFNET_SetNetMask, 0x891C, "255.255.255.255", {255, 255, 255, 255}},
      {&VIFNET_SetBcastAddr, 0x891A, "255.255.255.255", {255, 255, 255, 255}},
      {&VIFNET_SetBcastAddr, 0x891A, "203.0.113.255", {203, 0, 113, 255}},
      {&VIFNET_SetIPAddr, 0x8916, "203.113", {203, 0, 0, 113}},  // two-part dotted form
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    vifnet_fake::Reset();
    EXPECT_EQ(c.setter(kFd, "tap0", c.text), 0);
    auto request = OnlyRequest();
    EXPECT_EQ(request.fd, kFd);
    EXPECT_EQ(request.code, c.code);
    EXPECT_EQ(request.record, Ifreq("tap0", {{16, {2, 0}}, {20, c.address}}));
  }
  EXPECT_THAT(log_.Lines(), IsEmpty());
}

TEST_F(IfconfigTest, BadAddressTextsAreRejectedWithTheirMessages) {
  ExpectRejected(VIFNET_SetNetMask(kFd, "tap0", "256.1.1.1"));
  ExpectRejected(VIFNET_SetBcastAddr(kFd, "tap0", "1.2.3.4.5"));
  ExpectRejected(VIFNET_SetIPAddr(kFd, "tap0", nullptr));
  ExpectRejected(VIFNET_SetDestAddr(kFd, "tap0", ""));
  ExpectRejected(VIFNET_SetBcastAddr(kFd, "tap0", "0xffffffff"));  // all ones, but not the exact text
  EXPECT_THAT(log_.Lines(), ElementsAre("GRLTU010E tap0: Invalid net mask \"256.1.1.1\"",
                                        "GRLTU010E tap0: Invalid broadcast address \"1.2.3.4.5\"",
                                        "GRLTU006E tap0: Invalid IP address \"NULL\"",
                                        "GRLTU008E tap0: Invalid destination address \"\"",
                                        "GRLTU010E tap0: Invalid broadcast address \"0xffffffff\""));
}

TEST_F(IfconfigTest, NullAndEmptyNamesAreRejectedByEverySetter) {
  ExpectRejected(VIFNET_SetIPAddr(kFd, nullptr, "198.51.100.1"));
  ExpectRejected(VIFNET_SetIPAddr(kFd, "", "198.51.100.1"));
  ExpectRejected(VIFNET_SetDestAddr(kFd, nullptr, "198.51.100.1"));
  ExpectRejected(VIFNET_SetNetMask(kFd, "", "255.0.0.0"));
  ExpectRejected(VIFNET_SetBcastAddr(kFd, nullptr, "198.51.100.255"));
  ExpectRejected(VIFNET_SetMTU(kFd, "", "1500"));
  ExpectRejected(VIFNET_SetMACAddr(kFd, nullptr, "02-00-5E-80-00-04"));
  ExpectRejected(VIFNET_SetFlags(kFd, "", 1));
  // The name is checked before the value.
  ExpectRejected(VIFNET_SetMTU(kFd, nullptr, nullptr));
  EXPECT_THAT(log_.Lines(), ElementsAre("GRLTU005E Invalid net device name \"NULL\"",
                                        "GRLTU005E Invalid net device name \"\"",
                                        "GRLTU007E Invalid net device name \"NULL\"",
                                        "GRLTU009E Invalid net device name \"\"",
                                        "GRLTU009E Invalid net device name \"NULL\"",
                                        "GRLTU011E Invalid net device name \"\"",
                                        "GRLTU014E Invalid net device name \"NULL\"",
                                        "GRLTU016E Invalid net device name \"\"",
                                        "GRLTU011E Invalid net device name \"NULL\""));
}

TEST_F(IfconfigTest, LongNamesAreCutToFifteenCharacters) {
  EXPECT_EQ(VIFNET_SetFlags(kFd, "abcdefghijklmnopqrst", 1), 0);
  auto request = OnlyRequest();
  ASSERT_EQ(request.record.size(), 32u);
  EXPECT_EQ(std::string(request.record.begin(), request.record.begin() + 15), "abcdefghijklmno");
  EXPECT_EQ(request.record[15], 0);
}

TEST_F(IfconfigTest, MtuLimitsAndDecimalPrefixRules) {
  struct Case {
    const char* text;
    std::int32_t mtu;  // 0: rejected
  };
  const Case cases[] = {{"45", 0},       {"46", 46},        {"65536", 65536}, {"65537", 0},
                        {"abc", 0},      {"1500xyz", 1500}, {" \t+1500", 1500}, {"-1500", 0},
                        {"99999999999999999999", 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    vifnet_fake::Reset();
    int result = VIFNET_SetMTU(kFd, "tun1", c.text);
    if (c.mtu == 0) {
      ExpectRejected(result);
      EXPECT_THAT(log_.Lines(), ElementsAre(std::string("GRLTU013E tun1: Invalid MTU \"") + c.text + "\""));
    } else {
      EXPECT_EQ(result, 0);
      Bytes mtu(4);
      std::memcpy(mtu.data(), &c.mtu, 4);
      auto request = OnlyRequest();
      EXPECT_EQ(request.code, 0x8922u);
      EXPECT_EQ(request.record, Ifreq("tun1", {{16, mtu}}));
    }
  }
  ExpectRejected(VIFNET_SetMTU(kFd, "tun1", ""));
  ExpectRejected(VIFNET_SetMTU(kFd, "tun1", nullptr));
  EXPECT_THAT(log_.Lines(), ElementsAre("GRLTU012E tun1: Invalid null or empty MTU.",
                                        "GRLTU012E tun1: Invalid null or empty MTU."));
}

TEST_F(IfconfigTest, MacSetterSendsFamilyOneAndTheSixBytes) {
  EXPECT_EQ(VIFNET_SetMACAddr(kFd, "tap0", "02-00-5E-80-00-04"), 0);
  auto request = OnlyRequest();
  EXPECT_EQ(request.code, 0x8924u);
  EXPECT_EQ(request.record, Ifreq("tap0", {{16, {1, 0}}, {18, {0x02, 0x00, 0x5E, 0x80, 0x00, 0x04}}}));

  vifnet_fake::Reset();
  ExpectRejected(VIFNET_SetMACAddr(kFd, "tap0", "02-00-5E"));
  ExpectRejected(VIFNET_SetMACAddr(kFd, "tap0", nullptr));
  EXPECT_THAT(log_.Lines(), ElementsAre("GRLTU015E tap0: Invalid MAC address \"02-00-5E\"",
                                        "GRLTU015E tap0: Invalid MAC address \"NULL\""));
}

TEST_F(IfconfigTest, FlagsSendOnlyTheLowSixteenBits) {
  EXPECT_EQ(VIFNET_SetFlags(kFd, "tap0", 0x7FFF0005), 0);
  auto request = OnlyRequest();
  EXPECT_EQ(request.code, 0x8914u);
  EXPECT_EQ(request.record, Ifreq("tap0", {{16, {0x05, 0x00}}}));
}

TEST_F(IfconfigTest, RequestFailuresPassThroughSilently) {
  vifnet_fake::FailNext(0x8916, 19, ERROR_GEN_FAILURE);
  EXPECT_EQ(VIFNET_SetIPAddr(kFd, "tap0", "198.51.100.1"), -1);
  EXPECT_EQ(errno, 19);
  EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
  EXPECT_THAT(log_.Lines(), IsEmpty());
}

TEST_F(IfconfigTest, InterfaceMacIsReadIntoTheRecord) {
  INTERFACEREC record;
  record.fd = kFd;
  record.strIfName = "tap3";
  vifnet_fake::AnswerWith(0x8927, Ifreq("tap3", {{16, {1, 0}}, {18, {0x02, 0, 0x5E, 1, 2, 3}}}));
  EXPECT_TRUE(GetInterfaceMACAddr(record));
  EXPECT_EQ(record.binInterface_MACAddr, (wire::MacAddress{0x02, 0, 0x5E, 1, 2, 3}));
  auto request = OnlyRequest();
  EXPECT_EQ(request.code, 0x8927u);
  EXPECT_EQ(request.record, Ifreq("tap3", {}));
  EXPECT_THAT(log_.Lines(), IsEmpty());
}

TEST_F(IfconfigTest, FailedMacReadReportsAndKeepsRecordAndErrors) {
  INTERFACEREC record;
  record.fd = kFd;
  record.strIfName = "tap3";
  record.binInterface_MACAddr = {1, 2, 3, 4, 5, 6};
  vifnet_fake::FailNext(0x8927, 19, ERROR_DEV_NOT_EXIST);
  EXPECT_FALSE(GetInterfaceMACAddr(record));
  EXPECT_EQ(errno, 19);
  EXPECT_EQ(GetLastError(), ERROR_DEV_NOT_EXIST);
  EXPECT_EQ(record.binInterface_MACAddr, (wire::MacAddress{1, 2, 3, 4, 5, 6}));
  EXPECT_THAT(log_.Lines(), ElementsAre("** GetInterfaceMACAddr(tap3) failed; errno=19: " + StrError(19)));
}

TEST_F(IfconfigTest, ReadBacksCheckTheirAssumptions) {
  INTERFACEREC record;
  record.fd = kFd;
  vifnet_fake::AnswerWith(0x8927, Ifreq("", {{16, {6, 0}}}));  // an unexpected family
  EXPECT_TRUE(GetInterfaceMACAddr(record));
  auto lines = log_.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_THAT(lines[0], ::testing::MatchesRegex(R"(ifconfig\.cpp\([0-9]+\): \*\* Assertion Failed \*\*)"));
  EXPECT_THAT(lines[1], ::testing::MatchesRegex(R"(ifconfig\.cpp\([0-9]+\): \*\* Assertion Failed \*\*)"));
  EXPECT_NE(lines[0], lines[1]);
}

TEST_F(IfconfigTest, AdapterAddressIsReadAsBinaryAndText) {
  INTERFACEREC record;
  record.fd = kFd;
  record.strIfName = "tun0";
  vifnet_fake::AnswerWith(0x8917, Ifreq("tun0", {{16, {2, 0}}, {20, {203, 0, 113, 9}}}));
  EXPECT_TRUE(GetAdapterIPAddr(record));
  EXPECT_EQ(record.strAdapter_IPAddr, "203.0.113.9");
  const std::uint8_t expected[4] = {203, 0, 113, 9};
  EXPECT_EQ(std::memcmp(&record.binAdapter_IPAddr, expected, 4), 0);
  auto request = OnlyRequest();
  EXPECT_EQ(request.code, 0x8917u);
  EXPECT_EQ(request.record, Ifreq("tun0", {{16, {2, 0}}}));

  vifnet_fake::Reset();
  vifnet_fake::FailNext(0x8917, 5, ERROR_GEN_FAILURE);
  EXPECT_FALSE(GetAdapterIPAddr(record));
  EXPECT_EQ(errno, 5);
  EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
  EXPECT_EQ(record.strAdapter_IPAddr, "203.0.113.9");
  EXPECT_THAT(log_.Lines(), ElementsAre("** GetAdapterIPAddr(tun0) failed; errno=5: " + StrError(5)));
}

}  // namespace
