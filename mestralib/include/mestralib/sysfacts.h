// Facts about the system, gathered once from the machine on first use.
#pragma once

#include <array>
#include <string>

#include "platform/wintypes.h"

struct MestraLibOsVersion {
  DWORD dwMajorVersion = 0;
  DWORD dwMinorVersion = 0;
  DWORD dwBuildNumber = 0;
};

struct MestraLibSystemFacts {
  std::string strComputerName;
  MestraLibOsVersion OSVI;
  DWORD dwNumberOfProcessors = 1;
  // [0] system name, [1] family, [2] text after the version numbers, [3] service pack
  std::array<std::string, 4> OSNS;
};

const MestraLibSystemFacts& MestraLibFacts();

// Fixed on this platform: no elevation verb (flavour below 9), no WOW64, and
// the cancel and overlapped-result calls are allowed.
constexpr int g_eWinOSFlavor = 8;
constexpr bool g_bWow64 = false;
constexpr bool g_bWinNT = false;

bool IsElevated();
