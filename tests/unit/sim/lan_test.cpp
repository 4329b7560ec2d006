// The simulated LAN: stations, the peers' behaviour (loss, duplicates, late
// replies, determinism), and the run-time actions.
#include <gtest/gtest.h>

#include <poll.h>

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
const Mac6 kGuestMac{0x02, 0, 0, 0, 0, 0x6F};

HostModel Parse(const std::string& text) {
  HostModel m;
  std::vector<DescriptionError> errors;
  EXPECT_TRUE(ParseHostDescription(text, &m, &errors)) << (errors.empty() ? "" : errors[0].Text());
  return m;
}

// Waits (bounded) until the station has a frame matching `want`.
bool StationReceives(Station& s, const std::function<bool(const Bytes&)>& want, std::vector<Bytes>* seen = nullptr,
                     int boundMs = 5000) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(boundMs);
  while (std::chrono::steady_clock::now() < until) {
    pollfd p{s.ReadableFd(), POLLIN, 0};
    poll(&p, 1, 100);
    Bytes f;
    while (s.Receive(&f) == ERROR_SUCCESS) {
      if (seen) seen->push_back(f);
      if (want(f)) return true;
    }
  }
  return false;
}

StationOptions Tap(DWORD ip) {
  StationOptions o;
  o.mode = StationMode::kTap;
  o.mac = kGuestMac;
  o.ip = ip;
  return o;
}

// Answers ARP and echo requests for the station, as the engine does.
void AnswerAsGuest(Station& s, const Bytes& f) {
  const StationOptions& o = s.options();
  DWORD ip = o.ip;
  if (EtherType(f) == 0x0806 && f.size() >= 42 && f[21] == 1 && std::memcmp(&f[38], &ip, 4) == 0) {
    DWORD asker;
    std::memcpy(&asker, &f[28], 4);
    Bytes reply = ArpReply(o.mac, ip, MacAt(f, 22), asker);
    s.Send(reply.data(), reply.size());
  } else if (EtherType(f) == 0x0800 && f.size() >= 42 && f[23] == 1 && f[34] == 8) {
    DWORD from;
    std::memcpy(&from, &f[26], 4);
    WORD id = WORD((f[38] << 8) | f[39]), seq = WORD((f[40] << 8) | f[41]);
    Bytes reply = EchoFrame(o.mac, MacAt(f, 6), ip, from, id, seq, 0);
    s.Send(reply.data(), reply.size());
  }
}

TEST(SimLan, TapStationPingsTheRouterAndIsPingedByThePeer) {
  std::shared_ptr<SimHost> host = MakeHost(DefaultHost());
  std::unique_ptr<Station> guest = host->Attach("sim0", Tap(Ip("192.0.2.111")));
  ASSERT_TRUE(guest);
  Bytes arp = ArpRequest(kGuestMac, Ip("192.0.2.111"), Ip("192.0.2.1"));
  ASSERT_EQ(guest->Send(arp.data(), arp.size()), ERROR_SUCCESS);
  ASSERT_TRUE(StationReceives(*guest, [](const Bytes& f) { return IsArpReplyFrom(f, Ip("192.0.2.1")); }));
  Bytes echo = EchoFrame(kGuestMac, kRouterMac, Ip("192.0.2.111"), Ip("192.0.2.1"), 77, 1);
  ASSERT_EQ(guest->Send(echo.data(), echo.size()), ERROR_SUCCESS);
  ASSERT_TRUE(StationReceives(*guest, [](const Bytes& f) { return IsEchoReplyFrame(f, Ip("192.0.2.1"), 77, 1); }));

  // The peer resolves the guest with ARP, then pings it three times; this
  // thread answers for the guest, and has three seconds for each answer
  // however busy the machine (its ARP tries are half that apart).
  std::shared_ptr<PeerPing> ping = host->Ping(Ip("192.0.2.20"), Ip("192.0.2.111"), 3, 10, 3000);
  ASSERT_TRUE(ping);
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!ping->Result().done && std::chrono::steady_clock::now() < until) {
    pollfd p{guest->ReadableFd(), POLLIN, 0};
    poll(&p, 1, 50);
    Bytes f;
    while (guest->Receive(&f) == ERROR_SUCCESS) AnswerAsGuest(*guest, f);
  }
  PeerPingResult r = ping->Result();
  EXPECT_TRUE(r.done);
  EXPECT_TRUE(r.arpResolved);
  EXPECT_EQ(r.sent, 3u);
  EXPECT_EQ(r.received, 3u);
  EXPECT_EQ(r.duplicates, 0u);

  // A peer pinging an address nobody owns gives up after its ARP tries.
  ping = host->Ping(Ip("192.0.2.20"), Ip("192.0.2.199"), 2, 10, 100);
  ASSERT_TRUE(ping->WaitDone(5000));
  EXPECT_FALSE(ping->Result().arpResolved);
  EXPECT_EQ(ping->Result().sent, 0u);
  EXPECT_FALSE(host->Ping(Ip("192.0.2.99"), Ip("192.0.2.1"), 1));
}

