// The machine's registry values, read only: the few keys the kit reads,
// built from the machine (linux: /etc/os-release, sysfs, ethtool; sim: the
// host description). Key paths use "\\" as separator and compare without
// regard to case. Text values (REG_SZ) are stored as UTF-16LE with their
// terminating zero, as the callers' buffers expect.
//
// Keys provided:
//   SOFTWARE\Microsoft\Windows NT\CurrentVersion            EditionID, DisplayVersion
//   SYSTEM\CurrentControlSet\Control\Class\{4D36E972-E325-11CE-BFC1-08002BE10318}\NNNN
//       NetCfgInstanceId (the interface name), *LsoV1Ipv4 *LsoV1Ipv6 *LsoV2Ipv4 *LsoV2Ipv6
//   SYSTEM\CurrentControlSet\Control\Network\{4D36E972-E325-11CE-BFC1-08002BE10318}\<name>\Connection
//       Name, PnpInstanceID
//   SYSTEM\CurrentControlSet\Enum\<PnpInstanceID>                DeviceDesc
#pragma once

#include <string>

#include "platform/winerror.h"
#include "platform/wintypes.h"

namespace platform {

using HKEY = void*;
inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(std::uintptr_t{0x80000002});

constexpr DWORD KEY_QUERY_VALUE = 0x0001;
constexpr DWORD KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr DWORD KEY_READ = 0x20019;

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;

// Results are error codes (ERROR_SUCCESS, ERROR_FILE_NOT_FOUND, ERROR_MORE_DATA,
// ERROR_NO_MORE_ITEMS, ERROR_INVALID_HANDLE), as the registry functions give them.
LONG RegOpenKeyEx(HKEY root, const char* subKey, DWORD options, DWORD access, HKEY* result);
// With data null, only the type and the size are returned. A value larger than
// *size gives ERROR_MORE_DATA and sets *size to the size needed.
LONG RegQueryValueEx(HKEY key, const char* valueName, DWORD* type, BYTE* data, DWORD* size);
// Sub-key names by index; ERROR_NO_MORE_ITEMS past the last.
LONG RegEnumKeyEx(HKEY key, DWORD index, std::string* name);
LONG RegCloseKey(HKEY key);

}  // namespace platform
