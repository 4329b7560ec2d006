// The small dialogs' logic: Ping who (ranges, the target resolved, what OK
// keeps and stores), Define default gateway, Define buffer sizes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shell/buffer_sizes.h"
#include "shell/default_gateway.h"
#include "shell/ping_who.h"
#include "shell_host.h"

namespace shell_test {
namespace {

using Dialogs = ShellTest;

std::string Refusal(const DialogError& e) {
  return std::to_string(e.nControlId) + (e.kind == DialogError::Kind::kBalloon ? " balloon " : " box ") + e.strTitle +
         ": " + e.strText;
}

TEST_F(Dialogs, PingWhoChecksRangesThenTheTarget) {
  UseHost(kTwoAdapterHost);
  CVN32TestEngineState view;
  PingWhoValues v = OpenPingWho(view);
  EXPECT_FALSE(v.bInterface2Available);
  EXPECT_TRUE(v.bFromInterface1);
  EXPECT_EQ(v.strTo, "www.example.com");
  EXPECT_EQ(v.nSize, 32);

  struct Case {
    long long PingWhoValues::*field;
    long long bad;
    const char* refusal;
  };
  const Case cases[] = {
      {&PingWhoValues::nSize, 7, "1015 box : Please enter an integer between 8 and 65507."},
      {&PingWhoValues::nSize, 65508, "1015 box : Please enter an integer between 8 and 65507."},
      {&PingWhoValues::nCount, 0, "1007 box : Please enter an integer between 1 and 65535."},
      {&PingWhoValues::nTimeout, 10001, "1013 box : Please enter an integer between 0 and 10000."},
      {&PingWhoValues::nDelay, -1, "1011 box : Please enter an integer between 0 and 10000."},
  };
  for (const Case& c : cases) {
    PingWhoValues bad = v;
    bad.strTo = "";  // the numbers are checked first
    bad.*c.field = c.bad;
    DialogError e;
    EXPECT_FALSE(CheckPingWho(&bad, &e));
    EXPECT_EQ(Refusal(e), c.refusal);
  }

  DialogError e;
  v.strTo = "   ";
  EXPECT_FALSE(CheckPingWho(&v, &e));
  EXPECT_EQ(Refusal(e), "1020 balloon Ping Who: Please enter a valid IP address or name.");
  v.strTo = "nowhere.test";
  EXPECT_FALSE(CheckPingWho(&v, &e));
  EXPECT_EQ(e.strTitle, "Ping Who");
  EXPECT_TRUE(e.strText.ends_with(".\nPlease enter a valid IP address or name.")) << e.strText;
  EXPECT_GT(e.strText.size(), std::string(".\nPlease enter a valid IP address or name.").size());

  v.strTo = " gateway.test ";
  v.nSize = 8;
  v.nCount = 65535;
  v.nTimeout = 0;
  v.nDelay = 10000;
  ASSERT_TRUE(CheckPingWho(&v, &e)) << e.strText;
  EXPECT_EQ(v.strTo, "gateway.test");
  EXPECT_EQ(v.dwAddress, Ip("10.1.0.1"));
  AcceptPingWho(view, v);
  EXPECT_EQ(TheEngineGlobals().dwPingTargetIP, Ip("10.1.0.1"));
  EXPECT_EQ(TheEngineGlobals().strPingTargetName, "gateway.test");
  EXPECT_EQ(view.NumPings, 65535);
  EXPECT_EQ(StoredLines(), (std::vector<std::string>{
                               "WhoPingIPAddr=dword:0100010a",
                               "WhoPingName=text:\"gateway.test\"",
                               "PingDataSize=dword:00000008",
                               "NumPings=dword:0000ffff",
                               "PingTimeout=dword:00000000",
                               "PingDelay=dword:00002710",
                           }));

  // The next opening shows what OK took over.
  v = OpenPingWho(view);
  EXPECT_EQ(v.strTo, "gateway.test");
  EXPECT_EQ(v.nDelay, 10000);
}

TEST_F(Dialogs, PingFromInterfaceTwoOnlyWhileItIsInUse) {
  UseHost(kTwoAdapterHost);
  CVN32TestEngineState view;
  view.bPingFromInterface1 = false;
  EXPECT_TRUE(OpenPingWho(view).bFromInterface1);
  Interface2().strAdapter_IPAddr = "10.1.2.3";
  PingWhoValues v = OpenPingWho(view);
  EXPECT_TRUE(v.bInterface2Available);
  EXPECT_FALSE(v.bFromInterface1);
}

TEST_F(Dialogs, DefaultGatewayChecks) {
  UseHost(kTwoAdapterHost);
  EXPECT_EQ(DefaultGatewayControlText(), "");
  DialogError e;
  for (const char* bad : {"", "10.1.0", "10.1.0.256", "255.255.255.255"}) {
    EXPECT_EQ(CheckDefaultGateway(bad, &e).result, GatewayCheck::Result::kRefused) << bad;
    EXPECT_EQ(Refusal(e), "1015 balloon Default Gateway: Invalid IP Address");
  }
  GatewayCheck check = CheckDefaultGateway("10.1.0.1", &e);
  ASSERT_EQ(check.result, GatewayCheck::Result::kResponsive);
  AcceptDefaultGateway(check);
  EXPECT_TRUE(DefaultGateway().IsKnown());
  EXPECT_EQ(DefaultGateway().dwGatewayIP, Ip("10.1.0.1"));
  EXPECT_EQ(DefaultGateway().strDefaultGatewayMAC, "02-00-00-00-00-01");
  EXPECT_EQ(TheEngineGlobals().DefaultGatewayMAC[5], 0x01);  // the engine's next hop follows
  EXPECT_EQ(DefaultGatewayControlText(), "10.1.0.1");

  check = CheckDefaultGateway("10.1.0.2", &e);
  ASSERT_EQ(check.result, GatewayCheck::Result::kUnresponsive);
  AcceptDefaultGateway(check);
  EXPECT_FALSE(DefaultGateway().IsKnown());
  EXPECT_EQ(DefaultGateway().strDefaultGateway, "10.1.0.2");
  EXPECT_EQ(TheEngineGlobals().DefaultGatewayMAC[5], 0x00);
  EXPECT_EQ(kUnresponsiveGateway.useResult, 5);
  EXPECT_EQ(kUnresponsiveGateway.defaultResult, kUnresponsiveGateway.fixResult);
}

TEST_F(Dialogs, BufferSizesInTheirRanges) {
  EXPECT_EQ(CurrentBufferSizesK().nDriverK, 1024);
  EXPECT_EQ(CurrentBufferSizesK().nDllK, 64);
  DialogError e;
  EXPECT_FALSE(ApplyBufferSizesK({63, 16}, &e));
  EXPECT_EQ(Refusal(e), "1017 box : Please enter an integer between 64 and 16384.");
  EXPECT_FALSE(ApplyBufferSizesK({64, 1025}, &e));
  EXPECT_EQ(Refusal(e), "1018 box : Please enter an integer between 16 and 1024.");
  EXPECT_FALSE(ApplyBufferSizesK({16385, 15}, &e));
  EXPECT_EQ(e.nControlId, kDriverBufferEdit);
  EXPECT_EQ(TheEngineGlobals().dwDriverBufferSize, 1048576u);  // nothing changed
  ASSERT_TRUE(ApplyBufferSizesK({64, 16}, &e));
  EXPECT_EQ(TheEngineGlobals().dwDriverBufferSize, 65536u);
  EXPECT_EQ(TheEngineGlobals().dwDllBufferSize, 16384u);
  ASSERT_TRUE(ApplyBufferSizesK({16384, 1024}, &e));
  EXPECT_EQ(TheEngineGlobals().dwDriverBufferSize, 16777216u);
  EXPECT_FALSE(std::filesystem::exists(SettingsFile()));  // never stored
}

}  // namespace
}  // namespace shell_test
