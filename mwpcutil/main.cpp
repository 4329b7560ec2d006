// MWPCUtil: serves one request, "GetWinPCapInfo <record file>", for MestraPack.
// Its answers are its exit code (0 success, -1 anything else) and the record
// file; everything else goes to the trace, nothing to the console.
#include <cerrno>
#include <string>

#include "app.h"
#include "mwpcutil_trace.h"
#include "platform/sync.h"
#include "platform/winerror.h"
#include "request.h"

namespace {

constexpr const char* kBanner =
    "WinPCap Information Utility, Version 3.9.0.6222-D, Copyright (C) Morvane. All rights reserved.";
constexpr DWORD kMaxDebugPauseSeconds = 120;

const char* Argument(int argc, char** argv, int index) { return index < argc && argv[index] ? argv[index] : ""; }

// Gives a developer time to attach a debugger to a utility started by MestraPack.
void DebugPause() {
  DWORD dwPauseSeconds = theApp.GetProfileInt("Settings", "MWPCUtilDebugPause", 0);
  if (dwPauseSeconds > kMaxDebugPauseSeconds) dwPauseSeconds = kMaxDebugPauseSeconds;
  if (dwPauseSeconds != 0) {
    MWPC_TRACE("Attach debugger NOW! (if desired)...\n");
    platform::Sleep(dwPauseSeconds * 1000);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (!theApp.WinInit(argc, argv)) {
    const int nErrno = errno;
    const DWORD dwLastError = GetLastError();
    MestraLibAfxTrace("** (MWPCUtil): %s(%d): %s: AfxWinInit() failed! errno = %d, GetLastError = 0x%08X\n",
                      __FILE_NAME__, __LINE__, "main", nErrno, dwLastError);
    return -1;
  }

  MestraLibAfxTrace("%s\n", kBanner);
  MWPC_TRACE("argc=%d, argv[1]=\"%s\" argv[2]=\"%s\"\n", argc, Argument(argc, argv, 1), Argument(argc, argv, 2));

  theApp.m_pszAppName = "MWPCUtil";
  MWPC_TRACE("My_CWinApp_SetRegistryKey()...");
  My_CWinApp_SetRegistryKey("Morvane");

  DebugPause();

  g_strRequest = Argument(argc, argv, 1);
  g_strFileName = Argument(argc, argv, 2);

  int nResult = -1;
  if (argc < 2 || g_strRequest != "GetWinPCapInfo") {
    MWPC_TRACE("Unknown/unsupported request-name: \"%s\"\n", g_strRequest.c_str());
  } else if (argc != 3) {
    MWPC_TRACE("%s: Invalid #of arguments!\n", g_strRequest.c_str());
  } else {
    MWPC_TRACE("GetWinPCapInfo(\"%s\")...\n", g_strFileName.c_str());
    nResult = GetWinPCapInfo(g_strFileName) ? 0 : -1;
  }

  MWPC_TRACE("\"%s\" request %s\n", g_strRequest.c_str(), nResult == 0 ? "SUCCESSFUL" : "FAILED!");
  return nResult;
}
