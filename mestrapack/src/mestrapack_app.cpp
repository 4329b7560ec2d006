// The application object: its life with the library, and the registry of
// open adapters.
#include "mestrapack_app.h"

#include <new>

#include "debug_trace.h"
#include "mestralib/errors.h"
#include "platform/sync.h"

namespace {

constexpr char kVersionText[] = "3.9.0.6222-D";

// The key under which the per-process maps keep an adapter, and the handle a
// caller gets for it, are each other's complement.
HANDLE Complement(HANDLE handle) { return reinterpret_cast<HANDLE>(~reinterpret_cast<std::uintptr_t>(handle)); }

}  // namespace

thread_local DWORD CMestraPackApp::m_dwLastError = 0;
thread_local int CMestraPackApp::m_nErrno = 0;

CMestraPackApp::CMestraPackApp() = default;

CMestraPackApp::~CMestraPackApp() { MP_ASSERT(m_ProcessMaps.empty()); }

void CMestraPackApp::ApplyError() const { platform::SetErrors(m_dwLastError, m_nErrno); }

void CMestraPackApp::HandleNotFound(int line, const char* function, const char* message) {
  m_nErrno = kErrnoNoEnt;
  m_dwLastError = ERROR_NOT_FOUND;
  MestraLibAfxTraceEx(__FILE__, line, function, "%s", message);
  ApplyError();
}

bool CMestraPackApp::InitInstance() {
  m_strVersion = Utf8ToText(kVersionText);
  std::unique_ptr<CH2AMap> map(new (std::nothrow) CH2AMap(7));
  if (!map) {
    m_nErrno = kErrnoNoMem;
    m_dwLastError = ERROR_NOT_ENOUGH_MEMORY;
    APP_TRACE("CMestraPackApp::InitInstance", "new CH2AMap failed; rc=%d: %s\n", static_cast<int>(m_dwLastError),
              FormatLastError(m_dwLastError).c_str());
    ApplyError();
    return false;
  }
  platform::Guard guard(m_Lock);
  const DWORD pid = platform::GetCurrentProcessId();
  MP_ASSERT(m_ProcessMaps.find(pid) == m_ProcessMaps.end());
  m_ProcessMaps[pid] = std::move(map);
  return true;
}

void CMestraPackApp::ExitInstance() {
  platform::Guard guard(m_Lock);
  auto entry = m_ProcessMaps.find(platform::GetCurrentProcessId());
  MP_ASSERT(entry != m_ProcessMaps.end());
  if (entry != m_ProcessMaps.end()) {
    // Each adapter's destructor closes it (and takes its lock inside ours).
    if (entry->second) {
      entry->second->clear();
    }
    m_ProcessMaps.erase(entry);
  }
  m_pMapOfPid = nullptr;
  m_pSendMap = nullptr;
  m_hSendFile = nullptr;
  m_pSendAdapter = nullptr;
}

[[gnu::hot]] CH2AMap* CMestraPackApp::ProcessMap() {
  const DWORD pid = platform::GetCurrentProcessId();
  if (m_pMapOfPid != nullptr && m_dwMapPid == pid) {
    return m_pMapOfPid;
  }
  auto entry = m_ProcessMaps.find(pid);
  MP_ASSERT(entry != m_ProcessMaps.end() && entry->second);
  if (entry == m_ProcessMaps.end()) {
    // Carry on with an empty map rather than fail every later call.
    entry = m_ProcessMaps.emplace(pid, std::make_unique<CH2AMap>(7)).first;
  } else if (!entry->second) {
    entry->second = std::make_unique<CH2AMap>(7);
  }
  m_dwMapPid = pid;
  m_pMapOfPid = entry->second.get();
  return m_pMapOfPid;
}

const std::shared_ptr<CAdapter>* CMestraPackApp::FindAdapter(CH2AMap* map, HANDLE hFile) {
  auto found = map->find(hFile);
  if (found == map->end()) {
    HandleNotFound(__LINE__, "CMestraPackApp::GetAdapterPtr", "pHandleToCAdapterMap->Lookup() failed\n");
    return nullptr;
  }
  MP_ASSERT(found->second != nullptr);
  return &found->second;
}

std::shared_ptr<CAdapter> CMestraPackApp::GetAdapterPtr(HANDLE hAdapter) {
  platform::Guard guard(m_Lock);
  const std::shared_ptr<CAdapter>* entry = FindAdapter(ProcessMap(), Complement(hAdapter));
  return entry != nullptr ? *entry : nullptr;
}

