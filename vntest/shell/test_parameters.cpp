// Test parameter defaults (see test_parameters.h).
#include "shell/test_parameters.h"

#include <cstring>

#include "mestralib/address.h"
#include "platform/sockets.h"
#include "shell/discovery.h"
#include "vifnet.h"

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

std::string DerivedGuestMAC(DWORD guestIPNetworkOrder) {
  uint8_t bytes[4], mac[6];
  std::memcpy(bytes, &guestIPNetworkOrder, 4);
  vifnet32_build_gorlan_iface_mac(mac, bytes);
  return FormatMACAddr(mac);
}

std::string DefaultGuestMAC(const std::string& guestIP) {
  DWORD host = 0;
  if (!ParseIPAddress(guestIP, &host, false)) return {};
  return DerivedGuestMAC(platform::htonl(host));
}
