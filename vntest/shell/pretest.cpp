// The pre-test checks (see pretest.h).
#include "shell/pretest.h"

#include <cstring>

#include "engine/engine.h"
#include "engine/engine_state.h"
#include "shell/discovery.h"

namespace {

constexpr const char* kProceedQuestion = "Do you wish to proceed anyway?";
constexpr const char* kUndefinedGatewayTitle = "Undefined Gateway";
constexpr const char* kUndefinedGatewayInstruction = "Your default gateway is undefined!";
constexpr const char* kSubnetsTitle = "Subnets Warning";
constexpr const char* kSubnetsInstruction = "Your guest IP is in a different subnet!";

}  // namespace

const TestWarning kGatewayUndefinedWarning = {
    kUndefinedGatewayTitle, kUndefinedGatewayInstruction, kProceedQuestion,
    "The default gateway for your network has not been defined to VNTest64UD yet and IP Forwarding cannot be used "
    "since it is not enabled on your Windows system.\n\nWithout IP Forwarding packets will not be routed properly and "
    "some tests may fail. You should either define a default gateway to VNTest64UD or enable IP Forwarding."};

const TestWarning kGatewayUndefinedSubnetWarning = {
    kUndefinedGatewayTitle, kUndefinedGatewayInstruction, kProceedQuestion,
    "The default gateway for your network has not been defined to VNTest64UD yet and IP Forwarding cannot be used "
    "since it is not enabled on your Windows system.\n\nThe test cannot possibly work unless you are only interested "
    "in exchanging packets between virtual subnets which are known to be using the same physical adapter."};

const TestWarning kSubnetForwardingWarning = {
    kSubnetsTitle, kSubnetsInstruction, kProceedQuestion,
    "The IP addresses you defined for your virtual interface(s) are not within the same physical subnet as the "
    "physical adapter that the virtual interface is using.\n\nEven though IP Routing is enabled, unless each "
    "workstation on each subnet wishing to communicate with the other subnet contains a manual routing entry to route "
    "packets through this physical adapter, the test is unlikely to succeed."};

const TestWarning kSubnetGatewayWarning = {
    kSubnetsTitle, kSubnetsInstruction, kProceedQuestion,
    "The IP addresses you defined for your virtual interface(s) are not within the same physical subnet as the "
    "physical adapter that the virtual interface is using.\n\nUnless the default gateway defined for the physical "
    "adapter that your virtual interface(s) is/are using is a true router that knows how to route packets between "
    "the two subnets, your tests are likely to fail."};

PreTestFacts GatherPreTestFacts() {
  PreTestFacts facts;
  const DiscoveryResults& r = Discovery();
  facts.bIPForwarding = r.pFixedInfo != nullptr && r.pFixedInfo->EnableRouting != 0;
  const DefaultGatewayState& gateway = DefaultGateway();
  facts.bDefaultGatewayKnown = gateway.IsKnown();
  // The engine sends what is off the guest's LAN to the gateway's MAC: it
  // gets the gateway the test starts with, whoever defined it.
  std::memcpy(TheEngineGlobals().DefaultGatewayMAC.data(), gateway.DefaultGatewayMAC, 6);
  ResolveAdapterValues(Interface1());
  facts.bAllSameSubnet = Interface1().bSameSubnet;
  if (Interface2InUse()) {
    ResolveAdapterValues(Interface2());
    facts.bAllSameSubnet = facts.bAllSameSubnet && Interface2().bSameSubnet;
  }
  return facts;
}

std::vector<const TestWarning*> DecidePreTest(const PreTestFacts& facts) {
  std::vector<const TestWarning*> warnings;
  if (!facts.bIPForwarding && !facts.bDefaultGatewayKnown) warnings.push_back(&kGatewayUndefinedWarning);
  if (facts.bAllSameSubnet) return warnings;
  if (facts.bDefaultGatewayKnown) {
    warnings.push_back(&kSubnetGatewayWarning);
  } else {
    warnings.push_back(facts.bIPForwarding ? &kSubnetForwardingWarning : &kGatewayUndefinedSubnetWarning);
  }
  return warnings;
}