TEST(SimLan, PeerPingsTheHostAdapterAndTheFarHost) {
  std::shared_ptr<SimHost> host = MakeHost(DefaultHost());
  std::shared_ptr<PeerPing> ping = host->Ping(Ip("192.0.2.20"), Ip("192.0.2.10"), 2, 5, 500);
  ASSERT_TRUE(ping->WaitDone(5000));
  EXPECT_EQ(ping->Result().received, 2u);
  ping = host->Ping(Ip("192.0.2.20"), Ip("203.0.113.10"), 2, 5, 500);
  ASSERT_TRUE(ping->WaitDone(5000));
  EXPECT_EQ(ping->Result().received, 2u);
}

TEST(SimLan, TunStationIsRoutedByTheHost) {
  std::shared_ptr<SimHost> host = MakeHost(DefaultHost());
  StationOptions o;
  o.mode = StationMode::kTun;
  o.ip = Ip("192.0.2.111");
  std::unique_ptr<Station> tun = host->Attach("sim0", o);
  ASSERT_TRUE(tun);
  for (auto [target, id] : {std::pair{"192.0.2.1", 1}, {"203.0.113.10", 2}, {"192.0.2.10", 3}}) {
    SCOPED_TRACE(target);
    Bytes packet = EchoPacket(8, Ip("192.0.2.111"), Ip(target), WORD(id), 1);
    ASSERT_EQ(tun->Send(packet.data(), packet.size()), ERROR_SUCCESS);
    DWORD from = Ip(target);
    ASSERT_TRUE(StationReceives(*tun, [&](const Bytes& p) { return IsEchoReplyAt(p, 0, from, WORD(id), 1); }));
  }
  // The peer reaches the point-to-point guest through the host, which
  // answers ARP for it. This thread answers for the guest, and has three
  // seconds for it however busy the machine.
  std::shared_ptr<PeerPing> ping = host->Ping(Ip("192.0.2.20"), Ip("192.0.2.111"), 1, 5, 3000);
  Bytes request;
  ASSERT_TRUE(StationReceives(*tun, [&](const Bytes& p) {
    if (p.size() < 28 || p[9] != 1 || p[20] != 8) return false;
    request = p;
    return true;
  }));
  WORD id = WORD((request[24] << 8) | request[25]), seq = WORD((request[26] << 8) | request[27]);
  Bytes reply = EchoPacket(0, Ip("192.0.2.111"), Ip("192.0.2.20"), id, seq);
  ASSERT_EQ(tun->Send(reply.data(), reply.size()), ERROR_SUCCESS);
  ASSERT_TRUE(ping->WaitDone(30000));
  EXPECT_TRUE(ping->Result().arpResolved);
  EXPECT_EQ(ping->Result().received, 1u);
}

