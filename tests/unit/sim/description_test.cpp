// The host description format and the built-in default host.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <unistd.h>

#include "platform/npf.h"
#include "platform/sim/sim_host.h"
#include "sim_test_util.h"

namespace platform::sim {
namespace {

using simtest::Ip;

TEST(DefaultHost, IsTheHostTheKitDocuments) {
  HostModel m = DefaultHost();
  EXPECT_EQ(m.hostName, "simhost");
  ASSERT_EQ(m.dnsServers.size(), 1u);
  EXPECT_EQ(m.dnsServers[0], Ip("192.0.2.53"));
  EXPECT_FALSE(m.ipRouting);

  ASSERT_EQ(m.adapters.size(), 1u);
  const SimAdapterModel& a = m.adapters[0];
  EXPECT_EQ(a.name, "sim0");
  EXPECT_EQ(a.mac, (Mac{0x02, 0, 0, 0, 0, 0x10}));
  EXPECT_EQ(a.ip, Ip("192.0.2.10"));
  EXPECT_EQ(a.mask, Ip("255.255.255.0"));
  ASSERT_EQ(a.gateways.size(), 1u);
  EXPECT_EQ(a.gateways[0], Ip("192.0.2.1"));
  EXPECT_EQ(a.linkSpeed, 10000000u);  // 1 Gbit/s in units of 100 bit/s
  EXPECT_EQ(a.maxTotalSize, 1514u);
  EXPECT_TRUE(a.connected);
  EXPECT_TRUE(a.promiscuousAccepted);
  EXPECT_EQ(a.offload, OffloadForm::kNdis6);
  for (const ChecksumDirection* d : {&a.checksum.v4Transmit, &a.checksum.v4Receive, &a.checksum.v6Transmit,
                                     &a.checksum.v6Receive}) {
    EXPECT_EQ(d->tcp, 1);
    EXPECT_EQ(d->udp, 1);
  }
  EXPECT_FALSE(a.lsoV1Ipv4 || a.lsoV1Ipv6 || a.lsoV2Ipv4 || a.lsoV2Ipv6);

  ASSERT_EQ(m.peers.size(), 2u);
  EXPECT_EQ(m.peers[0].ip, Ip("192.0.2.1"));
  EXPECT_TRUE(m.peers[0].router);
  EXPECT_EQ(m.peers[1].ip, Ip("192.0.2.20"));
  for (const PeerModel& p : m.peers) {
    EXPECT_TRUE(p.answersArp && p.answersPing);
    EXPECT_LE(p.behaviour.delayMs, 1u);
    EXPECT_EQ(p.adapter, "sim0");
  }
  ASSERT_EQ(m.farHosts.size(), 1u);
  EXPECT_EQ(m.farHosts[0].ip, Ip("203.0.113.10"));
  EXPECT_EQ(m.farHosts[0].via, Ip("192.0.2.1"));
  EXPECT_EQ(m.farHosts[0].behaviour.delayMs, 20u);
  ASSERT_EQ(m.names.size(), 1u);
  EXPECT_EQ(m.names[0].name, "www.example.com");
  EXPECT_EQ(m.names[0].ip, Ip("203.0.113.10"));
}

TEST(DefaultHost, DocumentedFileIsTheBuiltInText) {
  std::ifstream in(std::string(MORVANE_SOURCE_DIR) + "/docs/sim-hosts/default.host");
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), DefaultHostDescription());
}

