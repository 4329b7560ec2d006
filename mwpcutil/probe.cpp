#include "probe.h"

#include <cerrno>

#include "mestralib/directory.h"
#include "mestralib/errors.h"
#include "mestralib/sysfacts.h"
#include "mwpcutil_trace.h"
#include "platform/module.h"
#include "platform/winerror.h"
#include "wpcinforec.h"

HMODULE g_hWinPCapDLL = nullptr;
std::string g_strWinPCapDLLName;
std::string g_strWinPCapDLLVersion;
std::string g_strWinPCapDriverVersion;
std::string g_strWinPCapDriverDeviceNamePrefix;
WORD g_wWinPCapMajorVersion = 0;
WORD g_wWinPCapMinorVersion = 0;
CModuleVersion g_viWinPCapDLLVersionInfo;
DWORD g_dwWinPCapIoCtlProtocolQueryOid = 0;
DWORD g_dwWinPCapIoCtlProtocolSetOid = 0;
DWORD g_dwLastError = 0;

// The driver file is read directly. A 32-bit program on a 64-bit system would
// have to switch the file-system redirection off around that read; this
// platform has no such redirection (g_bWow64 is always false), so there is
// nothing to switch.
static_assert(!g_bWow64);

namespace {

using VersionTextFunction = const char* (*)();
using OpenAdapterFunction = void* (*)(void*);

WORD HighWord(DWORD value) { return static_cast<WORD>(value >> 16); }
WORD LowWord(DWORD value) { return static_cast<WORD>(value & 0xFFFF); }

std::string FileVersionText(const platform::VS_FIXEDFILEINFO& info) {
  return std::to_string(HighWord(info.dwFileVersionMS)) + "." + std::to_string(LowWord(info.dwFileVersionMS)) +
         "." + std::to_string(HighWord(info.dwFileVersionLS)) + "." + std::to_string(LowWord(info.dwFileVersionLS));
}

bool VersionAtLeast(WORD major, WORD minor) {
  return g_wWinPCapMajorVersion > major || (g_wWinPCapMajorVersion == major && g_wWinPCapMinorVersion >= minor);
}

// Looks up one of the library's version-text calls and stores what it returns
// in `text`. A missing call leaves `text` as it was. A C++ exception escaping
// the library is caught and clears the text; a hardware fault inside the
// library cannot be turned into an error on this platform and is not caught.
void QueryLibraryText(const char* functionName, std::string& text) {
  MWPC_TRACE("GetProcAddress(\"%s\")...\n", functionName);
  auto function = reinterpret_cast<VersionTextFunction>(platform::GetProcAddress(g_hWinPCapDLL, functionName));
  if (!function) {
    g_dwLastError = GetLastError();
    MWPC_TRACE("GetProcAddress() FAILED! GetLastError = 0x%08X: %s\n", g_dwLastError,
               FormatLastError(g_dwLastError).c_str());
    return;
  }
  MWPC_TRACE("GetProcAddress() success\n");
  MWPC_TRACE("Calling %s()...\n", functionName);
  try {
    const char* result = function();
    text = result ? result : "";
  } catch (...) {
    g_dwLastError = GetLastError();
    MWPC_TRACE("%s() FAILED! GetLastError = 0x%08X: %s\n", functionName, g_dwLastError,
               FormatLastError(g_dwLastError).c_str());
    text.clear();
  }
}

// The driver file's version, under its current name or else its older one.
bool ReadDriverFileVersion(CModuleVersion& viWinPCapDriverVersionInfo) {
  const std::string strWindowsSystemDirectory =
      WindowsizedDirectory(StandardizedDirectory(GetStdSystemDirectory(), false));
  std::string strDriverFile = strWindowsSystemDirectory + "/drivers/npf.sys";
  MWPC_TRACE("GetFileVersionInfo(\"%s\")...\n", strDriverFile.c_str());
  if (!viWinPCapDriverVersionInfo.GetFileVersionInfo(strDriverFile)) {
    g_dwLastError = GetLastError();
    MWPC_TRACE("GetFileVersionInfo() FAILED! GetLastError = 0x%08X: %s\n", g_dwLastError,
               FormatLastError(g_dwLastError).c_str());
    strDriverFile = strWindowsSystemDirectory + "/drivers/packet.sys";
    MWPC_TRACE("Retrying with older name...\n");
    MWPC_TRACE("GetFileVersionInfo(\"%s\")...\n", strDriverFile.c_str());
    if (!viWinPCapDriverVersionInfo.GetFileVersionInfo(strDriverFile)) {
      g_dwLastError = GetLastError();
      MWPC_TRACE("GetFileVersionInfo() FAILED! GetLastError = 0x%08X: %s\n", g_dwLastError,
                 FormatLastError(g_dwLastError).c_str());
      MWPC_TRACE("Both attempts failed! WinPCap device driver version unavailable!\n");
      return false;
    }
  }
  MWPC_TRACE("GetFileVersionInfo() SUCCESS\n");
  return true;
}

void InitWinPCapDriverVersion() {
  QueryLibraryText("PacketGetDriverVersion", g_strWinPCapDriverVersion);
  if (g_strWinPCapDriverVersion.empty()) {
    CModuleVersion viWinPCapDriverVersionInfo;
    if (ReadDriverFileVersion(viWinPCapDriverVersionInfo)) {
      g_strWinPCapDriverVersion = FileVersionText(viWinPCapDriverVersionInfo.FixedInfo());
    }
  }
  MWPC_TRACE("g_strWinPCapDriverVersion = \"%s\"\n", g_strWinPCapDriverVersion.c_str());
}

}  // namespace

