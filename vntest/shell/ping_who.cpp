// The Ping who dialog's logic (see ping_who.h).
#include "shell/ping_who.h"

#include "engine/engine.h"
#include "engine/engine_state.h"
#include "mestralib/address.h"
#include "mestralib/errors.h"
#include "platform/names.h"
#include "shell/settings_store.h"

namespace {

constexpr std::size_t kMaxSystemText = 1024;

bool ToError(DialogError* error, const std::string& text) {
  return Refuse(error, BalloonError(kPingToEdit, kPingWhoTitle, text));
}

}  // namespace

PingWhoValues OpenPingWho(CVN32TestEngineState& view) {
  LoadPingSettings(view);
  PingWhoValues v;
  v.bInterface2Available = Interface2InUse();
  v.bFromInterface1 = view.bPingFromInterface1 || !v.bInterface2Available;
  v.strTo = TheEngineGlobals().strPingTargetName;
  v.nSize = view.PingDataSize;
  v.nCount = view.NumPings;
  v.nTimeout = view.PingTimeout;
  v.nDelay = view.PingDelay;
  return v;
}

bool CheckPingWho(PingWhoValues* v, DialogError* error) {
  if (!CheckRange(kPingSizeEdit, v->nSize, kMinPingDataSize, kMaxPingDataSize, error) ||
      !CheckRange(kPingCountEdit, v->nCount, kMinNumPings, kMaxNumPings, error) ||
      !CheckRange(kPingTimeoutEdit, v->nTimeout, kMinPingTimeout, kMaxPingTimeout, error) ||
      !CheckRange(kPingDelayEdit, v->nDelay, kMinPingDelay, kMaxPingDelay, error)) {
    return false;
  }
  v->strTo = TrimBlanks(v->strTo);
  if (v->strTo.empty()) return ToError(error, kPingWhoText);
  DWORD address = 0;
  if (const DWORD rc = platform::ResolveIPv4(v->strTo, &address); rc != 0) {
    std::string system = FormatLastError(rc);
    if (system.size() > kMaxSystemText) system.resize(kMaxSystemText);
    return ToError(error, system + "\n" + kPingWhoText);
  }
  v->dwAddress = address;
  return true;
}

void AcceptPingWho(CVN32TestEngineState& view, const PingWhoValues& v) {
  view.bPingFromInterface1 = v.bFromInterface1;
  EngineGlobals& globals = TheEngineGlobals();
  globals.strPingTargetName = v.strTo;
  globals.dwPingTargetIP = v.dwAddress;
  view.PingDataSize = static_cast<int>(v.nSize);
  view.NumPings = static_cast<int>(v.nCount);
  view.PingTimeout = static_cast<int>(v.nTimeout);
  view.PingDelay = static_cast<int>(v.nDelay);
  PingSettings s;
  s.dwWhoPingIPAddr = v.dwAddress;
  s.strWhoPingName = v.strTo;
  s.PingDataSize = view.PingDataSize;
  s.NumPings = view.NumPings;
  s.PingTimeout = view.PingTimeout;
  s.PingDelay = view.PingDelay;
  StorePingSettings(s);
}