TEST(Description, ReadsEveryKindOfStatement) {
  const char* text = R"(
# comment line
host lab-host   # trailing comment
domain lab.test
computer LAB01
dns 198.51.100.53
dns 198.51.100.54
node-type mixed
routing on
seed 77
os-name "Simulated \"Lab\" OS"
os-service-pack Service Pack 2
os-version 10.0.19045
edition Professional
processors 1
elevated yes
driver-version 3.1.0.27
capture-library absent
dos-device C: \Device\HarddiskVolume1
auto-routes no
settings file
tun-device denied
adapter wlan0
  description Wireless Adapter
  connection Wi-Fi
  mac 02:00:00:00:00:a1
  type wireless
  speed 54M
  max-total-size 1500
  ip 198.51.100.7
  mask 255.255.255.0
  gateway 198.51.100.1
  dhcp yes
  dhcp-server 198.51.100.2
  connected no
  connect-status fails
  promiscuous no
  opens 2
  dos-link define
  ndis-device no
  offload ndis5
  checksum v4-transmit tcp ip ip-options
  checksum v6-receive udp=2 tcp-options
  supported-list-bytes 3602
  lso-v2-ipv4 1
  lso-v1-ipv6 0
end
router 198.51.100.1 arp yes ping no delay 3 loss 10% dup 0.25 late 0.5 400 ttl 255
peer 198.51.100.9 mac 02-00-00-00-00-09 adapter wlan0 arp no
far 203.0.113.99 via 198.51.100.1 delay 50
route 203.0.113.0/24 198.51.100.1 metric 7
name far.lab.test 203.0.113.99
)";
  HostModel m;
  std::vector<DescriptionError> errors;
  ASSERT_TRUE(ParseHostDescription(text, &m, &errors)) << (errors.empty() ? "" : errors[0].Text());
  EXPECT_EQ(m.hostName, "lab-host");
  EXPECT_EQ(m.domainName, "lab.test");
  EXPECT_EQ(m.facts.computerName, "LAB01");
  EXPECT_EQ(m.dnsServers.size(), 2u);
  EXPECT_EQ(m.nodeType, MIXED_NODETYPE);
  EXPECT_TRUE(m.ipRouting);
  EXPECT_EQ(m.seed, 77u);
  EXPECT_EQ(m.facts.osNames[0], "Simulated \"Lab\" OS");
  EXPECT_EQ(m.facts.osNames[3], "Service Pack 2");
  EXPECT_EQ(m.facts.version.build, 19045u);
  EXPECT_EQ(m.editionId, "Professional");
  EXPECT_EQ(m.facts.processorCount, 1u);
  EXPECT_TRUE(m.facts.elevated);
  EXPECT_EQ(m.driverVersion.Text(), "3.1.0.27");
  EXPECT_FALSE(m.facts.captureInstalled);
  ASSERT_EQ(m.dosDevices.size(), 1u);
  EXPECT_EQ(m.dosDevices[0].first, "C:");
  EXPECT_EQ(m.dosDevices[0].second, "\\Device\\HarddiskVolume1");
  EXPECT_FALSE(m.autoRoutes);
  EXPECT_TRUE(m.settingsInFiles);
  EXPECT_EQ(m.tunDevice, TunDevice::kDenied);

  ASSERT_EQ(m.adapters.size(), 1u);
  const SimAdapterModel& a = m.adapters[0];
  EXPECT_EQ(a.mac, (Mac{2, 0, 0, 0, 0, 0xA1}));
  EXPECT_EQ(a.ifType, 71u);
  EXPECT_EQ(a.linkSpeed, 540000u);
  EXPECT_EQ(a.maxLookahead, 1486u);
  EXPECT_EQ(a.mask, Ip("255.255.255.0"));
  EXPECT_TRUE(a.dhcp);
  EXPECT_FALSE(a.connected);
  EXPECT_TRUE(a.connectStatusFails);
  EXPECT_FALSE(a.promiscuousAccepted);
  EXPECT_TRUE(a.opens);
  EXPECT_EQ(a.opensAllowed, 2u);
  EXPECT_TRUE(a.needsDosDefine);
  EXPECT_FALSE(a.ndisDeviceOpens);
  EXPECT_EQ(a.offload, OffloadForm::kNdis5);
  EXPECT_EQ(a.checksum.v4Transmit.tcp, 1);
  EXPECT_EQ(a.checksum.v4Transmit.ip, 1);
  EXPECT_EQ(a.checksum.v4Transmit.ipOptions, 1);
  EXPECT_EQ(a.checksum.v6Receive.udp, 2);
  EXPECT_EQ(a.supportedListBytes, 3602u);
  EXPECT_EQ(a.lsoV2Ipv4, "1");
  EXPECT_EQ(a.lsoV1Ipv6, "0");
  EXPECT_FALSE(a.lsoV1Ipv4);

  ASSERT_EQ(m.peers.size(), 2u);
  const PeerModel& r = m.peers[0];
  EXPECT_TRUE(r.router);
  EXPECT_FALSE(r.answersPing);
  EXPECT_EQ(r.adapter, "wlan0");  // found by its subnet
  EXPECT_DOUBLE_EQ(r.behaviour.loss, 0.10);
  EXPECT_DOUBLE_EQ(r.behaviour.duplicate, 0.25);
  EXPECT_EQ(r.behaviour.lateMs, 400u);
  EXPECT_EQ(r.behaviour.ttl, 255);
  EXPECT_EQ(r.mac, (Mac{2, 0, 198, 51, 100, 1}));  // made from the address
  EXPECT_FALSE(m.peers[1].answersArp);
  ASSERT_EQ(m.routes.size(), 1u);
  EXPECT_EQ(m.routes[0].adapter, "wlan0");
  EXPECT_EQ(m.routes[0].metric, 7u);
}

struct BadCase {
  const char* text;
  int line;
  const char* fragment;  // part of the message
};