bool InitWinPCap() {
  MWPC_TRACE("...\n");
  if (!InitWinPCapDriverDeviceNamePrefix()) {
    MWPC_TRACE("InitWinPCapDriverDeviceNamePrefix() FAILED! returning false\n");
    return false;
  }
  if (!InitWinPCapIoCtlProtocolQueryOid()) {
    MWPC_TRACE("InitWinPCapIoCtlProtocolQueryOid() FAILED! returning false\n");
    return false;
  }
  if (!InitWinPCapIoCtlProtocolSetOid()) {
    MWPC_TRACE("InitWinPCapIoCtlProtocolSetOid() FAILED! returning false\n");
    return false;
  }
  MWPC_ASSERT(g_hWinPCapDLL != nullptr);
  MWPC_TRACE("CreateWinPCapDriverService()...\n");
  const bool bSuccess = CreateWinPCapDriverService();
  if (bSuccess) {
    MWPC_TRACE("CreateWinPCapDriverService() SUCCESS! returning true\n");
  } else {
    MWPC_TRACE("CreateWinPCapDriverService() FAILED! returning false\n");
  }
  return bSuccess;
}

bool InitWinPCapDriverDeviceNamePrefix() {
  if (!g_strWinPCapDriverDeviceNamePrefix.empty()) return true;
  if (!InitWinPCapVersion()) return false;
  g_strWinPCapDriverDeviceNamePrefix = "NPF_";
  return true;
}

bool InitWinPCapIoCtlProtocolQueryOid() {
  if (!InitWinPCapVersion()) return false;
  g_dwWinPCapIoCtlProtocolQueryOid = kWinPCapIoCtlProtocolQueryOid;
  return true;
}

bool InitWinPCapIoCtlProtocolSetOid() {
  if (!InitWinPCapVersion()) return false;
  g_dwWinPCapIoCtlProtocolSetOid = kWinPCapIoCtlProtocolSetOid;
  return true;
}

void InitWinPCapDLLName() {
  MWPC_TRACE("...\n");
  if (!g_strWinPCapDLLName.empty()) return;

  // By name only: the library search covers the executable's folder and the
  // system directory, never the current directory.
  g_strWinPCapDLLName = "Packet.DLL";
  MWPC_TRACE("AfxLoadLibrary(\"%s\")...\n", g_strWinPCapDLLName.c_str());
  g_hWinPCapDLL = platform::LoadLibrary(g_strWinPCapDLLName.c_str());
  if (g_hWinPCapDLL) {
    MWPC_TRACE("AfxLoadLibrary() SUCCESS; g_strWinPCapDLLName = \"%s\"; returning\n", g_strWinPCapDLLName.c_str());
    return;
  }
  g_dwLastError = GetLastError();
  MWPC_TRACE("AfxLoadLibrary() FAILED! GetLastError = 0x%08X; trying alternate name\n", g_dwLastError);

  g_strWinPCapDLLName = "Npf.DLL";
  MWPC_TRACE("AfxLoadLibrary(\"%s\")... (alternate name)\n", g_strWinPCapDLLName.c_str());
  g_hWinPCapDLL = platform::LoadLibrary(g_strWinPCapDLLName.c_str());
  if (g_hWinPCapDLL) {
    MWPC_TRACE("AfxLoadLibrary() SUCCESS; g_strWinPCapDLLName = \"%s\"; returning\n", g_strWinPCapDLLName.c_str());
    return;
  }
  g_dwLastError = GetLastError();
  MWPC_TRACE("AfxLoadLibrary() FAILED! GetLastError = 0x%08X\n", g_dwLastError);
  MWPC_TRACE("Unable to determine WinPCap support library name! :(\n");
  g_strWinPCapDLLName = "???";
  MWPC_TRACE("returning with g_strWinPCapDLLName = \"%s\"\n", g_strWinPCapDLLName.c_str());
}