std::vector<int> LossPattern(std::uint64_t seed) {
  HostModel m = Parse(std::string("seed ") + std::to_string(seed) +
                      "\nadapter sim0\n mac 02-00-00-00-00-10\n ip 192.0.2.10/24\nend\n"
                      "peer 192.0.2.20 delay 0 loss 50%\n");
  std::shared_ptr<SimHost> host = MakeHost(m);
  std::unique_ptr<Station> guest = host->Attach("sim0", Tap(Ip("192.0.2.111")));
  std::vector<int> answered;
  for (WORD seq = 1; seq <= 16; ++seq) {
    Bytes echo = EchoFrame(kGuestMac, Mac6{2, 0, 192, 0, 2, 20}, Ip("192.0.2.111"), Ip("192.0.2.20"), 5, seq);
    guest->Send(echo.data(), echo.size());
  }
  // A marker the peer always answers ends the sequence: ARP is never lost.
  Bytes arp = ArpRequest(kGuestMac, Ip("192.0.2.111"), Ip("192.0.2.20"));
  guest->Send(arp.data(), arp.size());
  std::vector<Bytes> seen;
  EXPECT_TRUE(StationReceives(*guest, [](const Bytes& f) { return IsArpReplyFrom(f, Ip("192.0.2.20")); }, &seen));
  for (const Bytes& f : seen) {
    if (EtherType(f) == 0x0800) answered.push_back((f[40] << 8) | f[41]);
  }
  return answered;
}

TEST(SimLan, LossIsSeededAndRepeatable) {
  std::vector<int> a = LossPattern(1), b = LossPattern(1), c = LossPattern(2);
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  EXPECT_GT(a.size(), 0u);
  EXPECT_LT(a.size(), 16u);
}

TEST(SimLan, LateAndDuplicateRepliesAsDescribed) {
  HostModel m = Parse(
      "adapter sim0\n mac 02-00-00-00-00-10\n ip 192.0.2.10/24\nend\n"
      "peer 192.0.2.30 delay 0 late 100% 400\n"
      "peer 192.0.2.31 delay 0 dup 100%\n");
  std::shared_ptr<SimHost> host = MakeHost(m);
  std::unique_ptr<Station> guest = host->Attach("sim0", Tap(Ip("192.0.2.111")));
  Bytes late = EchoFrame(kGuestMac, Mac6{2, 0, 192, 0, 2, 30}, Ip("192.0.2.111"), Ip("192.0.2.30"), 1, 1);
  Bytes twice = EchoFrame(kGuestMac, Mac6{2, 0, 192, 0, 2, 31}, Ip("192.0.2.111"), Ip("192.0.2.31"), 1, 2);
  guest->Send(twice.data(), twice.size());
  const auto sent = std::chrono::steady_clock::now();
  guest->Send(late.data(), late.size());
  std::vector<Bytes> seen;
  ASSERT_TRUE(StationReceives(*guest, [](const Bytes& f) { return IsEchoReplyFrame(f, Ip("192.0.2.30"), 1, 1); },
                              &seen));
  // The late reply comes its 400 ms after its request (the monotonic clock
  // guarantees the lower bound however loaded the machine is), after both
  // copies of the prompt one.
  EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(400));
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_TRUE(IsEchoReplyFrame(seen[0], Ip("192.0.2.31"), 1, 2));
  EXPECT_EQ(seen[0], seen[1]);
}

class SimActions : public ::testing::Test {
 protected:
  SimActions() : host_(MakeHost(DefaultHost())), guest_(host_->Attach("sim0", Tap(Ip("192.0.2.111")))) {}

  // Sends one echo request to the router and collects the replies that come
  // before an ARP marker answered after them.
  std::vector<Bytes> PingRouter(WORD seq) {
    Bytes echo = EchoFrame(kGuestMac, kRouterMac, Ip("192.0.2.111"), Ip("192.0.2.1"), 3, seq);
    guest_->Send(echo.data(), echo.size());
    std::vector<Bytes> seen, replies;
    StationReceives(*guest_, [&](const Bytes& f) { return IsEchoReplyFrame(f, Ip("192.0.2.1"), 3, seq); }, &seen,
                    1000);
    // Give a possible second copy the same chance: it is scheduled with the first.
    Bytes arp = ArpRequest(kGuestMac, Ip("192.0.2.111"), Ip("192.0.2.1"));
    guest_->Send(arp.data(), arp.size());
    StationReceives(*guest_, [](const Bytes& f) { return IsArpReplyFrom(f, Ip("192.0.2.1")); }, &seen);
    for (Bytes& f : seen)
      if (IsEchoReplyFrame(f, Ip("192.0.2.1"), 3, seq)) replies.push_back(f);
    return replies;
  }

