// The packet-capture information: acquired once per process by running the
// information utility, which writes its findings into a record file that this
// library creates, reads back and deletes.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "debug_trace.h"
#include "mestralib/errors.h"
#include "mestralib/sysfacts.h"
#include "mestrapack_app.h"
#include "platform/file.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "platform/sync.h"
#include "wpcinforec_file.h"

namespace {

constexpr char kFunction[] = "CMestraPackApp::MestraPackGetWinPCapInfo";
constexpr DWORD kDefaultTimeoutSeconds = 30;
constexpr DWORD kMaxTimeoutSeconds = 120;
constexpr int kCreateAttempts = 5;

const char* WaitOutcomeName(DWORD code) {
  switch (code) {
    case platform::WAIT_ABANDONED:
      return "WAIT_ABANDONED";
    case WAIT_TIMEOUT:
      return "WAIT_TIMEOUT";
    case platform::WAIT_FAILED:
      return "WAIT_FAILED";
    default:
      return "(Huh?!)";
  }
}

// Where this library lies: the utility is looked for there first.
std::string LibraryDirectory() {
  return platform::ModuleDirectory(reinterpret_cast<const void*>(&MestraPackGetWinPCapInfo));
}

}  // namespace

DWORD EffectiveUtilTimeout(DWORD settingSeconds) {
  if (settingSeconds == 0) {
    return 1;
  }
  return settingSeconds > kMaxTimeoutSeconds ? kMaxTimeoutSeconds : settingSeconds;
}

const char* UtilityProgramName(bool debuggerPresent) {
  return debuggerPresent ? "MWPCUtil32D.exe" : "MWPCUtilD.exe";
}

[[gnu::hot]] bool CMestraPackApp::EnsureWinPCapInfo() {
  if (m_bWinPCapInfo.load(std::memory_order_acquire)) {
    return true;
  }
  platform::Guard guard(m_Lock);
  if (m_bWinPCapInfo.load(std::memory_order_relaxed)) {
    return true;
  }
  const bool acquired = AcquireWinPCapInfo();
  m_bWinPCapInfo.store(acquired, std::memory_order_release);
  return acquired;
}

