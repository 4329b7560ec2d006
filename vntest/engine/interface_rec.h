// The record of one simulated guest's interface. Two live for the whole
// process: interface 1 and interface 2.
#pragma once

#include <string>

#include "engine/wire/mac_address.h"
#include "platform/wintypes.h"

struct INTERFACEREC {
  int fd = -1;                      // from vifnet32_open; -1 when no interface is open
  std::string strIfName;            // the name the library gave on TUNSETIFF
  bool bTAPMode = false;            // Ethernet frames (true) or bare IPv4 packets
  std::string strInterface_IPAddr;  // the guest's IP address, dotted
  std::string strBcastAddr;         // empty until derived
  std::string strInterface_MACAddr; // the guest's MAC address; may be empty
  std::string strAdapter_IPAddr;    // the host adapter's IP address, or empty
  std::string strAdapter_MACAddr;   // the host adapter's MAC address, or empty
  DWORD binInterface_IPAddr = 0;    // network byte order
  DWORD binBcastAddr = 0;           // network byte order
  wire::MacAddress binInterface_MACAddr{};
  DWORD binAdapter_IPAddr = 0;      // network byte order
  wire::MacAddress binAdapter_MACAddr{};
  DWORD binAdapter_NetMask = 0;     // network byte order; 0 when unknown
  bool bSameSubnet = false;
};
