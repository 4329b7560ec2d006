// The debug switches (see debug_flags.h).
#include "shell/debug_flags.h"

#include "engine/debug_mode.h"
#include "engine/engine_state.h"
#include "shell/settings_store.h"

const DebugFlagBox kDebugFlagBoxes[6] = {
    {1021, " Old/New values", 0x80000000},   {1022, " Packet contents", 0x40000000},
    {1023, " ARP packets read", 0x00008000}, {1024, " ARP packets written", 0x00000080},
    {1025, " Other packets read", 0x00004000}, {1026, " Other packets written", 0x00000040},
};

DWORD ToggleDebugFlag(DWORD flags, DWORD bit, bool checked) { return (flags & ~bit) | (checked ? bit : 0); }

void ApplyDebugSettings(CVN32TestEngineState& view, bool debugMode, DWORD debugFlags) {
  view.DebugFlags = debugFlags;
  SetDebugMode(debugMode);
  StoreDebugSettings(debugMode, debugFlags);
}

void ToggleSocketNotifyMode(CVN32TestEngineState& view) {
  view.SocketNotifyMode = !view.SocketNotifyMode;
  StoreSocketNotifyMode(view.SocketNotifyMode);
}
