// Defining the default gateway (see default_gateway.h).
#include "shell/default_gateway.h"

#include <cstring>

#include "engine/engine_state.h"
#include "mestralib/address.h"
#include "platform/sockets.h"
#include "shell/discovery.h"
#include "shell/parameters_model.h"

const char* const kDefaultGatewayNote =
    "The default gateway you define here should ideally be the same one that is assigned to the Windows physical "
    "adapter that your test interface(s) is/are using.\n\nRegardless of the value you enter, the default gateway in "
    "Windows is not modified in any way. The value you enter will be used exclusively for VNTest64UD purposes only "
    "and not by Windows.\n\nNote too that the value you enter here should ideally be the IP address of an actual "
    "router unless you do not have one and are instead using Windows 'IP Forwarding' to perform your routing.\n\nIf "
    "you are using 'IP Forwarding' on your Windows host to perform all of your routing, then you should specify the "
    "IP address of your Windows adapter.";

const UnresponsiveGatewayQuestion kUnresponsiveGateway = {
    "CDefaultGatewayDlg",
    0x1050,
    " Unresponsive Default Gateway",
    "That IP address appears to be invalid!",
    "The default gateway you entered is not responding to any ARP requests that were sent to it. Please verify the IP "
    "adress you entered is correct.",
    5,
    "Use the entered value.\nI know the value I entered is correct. Please ignore the error you are seeing and use the "
    "value I entered anyway.",
    2,
    "Let me fix the error.\nOops! I mde a mistake. The value I entered was wrong. Please return to the original dialog "
    "so that I may enter the correct value.",
    2,
};

std::string DefaultGatewayControlText() {
  DWORD host = 0;
  const std::string& text = DefaultGateway().strDefaultGateway;
  return ParseIPAddress(text, &host, false) ? FormatIPAddr(platform::htonl(host)) : std::string();
}

GatewayCheck CheckDefaultGateway(const std::string& controlText, DialogError* error) {
  GatewayCheck check;
  const std::string text = IPControlTextOf(controlText);
  DWORD host = 0;
  if (text.empty() || !ParseIPAddress(text, &host, false)) {
    Refuse(error, BalloonError(kDefaultGatewayIPControl, kDefaultGatewayTitle, kInvalidGatewayText));
    return check;
  }
  if (!IsValidIPv4Text(text)) {
    DialogError box;
    box.kind = DialogError::Kind::kMessageBox;
    box.nControlId = kDefaultGatewayIPControl;
    box.strText = kInvalidGatewayText;
    Refuse(error, box);
    return check;
  }
  check.dwAddress = platform::htonl(host);
  check.result = IsHostResponsive(check.dwAddress, check.mac, 0) ? GatewayCheck::Result::kResponsive
                                                                  : GatewayCheck::Result::kUnresponsive;
  return check;
}

void AcceptDefaultGateway(const GatewayCheck& check) {
  DefaultGatewayState& gateway = DefaultGateway();
  gateway.dwGatewayIP = check.dwAddress;
  gateway.strDefaultGateway = FormatIPAddr(check.dwAddress);
  std::memcpy(gateway.DefaultGatewayMAC, check.mac, 6);
  gateway.strDefaultGatewayMAC = FormatMACAddr(check.mac);
  std::memcpy(TheEngineGlobals().DefaultGatewayMAC.data(), check.mac, 6);
}
