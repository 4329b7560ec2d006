// What the library knows about the packet-capture installation once the
// information utility has reported it: written once, inside the locked
// acquisition, and only read afterwards.
#pragma once

#include <string>

#include "platform/module.h"
#include "platform/wintypes.h"

struct WinPcapFacts {
  std::string driverVersion;
  std::string libraryName;
  std::string libraryVersion;
  std::string deviceNamePrefix;
  platform::VS_FIXEDFILEINFO libraryFileInfo{};
  DWORD ioCtlProtocolQueryOid = 0;
  DWORD ioCtlProtocolSetOid = 0;
  WORD majorVersion = 0;
  WORD minorVersion = 0;
};

const WinPcapFacts& TheWinPcapFacts();

// Driver features of 4.1 and later (no-loopback, multiple write).
inline bool AtMinimumSupportLevel(const WinPcapFacts& facts) {
  return facts.majorVersion > 4 || (facts.majorVersion == 4 && facts.minorVersion != 0);
}
