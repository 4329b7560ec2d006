// The adapter list: every adapter of the IP helper that the capture driver can
// open, with its registry names and offload capabilities.
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "debug_trace.h"
#include "mestralib/address.h"
#include "mestralib/errors.h"
#include "mestralib/sysfacts.h"
#include "mestrapack_app.h"
#include "platform/profile.h"
#include "platform/registry.h"

namespace {

constexpr char kNetworkClassKey[] =
    "SYSTEM\\CurrentControlSet\\Control\\Network\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\";
constexpr std::size_t kValueChars = 256;

// A text value of an open key, in the registry's 16-bit form, or false.
bool ReadTextValue(platform::HKEY key, const char* name, std::string* text) {
  char16_t szRegValueQueryBuff[kValueChars] = {};
  DWORD type = 0;
  DWORD size = sizeof szRegValueQueryBuff;
  if (platform::RegQueryValueEx(key, name, &type, reinterpret_cast<BYTE*>(szRegValueQueryBuff), &size) !=
      ERROR_SUCCESS) {
    return false;
  }
  // The size is the registry's word; never read past what the buffer holds,
  // and end the text before the returned length.
  std::size_t chars = std::min<std::size_t>(size / sizeof(char16_t), kValueChars);
  szRegValueQueryBuff[chars == 0 ? 0 : chars - 1] = 0;
  *text = Utf16ToUtf8(std::u16string_view(szRegValueQueryBuff));
  return true;
}

}  // namespace

std::string DeviceDescForFlavor(const std::string& deviceDesc, int flavor) {
  if (flavor >= 9) {
    std::size_t semicolon = deviceDesc.find(';');
    if (semicolon != std::string::npos) {
      return deviceDesc.substr(semicolon + 1);
    }
  }
  return deviceDesc;
}

void GetAdapterRegistryNames(const std::string& strAdapterGUIDName, std::string* strConnectionName,
                             std::string* strDeviceDesc) {
  strConnectionName->clear();
  strDeviceDesc->clear();
  std::string strRegKey = kNetworkClassKey + strAdapterGUIDName + "\\Connection";
  platform::HKEY key = nullptr;
  if (platform::RegOpenKeyEx(platform::HKEY_LOCAL_MACHINE, strRegKey.c_str(), 0, platform::KEY_READ, &key) ==
      ERROR_SUCCESS) {
    std::string text;
    if (ReadTextValue(key, "Name", &text)) {
      *strConnectionName = text;
    }
    std::string pnpInstanceId;
    bool havePnp = ReadTextValue(key, "PnpInstanceID", &pnpInstanceId);
    platform::RegCloseKey(key);
    if (havePnp) {
      strRegKey = "SYSTEM\\CurrentControlSet\\Enum\\" + pnpInstanceId;
      platform::HKEY enumKey = nullptr;
      if (platform::RegOpenKeyEx(platform::HKEY_LOCAL_MACHINE, strRegKey.c_str(), 0, platform::KEY_READ, &enumKey) ==
          ERROR_SUCCESS) {
        if (ReadTextValue(enumKey, "DeviceDesc", &text)) {
          *strDeviceDesc = text;
        }
        platform::RegCloseKey(enumKey);
      }
    }
    *strDeviceDesc = DeviceDescForFlavor(*strDeviceDesc, g_eWinOSFlavor);
  }
  *strConnectionName = TrimBlanks(*strConnectionName);
  *strDeviceDesc = TrimBlanks(*strDeviceDesc);
}

std::vector<BYTE> OverrideListFromValue(const std::vector<BYTE>& value) {
  std::vector<BYTE> list(value.begin(), value.begin() + static_cast<std::ptrdiff_t>(value.size() / 6 * 6));
  MP_ASSERT(!list.empty());
  return list;
}

bool CMestraPackApp::IsChecksumOffloadOverridden(const BYTE address[6]) {
  static std::once_flag loaded;
  static std::vector<BYTE> list;
  std::call_once(loaded, [] {
    platform::Profile profile("Morvane", "MestraPack");
    std::vector<BYTE> value;
    if (profile.GetBinary("Settings", "ChecksumOffloadOverride", &value)) {
      list = OverrideListFromValue(value);
    }
  });
  for (std::size_t offset = 0; offset + 6 <= list.size(); offset += 6) {
    if (std::memcmp(list.data() + offset, address, 6) == 0) {
      return true;
    }
  }
  return false;
}

