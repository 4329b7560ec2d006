// Test parameter defaults and checks (see test_parameters.h).
#include "shell/test_parameters.h"

#include <cstdio>
#include <cstring>

#include "mestralib/address.h"
#include "platform/sockets.h"
#include "shell/discovery.h"
#include "vifnet.h"

namespace {

constexpr const char* kIPTitle = "IP Address";
constexpr const char* kMACTitle = "MAC Address";
constexpr const char* kBadGuestIP = "The IP Address you entered is invalid. Please enter a valid IP address.";
constexpr const char* kBadGuestMAC =
    "The hardware address you entered is invalid. Please enter a valid hardware address";
constexpr const char* kNoAdapter =
    "You must identify which host adapter should be used by specifying either its IP address or MAC address.";
constexpr const char* kBothAdapterKeys =
    "You must identify the host adapter by either its IP address or its MAC address, but not both.";
constexpr const char* kNoAdapterWithMAC = "No such host adapter exists with this MAC address.";
constexpr const char* kNoAdapterWithIP = "No such host adapter exists with this IP address.";

bool Fail(ParamError* error, const char* title, const char* text) {
  if (error != nullptr) *error = ParamError{title, text};
  return false;
}

// The dialog's address control holds exactly four decimal fields.
bool ParseDottedQuad(const std::string& text, DWORD* networkOrder) {
  const std::string trimmed = TrimBlanks(text);
  int fields[4];
  char tail;
  if (std::sscanf(trimmed.c_str(), "%d.%d.%d.%d%c", &fields[0], &fields[1], &fields[2], &fields[3], &tail) != 4) {
    return false;
  }
  for (char c : trimmed) {
    if (c != '.' && (c < '0' || c > '9')) return false;
  }
  DWORD host = 0;
  if (!ParseIPAddress(trimmed, &host, false)) return false;
  *networkOrder = platform::htonl(host);
  return true;
}

}  // namespace

InterfaceIPDefaults ComputeInterfaceIPDefaults() {
  InterfaceIPDefaults d;
  const DiscoveryResults& r = Discovery();
  if (r.bDefaultHostAdapter) {
    const DWORD ip = r.DefaultHostAdapter.dwIPAddress;
    const DWORD mask = r.DefaultHostAdapter.dwIPMask;
    d.strAdapter_IPAddr[0] = d.strAdapter_IPAddr[1] = r.strDefaultAdapterIP;
    d.strInterface_IPAddr[0] = FormatIPAddr((ip & mask) | (platform::htonl(111) & ~mask));
    d.strInterface_IPAddr[1] = FormatIPAddr((ip & mask) | (platform::htonl(222) & ~mask));
  } else {
    d.strAdapter_IPAddr[0] = d.strAdapter_IPAddr[1] = "192.168.0.1";
    d.strInterface_IPAddr[0] = "192.168.0.111";
    d.strInterface_IPAddr[1] = "192.168.0.222";
  }
  return d;
}

std::string DefaultGuestMAC(const std::string& guestIP) {
  DWORD host = 0;
  if (!ParseIPAddress(guestIP, &host, false)) return {};
  const DWORD ip = platform::htonl(host);
  uint8_t bytes[4], mac[6];
  std::memcpy(bytes, &ip, 4);
  vifnet32_build_gorlan_iface_mac(mac, bytes);
  return FormatMACAddr(mac);
}

bool ValidateInterfaceParams(INTERFACEREC& record, ParamError* error) {
  DWORD ip = 0;
  if (!ParseDottedQuad(record.strInterface_IPAddr, &ip)) return Fail(error, kIPTitle, kBadGuestIP);
  record.strInterface_IPAddr = TrimBlanks(record.strInterface_IPAddr);

  if (TrimBlanks(record.strInterface_MACAddr).empty()) record.strInterface_MACAddr = DefaultGuestMAC(record.strInterface_IPAddr);
  BYTE mac[6];
  if (!ParseMACAddress(record.strInterface_MACAddr, mac) || (mac[0] & 0x01) != 0 || (mac[0] & 0x02) == 0) {
    return Fail(error, kMACTitle, kBadGuestMAC);
  }

  const std::string adapterIP = TrimBlanks(record.strAdapter_IPAddr);
  const std::string adapterMAC = TrimBlanks(record.strAdapter_MACAddr);
  if (adapterIP.empty()) {
    if (adapterMAC.empty()) return Fail(error, kIPTitle, kNoAdapter);
    record.strAdapter_IPAddr.clear();
    if (!ParseMACAddress(adapterMAC, mac) || (mac[0] & 0x01) != 0 || FindAdapterByMAC(mac) == nullptr) {
      return Fail(error, kMACTitle, kNoAdapterWithMAC);
    }
    record.strAdapter_MACAddr = adapterMAC;
    return true;
  }
  if (!adapterMAC.empty()) return Fail(error, kMACTitle, kBothAdapterKeys);
  record.strAdapter_MACAddr.clear();
  if (!ParseDottedQuad(adapterIP, &ip) || FindAdapterByIP(ip) == nullptr) {
    return Fail(error, kIPTitle, kNoAdapterWithIP);
  }
  record.strAdapter_IPAddr = adapterIP;
  return true;
}
