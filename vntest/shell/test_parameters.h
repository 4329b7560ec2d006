// The test parameters' defaults: what a first run offers, from the
// discovered default host adapter, and the guest MAC the emulator derives
// from a guest IP.
#pragma once

#include <string>

#include "platform/wintypes.h"

// Rule A: adapter and guest IP defaults of both interfaces. With a default
// host adapter: its address for both adapters, and its network with host
// parts 111 and 222 for the guests; without one: "192.168.0.1",
// "192.168.0.111" and "192.168.0.222".
struct InterfaceIPDefaults {
  std::string strAdapter_IPAddr[2];
  std::string strInterface_IPAddr[2];
};
InterfaceIPDefaults ComputeInterfaceIPDefaults();

// Rule B: the MAC the emulator gives a guest with this address (network
// order), as "02-00-...".
std::string DerivedGuestMAC(DWORD guestIPNetworkOrder);
// The same from a dotted text; empty when the text is not an address.
std::string DefaultGuestMAC(const std::string& guestIP);