CMestraPackApp::AdapterInfoChain CMestraPackApp::GetIPAdapterInfo(DWORD* pdwNumAdapters) {
  static const char kFunction[] = "CMestraPackApp::GetIPAdapterInfo";
  *pdwNumAdapters = 0;
  ULONG size = 0;
  DWORD result = platform::GetAdaptersInfo(nullptr, &size);
  if (result != ERROR_BUFFER_OVERFLOW && result != ERROR_INSUFFICIENT_BUFFER) {
    // A host without adapters answers "no data" here; never report success
    // as the cause of a failure.
    const DWORD cause = result != ERROR_SUCCESS ? result : ERROR_NO_DATA;
    APP_TRACE(kFunction, "GetAdaptersInfo#1 failed; rc=%d: %s\n", static_cast<int>(cause),
              FormatLastError(cause).c_str());
    m_dwLastError = cause;
    m_nErrno = kErrnoInval;
    ApplyError();
    return nullptr;
  }
  std::size_t slots = (size + sizeof(platform::IP_ADAPTER_INFO) - 1) / sizeof(platform::IP_ADAPTER_INFO);
  if (slots == 0) {
    slots = 1;
  }
  AdapterInfoChain chain(new (std::nothrow) platform::IP_ADAPTER_INFO[slots]);
  if (!chain) {
    m_nErrno = kErrnoNoMem;
    m_dwLastError = ERROR_NOT_ENOUGH_MEMORY;
    APP_TRACE(kFunction, "new IP_ADAPTER_INFO [%d] failed; rc=%d: %s\n", static_cast<int>(slots),
              static_cast<int>(m_dwLastError), FormatLastError(m_dwLastError).c_str());
    ApplyError();
    return nullptr;
  }
  std::memset(static_cast<void*>(chain.get()), 0, slots * sizeof(platform::IP_ADAPTER_INFO));
  ULONG bufferSize = static_cast<ULONG>(slots * sizeof(platform::IP_ADAPTER_INFO));
  result = platform::GetAdaptersInfo(chain.get(), &bufferSize);
  if (result != ERROR_SUCCESS) {
    APP_TRACE(kFunction, "GetAdaptersInfo#2 failed; rc=%d: %s\n", static_cast<int>(result),
              FormatLastError(result).c_str());
    m_dwLastError = result;
    m_nErrno = LastErrorToErrno(result);
    ApplyError();
    return nullptr;
  }
  *pdwNumAdapters = static_cast<DWORD>(slots);
  return chain;
}

