// The Parameters dialog's logic (see parameters_model.h).
#include "shell/parameters_model.h"

#include <cstdio>

#include "engine/engine.h"
#include "engine/engine_state.h"
#include "mestralib/address.h"
#include "platform/sockets.h"
#include "shell/discovery.h"
#include "shell/settings_store.h"
#include "shell/test_parameters.h"

namespace {

constexpr std::size_t kMaxMACText = 17;

bool g_bUseTwoInterfaces = false;

bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool IsSeparator(char c) { return c == '-' || c == ':'; }

bool Fail(DialogError* error, int control, const char* title, const char* text) {
  return Refuse(error, BalloonError(control, title, text));
}

// An IP control's text as an address (network order): four filled fields
// that the address parser accepts; the broadcast address is no host's.
bool ParseIPControlText(const std::string& text, DWORD* networkOrder) {
  const std::string control = IPControlTextOf(text);
  DWORD host = 0;
  if (control.empty() || !ParseIPAddress(control, &host, false)) return false;
  *networkOrder = platform::htonl(host);
  return true;
}

INTERFACEREC& Record(int i) { return i == 0 ? Interface1() : Interface2(); }

}  // namespace

std::string IPControlText(const int fields[4], bool allFilled) {
  if (!allFilled) return {};
  char text[48];
  std::snprintf(text, sizeof text, "%d.%d.%d.%d", fields[0], fields[1], fields[2], fields[3]);
  return text;
}

std::string IPControlTextOf(const std::string& text) {
  const std::string trimmed = TrimBlanks(text);
  int fields[4] = {};
  int field = 0;
  int digits = 0;
  for (char c : trimmed) {
    if (c == '.') {
      if (digits == 0 || ++field > 3) return {};
      digits = 0;
    } else if (c >= '0' && c <= '9') {
      if (++digits > 3) return {};
      fields[field] = fields[field] * 10 + (c - '0');
      if (fields[field] > 255) return {};
    } else {
      return {};
    }
  }
  if (field != 3 || digits == 0) return {};
  return IPControlText(fields, true);
}

MACEditResult FilterMACEdit(const std::string& typed, std::string* remembered) {
  MACEditResult result;
  if (TrimBlanks(typed).empty()) {
    remembered->clear();
    result.strText = typed;
    return result;
  }
  auto refuse = [&] {
    result.bAccepted = false;
    result.bReplaced = true;
    result.strText = *remembered;
    return result;
  };
  if (typed.size() > kMaxMACText) return refuse();

  char separator = 0;
  std::string text = typed;
  for (std::size_t i = 0; i < typed.size(); ++i) {
    const char c = typed[i];
    const bool separatorPosition = (i + 1) % 3 == 0;
    const bool last = i + 1 == typed.size();
    if (!separatorPosition) {
      if (!IsHex(c)) return refuse();
    } else if (last && IsHex(c)) {
      // A digit where a separator belongs: the separator goes in first.
      text = typed.substr(0, i) + (separator != 0 ? separator : '-') + c;
      result.bReplaced = true;
    } else if (!IsSeparator(c) || (separator != 0 && c != separator)) {
      return refuse();
    } else {
      separator = c;
    }
  }
  *remembered = text;
  result.strText = text;
  return result;
}

void ParametersModel::Open() {
  for (int i = 0; i < 2; ++i) {
    const INTERFACEREC& record = Record(i);
    ParametersFields& f = m_Fields[i];
    f = ParametersFields{};
    f.nMode = record.bTAPMode ? 1 : 0;
    DWORD host = 0;
    if (ParseIPAddress(record.strInterface_IPAddr, &host, false)) {
      f.strGuestIP = FormatIPAddr(platform::htonl(host));
    }
    if (ParseIPAddress(record.strAdapter_IPAddr, &host, false)) {
      f.strAdapterIP = FormatIPAddr(platform::htonl(host));
    }
    // The edits get their texts through the filter, as typed text would.
    EditGuestMAC(i, record.strInterface_MACAddr);
    if (f.strAdapterIP.empty()) EditAdapterMAC(i, record.strAdapter_MACAddr);
  }
  m_bUseTwo = UseTwoInterfacesChoice();
}

void ParametersModel::SetUseTwoInterfaces(bool checked) { m_bUseTwo = checked; }

void ParametersModel::SetMode(int i, int radioIndex) { m_Fields[i].nMode = radioIndex == 1 ? 1 : 0; }

void ParametersModel::SetGuestIP(int i, const std::string& controlText) { m_Fields[i].strGuestIP = controlText; }

void ParametersModel::SetAdapterIP(int i, const std::string& controlText) {
  ParametersFields& f = m_Fields[i];
  f.strAdapterIP = controlText;
  if (!TrimBlanks(controlText).empty()) {
    f.strAdapterMAC.clear();
    f.strAcceptedAdapterMAC.clear();
  }
}

MACEditResult ParametersModel::EditGuestMAC(int i, const std::string& typed) {
  ParametersFields& f = m_Fields[i];
  MACEditResult result = FilterMACEdit(typed, &f.strAcceptedGuestMAC);
  f.strGuestMAC = result.strText;
  return result;
}

