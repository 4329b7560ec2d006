// Defining the default gateway by hand, without the dialog's widgets: the
// dialog's texts, the checks of OK with the ARP test of the address, and
// what an accepted address changes. The value is this program's own: the
// host's routes are never touched.
#pragma once

#include <string>

#include "platform/wintypes.h"
#include "shell/dialog_error.h"

// Dialog resource 132 and its controls.
inline constexpr int kDefaultGatewayDialogId = 132;
inline constexpr const char* kDefaultGatewayDialogTitle = "Define default gateway";
inline constexpr int kDefaultGatewayNoteStatic = 1016;
inline constexpr int kDefaultGatewayIPControl = 1015;
inline constexpr const char* kDefaultGatewayLabel = "Default gateway:";
extern const char* const kDefaultGatewayNote;

// The refusals.
inline constexpr const char* kDefaultGatewayTitle = "Default Gateway";
inline constexpr const char* kInvalidGatewayText = "Invalid IP Address";

// The question when the address does not answer ARP: a task dialog (name
// "CDefaultGatewayDlg") with two command links and no common buttons.
struct UnresponsiveGatewayQuestion {
  const char* dialogName;
  unsigned flags;  // placed by the owner, command links, explanation in the footer
  const char* title;
  const char* mainInstruction;
  const char* content;
  int useResult;
  const char* useText;  // "headline\nexplanation"
  int fixResult;
  const char* fixText;
  int defaultResult;
};
extern const UnresponsiveGatewayQuestion kUnresponsiveGateway;

// The dialog's opening value: the current default gateway text when it
// parses, else blank.
std::string DefaultGatewayControlText();

struct GatewayCheck {
  enum class Result {
    kResponsive,    // the address answered ARP: accept it
    kUnresponsive,  // no answer: ask (kUnresponsiveGateway); "use" accepts it
    kRefused,       // *error says why; the dialog stays open
  };
  Result result = Result::kRefused;
  DWORD dwAddress = 0;  // network order
  BYTE mac[6] = {};     // the ARP reply's; all zero when there was none
};
// OK's checks of the IP control's text: four fields the address parser
// accepts (else the "Default Gateway" balloon), the IPv4 text check (else a
// message box "Invalid IP Address"), then one ARP request to the address
// from any source.
GatewayCheck CheckDefaultGateway(const std::string& controlText, DialogError* error);

// An accepted address becomes the default gateway: its text and the MAC of
// the check, all zero for an unresponsive one that the user chose to use (so
// the pre-test check still counts the gateway as unknown). The engine's
// copy of the gateway's MAC follows.
void AcceptDefaultGateway(const GatewayCheck& check);