// The frame path takes no reference to the adapter when it can help it: a
// reference count changed twice per frame costs more than both locks.
// Instead the adapter's lock is taken before the map's is let go, so a close
// on another thread (which destroys the adapter under its lock) waits until
// the frame is out. An adapter busy on another thread is waited for with a
// reference and without the map's lock, which the other calls need.
[[gnu::hot]] BOOL CMestraPackApp::SendPacket(HANDLE hAdapter, const void* frame, DWORD length) {
  const HANDLE hFile = Complement(hAdapter);
  CAdapter* adapter = nullptr;
  std::shared_ptr<CAdapter> busy;
  {
    platform::Guard guard(m_Lock);
    CH2AMap* map = ProcessMap();
    if (hFile == m_hSendFile && map == m_pSendMap) {
      adapter = m_pSendAdapter;
    } else {
      const std::shared_ptr<CAdapter>* entry = FindAdapter(map, hFile);
      if (entry == nullptr) {
        return FALSE;
      }
      adapter = entry->get();
      m_pSendMap = map;
      m_hSendFile = hFile;
      m_pSendAdapter = adapter;
    }
    if (!adapter->m_Lock.TryLock()) {
      busy = *FindAdapter(map, hFile);  // in the map: a close forgets the remembered adapter
    }
  }
  if (busy) {
    adapter->m_Lock.Lock();
  }
  if (adapter->SendPacket(frame, length)) {
    adapter->m_Lock.Unlock();
    return TRUE;
  }
  // Traced with no lock held: the trace may go to the caller's own hook.
  const std::string name = adapter->m_strAdapterName;
  const DWORD error = adapter->m_dwLastError;
  const int errnoValue = adapter->m_nErrno;
  adapter->m_Lock.Unlock();
  CAdapter::TraceSendFailure(name, error);
  platform::SetErrors(error, errnoValue);
  return FALSE;
}

HANDLE CMestraPackApp::OpenAdapter(const MESTRAPACK_TCHAR* pszAdapterName) {
  static const char kFunction[] = "CMestraPackApp::MestraPackOpenAdapter";
  if (pszAdapterName == nullptr) {
    m_nErrno = kErrnoInval;
    m_dwLastError = ERROR_INVALID_PARAMETER;
    APP_TRACE(kFunction, "pszAdapterName is NULL\n");
    ApplyError();
    return nullptr;
  }
  std::unique_ptr<CAdapter> adapter(new (std::nothrow) CAdapter(TextToUtf8(pszAdapterName).c_str()));
  MP_ASSERT(adapter != nullptr);
  if (!adapter) {
    m_nErrno = kErrnoNoMem;
    m_dwLastError = ERROR_NOT_ENOUGH_MEMORY;
    ApplyError();
    return nullptr;
  }
  if (adapter->m_hFile == nullptr) {
    APP_TRACE(kFunction, "pAdapter->m_hFile is NULL\n");
    const DWORD lastError = adapter->m_dwLastError;
    const int errnoValue = adapter->m_nErrno;
    adapter.reset();
    platform::SetErrors(lastError, errnoValue);
    return nullptr;
  }
  const HANDLE hFile = adapter->m_hFile;
  platform::Guard guard(m_Lock);
  CH2AMap* map = ProcessMap();
  MP_ASSERT(map->find(hFile) == map->end());
  (*map)[hFile] = std::move(adapter);
  return Complement(hFile);
}

void CMestraPackApp::CloseAdapter(HANDLE hAdapter) {
  const HANDLE hFile = Complement(hAdapter);
  platform::Guard guard(m_Lock);
  CH2AMap* map = ProcessMap();
  auto found = map->find(hFile);
  if (found == map->end()) {
    HandleNotFound(__LINE__, "CMestraPackApp::MestraPackCloseAdapter",
                   "pHandleToCAdapterMap->Lookup(hFile,pAdapter) failed\n");
    return;
  }
  // Destroyed here, while the map lock is held (the adapter lock comes
  // second), unless a call on another thread still uses it: then the end of
  // that call destroys it, with no lock of the application held.
  std::shared_ptr<CAdapter> adapter = std::move(found->second);
  map->erase(found);
  if (map == m_pSendMap && hFile == m_hSendFile) {
    m_pSendMap = nullptr;
    m_hSendFile = nullptr;
    m_pSendAdapter = nullptr;
  }
  adapter.reset();
}

BOOL CMestraPackApp::RejectArguments(const char* exportName, const char* message, int line) {
  m_nErrno = kErrnoInval;
  m_dwLastError = ERROR_INVALID_PARAMETER;
  const std::string function = std::string("CMestraPackApp::") + exportName;
  MestraLibAfxTraceEx(__FILE__, line, function.c_str(), "%s", message);
  ApplyError();
  return FALSE;
}

// --- The single instance and its life with the library ---------------------

namespace {

CMestraPackApp theApp;

// Constructed after theApp and destroyed before it: initialisation runs when
// the library is loaded, clean-up when it is unloaded.
struct LibraryLifetime {
  LibraryLifetime() { theApp.InitInstance(); }
  ~LibraryLifetime() { theApp.ExitInstance(); }
};
LibraryLifetime s_lifetime;

}  // namespace

[[gnu::hot]] CMestraPackApp& TheApp() { return theApp; }

const WinPcapFacts& TheWinPcapFacts() { return theApp.Facts(); }
