// The probe of the packet-capture installation: which library is installed
// (by name, through the normal library search), its version, the driver's
// version, the driver's OID control codes and device-name prefix. It also
// makes the library open a dummy adapter, for the side effect of starting the
// driver service where the library has one.
#pragma once

#include <string>

#include "mestralib/version.h"
#include "platform/wintypes.h"

// Process-wide results, empty or zero until the probe has run.
extern HMODULE g_hWinPCapDLL;
extern std::string g_strWinPCapDLLName;        // "Packet.DLL", "Npf.DLL", or "???"
extern std::string g_strWinPCapDLLVersion;
extern std::string g_strWinPCapDriverVersion;  // may stay empty
extern std::string g_strWinPCapDriverDeviceNamePrefix;
extern WORD g_wWinPCapMajorVersion;
extern WORD g_wWinPCapMinorVersion;
extern CModuleVersion g_viWinPCapDLLVersionInfo;
extern DWORD g_dwWinPCapIoCtlProtocolQueryOid;
extern DWORD g_dwWinPCapIoCtlProtocolSetOid;
extern DWORD g_dwLastError;  // the error of the last failing call, for the trace

// True when every step succeeded; the library stays loaded in g_hWinPCapDLL.
bool InitWinPCap();

bool InitWinPCapDriverDeviceNamePrefix();
bool InitWinPCapIoCtlProtocolQueryOid();
bool InitWinPCapIoCtlProtocolSetOid();
bool InitWinPCapVersion();
void InitWinPCapDLLName();
bool CreateWinPCapDriverService();
