// VNTest's remembered values (see settings_store.h).
#include "shell/settings_store.h"

#include <string>
#include <vector>

#include "engine/debug_mode.h"
#include "engine/engine.h"
#include "engine/engine_state.h"
#include "mestralib/address.h"
#include "platform/profile.h"
#include "platform/sockets.h"
#include "shell/log.h"
#include "shell/test_parameters.h"

namespace {

bool g_bInterfaceSettingsLoaded = false;
bool g_bPingSettingsLoaded = false;
bool g_bWritesEnabled = true;
unsigned g_nWritesRefused = 0;  // counts up; never reset

platform::Profile Store() { return platform::Profile(kCompanyKey, kProgramName); }

DWORD ReadInt(const char* name, DWORD defaultValue) { return Store().GetInt(kSettingsSection, name, defaultValue); }

std::string ReadText(const char* name, const std::string& defaultValue) {
  return Store().GetString(kSettingsSection, name, defaultValue);
}

// A group of values is written in one step, so that another program (the
// windowed and the headless one share the store) never finds half of one
// group and half of another. A refused write is a broken assumption about
// the store, not the user's fault: it is logged and the program goes on with
// the values it has; the refusal is remembered for whoever must tell the user.
void WriteGroup(const std::vector<platform::ProfileEntry>& entries) {
  if (!g_bWritesEnabled) return;
  const bool written = Store().WriteEntries(kSettingsSection, entries);
  if (!written) ++g_nWritesRefused;
  VN_ASSERT(written);
}

platform::ProfileEntry Int(const char* name, DWORD value) { return platform::NumberEntry(name, value); }
platform::ProfileEntry Text(const char* name, const std::string& value) { return platform::TextEntry(name, value); }

}  // namespace

DWORD BuiltInPingAddress() { return platform::htonl(0xCB00710A); }  // 203.0.113.10

bool LoadInterfaceSettings() {
  if (g_bInterfaceSettingsLoaded) return false;
  INTERFACEREC& if1 = Interface1();
  INTERFACEREC& if2 = Interface2();
  ResetInterfaceRec(if1, false);
  ResetInterfaceRec(if2, true);
  for (INTERFACEREC* record : {&if1, &if2}) {  // derived afresh from what is loaded
    record->strBcastAddr.clear();
    record->binBcastAddr = 0;
  }
  if1.bTAPMode = ReadInt(setting::kInterface1_bTAPMode, 0) != 0;
  if2.bTAPMode = ReadInt(setting::kInterface2_bTAPMode, 1) != 0;

  const InterfaceIPDefaults defaults = ComputeInterfaceIPDefaults();
  if1.strAdapter_IPAddr = ReadText(setting::kInterface1_strAdapter_IPAddr, defaults.strAdapter_IPAddr[0]);
  if2.strAdapter_IPAddr = ReadText(setting::kInterface2_strAdapter_IPAddr, defaults.strAdapter_IPAddr[1]);
  if1.strInterface_IPAddr = ReadText(setting::kInterface1_strInterface_IPAddr, defaults.strInterface_IPAddr[0]);
  if2.strInterface_IPAddr = ReadText(setting::kInterface2_strInterface_IPAddr, defaults.strInterface_IPAddr[1]);
  DeriveInterfaceAddrs();

  if1.strAdapter_MACAddr = ReadText(setting::kInterface1_strAdapter_MACAddr, "");
  if2.strAdapter_MACAddr = ReadText(setting::kInterface2_strAdapter_MACAddr, "");
  if1.strInterface_MACAddr =
      ReadText(setting::kInterface1_strInterface_MACAddr, DerivedGuestMAC(if1.binInterface_IPAddr));
  if2.strInterface_MACAddr =
      ReadText(setting::kInterface2_strInterface_MACAddr, DerivedGuestMAC(if2.binInterface_IPAddr));
  g_bInterfaceSettingsLoaded = true;
  return true;
}

bool InterfaceSettingsLoaded() { return g_bInterfaceSettingsLoaded; }

void ForgetInterfaceSettings() { g_bInterfaceSettingsLoaded = false; }