  std::shared_ptr<SimHost> host_;
  std::unique_ptr<Station> guest_;
};

TEST_F(SimActions, DropAndDuplicateTheNextReplies) {
  host_->DropNextReplies(1);
  EXPECT_EQ(PingRouter(1).size(), 0u);
  EXPECT_EQ(PingRouter(2).size(), 1u);
  host_->DuplicateNextReplies(1);
  EXPECT_EQ(PingRouter(3).size(), 2u);
  EXPECT_EQ(PingRouter(4).size(), 1u);
}

TEST_F(SimActions, UnpluggedAdapterCarriesNothing) {
  ASSERT_TRUE(host_->SetPlugged("sim0", false));
  EXPECT_FALSE(host_->SetPlugged("nosuch", false));
  Bytes arp = ArpRequest(kGuestMac, Ip("192.0.2.111"), Ip("192.0.2.1"));
  guest_->Send(arp.data(), arp.size());
  EXPECT_FALSE(StationReceives(*guest_, [](const Bytes& f) { return IsArpReplyFrom(f, Ip("192.0.2.1")); }, nullptr,
                               200));
  BYTE mac[6];
  EXPECT_EQ(host_->IpHelper().SendArp(Ip("192.0.2.1"), 0, mac), ERROR_GEN_FAILURE);
  ASSERT_TRUE(host_->SetPlugged("sim0", true));
  guest_->Send(arp.data(), arp.size());
  EXPECT_TRUE(StationReceives(*guest_, [](const Bytes& f) { return IsArpReplyFrom(f, Ip("192.0.2.1")); }));
}

TEST(SimActionsDevices, UnplugAndFailingReadsShowOnTheCaptureDevice) {
  std::shared_ptr<SimHost> host = MakeHost(DefaultHost());
  std::unique_ptr<Device> device;
  ASSERT_EQ(host->Devices().Open("NPF_sim0", &device), ERROR_SUCCESS);
  npf::PACKET_OID_DATA q{};
  q.Oid = npf::OID_GEN_MEDIA_CONNECT_STATUS;
  q.Length = 4;
  DWORD done;
  ASSERT_EQ(device->IoControl(npf::IOCTL_PROTOCOL_QUERY_OID, &q, sizeof q, &q, sizeof q, &done), ERROR_SUCCESS);
  EXPECT_EQ(q.Data[0], 0);
  host->SetPlugged("sim0", false);
  ASSERT_EQ(device->IoControl(npf::IOCTL_PROTOCOL_QUERY_OID, &q, sizeof q, &q, sizeof q, &done), ERROR_SUCCESS);
  EXPECT_EQ(q.Data[0], 1);

  host->SetPlugged("sim0", true);
  std::unique_ptr<Station> guest = host->Attach("sim0", Tap(Ip("192.0.2.111")));
  ASSERT_TRUE(host->FailReads("sim0", true));
  BYTE buffer[512];
  EXPECT_EQ(device->Read(buffer, sizeof buffer, &done), ERROR_GEN_FAILURE);
  pollfd p{guest->ReadableFd(), POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 5000), 1);  // a waiting reader wakes to its failure
  Bytes f;
  EXPECT_EQ(guest->Receive(&f), ERROR_GEN_FAILURE);
  ASSERT_TRUE(host->FailReads("sim0", false));
  EXPECT_EQ(device->Read(buffer, sizeof buffer, &done), ERROR_SUCCESS);
  EXPECT_EQ(guest->Receive(&f), ERROR_NO_DATA);
  EXPECT_EQ(poll(&p, 1, 0), 0);
}

