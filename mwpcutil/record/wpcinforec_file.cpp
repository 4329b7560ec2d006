#include "wpcinforec_file.h"

#include <array>
#include <cstdint>

#include "mestralib/directory.h"
#include "mestralib/errors.h"
#include "mestralib/trace.h"
#include "platform/file.h"
#include "platform/sync.h"
#include "platform/winerror.h"

namespace {

#define WPC_TRACE(...) MestraLibAfxTraceEx(__FILE_NAME__, __LINE__, __func__, __VA_ARGS__)

constexpr int kOpenAttempts = 10;
constexpr DWORD kOpenRetryStepMs = 50;

// A record file with another name besides this one (a hard link) would let
// the write land in a file that is not ours; such a file is refused like any
// other file the utility cannot use, and left as it is.
bool HasOneName(HANDLE hFile, const std::string& fileName, DWORD& dwLastError) {
  DWORD links = 0;
  if (!platform::GetFileLinkCount(hFile, &links)) {
    dwLastError = GetLastError();
    return false;
  }
  if (links == 1) return true;
  dwLastError = ERROR_ACCESS_DENIED;
  WPC_TRACE("CreateFile(\"%s\"): the file has %u names; refused\n", fileName.c_str(), static_cast<unsigned>(links));
  return false;
}

// MestraPack makes the record file empty; a file that already holds data is
// not one (the utility started by hand with another file's name), so it is
// refused and left as it is rather than overwritten.
bool IsEmpty(HANDLE hFile, const std::string& fileName, DWORD& dwLastError) {
  std::uint64_t size = 0;
  if (!platform::GetFileSizeEx(hFile, &size)) {
    dwLastError = GetLastError();
    return false;
  }
  if (size == 0) return true;
  dwLastError = ERROR_ACCESS_DENIED;
  WPC_TRACE("CreateFile(\"%s\"): the file already holds %llu bytes; refused\n", fileName.c_str(),
            static_cast<unsigned long long>(size));
  return false;
}

// MestraPack holds the file open with delete-on-close, so the delete share is
// needed next to read and write. OPEN_EXISTING: the name is relative and
// predictable, so the utility must never create a file there, and the
// platform's open refuses a symbolic link or anything but a regular file.
HANDLE OpenRecordFile(const std::string& fileName, DWORD& dwLastError) {
  WPC_TRACE("CreateFile(\"%s\")...\n", fileName.c_str());
  HANDLE hFile = INVALID_HANDLE_VALUE;
  int nTries = 0;
  while (nTries < kOpenAttempts && hFile == INVALID_HANDLE_VALUE) {
    hFile = platform::CreateFile(fileName.c_str(), platform::GENERIC_WRITE,
                                 platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE |
                                     platform::FILE_SHARE_DELETE,
                                 platform::OPEN_EXISTING, platform::FILE_ATTRIBUTE_TEMPORARY);
    if (hFile == INVALID_HANDLE_VALUE) {
      dwLastError = GetLastError();
    } else if (!HasOneName(hFile, fileName, dwLastError) || !IsEmpty(hFile, fileName, dwLastError)) {
      platform::CloseHandle(hFile);
      hFile = INVALID_HANDLE_VALUE;
    }
    // The creator may still be on its way; give it more time after each try.
    platform::Sleep(static_cast<DWORD>(nTries) * kOpenRetryStepMs);
    ++nTries;
  }
  if (hFile == INVALID_HANDLE_VALUE) {
    WPC_TRACE("CreateFile() FAILED! g_dwLastError = (0x%08X): %s\n", dwLastError,
              FormatLastError(dwLastError).c_str());
    WPC_TRACE("Returning false!\n");
    return INVALID_HANDLE_VALUE;
  }
  WPC_TRACE("CreateFile() succeeded after %d tries\n", nTries);
  return hFile;
}

std::string Shown(const char (&field)[kWpcInfoRecTextSize]) {
  return StringToFixedLen(WpcInfoRecText(field), kWpcInfoRecTextSize);
}

}  // namespace

void TraceWpcInfoRec(const WPCINFOREC& record) {
  const platform::VS_FIXEDFILEINFO& vs = record.vsLibraryFileInfo;
  WPC_TRACE("dwRecSize               = 0x%08X\n", record.dwRecSize);
  WPC_TRACE("sz9xDriverName          = \"%s\"\n", Shown(record.sz9xDriverName).c_str());
  WPC_TRACE("szDriverVersion         = \"%s\"\n", Shown(record.szDriverVersion).c_str());
  WPC_TRACE("szLibraryName           = \"%s\"\n", Shown(record.szLibraryName).c_str());
  WPC_TRACE("szLibraryVersion        = \"%s\"\n", Shown(record.szLibraryVersion).c_str());
  WPC_TRACE("szDeviceNamePrefix      = \"%s\"\n", Shown(record.szDeviceNamePrefix).c_str());
  WPC_TRACE("vsLibraryFileInfo       = (as follows):\n");
  const std::array<std::pair<const char*, DWORD>, 13> members{{
      {"dwSignature", vs.dwSignature},
      {"dwStrucVersion", vs.dwStrucVersion},
      {"dwFileVersionMS", vs.dwFileVersionMS},
      {"dwFileVersionLS", vs.dwFileVersionLS},
      {"dwProductVersionMS", vs.dwProductVersionMS},
      {"dwProductVersionLS", vs.dwProductVersionLS},
      {"dwFileFlagsMask", vs.dwFileFlagsMask},
      {"dwFileFlags", vs.dwFileFlags},
      {"dwFileOS", vs.dwFileOS},
      {"dwFileType", vs.dwFileType},
      {"dwFileSubtype", vs.dwFileSubtype},
      {"dwFileDateMS", vs.dwFileDateMS},
      {"dwFileDateLS", vs.dwFileDateLS},
  }};
  for (const auto& [name, value] : members) WPC_TRACE("   %-21s=    0x%08X\n", name, value);
  WPC_TRACE("wWinPCapMajorVersion    = 0x%04X\n", record.wWinPCapMajorVersion);
  WPC_TRACE("wWinPCapMinorVersion    = 0x%04X\n", record.wWinPCapMinorVersion);
  WPC_TRACE("dwIoCtlProtocolQueryOid = 0x%08X\n", record.dwIoCtlProtocolQueryOid);
  WPC_TRACE("dwIoCtlProtocolSetOid   = 0x%08X\n\n", record.dwIoCtlProtocolSetOid);
}