TEST(Description, EveryErrorNamesItsLineAndRejectsTheWholeText) {
  const std::string adapter = "adapter a0\n mac 02-00-00-00-00-01\n ip 192.0.2.10/24\nend\n";  // lines 1-4
  const BadCase cases[] = {
      {"frobnicate 1\n", 1, "unknown statement 'frobnicate'"},
      {"settings disk\n", 1, "'settings': expected memory or file, not 'disk'"},
      {"host\n", 1, "'host' takes one name"},
      {"\ndns 192.0.2.256\n", 2, "bad IPv4 address '192.0.2.256'"},
      {"dns 1.2.3\n", 1, "bad IPv4 address"},
      {"routing maybe\n", 1, "expected yes or no, not 'maybe'"},
      {"tun-device absent\n", 1, "'tun-device': expected present, missing or denied, not 'absent'"},
      {"os-name \"unterminated\n", 1, "unterminated quoted text"},
      {"os-version 10.0\n", 1, "expected A.B.C"},
      {"driver-version 4.1.0.70000\n", 1, "expected A.B.C.D"},
      {"processors 0\n", 1, "at least 1"},
      {"capture-library missing\n", 1, "expected present or absent, not 'missing'"},
      {"dos-device C:\n", 1, "'dos-device' takes a device name and its target"},
      {"seed -1\n", 1, "'seed': expected a number"},
      {"end\n", 1, "'end' without an open 'adapter' block"},
      {"adapter bad/name\n", 1, "bad name"},
      {"adapter a0\n mac 02-00-00-00-00-01\n", 1, "has no 'end'"},
      {"adapter a0\nend\n", 1, "has no 'mac'"},
      {"adapter a0\n mac 02-00-00-00-00-0g\nend\n", 2, "bad MAC address"},
      {"adapter a0\n mac 03-00-00-00-00-01\nend\n", 1, "group (multicast) address"},
      {"adapter a0\n mac 02-00-00-00-00-01\n ip 192.0.2.10\nend\n", 1, "'ip' without a mask"},
      {"adapter a0\n mac 02-00-00-00-00-01\n mask 255.0.255.0\nend\n", 3, "not a contiguous mask"},
      {"adapter a0\n mac 02-00-00-00-00-01\n gateway 192.0.2.1\nend\n", 1, "without 'ip'"},
      {"adapter a0\n mac 02-00-00-00-00-01\n speed 1.5G\nend\n", 3, "'speed'"},
      {"adapter a0\n mac 02-00-00-00-00-01\n speed 150\nend\n", 3, "a multiple of 100"},
      {"adapter a0\n mac 02-00-00-00-00-01\n max-total-size 20\nend\n", 3, "at least 60"},
      {"adapter a0\n mac 02-00-00-00-00-01\n offload ndis7\nend\n", 3, "'offload'"},
      {"adapter a0\n mac 02-00-00-00-00-01\n opens often\nend\n", 3, "expected yes, no or a number of opens"},
      {"adapter a0\n mac 02-00-00-00-00-01\n checksum v6-transmit ip\nend\n", 3, "IPv6 has no 'ip'"},
      {"adapter a0\n mac 02-00-00-00-00-01\n checksum v4-transmit tcp=4\nend\n", 3, "0 to 3"},
      {"adapter a0\n mac 02-00-00-00-00-01\n colour blue\nend\n", 3, "unknown adapter key 'colour'"},
      {"adapter a0\n mac 02-00-00-00-00-01\n peer 192.0.2.1\nend\n", 3, "missing 'end'"},
      {"adapter a0\n mac 02-00-00-00-00-01\n index 1\nend\n", 3, "0 and 1 are taken"},
      {"adapter a0\n mac 02-00-00-00-00-01\nend\nadapter A0\n mac 02-00-00-00-00-02\nend\n", 4, "described twice"},
      {"adapter a0\n mac 02-00-00-00-00-01\nend\nadapter a1\n mac 02-00-00-00-00-01\nend\n", 4,
       "already used by adapter 'a0'"},
      {"peer 192.0.2.20\n", 1, "on no adapter's subnet"},
      {"peer 192.0.2.20 adapter nowhere\n", 1, "no adapter 'nowhere'"},
      {"peer 192.0.2.20 loss 120%\n", 1, "expected a probability"},
      {"peer 192.0.2.20 late 0.5\n", 1, "'late' needs a probability and a delay"},
      {"peer 192.0.2.20 colour red\n", 1, "unknown peer option 'colour'"},
      {"peer 192.0.2.20 ttl 0\n", 1, "at least 1"},
      {"far 203.0.113.1\n", 1, "there is no router"},
      {"route 10.0.0.0 192.0.2.1\n", 1, "must be A.B.C.D/BITS"},
      {"route 10.0.0.1/8 192.0.2.1 adapter a0\n", 1, "bits outside its mask"},
      {"route 10.0.0.0/8 192.0.2.1 weight 3\n", 1, "unknown route option"},
      {"name onlyname\n", 1, "'name' takes a host name and an IPv4 address"},
  };
  for (const BadCase& c : cases) {
    SCOPED_TRACE(c.text);
    HostModel m;
    m.hostName = "untouched";
    std::vector<DescriptionError> errors;
    EXPECT_FALSE(ParseHostDescription(c.text, &m, &errors));
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors[0].line, c.line) << errors[0].Text();
    EXPECT_NE(errors[0].message.find(c.fragment), std::string::npos) << errors[0].Text();
    EXPECT_EQ(m.hostName, "untouched");
  }

  // Errors that need the rest of a good file, lines counted from it.
  const BadCase afterAdapter[] = {
      {"peer 192.0.2.10\n", 5, "already used by adapter 'a0'"},
      {"peer 192.0.2.20\nrouter 192.0.2.1\nrouter 192.0.2.2\nfar 203.0.113.1\n", 8, "several routers"},
      {"peer 192.0.2.20\nfar 203.0.113.1 via 192.0.2.20\n", 6, "is not a router"},
      {"router 192.0.2.1\nfar 192.0.2.99\n", 6, "on the LAN of adapter 'a0'"},
      {"route 0.0.0.0/0 198.51.100.1\n", 5, "is on no adapter's subnet"},
  };
  for (const BadCase& c : afterAdapter) {
    SCOPED_TRACE(c.text);
    HostModel m;
    std::vector<DescriptionError> errors;
    EXPECT_FALSE(ParseHostDescription(adapter + c.text, &m, &errors));
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors[0].line, c.line) << errors[0].Text();
    EXPECT_NE(errors[0].message.find(c.fragment), std::string::npos) << errors[0].Text();
  }
}