MACEditResult ParametersModel::EditAdapterMAC(int i, const std::string& typed) {
  ParametersFields& f = m_Fields[i];
  MACEditResult result = FilterMACEdit(typed, &f.strAcceptedAdapterMAC);
  f.strAdapterMAC = result.strText;
  if (!TrimBlanks(f.strAdapterMAC).empty()) f.strAdapterIP.clear();
  return result;
}

ParametersControlStates ParametersModel::ControlStates() const {
  ParametersControlStates s{};
  for (int i = 0; i < 2; ++i) {
    const bool on = i == 0 || m_bUseTwo;
    const ParametersFields& f = m_Fields[i];
    s.bMode[i] = s.bGuestIP[i] = s.bGuestMAC[i] = on;
    s.bAdapterIP[i] = on && TrimBlanks(f.strAdapterMAC).empty();
    s.bAdapterMAC[i] = on && TrimBlanks(f.strAdapterIP).empty();
  }
  return s;
}

bool ParametersModel::Validate(DialogError* error) {
  if (!ValidateInterface(0, error)) return false;
  if (!m_bUseTwo) {
    ParametersFields& f = m_Fields[1];
    f.strGuestIP.clear();
    f.strGuestMAC.clear();
    f.strAdapterIP.clear();
    f.strAdapterMAC.clear();
    f.strAcceptedGuestMAC.clear();
    f.strAcceptedAdapterMAC.clear();
    return true;
  }
  return ValidateInterface(1, error);
}

bool ParametersModel::ValidateInterface(int i, DialogError* error) {
  ParametersFields& f = m_Fields[i];
  DWORD ip = 0;
  if (!ParseIPControlText(f.strGuestIP, &ip)) return Fail(error, kGuestIPControl[i], kIPAddressTitle, kBadGuestIPText);
  f.strGuestIP = IPControlTextOf(f.strGuestIP);

  if (TrimBlanks(f.strGuestMAC).empty()) f.strGuestMAC = f.strAcceptedGuestMAC = DerivedGuestMAC(ip);
  BYTE mac[6];
  // A guest's own address: one station (group bit clear), given out
  // locally (bit 0x02 set), as the emulator's are.
  if (!ParseMACAddress(f.strGuestMAC, mac) || (mac[0] & 0x01) != 0 || (mac[0] & 0x02) == 0) {
    return Fail(error, kGuestMACControl[i], kMACAddressTitle, kBadGuestMACText);
  }
  f.strGuestMAC = TrimBlanks(f.strGuestMAC);
  return ValidateAdapter(i, error);
}

bool ParametersModel::ValidateAdapter(int i, DialogError* error) {
  ParametersFields& f = m_Fields[i];
  const bool ipBlank = TrimBlanks(f.strAdapterIP).empty();
  const std::string adapterMAC = TrimBlanks(f.strAdapterMAC);
  if (ipBlank) {
    if (adapterMAC.empty()) return Fail(error, kAdapterMACControl[i], kIPAddressTitle, kNoAdapterText);
    f.strAdapterIP.clear();
    BYTE mac[6];
    // A host adapter's burnt-in address need not be locally administered.
    if (!ParseMACAddress(adapterMAC, mac) || (mac[0] & 0x01) != 0 || FindAdapterByMAC(mac) == nullptr) {
      return Fail(error, kAdapterMACControl[i], kMACAddressTitle, kNoAdapterWithMACText);
    }
    f.strAdapterMAC = adapterMAC;
    return true;
  }
  if (!adapterMAC.empty()) return Fail(error, kAdapterMACControl[i], kMACAddressTitle, kBothAdapterKeysText);
  f.strAdapterMAC.clear();
  DWORD ip = 0;
  if (!ParseIPControlText(f.strAdapterIP, &ip) || FindAdapterByIP(ip) == nullptr) {
    return Fail(error, kAdapterIPControl[i], kIPAddressTitle, kNoAdapterWithIPText);
  }
  f.strAdapterIP = IPControlTextOf(f.strAdapterIP);
  return true;
}

void ParametersModel::Accept() {
  for (int i = 0; i < 2; ++i) {
    INTERFACEREC& record = Record(i);
    const ParametersFields& f = m_Fields[i];
    // The record starts afresh, so no binary value or broadcast address of
    // the previous parameters outlives a text that changed or was emptied.
    ResetInterfaceRec(record, f.nMode == 1);
    record.strBcastAddr.clear();
    record.binBcastAddr = 0;
    record.strInterface_IPAddr = f.strGuestIP;
    record.strInterface_MACAddr = f.strGuestMAC;
    record.strAdapter_IPAddr = f.strAdapterIP;
    record.strAdapter_MACAddr = f.strAdapterMAC;
  }
  StoreInterfaceSettings();
  DeriveInterfaceAddrs();
  SetUseTwoInterfacesChoice(m_bUseTwo && Interface2InUse());
}

bool UseTwoInterfacesChoice() { return g_bUseTwoInterfaces; }
void SetUseTwoInterfacesChoice(bool on) { g_bUseTwoInterfaces = on; }