bool WriteWpcInfoRecFile(const std::string& fileName, const WPCINFOREC& record, DWORD& dwLastError) {
  HANDLE hFile = OpenRecordFile(fileName, dwLastError);
  if (hFile == INVALID_HANDLE_VALUE) return false;

  const DWORD dwBytesToBeWritten = kWpcInfoRecSize;
  DWORD dwBytesWritten = 0;
  WPC_TRACE("WriteFile() %d bytes...\n", static_cast<int>(dwBytesToBeWritten));
  bool bSuccess = platform::WriteFile(hFile, &record, dwBytesToBeWritten, &dwBytesWritten) != 0;
  dwLastError = GetLastError();
  if (bSuccess && dwBytesWritten != dwBytesToBeWritten) {
    WPC_TRACE("WriteFile(): dwBytesWritten (%d) != dwBytesToBeWritten (%d)!?!\n", static_cast<int>(dwBytesWritten),
              static_cast<int>(dwBytesToBeWritten));
    bSuccess = false;
  }
  if (!bSuccess) {
    WPC_TRACE("WriteFile() FAILED! GetLastError (0x%08X): %s\n", dwLastError, FormatLastError(dwLastError).c_str());
  }

  WPC_TRACE("WPCINFOREC record written (or not written) as follows:\n");
  TraceWpcInfoRec(record);

  platform::CloseHandle(hFile);
  WPC_TRACE("CloseHandle( hFile) completed.\n");

  if (bSuccess) {
    WPC_TRACE("overall SUCCESS! Returning true\n");
  } else {
    WPC_TRACE("overall FAILURE! Returning false!\n");
  }
  return bSuccess;
}

bool ReadWpcInfoRecFile(HANDLE file, const std::string& utilityName, WPCINFOREC* record,
                        const char* traceFunction) {
  // Never more than one record: whatever follows it in the file is not ours.
  std::array<BYTE, kWpcInfoRecSize> buffer{};
  DWORD dwBytesRead = 0;
  bool bReadOK = true;
  while (dwBytesRead < kWpcInfoRecSize) {
    DWORD dwChunk = 0;
    if (!platform::ReadFile(file, buffer.data() + dwBytesRead, kWpcInfoRecSize - dwBytesRead, &dwChunk)) {
      bReadOK = false;
      break;
    }
    if (dwChunk == 0) break;
    dwBytesRead += dwChunk;
  }
  const DWORD dwReadError = bReadOK ? ERROR_SUCCESS : GetLastError();
  platform::CloseHandle(file);

  if (!bReadOK) {
    MestraLibAfxTraceEx(__FILE_NAME__, __LINE__, traceFunction, "ReadFile() FAILED! rc=%d (0x%08X): %s\n",
                        static_cast<int>(dwReadError), dwReadError, FormatLastError(dwReadError).c_str());
    MestraLibAfxTraceEx(__FILE_NAME__, __LINE__, traceFunction, "FAILED!\n");
    platform::SetErrors(dwReadError, LastErrorToErrno(dwReadError));
    return false;
  }

  DWORD dwRecSize = 0;
  switch (CheckWpcInfoRec(buffer.data(), dwBytesRead, record, &dwRecSize)) {
    case WpcInfoRecCheck::kAccepted:
      return true;
    case WpcInfoRecCheck::kBadLength:
      MestraLibAfxTraceEx(__FILE_NAME__, __LINE__, traceFunction,
                          "%s: ERROR_BAD_LENGTH! (got != wanted) (%d != %d)\n", utilityName.c_str(),
                          static_cast<int>(dwBytesRead), static_cast<int>(kWpcInfoRecSize));
      MestraLibAfxTraceEx(__FILE_NAME__, __LINE__, traceFunction, "FAILED!\n");
      platform::SetErrors(ERROR_BAD_LENGTH, kErrnoIo);
      return false;
    case WpcInfoRecCheck::kInvalidData:
      MestraLibAfxTraceEx(__FILE_NAME__, __LINE__, traceFunction,
                          "%s: ERROR_INVALID_DATA! (g_sWPCInfoRec.dwRecSize != dwBytesWanted) (%d != %d): \n",
                          utilityName.c_str(), static_cast<int>(dwRecSize), static_cast<int>(kWpcInfoRecSize));
      MestraLibAfxTraceEx(__FILE_NAME__, __LINE__, traceFunction, "FAILED!\n");
      platform::SetErrors(ERROR_INVALID_DATA, kErrnoIo);
      return false;
  }
  return false;
}
