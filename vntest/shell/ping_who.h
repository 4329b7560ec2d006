// The Ping who dialog without its widgets: its opening values, the checks of
// OK (the spin ranges, the target name resolved) and what an accepted dialog
// changes (the view's ping switch and numbers, the engine's target, the
// store). The windowed dialog and the headless program's ping options both
// go through here.
#pragma once

#include <string>

#include "platform/wintypes.h"
#include "shell/dialog_error.h"

class CVN32TestEngineState;

// Dialog resource 131 and its controls.
inline constexpr int kPingWhoDialogId = 131;
inline constexpr const char* kPingWhoDialogTitle = "Ping who?";
inline constexpr int kPingFromInterface1Radio = 1009;
inline constexpr int kPingFromInterface2Radio = 1010;
inline constexpr int kPingToEdit = 1020;
inline constexpr int kPingSizeEdit = 1015, kPingSizeSpin = 1016;
inline constexpr int kPingCountEdit = 1007, kPingCountSpin = 1008;
inline constexpr int kPingTimeoutEdit = 1013, kPingTimeoutSpin = 1014;
inline constexpr int kPingDelayEdit = 1011, kPingDelaySpin = 1012;

// The spin ranges.
inline constexpr int kMinPingDataSize = 8, kMaxPingDataSize = 65507;
inline constexpr int kMinNumPings = 1, kMaxNumPings = 65535;
inline constexpr int kMinPingTimeout = 0, kMaxPingTimeout = 10000;
inline constexpr int kMinPingDelay = 0, kMaxPingDelay = 10000;

// The balloon at the To edit.
inline constexpr const char* kPingWhoTitle = "Ping Who";
inline constexpr const char* kPingWhoText = "Please enter a valid IP address or name.";

struct PingWhoValues {
  bool bInterface2Available = false;  // interface 2 in use: both From radios enabled
  bool bFromInterface1 = true;
  std::string strTo;                  // the target as typed: a name or a dotted address
  long long nSize = 32;
  long long nCount = 3;
  long long nTimeout = 500;
  long long nDelay = 1000;
  DWORD dwAddress = 0;                // network order; set by a successful check
};

// Opening, on a ping start: the ping settings loaded on the first start of
// the process, then the view's values and the engine's target name. Without
// interface 2, From is interface 1.
PingWhoValues OpenPingWho(CVN32TestEngineState& view);

// OK: each number within its spin range, then the To text trimmed of blanks
// and resolved (IPv4, first address). False with *error at the first
// failure: the range message box, or the "Ping Who" balloon at the To edit
// (for a failed resolution the system's text for the code, a line break,
// then the request for a valid address or name).
bool CheckPingWho(PingWhoValues* values, DialogError* error);

// After a successful check: the view's from-interface-1 switch and its four
// numbers, the engine's target name and address, and the six ping settings
// stored.
void AcceptPingWho(CVN32TestEngineState& view, const PingWhoValues& values);
