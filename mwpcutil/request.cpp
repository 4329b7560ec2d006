#include "request.h"

#include "mestralib/errors.h"
#include "mwpcutil_trace.h"
#include "platform/module.h"
#include "probe.h"
#include "wpcinforec.h"
#include "wpcinforec_file.h"

std::string g_strRequest;
std::string g_strFileName;

bool GetWinPCapInfo(const std::string& fileName) {
  MWPC_TRACE("...\n");
  g_strFileName = fileName;

  MWPC_TRACE("Calling InitWinPCap() to gather needed information...\n");
  if (!InitWinPCap()) {
    MWPC_TRACE("InitWinPCap() FAILED! Returning false!\n");
    return false;
  }

  // The probe is done with the library; a failure to release it changes
  // nothing for the record.
  if (!g_hWinPCapDLL) MWPC_TRACE("(g_hWinPCapDLL is NULL?!)\n");
  MWPC_TRACE("AfxFreeLibrary( g_hWinPCapDLL )...\n");
  if (!platform::FreeLibrary(g_hWinPCapDLL)) {
    g_dwLastError = GetLastError();
    MWPC_TRACE("AfxFreeLibrary() FAILED! GetLastError = 0x%08X: %s\n", g_dwLastError,
               FormatLastError(g_dwLastError).c_str());
  }
  g_hWinPCapDLL = nullptr;

  MWPC_TRACE("Build o/p record...\n");
  WpcInfoValues values;
  values.strDriverVersion = g_strWinPCapDriverVersion;
  values.strLibraryName = g_strWinPCapDLLName;
  values.strLibraryVersion = g_strWinPCapDLLVersion;
  values.strDeviceNamePrefix = g_strWinPCapDriverDeviceNamePrefix;
  values.vsLibraryFileInfo = g_viWinPCapDLLVersionInfo.FixedInfo();
  values.wMajorVersion = g_wWinPCapMajorVersion;
  values.wMinorVersion = g_wWinPCapMinorVersion;
  values.dwIoCtlProtocolQueryOid = g_dwWinPCapIoCtlProtocolQueryOid;
  values.dwIoCtlProtocolSetOid = g_dwWinPCapIoCtlProtocolSetOid;
  return WriteWpcInfoRecFile(g_strFileName, MakeWpcInfoRec(values), g_dwLastError);
}
