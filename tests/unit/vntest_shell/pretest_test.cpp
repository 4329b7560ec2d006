// The pre-test decision for every combination of the three facts, the facts
// gathered from a simulated host, and the warnings' texts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shell/default_gateway.h"
#include "shell/pretest.h"
#include "shell_host.h"

namespace shell_test {
namespace {

std::vector<std::string> Titles(const std::vector<const TestWarning*>& warnings) {
  std::vector<std::string> out;
  for (const TestWarning* w : warnings) {
    if (w == &kGatewayUndefinedWarning) out.push_back("gateway undefined");
    else if (w == &kGatewayUndefinedSubnetWarning) out.push_back("gateway undefined, other subnet");
    else if (w == &kSubnetForwardingWarning) out.push_back("other subnet, forwarding");
    else if (w == &kSubnetGatewayWarning) out.push_back("other subnet, gateway");
    else out.push_back("?");
  }
  return out;
}

TEST(PreTestDecision, EveryCombinationOfTheFacts) {
  struct Case {
    bool forwarding, gateway, sameSubnet;
    std::vector<std::string> warnings;
  };
  const Case cases[] = {
      {false, false, true, {"gateway undefined"}},
      {false, false, false, {"gateway undefined", "gateway undefined, other subnet"}},
      {false, true, true, {}},
      {false, true, false, {"other subnet, gateway"}},
      {true, false, true, {}},
      {true, false, false, {"other subnet, forwarding"}},
      {true, true, true, {}},
      {true, true, false, {"other subnet, gateway"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Titles(DecidePreTest({c.forwarding, c.gateway, c.sameSubnet})), c.warnings)
        << c.forwarding << c.gateway << c.sameSubnet;
  }
}

TEST(PreTestDecision, WarningTexts) {
  for (const TestWarning* w : {&kGatewayUndefinedWarning, &kGatewayUndefinedSubnetWarning, &kSubnetForwardingWarning,
                               &kSubnetGatewayWarning}) {
    EXPECT_STREQ(w->question, "Do you wish to proceed anyway?");
  }
  EXPECT_STREQ(kGatewayUndefinedWarning.title, "Undefined Gateway");
  EXPECT_STREQ(kGatewayUndefinedSubnetWarning.mainInstruction, "Your default gateway is undefined!");
  EXPECT_STREQ(kSubnetForwardingWarning.title, "Subnets Warning");
  EXPECT_STREQ(kSubnetGatewayWarning.mainInstruction, "Your guest IP is in a different subnet!");
  // The two explanations of a kind share their first paragraph and differ after it.
  const std::string w1 = kGatewayUndefinedWarning.explanation, w2 = kGatewayUndefinedSubnetWarning.explanation;
  EXPECT_EQ(w1.substr(0, w1.find("\n\n")), w2.substr(0, w2.find("\n\n")));
  EXPECT_EQ(w1.substr(w1.find("\n\n") + 2, 30), "Without IP Forwarding packets ");
  EXPECT_EQ(w2.substr(w2.find("\n\n") + 2, 30), "The test cannot possibly work ");
  const std::string w4 = kSubnetGatewayWarning.explanation;
  EXPECT_TRUE(w4.ends_with("the two subnets, your tests are likely to fail."));
}

class PreTestFactsOnHost : public ShellTest {
 protected:
  // The Parameters dialog accepted with these guests (interface 2 unused
  // when its guest is null).
  void Accept(const char* guest1, const char* guest2 = nullptr) {
    LoadInterfaceSettings();
    ParametersModel dialog;
    dialog.Open();
    dialog.SetGuestIP(0, guest1);
    dialog.EditGuestMAC(0, "");
    dialog.SetUseTwoInterfaces(guest2 != nullptr);
    if (guest2 != nullptr) {
      dialog.SetGuestIP(1, guest2);
      dialog.EditGuestMAC(1, "");
      dialog.SetAdapterIP(1, "10.1.2.3");
    }
    DialogError error;
    ASSERT_TRUE(dialog.Validate(&error)) << error.strText;
    dialog.Accept();
  }
  std::vector<std::string> Decide() { return Titles(DecidePreTest(GatherPreTestFacts())); }
};

TEST_F(PreTestFactsOnHost, GuestOnTheAdaptersSubnetWithoutGatewayOrForwarding) {
  UseHost(kTwoAdapterHost);
  Accept("10.1.0.111");
  TheEngineGlobals().DefaultGatewayMAC[0] = 0x02;  // left from an earlier gateway
  const PreTestFacts facts = GatherPreTestFacts();
  EXPECT_FALSE(facts.bIPForwarding);
  EXPECT_FALSE(facts.bDefaultGatewayKnown);
  EXPECT_TRUE(facts.bAllSameSubnet);
  EXPECT_EQ(Interface1().binAdapter_NetMask, Ip("255.255.0.0"));
  EXPECT_EQ(TheEngineGlobals().DefaultGatewayMAC, wire::MacAddress{});  // the engine follows the gateway known
  EXPECT_EQ(Decide(), std::vector<std::string>{"gateway undefined"});
}

TEST_F(PreTestFactsOnHost, ADefinedGatewayLeavesOnlyTheSubnetWarning) {
  UseHost(kTwoAdapterHost);
  DialogError error;
  const GatewayCheck check = CheckDefaultGateway("10.1.0.1", &error);
  ASSERT_EQ(check.result, GatewayCheck::Result::kResponsive);
  AcceptDefaultGateway(check);
  Accept("10.1.0.111");
  EXPECT_EQ(Decide(), std::vector<std::string>{});
  // Interface 2's guest outside its adapter's subnet spoils the whole set-up.
  Accept("10.1.0.111", "192.0.2.222");
  EXPECT_EQ(Decide(), std::vector<std::string>{"other subnet, gateway"});
  EXPECT_TRUE(Interface1().bSameSubnet);
  EXPECT_FALSE(Interface2().bSameSubnet);
}

TEST_F(PreTestFactsOnHost, AnUnresponsiveGatewayAcceptedStillCountsAsUnknown) {
  UseHost(kTwoAdapterHost);
  DialogError error;
  const GatewayCheck check = CheckDefaultGateway("10.1.0.99", &error);
  ASSERT_EQ(check.result, GatewayCheck::Result::kUnresponsive);
  AcceptDefaultGateway(check);
  EXPECT_EQ(DefaultGateway().strDefaultGateway, "10.1.0.99");
  EXPECT_EQ(DefaultGateway().strDefaultGatewayMAC, "00-00-00-00-00-00");
  Accept("192.0.2.111");
  EXPECT_EQ(Decide(), (std::vector<std::string>{"gateway undefined", "gateway undefined, other subnet"}));
}

TEST_F(PreTestFactsOnHost, ForwardingOnWithoutGateway) {
  UseHost(std::string(kTwoAdapterHost) + "routing on\n");
  Accept("10.1.0.111");
  EXPECT_TRUE(GatherPreTestFacts().bIPForwarding);
  EXPECT_EQ(Decide(), std::vector<std::string>{});
  Accept("192.0.2.111");
  EXPECT_EQ(Decide(), std::vector<std::string>{"other subnet, forwarding"});
}

}  // namespace
}  // namespace shell_test
