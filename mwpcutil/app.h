// The utility's application object: its name, its registry key and the
// profile its settings are read from. The utility runs on no application
// framework, so this plain object holds what such a framework's application
// object would: the facts every part of the utility asks for by name.
#pragma once

#include <string>

#include "platform/wintypes.h"

class CMWPCUtilApp {
 public:
  // The framework start-up: takes the program's name as the application name.
  // Nothing can fail here; the caller keeps its failure branch for the day
  // this grows a step that can.
  bool WinInit(int argc, char** argv);

  // A number from the application's profile (company key, then program name).
  DWORD GetProfileInt(const std::string& section, const std::string& entry, DWORD defaultValue) const;

  std::string m_pszAppName;
  std::string m_pszRegistryKey;  // empty until My_CWinApp_SetRegistryKey
  std::string m_pszProfileName;
};

extern CMWPCUtilApp theApp;

// Gives the application object its registry key and makes the application
// name its profile name. Expects no key yet, a key, and an application name.
void My_CWinApp_SetRegistryKey(const char* key);