bool CMestraPackApp::AcquireWinPCapInfo() {
  APP_TRACE(kFunction, "...\n");
  MP_ASSERT(m_Facts.libraryName.empty());
  std::memset(&m_WPCInfo, 0, sizeof m_WPCInfo);

  // Saved after each outside call so that the failure the caller sees is the
  // one that ended the acquisition.
  auto saveThreadError = [] {
    m_dwLastError = GetLastError();
    m_nErrno = LastErrorToErrno(m_dwLastError);
  };

  platform::Profile profile("Morvane", "MestraPack");
  const DWORD timeoutSeconds =
      EffectiveUtilTimeout(profile.GetInt("Settings", "MWPCUtilTimeout", kDefaultTimeoutSeconds));

  char fileName[64];
  std::snprintf(fileName, sizeof fileName, "MWPCUtil-%d.dat", static_cast<int>(platform::GetCurrentProcessId()));
  std::string strFile = fileName;
  APP_TRACE(kFunction, "CreateFile( \"%s\" )...\n", strFile.c_str());

  // A fresh file every time; the platform never follows a symbolic link and
  // never empties a file that has another name, so a symbolic or hard link
  // planted at this name makes the create fail instead of writing through it
  // or truncating someone else's file. A failed attempt is tried again 25 ms later; a file made at
  // once is used at once (every program that lists the adapters at its
  // start waits for this).
  HANDLE hFile = nullptr;
  for (int attempt = 0; attempt < kCreateAttempts && hFile == nullptr; ++attempt) {
    if (attempt > 0) {
      platform::Sleep(25);
    }
    HANDLE handle = platform::CreateFile(
        strFile.c_str(), platform::GENERIC_READ | platform::GENERIC_WRITE,
        platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE | platform::FILE_SHARE_DELETE, platform::CREATE_ALWAYS,
        platform::FILE_ATTRIBUTE_TEMPORARY | platform::FILE_FLAG_DELETE_ON_CLOSE);
    saveThreadError();
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
      hFile = handle;
    }
  }
  // A current folder that takes no new file (read-only, or another user's)
  // would leave the library without the capture facts: the record goes to a
  // private folder of its own instead, named to the utility with its path.
  // Something planted at the name is still refused, as above.
  struct PrivateFolder {
    std::string path;
    ~PrivateFolder() {
      if (!path.empty()) platform::RemoveDirectory(path.c_str());  // empty once the file is closed
    }
  } privateFolder;
  std::error_code noStatus;
  if (hFile == nullptr && m_dwLastError == ERROR_ACCESS_DENIED &&
      !std::filesystem::exists(std::filesystem::symlink_status(strFile, noStatus))) {
    APP_TRACE(kFunction, "CreateFile() failed; GetLastError = 0x%08X (%d): %s\n", m_dwLastError,
              static_cast<int>(m_dwLastError), FormatLastError(m_dwLastError).c_str());
    privateFolder.path = platform::CreatePrivateTempFolder("mestrapack-");
    saveThreadError();
    if (!privateFolder.path.empty()) {
      strFile = privateFolder.path + "/" + fileName;
      APP_TRACE(kFunction, "CreateFile( \"%s\" )...\n", strFile.c_str());
      HANDLE handle = platform::CreateFile(
          strFile.c_str(), platform::GENERIC_READ | platform::GENERIC_WRITE,
          platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE | platform::FILE_SHARE_DELETE, platform::CREATE_NEW,
          platform::FILE_ATTRIBUTE_TEMPORARY | platform::FILE_FLAG_DELETE_ON_CLOSE);
      saveThreadError();
      if (handle != nullptr && handle != INVALID_HANDLE_VALUE) hFile = handle;
    }
  }
  if (hFile == nullptr) {
    APP_TRACE(kFunction, "CreateFile() failed; GetLastError = 0x%08X (%d): %s\n", m_dwLastError,
              static_cast<int>(m_dwLastError), FormatLastError(m_dwLastError).c_str());
    ApplyError();
    return false;
  }

  const bool debugged = platform::IsDebuggerPresent();
  std::string strMWPCUtilName = UtilityProgramName(debugged);
  const std::vector<std::string> arguments = {"GetWinPCapInfo", strFile};
  APP_TRACE(kFunction, "ShellExecuteEx( \"%s\" )  ...\n", strMWPCUtilName.c_str());
  HANDLE hProcess = platform::StartProcess(strMWPCUtilName, arguments, LibraryDirectory());
  saveThreadError();
  if (hProcess == nullptr && debugged && m_dwLastError == ERROR_FILE_NOT_FOUND) {
    // Any tracer (a debugger, strace) counts as attached here, and the other
    // build of the utility is seldom installed: without it the usual one
    // runs, so the library works the same traced or not.
    strMWPCUtilName = UtilityProgramName(false);
    APP_TRACE(kFunction, "ShellExecuteEx( \"%s\" )  ...\n", strMWPCUtilName.c_str());
    hProcess = platform::StartProcess(strMWPCUtilName, arguments, LibraryDirectory());
    saveThreadError();
  }
  if (hProcess == nullptr) {
    APP_TRACE(kFunction, "ShellExecuteEx() FAILED! GetLastError = 0x%08X (%d): %s\n", m_dwLastError,
              static_cast<int>(m_dwLastError), FormatLastError(m_dwLastError).c_str());
    platform::CloseHandle(hFile);
    ApplyError();
    return false;
  }

  APP_TRACE(kFunction, "%s running... WaitForSingleObject() for it to finish...\n", strMWPCUtilName.c_str());
  const DWORD dwRetCode = platform::WaitForSingleObject(hProcess, timeoutSeconds * 1000);
  saveThreadError();
  bool runOk = false;
  if (dwRetCode != platform::WAIT_OBJECT_0) {
    if (dwRetCode == WAIT_TIMEOUT && m_dwLastError == ERROR_SUCCESS) {
      // A wait that ran out leaves no error of its own; the caller must still
      // see why the call failed.
      m_dwLastError = WAIT_TIMEOUT;
      m_nErrno = LastErrorToErrno(WAIT_TIMEOUT);
    }
    APP_TRACE(kFunction, "WaitForSingleObject() FAILED?! dwRetCode = %s, GetLastError = 0x%08X (%d): %s\n",
              WaitOutcomeName(dwRetCode), m_dwLastError, static_cast<int>(m_dwLastError),
              FormatLastError(m_dwLastError).c_str());
  } else {
    DWORD dwMWPCUtilExitCode = 0;
    const BOOL haveExitCode = platform::GetExitCodeProcess(hProcess, &dwMWPCUtilExitCode);
    saveThreadError();
    if (!haveExitCode) {
      APP_TRACE(kFunction, "GetExitCodeProcess() FAILED?! GetLastError = 0x%08X (%d): %s\n", m_dwLastError,
                static_cast<int>(m_dwLastError), FormatLastError(m_dwLastError).c_str());
    } else {
      runOk = dwMWPCUtilExitCode == 0;
      APP_TRACE(kFunction, "%s: returned rc = %d: %s\n", strMWPCUtilName.c_str(), static_cast<int>(dwMWPCUtilExitCode),
                runOk ? "SUCCESS" : "FAILURE!");
      if (!runOk && m_dwLastError == ERROR_SUCCESS) {
        // The utility's failure has no error code of ours; never let a
        // failed acquisition look like success to the caller.
        m_dwLastError = ERROR_GEN_FAILURE;
        m_nErrno = LastErrorToErrno(ERROR_GEN_FAILURE);
      }
    }
  }
  platform::CloseHandle(hProcess);
  if (!runOk) {
    platform::CloseHandle(hFile);
    APP_TRACE(kFunction, "FAILED!\n");
    ApplyError();
    return false;
  }

  // The read closes (and so deletes) the file whatever it finds.
  WPCINFOREC record;
  if (!ReadWpcInfoRecFile(hFile, strMWPCUtilName, &record, kFunction)) {
    const int errnoValue = errno;
    m_dwLastError = GetLastError();
    m_nErrno = errnoValue;
    return false;
  }
  AdoptWinPcapRecord(record);
  MP_ASSERT(!m_Facts.libraryName.empty());
  return true;
}