bool InitWinPCapVersion() {
  if (!g_strWinPCapDLLVersion.empty()) return true;
  MWPC_TRACE("...\n");
  g_strWinPCapDLLVersion = "???";

  MWPC_TRACE("Calling InitWinPCapDLLName()...\n");
  InitWinPCapDLLName();
  if (g_strWinPCapDLLName == "???") {
    MWPC_TRACE("InitWinPCapDLLName() appears to have failed!  :(\n");
    MWPC_TRACE("returning false\n");
    return false;
  }

  MWPC_TRACE(
      "Using MestraLib's CModuleVersion class to obtain WinPcap DLL VS_FIXEDFILEINFO directly from the DLL "
      "itself...\n");
  if (g_viWinPCapDLLVersionInfo.GetFileVersionInfo(g_hWinPCapDLL)) {
    const platform::VS_FIXEDFILEINFO& info = g_viWinPCapDLLVersionInfo.FixedInfo();
    MWPC_TRACE("WinPCap DLL version successfully retrieved\n");
    g_wWinPCapMajorVersion = HighWord(info.dwFileVersionMS);
    g_wWinPCapMinorVersion = LowWord(info.dwFileVersionMS);
    MWPC_TRACE("g_wWinPCapMajorVersion = 0x%04X (%d)\n", g_wWinPCapMajorVersion, g_wWinPCapMajorVersion);
    MWPC_TRACE("g_wWinPCapMinorVersion = 0x%04X (%d)\n", g_wWinPCapMinorVersion, g_wWinPCapMinorVersion);
    g_strWinPCapDLLVersion = FileVersionText(info);
    MWPC_TRACE("g_strWinPCapDLLVersion = \"%s\"\n", g_strWinPCapDLLVersion.c_str());
  } else {
    g_dwLastError = GetLastError();
    MWPC_TRACE("FAILED to obtain WinPCap DLL VS_FIXEDFILEINFO from MestraLib's CModuleVersion class!\n");
  }

  // PacketGetVersion exists from 2.3 on.
  if (VersionAtLeast(2, 3)) QueryLibraryText("PacketGetVersion", g_strWinPCapDLLVersion);

  if (g_wWinPCapMajorVersion < 3) {
    MWPC_TRACE("g_wWinPCapMajorVersion < 3! You're using a too old version of WinPCap!\n");
  } else {
    InitWinPCapDriverVersion();
  }

  if (g_strWinPCapDLLVersion.empty()) g_strWinPCapDLLVersion = FileVersionText(g_viWinPCapDLLVersionInfo.FixedInfo());
  MWPC_TRACE("g_strWinPCapDLLVersion = \"%s\"; returning true\n", g_strWinPCapDLLVersion.c_str());
  return true;
}

bool CreateWinPCapDriverService() {
  MWPC_TRACE("...\n");
  MWPC_ASSERT(g_hWinPCapDLL != nullptr);

  const std::string strOpenAdapterFunctionName = "PacketOpenAdapter";
  MWPC_TRACE("GetProcAddress(\"%s\")...\n", strOpenAdapterFunctionName.c_str());
  auto pPacketOpenAdapter = reinterpret_cast<OpenAdapterFunction>(
      platform::GetProcAddress(g_hWinPCapDLL, strOpenAdapterFunctionName.c_str()));
  if (!pPacketOpenAdapter) {
    const int nErrno = errno;
    g_dwLastError = GetLastError();
    MWPC_TRACE("GetProcAddress() FAILED! errno = %d, GetLastError = 0x%08X: %s\n", nErrno, g_dwLastError,
               FormatLastError(g_dwLastError).c_str());
    platform::SetErrors(g_dwLastError, nErrno);
    return false;
  }

  // No adapter of this name exists: the call is made only so that the
  // library sets up its driver service. Releases before 3.1 take UTF-16 names.
  std::string strDummyAdapterName = "{dummy-adapter-name}";
  if (VersionAtLeast(3, 1)) {
    MWPC_TRACE("%s(\"%s\")...\n", strOpenAdapterFunctionName.c_str(), strDummyAdapterName.c_str());
    pPacketOpenAdapter(strDummyAdapterName.data());
  } else {
    std::u16string wstrDummyAdapterName(strDummyAdapterName.begin(), strDummyAdapterName.end());
    MWPC_TRACE("%s(\"%s\")...\n", strOpenAdapterFunctionName.c_str(), strDummyAdapterName.c_str());
    pPacketOpenAdapter(wstrDummyAdapterName.data());
  }
  MWPC_TRACE("DONE! returning true\n");
  return true;
}
