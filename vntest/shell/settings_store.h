// VNTest's remembered values: the per-user profile of the program
// "VNTest64UD" under the company key "Morvane", section "Settings" (on the
// real machine the file $XDG_CONFIG_HOME/Morvane/VNTest64UD.ini). The
// windowed program and the headless vntest share one profile, so a value
// either of them accepted is what the other offers next.
//
// Three groups of values, each loaded at its own moment and written after
// its own dialog's OK:
//   - interface settings: loaded once per process at the first test start
//     (again after the adapter re-detection forgets them), written after
//     every OK of the Parameters dialog;
//   - ping settings: loaded once per process at the first ping start,
//     written after every OK of the Ping who dialog;
//   - debug settings: read when the view is built; DebugMode and DebugFlags
//     written after OK of the debug flags dialog, SocketNotifyMode after each
//     toggle of its command.
// Each group is written in one step: another program writing or reading the
// store at the same moment finds all of a group's values or none of them. A
// write the store refuses is logged as an assertion line and changes nothing
// else. Everything here runs on the window's thread.
#pragma once

#include <string>

#include "platform/wintypes.h"
#include "shell/commands.h"  // kProgramName

class CVN32TestEngineState;

inline constexpr const char* kCompanyKey = "Morvane";
inline constexpr const char* kSettingsSection = "Settings";

// The values' names in the store.
namespace setting {
inline constexpr const char* kInterface1_bTAPMode = "Interface1_bTAPMode";
inline constexpr const char* kInterface2_bTAPMode = "Interface2_bTAPMode";
inline constexpr const char* kInterface1_strInterface_IPAddr = "Interface1_strInterface_IPAddr";
inline constexpr const char* kInterface2_strInterface_IPAddr = "Interface2_strInterface_IPAddr";
inline constexpr const char* kInterface1_strAdapter_IPAddr = "Interface1_strAdapter_IPAddr";
inline constexpr const char* kInterface2_strAdapter_IPAddr = "Interface2_strAdapter_IPAddr";
inline constexpr const char* kInterface1_strInterface_MACAddr = "Interface1_strInterface_MACAddr";
inline constexpr const char* kInterface2_strInterface_MACAddr = "Interface2_strInterface_MACAddr";
inline constexpr const char* kInterface1_strAdapter_MACAddr = "Interface1_strAdapter_MACAddr";
inline constexpr const char* kInterface2_strAdapter_MACAddr = "Interface2_strAdapter_MACAddr";
inline constexpr const char* kWhoPingIPAddr = "WhoPingIPAddr";
inline constexpr const char* kWhoPingName = "WhoPingName";
inline constexpr const char* kPingDataSize = "PingDataSize";
inline constexpr const char* kNumPings = "NumPings";
inline constexpr const char* kPingTimeout = "PingTimeout";
inline constexpr const char* kPingDelay = "PingDelay";
inline constexpr const char* kDebugMode = "DebugMode";
inline constexpr const char* kDebugFlags = "DebugFlags";
inline constexpr const char* kSocketNotifyMode = "SocketNotifyMode";
}  // namespace setting

// The ping target offered before the user chose one: a name and the address
// it stands for (network order), used while no resolved address is stored.
// Both are documentation names and addresses, never a real host.
inline constexpr const char* kBuiltInPingName = "www.example.com";
DWORD BuiltInPingAddress();  // 203.0.113.10

inline constexpr DWORD kDefaultDebugFlags = 0x80008080;

// --- Interface settings --------------------------------------------------

// Fills both interface records from the store on the first call of the
// process (and on the first call after ForgetInterfaceSettings); later calls
// change nothing. The load order: both records reset (interface 1 TUN,
// interface 2 TAP by default), the two modes, the four IP texts with the
// defaults of the default host adapter (else 192.168.0.1 / .111 / .222), the
// numeric addresses derived, then the two adapter MACs (default empty) and
// the two guest MACs (default: derived from the guest IP). Returns whether
// it loaded now. Needs the network discovery (InitGlobals) to have run.
bool LoadInterfaceSettings();
bool InterfaceSettingsLoaded();
// The next LoadInterfaceSettings reads the store again, defaults included
// (the adapter re-detection calls it).
void ForgetInterfaceSettings();
// Writes the ten interface values from the two records in one write, each
// with the record's current text even when empty, in the order: interface 1's mode,
// guest IP, adapter IP, guest MAC, adapter MAC, then the same five of
// interface 2.
void StoreInterfaceSettings();

// --- Ping settings ------------------------------------------------------

struct PingSettings {
  DWORD dwWhoPingIPAddr = 0;  // network order; 0: none
  std::string strWhoPingName;
  int PingDataSize = 32;
  int NumPings = 3;
  int PingTimeout = 500;
  int PingDelay = 1000;
};
// Reads the six ping values (defaults: 0, the built-in name, 32, 3, 500,
// 1000).
PingSettings ReadPingSettings();
// On the first call of the process: reads the ping values and gives them to
// the view (the four numbers) and to the engine's target: the stored address
// when it is not 0, else the built-in one; the stored name, or the
// address's text when the stored name is empty. Later calls change nothing.
// Returns whether it loaded now.
bool LoadPingSettings(CVN32TestEngineState& view);
bool PingSettingsLoaded();
// Writes WhoPingIPAddr, WhoPingName, PingDataSize, NumPings, PingTimeout,
// PingDelay, in this order, in one write.
void StorePingSettings(const PingSettings& settings);

// --- Debug settings -----------------------------------------------------

struct DebugSettings {
  bool DebugMode = false;
  DWORD DebugFlags = kDefaultDebugFlags;
  bool SocketNotifyMode = false;
};
DebugSettings ReadDebugSettings();
// What the view does when it is built: reads the three values and sets the
// view's flags and switch and the process-wide debug mode.
void LoadDebugSettings(CVN32TestEngineState& view);
// Writes DebugMode, then DebugFlags, in one write.
void StoreDebugSettings(bool debugMode, DWORD debugFlags);
void StoreSocketNotifyMode(bool on);

// With writes off (the headless program's --no-save), every store function
// above writes nothing; loading is unchanged.
void SetSettingsWritesEnabled(bool on);

// True once the store refused a write in this process: some accepted values
// are not remembered.
bool SettingsWriteRefused();
// How many writes the store refused in this process so far (a window tells
// its user when the count grows).
unsigned SettingsWritesRefused();

// Tests only: the next loads read the store again; writes are on.
void ResetSettingsForTesting();