void CMestraPackApp::AdoptWinPcapRecord(const WPCINFOREC& record) {
  m_Facts.driverVersion = WpcInfoRecText(record.szDriverVersion);
  m_Facts.libraryName = WpcInfoRecText(record.szLibraryName);
  m_Facts.libraryVersion = WpcInfoRecText(record.szLibraryVersion);
  m_Facts.deviceNamePrefix = WpcInfoRecText(record.szDeviceNamePrefix);
  m_Facts.libraryFileInfo = record.vsLibraryFileInfo;
  m_Facts.ioCtlProtocolQueryOid = record.dwIoCtlProtocolQueryOid;
  m_Facts.ioCtlProtocolSetOid = record.dwIoCtlProtocolSetOid;
  m_Facts.majorVersion = record.wWinPCapMajorVersion;
  m_Facts.minorVersion = record.wWinPCapMinorVersion;

  m_strDriverVersion = Utf8ToText(m_Facts.driverVersion);
  m_strLibraryName = Utf8ToText(m_Facts.libraryName);
  m_strLibraryVersion = Utf8ToText(m_Facts.libraryVersion);
  m_strDeviceNamePrefix = Utf8ToText(m_Facts.deviceNamePrefix);

  std::memset(&m_WPCInfo, 0, sizeof m_WPCInfo);
  m_WPCInfo.dwSize = sizeof m_WPCInfo;
  m_WPCInfo.pszDriverVersion = m_strDriverVersion.c_str();
  m_WPCInfo.pszLibraryName = m_strLibraryName.c_str();
  m_WPCInfo.pszLibraryVersion = m_strLibraryVersion.c_str();
  m_WPCInfo.pszDeviceNamePrefix = m_strDeviceNamePrefix.c_str();
  static_assert(sizeof m_WPCInfo.vsLibraryFileInfo == sizeof record.vsLibraryFileInfo);
  std::memcpy(&m_WPCInfo.vsLibraryFileInfo, &record.vsLibraryFileInfo, sizeof m_WPCInfo.vsLibraryFileInfo);
  m_WPCInfo.dwIoCtlProtocolQueryOid = record.dwIoCtlProtocolQueryOid;
  m_WPCInfo.dwIoCtlProtocolSetOid = record.dwIoCtlProtocolSetOid;
  m_WPCInfo.wWinPCapMajorVersion = record.wWinPCapMajorVersion;
  m_WPCInfo.wWinPCapMinorVersion = record.wWinPCapMinorVersion;
}

BOOL CMestraPackApp::GetWinPCapInfo(WPCINFO* pInfo) {
  MP_ASSERT(pInfo != nullptr);
  if (pInfo != nullptr && pInfo->dwSize == sizeof(WPCINFO)) {
    *pInfo = m_WPCInfo;
    return TRUE;
  }
  m_nErrno = kErrnoInval;
  m_dwLastError = ERROR_INVALID_PARAMETER;
  APP_TRACE(kFunction, "invalid argument\n");
  ApplyError();
  return FALSE;
}