// A removed adapter is gone for good: its station and capture reads fail
// (the station with its own code), it is no longer listed, routed or opened.
TEST(SimActionsDevices, ARemovedAdapterEndsItsStationsAndLeavesTheTables) {
  std::shared_ptr<SimHost> host = MakeHost(DefaultHost());
  std::unique_ptr<Device> device;
  ASSERT_EQ(host->Devices().Open("NPF_sim0", &device), ERROR_SUCCESS);
  std::unique_ptr<Station> guest = host->Attach("sim0", Tap(Ip("192.0.2.111")));
  ASSERT_TRUE(guest);
  auto listed = [&host] {
    std::vector<AdapterModel> adapters;
    EXPECT_EQ(host->IpHelper().Adapters(&adapters), ERROR_SUCCESS);
    std::vector<MIB_IPFORWARDROW> routes;
    EXPECT_EQ(host->IpHelper().ForwardTable(&routes), ERROR_SUCCESS);
    std::vector<MIB_IPADDRROW> addresses;
    EXPECT_EQ(host->IpHelper().AddrTable(&addresses), ERROR_SUCCESS);
    const DWORD index = host->model().adapters[0].index;
    int count = 0;
    for (const AdapterModel& a : adapters) count += a.name == "sim0";
    for (const MIB_IPFORWARDROW& r : routes) count += r.dwForwardIfIndex == index;
    for (const MIB_IPADDRROW& r : addresses) count += r.dwIndex == index;
    return count;
  };
  EXPECT_GT(listed(), 2);

  ASSERT_TRUE(host->RemoveAdapter("sim0"));
  EXPECT_FALSE(host->RemoveAdapter("sim0"));
  EXPECT_FALSE(host->RemoveAdapter("nosuch"));
  pollfd p{guest->ReadableFd(), POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 5000), 1);  // a waiting reader wakes to its end
  Bytes f;
  EXPECT_EQ(guest->Receive(&f), ERROR_DEV_NOT_EXIST);
  Bytes arp = ArpRequest(kGuestMac, Ip("192.0.2.111"), Ip("192.0.2.1"));
  EXPECT_EQ(guest->Send(arp.data(), arp.size()), ERROR_DEV_NOT_EXIST);
  BYTE buffer[512];
  DWORD done;
  EXPECT_EQ(device->Read(buffer, sizeof buffer, &done), ERROR_GEN_FAILURE);

  EXPECT_EQ(listed(), 0);
  BYTE mac[6];
  EXPECT_NE(host->IpHelper().SendArp(Ip("192.0.2.1"), 0, mac), ERROR_SUCCESS);
  DWORD error = 0;
  EXPECT_FALSE(host->Attach("sim0", Tap(Ip("192.0.2.112")), &error));
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
  std::unique_ptr<Device> again;
  EXPECT_EQ(host->Devices().Open("NPF_sim0", &again), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(host->SetPlugged("sim0", true));
}

TEST(SimLan, StationArgumentsAreChecked) {
  std::shared_ptr<SimHost> host = MakeHost(DefaultHost());
  DWORD error = 0;
  EXPECT_FALSE(host->Attach("nosuch", Tap(Ip("192.0.2.111")), &error));
  EXPECT_EQ(error, ERROR_FILE_NOT_FOUND);
  StationOptions group = Tap(Ip("192.0.2.111"));
  group.mac[0] = 1;
  EXPECT_FALSE(host->Attach("sim0", group, &error));
  EXPECT_EQ(error, ERROR_INVALID_PARAMETER);
  std::unique_ptr<Station> s = host->Attach("sim0", Tap(Ip("192.0.2.111")), &error);
  ASSERT_TRUE(s);
  Bytes tiny(10, 0), huge(1515, 0);
  EXPECT_EQ(s->Send(tiny.data(), tiny.size()), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(s->Send(huge.data(), huge.size()), ERROR_INVALID_PARAMETER);
  Bytes f;
  EXPECT_EQ(s->Receive(&f), ERROR_NO_DATA);
}

}  // namespace
}  // namespace platform::sim
