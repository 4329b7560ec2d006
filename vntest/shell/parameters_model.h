// The Parameters dialog without its widgets: what each control shows and
// whether it is enabled, the live filter of the four MAC edits, the checks
// of OK with the balloon each failure shows, and what an accepted dialog
// changes (the two interface records, the store, the use-two choice). The
// windowed dialog keeps its controls in step with a ParametersModel; the
// headless program fills one from its options and runs the same checks.
//
// Interface i is 0 (interface 1, always used) or 1 (interface 2, used when
// the "Use two virtual interfaces for this test" box is checked).
#pragma once

#include <string>

#include "shell/dialog_error.h"

// Dialog resource 130, its title and group titles.
inline constexpr int kParametersDialogId = 130;
inline constexpr const char* kParametersTitle = "VNTest64UD Parameters";
inline constexpr const char* kInterface1GroupTitle = " Virtual Interface #1:  (required) ";
inline constexpr const char* kInterface2GroupTitle = " Virtual Interface #2:  (optional) ";
inline constexpr const char* kUseTwoInterfacesText = "Use two virtual interfaces for this test";

// Control ids, per interface.
inline constexpr int kGuestIPControl[2] = {1000, 1002};
inline constexpr int kAdapterIPControl[2] = {1001, 1003};
inline constexpr int kGuestMACControl[2] = {1007, 1008};
inline constexpr int kAdapterMACControl[2] = {1006, 1009};
inline constexpr int kTunRadio[2] = {1013, 1019};
inline constexpr int kTapRadio[2] = {1014, 1020};
inline constexpr int kUseTwoInterfacesBox = 1012;

// The balloons' titles and texts.
inline constexpr const char* kIPAddressTitle = "IP Address";
inline constexpr const char* kMACAddressTitle = "MAC Address";
inline constexpr const char* kBadGuestIPText =
    "The IP Address you entered is invalid. Please enter a valid IP address.";
inline constexpr const char* kBadGuestMACText =
    "The hardware address you entered is invalid. Please enter a valid hardware address";
inline constexpr const char* kNoAdapterText =
    "You must identify which host adapter should be used by specifying either its IP address or MAC address.";
inline constexpr const char* kBothAdapterKeysText =
    "You must identify the host adapter by either its IP address or its MAC address, but not both.";
inline constexpr const char* kNoAdapterWithMACText = "No such host adapter exists with this MAC address.";
inline constexpr const char* kNoAdapterWithIPText = "No such host adapter exists with this IP address.";

// What an IP address control's text is: "%d.%d.%d.%d" of its four fields
// when all four are filled, else empty.
std::string IPControlText(const int fields[4], bool allFilled);
// A text as an IP address control would hold it: exactly four decimal
// fields of 0..255, written back as "%d.%d.%d.%d"; empty for anything else.
std::string IPControlTextOf(const std::string& text);

// The result of the live MAC filter for one change of a MAC edit.
struct MACEditResult {
  bool bAccepted = true;  // false: beep (the edit gets the last accepted text back)
  bool bReplaced = false; // the edit's text must become strText, caret at the end
  std::string strText;    // what the edit shows after the filter
};
// The live MAC filter. `typed` is the edit's whole text after the change;
// `remembered` is the last accepted text and is updated. Positions 3, 6, 9,
// 12 and 15 (from 1) are separators: "-" or ":", the same throughout; all
// other characters are hex digits; at most 17 characters. A hex digit typed
// at a separator position gets the separator (the established one, else
// "-") inserted before it. A text that is empty after trimming blanks is
// accepted and remembered as empty.
MACEditResult FilterMACEdit(const std::string& typed, std::string* remembered);

// One interface's controls.
struct ParametersFields {
  int nMode = 0;              // the Tun/Tap radio index: 0 TUN, 1 TAP
  std::string strGuestIP;     // the IP control's text: dotted, or empty when blank
  std::string strGuestMAC;    // the edit's text
  std::string strAdapterIP;   // the IP control's text
  std::string strAdapterMAC;  // the edit's text
  // The MAC filter's last accepted texts.
  std::string strAcceptedGuestMAC;
  std::string strAcceptedAdapterMAC;
};

// Which controls are enabled.
struct ParametersControlStates {
  bool bMode[2];
  bool bGuestIP[2];
  bool bGuestMAC[2];
  bool bAdapterIP[2];
  bool bAdapterMAC[2];
};

class ParametersModel {
 public:
  // Opening: the modes and texts of the two records (an IP text is shown
  // only when it parses; an adapter IP shown empties that interface's adapter
  // MAC), and the box from the process-wide use-two choice.
  void Open();

  ParametersFields& Fields(int i) { return m_Fields[i]; }
  const ParametersFields& Fields(int i) const { return m_Fields[i]; }
  bool UseTwoInterfaces() const { return m_bUseTwo; }

  // Control changes, each leaving the fields as the dialog must show them.
  void SetUseTwoInterfaces(bool checked);
  void SetMode(int i, int radioIndex);
  void SetGuestIP(int i, const std::string& controlText);
  // The adapter IP control changed: a non-blank address empties the
  // interface's adapter MAC.
  void SetAdapterIP(int i, const std::string& controlText);
  MACEditResult EditGuestMAC(int i, const std::string& typed);
  // After the filter, a non-empty adapter MAC empties the adapter IP.
  MACEditResult EditAdapterMAC(int i, const std::string& typed);

  // The enabling rules: an adapter's IP control is enabled while its MAC
  // text (trimmed) is empty and its MAC edit while its IP control is blank;
  // interface 2's controls only while the box is checked.
  ParametersControlStates ControlStates() const;

  // OK: the checks in the dialog's order (interface 1's guest IP, guest MAC
  // (derived from the guest IP when empty), host adapter; then, with the box
  // checked, the same for interface 2; unchecked, interface 2's four texts
  // are emptied). The first failure stops and is returned in *error; the
  // fields may have been completed on the way (a derived guest MAC, the
  // unused adapter text emptied). Host adapters must be in the discovered
  // adapter list.
  bool Validate(DialogError* error);

  // After a successful Validate: the modes and texts go to the two records
  // (their derived values start afresh), the ten interface values are
  // stored, the numeric fields are derived, and the use-two choice becomes
  // whether the box is checked with interface 2 naming an adapter.
  void Accept();

 private:
  bool ValidateInterface(int i, DialogError* error);
  bool ValidateAdapter(int i, DialogError* error);

  ParametersFields m_Fields[2];
  bool m_bUseTwo = false;
};

// The process-wide use-two-interfaces choice, shown by the box when the
// dialog opens (off until an accepted dialog says otherwise).
bool UseTwoInterfacesChoice();
void SetUseTwoInterfacesChoice(bool on);