BOOL CMestraPackApp::MestraPackBuildAdapterInfoList(ADAPTER_INFO_LIST_ENTRY* pList, DWORD* pdwBuffLen) {
  static const char kFunction[] = "CMestraPackApp::MestraPackBuildAdapterInfoList";
  if (pdwBuffLen == nullptr) {
    m_nErrno = kErrnoInval;
    m_dwLastError = ERROR_INVALID_PARAMETER;
    APP_TRACE(kFunction, "pdwBuffLen is NULL\n");
    ApplyError();
    return FALSE;
  }
  DWORD dwNumAdapters = 0;
  AdapterInfoChain chain = GetIPAdapterInfo(&dwNumAdapters);
  if (!chain || dwNumAdapters == 0) {
    APP_TRACE(kFunction, "GetIPAdapterInfo failed; rc=%d: %s\n", static_cast<int>(m_dwLastError),
              FormatLastError(m_dwLastError).c_str());
    *pdwBuffLen = 0;
    ApplyError();
    return FALSE;
  }
  const std::uint64_t needed = std::uint64_t{dwNumAdapters} * sizeof(ADAPTER_INFO_LIST_ENTRY);
  const bool fits = pList != nullptr && *pdwBuffLen >= needed;
  *pdwBuffLen = static_cast<DWORD>(needed);
  if (!fits) {
    m_nErrno = kErrnoAgain;
    m_dwLastError = ERROR_INSUFFICIENT_BUFFER;
    ApplyError();
    return FALSE;
  }

  std::memset(static_cast<void*>(pList), 0, static_cast<std::size_t>(needed));
  ADAPTER_INFO_LIST_ENTRY* slot = pList;
  ADAPTER_INFO_LIST_ENTRY* previous = nullptr;
  const platform::IP_ADAPTER_INFO* info = chain.get();
  for (DWORD seen = 0; info != nullptr && seen < dwNumAdapters; info = info->Next, ++seen) {
    std::memset(static_cast<void*>(slot), 0, sizeof *slot);
    slot->dwSize = sizeof *slot;
    const std::string strAdapterGUIDName = FieldText(info->AdapterName, sizeof info->AdapterName);
    const std::string strWinPCapAdapterGUIDName = m_Facts.deviceNamePrefix + strAdapterGUIDName;
    CopyToField(slot->szAdapterName, 256, strWinPCapAdapterGUIDName);
    CopyToField(slot->szDescription, 128, FieldText(info->Description, sizeof info->Description));
    std::string strConnectionName;
    std::string strDeviceDesc;
    GetAdapterRegistryNames(strAdapterGUIDName, &strConnectionName, &strDeviceDesc);
    if (!strDeviceDesc.empty()) {
      CopyToField(slot->szDescription, 128, strDeviceDesc);
    }
    if (!strConnectionName.empty()) {
      CopyToField(slot->szConnectionName, 256, strConnectionName);
    }

    const std::string adapterName = TextToUtf8(slot->szAdapterName);
    std::unique_ptr<CAdapter> adapter(new (std::nothrow) CAdapter(adapterName.c_str()));
    if (!adapter) {
      m_nErrno = kErrnoNoMem;
      m_dwLastError = ERROR_NOT_ENOUGH_MEMORY;
      APP_TRACE(kFunction, "new CAdapter(\"%s\") failed; rc=%d: %s\n", adapterName.c_str(),
                static_cast<int>(m_dwLastError), FormatLastError(m_dwLastError).c_str());
      ApplyError();
      continue;
    }
    if (adapter->m_hFile == nullptr) {
      continue;  // not listed: the capture driver cannot open it
    }
    std::memcpy(slot->bMACAddress, adapter->m_MACAddress, 6);
    slot->dwMedium = adapter->m_nMedium;
    slot->dwLinkSpeed = adapter->m_dwLinkSpeed;
    slot->dwIPAddress = adapter->m_dwIPAddress;
    slot->dwIPMask = adapter->m_dwIPMask;
    slot->dwGateway = adapter->m_dwGateway;
    slot->dwReserved = 0;
    slot->dwIndex = info->Index;
    slot->bMediaConnected = adapter->m_bConnected;
    slot->bHaveChecksumOffload = adapter->GetChecksumOffloadTask(&slot->ChecksumOffload);
    slot->dwMaxTotalSize = adapter->m_dwMaxTotalSize;
    slot->bPromiscuous = adapter->m_bPromiscuous;
    slot->bDHCPEnabled = adapter->m_bDHCPEnabled;
    slot->bChecksumOffloadOverride = IsChecksumOffloadOverridden(slot->bMACAddress) ? TRUE : FALSE;
    adapter.reset();

    slot->pNext = nullptr;
    if (previous != nullptr) {
      previous->pNext = slot;
    }
    previous = slot;
    ++slot;
  }
  // A slot tried last but not listed holds nothing a caller could mistake
  // for an adapter.
  if (slot != pList + dwNumAdapters) {
    std::memset(static_cast<void*>(slot), 0, sizeof *slot);
  }
  return TRUE;
}

BOOL CMestraPackApp::GetAdaptersList(ADAPTER_INFO_LIST_ENTRY* pList, DWORD* pdwBuffLen) {
  const bool sizeQuery = pdwBuffLen != nullptr && *pdwBuffLen == 0;
  if (MestraPackBuildAdapterInfoList(pList, pdwBuffLen)) {
    return TRUE;
  }
  if (!sizeQuery) {
    APP_TRACE("CMestraPackApp::MestraPackGetAdaptersList", "MestraPackBuildAdapterInfoList failed; rc=%d: %s\n",
              static_cast<int>(m_dwLastError), FormatLastError(m_dwLastError).c_str());
    ApplyError();
  }
  return FALSE;
}