void StoreInterfaceSettings() {
  const INTERFACEREC& if1 = Interface1();
  const INTERFACEREC& if2 = Interface2();
  WriteGroup({
      Int(setting::kInterface1_bTAPMode, if1.bTAPMode ? 1 : 0),
      Text(setting::kInterface1_strInterface_IPAddr, if1.strInterface_IPAddr),
      Text(setting::kInterface1_strAdapter_IPAddr, if1.strAdapter_IPAddr),
      Text(setting::kInterface1_strInterface_MACAddr, if1.strInterface_MACAddr),
      Text(setting::kInterface1_strAdapter_MACAddr, if1.strAdapter_MACAddr),
      Int(setting::kInterface2_bTAPMode, if2.bTAPMode ? 1 : 0),
      Text(setting::kInterface2_strInterface_IPAddr, if2.strInterface_IPAddr),
      Text(setting::kInterface2_strAdapter_IPAddr, if2.strAdapter_IPAddr),
      Text(setting::kInterface2_strInterface_MACAddr, if2.strInterface_MACAddr),
      Text(setting::kInterface2_strAdapter_MACAddr, if2.strAdapter_MACAddr),
  });
}

PingSettings ReadPingSettings() {
  PingSettings s;
  s.dwWhoPingIPAddr = ReadInt(setting::kWhoPingIPAddr, 0);
  s.strWhoPingName = ReadText(setting::kWhoPingName, kBuiltInPingName);
  s.PingDataSize = static_cast<int>(ReadInt(setting::kPingDataSize, 32));
  s.NumPings = static_cast<int>(ReadInt(setting::kNumPings, 3));
  s.PingTimeout = static_cast<int>(ReadInt(setting::kPingTimeout, 500));
  s.PingDelay = static_cast<int>(ReadInt(setting::kPingDelay, 1000));
  return s;
}

bool LoadPingSettings(CVN32TestEngineState& view) {
  if (g_bPingSettingsLoaded) return false;
  const PingSettings s = ReadPingSettings();
  EngineGlobals& globals = TheEngineGlobals();
  globals.dwPingTargetIP = s.dwWhoPingIPAddr != 0 ? s.dwWhoPingIPAddr : BuiltInPingAddress();
  globals.strPingTargetName = s.strWhoPingName.empty() ? FormatIPAddr(globals.dwPingTargetIP) : s.strWhoPingName;
  view.PingDataSize = s.PingDataSize;
  view.NumPings = s.NumPings;
  view.PingTimeout = s.PingTimeout;
  view.PingDelay = s.PingDelay;
  g_bPingSettingsLoaded = true;
  return true;
}

bool PingSettingsLoaded() { return g_bPingSettingsLoaded; }

void StorePingSettings(const PingSettings& s) {
  WriteGroup({
      Int(setting::kWhoPingIPAddr, s.dwWhoPingIPAddr),
      Text(setting::kWhoPingName, s.strWhoPingName),
      Int(setting::kPingDataSize, static_cast<DWORD>(s.PingDataSize)),
      Int(setting::kNumPings, static_cast<DWORD>(s.NumPings)),
      Int(setting::kPingTimeout, static_cast<DWORD>(s.PingTimeout)),
      Int(setting::kPingDelay, static_cast<DWORD>(s.PingDelay)),
  });
}

DebugSettings ReadDebugSettings() {
  DebugSettings s;
  s.DebugFlags = ReadInt(setting::kDebugFlags, kDefaultDebugFlags);
  s.DebugMode = ReadInt(setting::kDebugMode, 0) != 0;
  s.SocketNotifyMode = ReadInt(setting::kSocketNotifyMode, 0) != 0;
  return s;
}

void LoadDebugSettings(CVN32TestEngineState& view) {
  const DebugSettings s = ReadDebugSettings();
  view.DebugFlags = s.DebugFlags;
  view.SocketNotifyMode = s.SocketNotifyMode;
  SetDebugMode(s.DebugMode);
}

void StoreDebugSettings(bool debugMode, DWORD debugFlags) {
  WriteGroup({
      Int(setting::kDebugMode, debugMode ? 1 : 0),
      Int(setting::kDebugFlags, debugFlags),
  });
}

void StoreSocketNotifyMode(bool on) { WriteGroup({Int(setting::kSocketNotifyMode, on ? 1 : 0)}); }

bool SettingsWriteRefused() { return g_nWritesRefused > 0; }

unsigned SettingsWritesRefused() { return g_nWritesRefused; }

void SetSettingsWritesEnabled(bool on) { g_bWritesEnabled = on; }

void ResetSettingsForTesting() {
  g_bWritesEnabled = true;
  g_bInterfaceSettingsLoaded = false;
  g_bPingSettingsLoaded = false;
}
