// The debug switches without the dialog's widgets: the check boxes of the
// Set debug flags dialog with their bits, and what OK and the socket-notify
// command change. DebugFlags selects the library's own debug messages;
// DebugMode adds the program's (ignored packets explained, interfaces up
// with IFF_DEBUG).
#pragma once

#include "platform/wintypes.h"

class CVN32TestEngineState;

// Dialog resource 136 and its controls.
inline constexpr int kDebugFlagsDialogId = 136;
inline constexpr const char* kDebugFlagsDialogTitle = "Set Debug Flags";
inline constexpr int kDebugModeBox = 1027;
inline constexpr const char* kDebugModeText = " Enable debugging messages:";

struct DebugFlagBox {
  int nControlId;
  const char* text;
  DWORD dwBit;
};
// The six boxes, in the dialog's order; enabled exactly while the master
// box is checked.
extern const DebugFlagBox kDebugFlagBoxes[6];

// A click on one of the six boxes: its bit cleared, then set again when the
// box is now checked.
DWORD ToggleDebugFlag(DWORD flags, DWORD bit, bool checked);

// OK: the view's flags and the process-wide debug mode change at once, and
// both are stored.
void ApplyDebugSettings(CVN32TestEngineState& view, bool debugMode, DWORD debugFlags);
// The socket-notify command: flips the view's switch and stores it.
void ToggleSocketNotifyMode(CVN32TestEngineState& view);