TEST(Description, ReportsEveryErrorOfAFileNotJustTheFirst) {
  HostModel m;
  std::vector<DescriptionError> errors;
  EXPECT_FALSE(ParseHostDescription("dns x\nrouting 2\nhost ok\nbogus\n", &m, &errors));
  ASSERT_EQ(errors.size(), 3u);
  EXPECT_EQ(errors[0].line, 1);
  EXPECT_EQ(errors[1].line, 2);
  EXPECT_EQ(errors[2].line, 4);
  EXPECT_EQ(errors[2].Text(), "line 4: unknown statement 'bogus'");
}

TEST(Description, RejectsNulAndOverlongLines) {
  HostModel m;
  std::vector<DescriptionError> errors;
  EXPECT_FALSE(ParseHostDescription(std::string("host a\0b\n", 9), &m, &errors));
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].message.find("NUL"), std::string::npos);
  EXPECT_FALSE(ParseHostDescription("host " + std::string(5000, 'x') + "\n", &m, &errors));
  EXPECT_NE(errors[0].message.find("longer than 4096"), std::string::npos);
}

TEST(Description, LoadNamesAFileThatCannotBeRead) {
  HostModel m;
  std::vector<DescriptionError> errors;
  EXPECT_FALSE(LoadHostDescription("/nonexistent/morvane/host.desc", &m, &errors));
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].line, 0);
  EXPECT_NE(errors[0].Text().find("/nonexistent/morvane/host.desc"), std::string::npos);

  std::filesystem::path file = std::filesystem::temp_directory_path() / ("morvane-sim-" + std::to_string(getpid()));
  std::ofstream(file) << "host filehost\n";
  EXPECT_TRUE(LoadHostDescription(file.string(), &m, &errors));
  EXPECT_EQ(m.hostName, "filehost");
  std::filesystem::remove(file);
}

// A folder is no empty host, and a file without end (a device) is refused
// after its first MiB instead of being read for ever.
TEST(Description, LoadRefusesAFolderAndAFileWithoutEnd) {
  HostModel m;
  std::vector<DescriptionError> errors;
  EXPECT_FALSE(LoadHostDescription(std::filesystem::temp_directory_path().string(), &m, &errors));
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].Text().find("Is a directory"), std::string::npos) << errors[0].Text();

  EXPECT_FALSE(LoadHostDescription("/dev/zero", &m, &errors));
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].Text().find("larger than 1 MiB"), std::string::npos) << errors[0].Text();
}

TEST(Description, ExampleFilesLoad) {
  for (const auto& entry : std::filesystem::directory_iterator(std::string(MORVANE_SOURCE_DIR) + "/docs/sim-hosts")) {
    if (entry.path().extension() != ".host") continue;
    SCOPED_TRACE(entry.path().string());
    HostModel m;
    std::vector<DescriptionError> errors;
    EXPECT_TRUE(LoadHostDescription(entry.path().string(), &m, &errors))
        << (errors.empty() ? "" : errors[0].Text());
  }
}

}  // namespace
}  // namespace platform::sim
