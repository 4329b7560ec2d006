// Facts about the machine the process runs on.
#pragma once

#include <array>
#include <string>

#include "platform/wintypes.h"

namespace platform {

struct OsVersion {
  DWORD major = 0;
  DWORD minor = 0;
  DWORD build = 0;
};

struct SystemFacts {
  std::string computerName;
  OsVersion version;
  // Name texts: [0] the system's name, [1] its family, [2] the text printed
  // after the version numbers, [3] the service-pack text (empty when none).
  std::array<std::string, 4> osNames;
  DWORD processorCount = 1;
  bool elevated = false;  // linux: effective uid 0 (or CAP_NET_ADMIN and CAP_NET_RAW)
  // The packet-capture installation (its library and driver file in the
  // system directory, module.h) is there. Always on the real machine; a
  // simulated host may declare it absent.
  bool captureInstalled = true;
};

const SystemFacts& GetSystemFacts();

}  // namespace platform
