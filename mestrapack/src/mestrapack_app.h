// The library's single application object: the per-process maps from adapter
// handles to adapters, the packet-capture information, and the error of the
// object's own last failure on each thread.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <unordered_map>

#include "adapter.h"
#include "mestrapack/mestrapack.h"
#include "platform/module.h"
#include "platform/sync.h"
#include "platform/wintypes.h"
#include "text.h"
#include "winpcap_facts.h"
#include "wpcinforec.h"

// Driver file handle -> the adapter that owns it. Shared, so that a call that
// found an adapter keeps it until the call is over, even when another thread
// closes its handle meanwhile.
using CH2AMap = std::unordered_map<HANDLE, std::shared_ptr<CAdapter>>;
// Process identifier -> that process's handle map.
using CP2H2AMapMap = std::unordered_map<DWORD, std::unique_ptr<CH2AMap>>;

class CMestraPackApp {
 public:
  CMestraPackApp();
  ~CMestraPackApp();
  CMestraPackApp(const CMestraPackApp&) = delete;
  CMestraPackApp& operator=(const CMestraPackApp&) = delete;

  bool InitInstance();
  void ExitInstance();

  // The adapter behind a caller's handle, or null (1168 / 2). The reference
  // keeps the adapter alive for the caller's call, whatever other threads do
  // with the handle meanwhile.
  std::shared_ptr<CAdapter> GetAdapterPtr(HANDLE hAdapter);
  // One frame out through the adapter behind a caller's handle.
  BOOL SendPacket(HANDLE hAdapter, const void* frame, DWORD length);
  HANDLE OpenAdapter(const MESTRAPACK_TCHAR* pszAdapterName);
  void CloseAdapter(HANDLE hAdapter);
  // Records 87 / 22, traces `message` under "CMestraPackApp::<exportName>",
  // applies both to the thread; returns FALSE.
  BOOL RejectArguments(const char* exportName, const char* message, int line);

  bool EnsureWinPCapInfo();
  bool AcquireWinPCapInfo();
  // Takes the utility's record over as the library's packet-capture facts.
  void AdoptWinPcapRecord(const WPCINFOREC& record);
  BOOL GetWinPCapInfo(WPCINFO* pInfo);

  BOOL GetAdaptersList(ADAPTER_INFO_LIST_ENTRY* pList, DWORD* pdwBuffLen);
  BOOL MestraPackBuildAdapterInfoList(ADAPTER_INFO_LIST_ENTRY* pList, DWORD* pdwBuffLen);
  struct AdapterInfoDeleter {
    void operator()(platform::IP_ADAPTER_INFO* info) const { delete[] info; }
  };
  using AdapterInfoChain = std::unique_ptr<platform::IP_ADAPTER_INFO[], AdapterInfoDeleter>;
  AdapterInfoChain GetIPAdapterInfo(DWORD* pdwNumAdapters);
  bool IsChecksumOffloadOverridden(const BYTE address[6]);

  const WinPcapFacts& Facts() const { return m_Facts; }
  const TString& VersionString() const { return m_strVersion; }

  // The object's own failure onto the thread.
  void ApplyError() const;
  // An adapter handle that no open adapter of this process has: ENOENT and
  // ERROR_NOT_FOUND, traced under `function`.
  void HandleNotFound(int line, const char* function, const char* message);

  TString m_strVersion;
  // Lock order: taken before any adapter's m_Lock, never while one is held.
  // Guards m_ProcessMaps, every CH2AMap, the acquisition and the setting of
  // m_bWinPCapInfo.
  platform::CriticalSection m_Lock;
  CP2H2AMapMap m_ProcessMaps;
  // The codes of the object's last failure on the calling thread: each export
  // reports its own failure, whatever other threads fail meanwhile.
  static thread_local DWORD m_dwLastError;
  static thread_local int m_nErrno;
  // Set once the capture facts are acquired, and never cleared: every call
  // looks at it without the lock first.
  std::atomic<bool> m_bWinPCapInfo{false};

 private:
  CH2AMap* ProcessMap();  // under m_Lock
  // The map's entry for a driver handle, or null after HandleNotFound; under
  // m_Lock.
  const std::shared_ptr<CAdapter>* FindAdapter(CH2AMap* map, HANDLE hFile);

  // The calling process's map as last looked up (every frame sent looks it
  // up), under m_Lock; null until then and after ExitInstance.
  DWORD m_dwMapPid = 0;
  CH2AMap* m_pMapOfPid = nullptr;
  // The adapter the last frame went out on, under m_Lock: a guest sends on
  // one adapter, and this spares each frame the map's pages. Forgotten when
  // that adapter leaves the map.
  CH2AMap* m_pSendMap = nullptr;
  HANDLE m_hSendFile = nullptr;
  CAdapter* m_pSendAdapter = nullptr;

  WinPcapFacts m_Facts;
  // The public copy and the texts it points to; the texts never change once
  // taken over.
  WPCINFO m_WPCInfo{};
  TString m_strDriverVersion;
  TString m_strLibraryName;
  TString m_strLibraryVersion;
  TString m_strDeviceNamePrefix;
};

CMestraPackApp& TheApp();

// The wait for the information utility, in seconds, from the setting's raw
// value: 0 waits 1 second, anything above 120 waits 120.
DWORD EffectiveUtilTimeout(DWORD settingSeconds);

// The utility's program name: another build of it serves a debugged caller
// where that build is installed; the acquisition falls back to the usual one.
const char* UtilityProgramName(bool debuggerPresent);

// The description to show for an adapter: on systems of flavour 9 and above
// the registry's "@inf-reference;text" form is cut to its text.
std::string DeviceDescForFlavor(const std::string& deviceDesc, int flavor);

// The registry names of an interface: its connection name and device
// description, empty when the registry has none.
void GetAdapterRegistryNames(const std::string& strAdapterGUIDName, std::string* strConnectionName,
                             std::string* strDeviceDesc);

// The override list from the profile's raw value: whole 6-byte addresses.
std::vector<BYTE> OverrideListFromValue(const std::vector<BYTE>& value);
