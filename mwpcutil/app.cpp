#include "app.h"

#include "mwpcutil_trace.h"
#include "platform/process.h"
#include "platform/profile.h"

CMWPCUtilApp theApp;

bool CMWPCUtilApp::WinInit(int /*argc*/, char** /*argv*/) {
  m_pszAppName = platform::ExecutableName();
  return true;
}

DWORD CMWPCUtilApp::GetProfileInt(const std::string& section, const std::string& entry,
                                  DWORD defaultValue) const {
  return platform::Profile(m_pszRegistryKey, m_pszProfileName).GetInt(section, entry, defaultValue);
}

void My_CWinApp_SetRegistryKey(const char* key) {
  MWPC_TRACE("...\n");
  MWPC_ASSERT(theApp.m_pszRegistryKey.empty());
  MWPC_ASSERT(key != nullptr);
  MWPC_ASSERT(!theApp.m_pszAppName.empty());
  // Owned strings: the framework's memory-tracking dance has nothing to guard.
  theApp.m_pszRegistryKey = key ? key : "";
  theApp.m_pszProfileName = theApp.m_pszAppName;
}
