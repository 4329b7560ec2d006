#include "mestralib/address.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>

namespace {

// The parsed address (host order), or nothing when the text is refused, in
// which case the output must not have been touched.
std::optional<DWORD> Parse(std::string_view text, bool allowBroadcast = false) {
  constexpr DWORD kUntouched = 0xDEADBEEF;
  DWORD address = kUntouched;
  if (!ParseIPAddress(text, &address, allowBroadcast)) {
    EXPECT_EQ(address, kUntouched) << text;
    return std::nullopt;
  }
  return address;
}

TEST(ParseIPAddress, DottedDecimal) {
  EXPECT_EQ(Parse("192.168.1.20"), 0xC0A80114u);
  EXPECT_EQ(Parse("0.0.0.0"), 0u);
  EXPECT_EQ(Parse("198.51.100.255"), 0xC63364FFu);
  EXPECT_EQ(Parse("255.255.255.254"), 0xFFFFFFFEu);
}

TEST(ParseIPAddress, FewerPartsFillTheRemainingBytes) {
  EXPECT_EQ(Parse("1.2.3"), 0x01020003u);
  EXPECT_EQ(Parse("1.2.65535"), 0x0102FFFFu);
  EXPECT_EQ(Parse("1.16777215"), 0x01FFFFFFu);
  EXPECT_EQ(Parse("127.1"), 0x7F000001u);
  EXPECT_EQ(Parse("3232235796"), 0xC0A80114u);
  EXPECT_EQ(Parse("0"), 0u);
}

TEST(ParseIPAddress, OctalAndHexParts) {
  EXPECT_EQ(Parse("010.0.0.1"), 0x08000001u);
  EXPECT_EQ(Parse("0x7f.1"), 0x7F000001u);
  EXPECT_EQ(Parse("0X7F.0.0.0x1"), 0x7F000001u);
  EXPECT_EQ(Parse("0xC0.0250.1.024"), 0xC0A80114u);
  EXPECT_EQ(Parse("00.0.0.0377"), 0x000000FFu);
  EXPECT_EQ(Parse("0xffffff01"), 0xFFFFFF01u);
  EXPECT_EQ(Parse("0xAbCdEf12"), 0xABCDEF12u);
}

TEST(ParseIPAddress, PartsBeyondTheirBytesFail) {
  for (const char* text : {"256.1.1.1", "1.256.1.1", "1.1.256.1", "1.1.1.256", "1.2.65536", "1.16777216",
                           "4294967296", "99999999999999999999", "0x100.0.0.1", "0400.0.0.1", "0x1ffffffff",
                           "1.2.0x10000"}) {
    EXPECT_FALSE(Parse(text)) << text;
  }
}

TEST(ParseIPAddress, MalformedTextsFail) {
  for (const char* text : {"", " ", "1.2.3.4.5", "1.2.3.", "1.2.3.4.", ".1.2.3", "1..2.3", "...", "1.2.3.4 x",
                           "1.2.3.4x", "a.b.c.d", "08.0.0.1", "09", "0x", "0x.1.2.3", "1.0x", "-1.2.3.4",
                           "+1.2.3.4", "1,2,3,4", "1.2.3.4/24", "1 .2.3.4", "1. 2.3.4", "0x7g.0.0.1"}) {
    EXPECT_FALSE(Parse(text)) << '"' << text << '"';
  }
}

TEST(ParseIPAddress, OuterBlanksAreIgnored) {
  EXPECT_EQ(Parse("  10.0.0.1"), 0x0A000001u);
  EXPECT_EQ(Parse("10.0.0.1 \t\r\n"), 0x0A000001u);
  EXPECT_EQ(Parse(" 255.255.255.255 ", true), 0xFFFFFFFFu);
}

TEST(ParseIPAddress, AllOnesOnlyForTheExactBroadcastText) {
  EXPECT_EQ(Parse("255.255.255.255", true), 0xFFFFFFFFu);
  EXPECT_FALSE(Parse("255.255.255.255", false));
  for (const char* text : {"4294967295", "0xffffffff", "255.255.65535", "0377.255.255.255", "255.16777215",
                           "0xff.0xff.0xff.0xff", "255.255.255.0xff"}) {
    EXPECT_FALSE(Parse(text, true)) << text;
    EXPECT_FALSE(Parse(text, false)) << text;
  }
}

TEST(ParseIPAddress, TextThatIsNotTerminatedWhereTheViewEnds) {
  const std::string buffer = "10.1.2.34567";
  EXPECT_EQ(Parse(std::string_view(buffer).substr(0, 8)), 0x0A010203u);
}

TEST(ParseIPAddress, NullOutputFails) { EXPECT_FALSE(ParseIPAddress("1.2.3.4", nullptr, false)); }

TEST(ParseMACAddress, BothSeparatorsAndBothCases) {
  const BYTE expected[6] = {0x02, 0x00, 0x5E, 0x80, 0x00, 0x04};
  for (const char* text : {"02-00-5E-80-00-04", "02:00:5e:80:00:04", " 02-00-5e-80-00-04\t"}) {
    BYTE mac[6] = {};
    ASSERT_TRUE(ParseMACAddress(text, mac)) << text;
    EXPECT_EQ(0, std::memcmp(mac, expected, 6)) << text;
  }
  BYTE mac[6] = {};
  ASSERT_TRUE(ParseMACAddress("ff:FF:aB:Cd:eF:10", mac));
  EXPECT_EQ(FormatMACAddr(mac), "FF-FF-AB-CD-EF-10");
}

TEST(ParseMACAddress, MalformedTextsFailAndLeaveTheBytesAlone) {
  for (const char* text :
       {"", "02-00-5E-80-00", "02-00-5E-80-00-04-06", "02-00-5E-80-00-04-", "02:00-5E-80-00-04",
        "02-00-5E-80-00:04", "2-00-5E-80-00-04", "002-00-5E-80-00-4", "02.00.5E.80.00.04", "02 00 5E 80 00 04",
        "020-05E-80-00-04", "0G-00-5E-80-00-04", "02005E800004", "02--00-5E-80-00", "-02-00-5E-80-00-0"}) {
    BYTE mac[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_FALSE(ParseMACAddress(text, mac)) << '"' << text << '"';
    const BYTE untouched[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(0, std::memcmp(mac, untouched, 6)) << text;
  }
  EXPECT_FALSE(ParseMACAddress("02-00-5E-80-00-04", nullptr));
}

TEST(FormatIPAddr, TakesNetworkOrderAndStoresTheText) {
  const BYTE octets[4] = {198, 51, 100, 7};
  DWORD networkOrder;
  std::memcpy(&networkOrder, octets, 4);
  std::string out = "old";
  EXPECT_EQ(FormatIPAddr(networkOrder, &out), "198.51.100.7");
  EXPECT_EQ(out, "198.51.100.7");
  EXPECT_EQ(FormatIPAddr(0), "0.0.0.0");
  EXPECT_EQ(FormatIPAddr(0xFFFFFFFF), "255.255.255.255");
}

TEST(FormatIPAddr, RoundTripsWithTheParser) {
  for (const char* text : {"203.0.113.9", "10.0.0.1", "0.0.0.0", "1.2.3.4"}) {
    DWORD hostOrder = 0;
    ASSERT_TRUE(ParseIPAddress(text, &hostOrder, false));
    const BYTE octets[4] = {BYTE(hostOrder >> 24), BYTE(hostOrder >> 16), BYTE(hostOrder >> 8), BYTE(hostOrder)};
    DWORD networkOrder;
    std::memcpy(&networkOrder, octets, 4);
    EXPECT_EQ(FormatIPAddr(networkOrder), text);
  }
}

TEST(FormatMACAddr, UpperCasePairsJoinedByDashes) {
  const BYTE mac[6] = {0x02, 0x00, 0x5E, 0x80, 0x00, 0x04};
  std::string out;
  EXPECT_EQ(FormatMACAddr(mac, &out), "02-00-5E-80-00-04");
  EXPECT_EQ(out, "02-00-5E-80-00-04");
  const BYTE ones[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(FormatMACAddr(ones), "FF-FF-FF-FF-FF-FF");
}

TEST(TrimBlanks, StripsOnlyTheOuterBlanks) {
  EXPECT_EQ(TrimBlanks(""), "");
  EXPECT_EQ(TrimBlanks(" \t\r\n "), "");
  EXPECT_EQ(TrimBlanks("  a b\t"), "a b");
  EXPECT_EQ(TrimBlanks("12:00:00.000 "), "12:00:00.000");
  EXPECT_EQ(TrimBlanks("\nline\r\n"), "line");
  EXPECT_EQ(TrimBlanks("x"), "x");
  EXPECT_EQ(TrimBlanks("a  \t  b"), "a  \t  b");
}

}  // namespace
