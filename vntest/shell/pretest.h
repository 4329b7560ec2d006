// The checks between a test's Parameters dialog and the start of the
// simulated guest: whether the guests' addresses can work on this network
// (subnets, default gateway, IP forwarding), the warnings that ask the user
// to proceed anyway, and the decision which of them a set-up gets.
//
// The sequence a test start runs (the windowed Start command and the
// headless program alike):
//   1. nothing when a test runs;
//   2. the Parameters dialog (ParametersModel); cancel: nothing starts;
//   3. the facts: GatherPreTestFacts();
//   4. the warnings: DecidePreTest(facts), shown in order; any answer but
//      Proceed goes back to step 1 (the window reopens the Parameters dialog
//      with the values just entered; the headless program ends);
//   5. StartGorlan.
#pragma once

#include <vector>

// What a warning shows: a task dialog with the title, the main instruction,
// the question as content, and the explanation collapsed under "More
// information"; the buttons Proceed and Cancel, Cancel the default.
struct TestWarning {
  const char* title;
  const char* mainInstruction;
  const char* question;
  const char* explanation;
};

// IP forwarding off and no default gateway known.
extern const TestWarning kGatewayUndefinedWarning;
// Another subnet, no default gateway, IP forwarding off.
extern const TestWarning kGatewayUndefinedSubnetWarning;
// Another subnet, no default gateway, IP forwarding on.
extern const TestWarning kSubnetForwardingWarning;
// Another subnet, a default gateway known.
extern const TestWarning kSubnetGatewayWarning;

// The warning dialog's buttons and expander texts.
inline constexpr int kWarningProceed = 6;  // the custom button "Proceed"
inline constexpr int kWarningCancel = 2;   // the common Cancel button, the default
inline constexpr const char* kWarningProceedText = "Proceed";
inline constexpr const char* kWarningMoreText = "More information";
inline constexpr const char* kWarningLessText = "Less information";
inline constexpr unsigned kWarningDialogFlags = 0x1040;  // placed by the owner; explanation in the footer

struct PreTestFacts {
  bool bIPForwarding = false;        // the network parameters exist and say routing is on
  bool bDefaultGatewayKnown = false; // the default gateway's MAC is not all zero
  bool bAllSameSubnet = false;       // each interface in use shares its adapter's subnet
};

// Steps 3 and 4 of the sequence: the two host facts, then each interface in
// use (interface 1; interface 2 when it names an adapter) completed with
// ResolveAdapterValues, which gives its same-subnet flag. The engine's copy
// of the default gateway's MAC is set from the gateway known now. Runs on
// the window's thread while no test runs.
PreTestFacts GatherPreTestFacts();

// The warnings to show, in order, before the test may start; empty when it
// may start at once. IP forwarding off with no gateway warns first; a guest
// outside its adapter's subnet then warns once more, after the kind of
// routing there is.
std::vector<const TestWarning*> DecidePreTest(const PreTestFacts& facts);
