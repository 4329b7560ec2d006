// The library's exported functions: argument checks, the handle look-up and
// the hand-over to the adapter.
#include "debug_trace.h"
#include "mestralib/sysfacts.h"
#include "mestrapack/mestrapack.h"
#include "mestrapack_app.h"

namespace {

#ifdef MESTRAPACK_NARROW
#define MP_TEXT(s) s
#else
#define MP_TEXT(s) u##s
#endif

const MESTRAPACK_TCHAR kCopyright[] =
    MP_TEXT("MestraPack packet-driver control library. Copyright (C) Morvane. All rights reserved.");

#define REJECT(exportName, message) TheApp().RejectArguments(exportName, message, __LINE__)

// The adapter behind a caller's handle, after the information every adapter
// needs is at hand; null (with the cause on the thread) otherwise.
std::shared_ptr<CAdapter> Adapter(MESTRAPACK_HANDLE hAdapter) {
  if (!TheApp().EnsureWinPCapInfo()) {
    return nullptr;
  }
  return TheApp().GetAdapterPtr(hAdapter);
}

}  // namespace

extern "C" {

const MESTRAPACK_TCHAR* MestraPackGetCopyrightString(void) { return kCopyright; }

const MESTRAPACK_TCHAR* MestraPackGetVersionString(void) { return TheApp().VersionString().c_str(); }

void MestraPackGetVersionNumbers(int32_t* pnVerMajor, int32_t* pnVerInter, int32_t* pnVerMinor, int32_t* pnBuildNum) {
  if (pnVerMajor != nullptr) {
    *pnVerMajor = 3;
  }
  if (pnVerInter != nullptr) {
    *pnVerInter = 9;
  }
  if (pnVerMinor != nullptr) {
    *pnVerMinor = 0;
  }
  if (pnBuildNum != nullptr) {
    *pnBuildNum = 6222;
  }
}

MESTRAPACK_BOOL MestraPackGetAdaptersList(ADAPTER_INFO_LIST_ENTRY* pList, uint32_t* pdwBuffLen) {
  if (!TheApp().EnsureWinPCapInfo()) {
    return FALSE;
  }
  return TheApp().GetAdaptersList(pList, pdwBuffLen);
}

MESTRAPACK_HANDLE MestraPackOpenAdapter(const MESTRAPACK_TCHAR* pszAdapterName) {
  if (!TheApp().EnsureWinPCapInfo()) {
    return nullptr;
  }
  return TheApp().OpenAdapter(pszAdapterName);
}

MESTRAPACK_BOOL MestraPackResetAdapter(MESTRAPACK_HANDLE hAdapter) {
  std::shared_ptr<CAdapter> adapter = Adapter(hAdapter);
  return adapter != nullptr ? adapter->ResetAdapter() : FALSE;
}

void MestraPackCloseAdapter(MESTRAPACK_HANDLE hAdapter) {
  if (!TheApp().EnsureWinPCapInfo()) {
    return;
  }
  TheApp().CloseAdapter(hAdapter);
}

MESTRAPACK_BOOL MestraPackGetChecksumOffloadTask(MESTRAPACK_HANDLE hAdapter,
                                                 MESTRAPACK_CHECKSUM_OFFLOAD* pChecksumOffload) {
  if (!TheApp().EnsureWinPCapInfo()) {
    return FALSE;
  }
  if (hAdapter == nullptr || pChecksumOffload == nullptr) {
    return REJECT("MestraPackGetChecksumOffloadTask", "NULL parameter(s) passed\n");
  }
  std::shared_ptr<CAdapter> adapter = TheApp().GetAdapterPtr(hAdapter);
  return adapter != nullptr ? adapter->GetChecksumOffloadTask(pChecksumOffload) : FALSE;
}

// A frame sent is the library's busiest path; its functions are marked hot,
// which keeps them together in a few pages of code (after each system call
// the processor looks every page up anew, at a cost per page).
[[gnu::hot]] MESTRAPACK_BOOL MestraPackSendPacket(MESTRAPACK_HANDLE hAdapter, const void* pFrame,
                                                  uint32_t dwFrameLen) {
  if (!TheApp().EnsureWinPCapInfo()) {
    return FALSE;
  }
  if (hAdapter == nullptr || pFrame == nullptr || dwFrameLen == 0) {
    return REJECT("MestraPackSendPacket", "NULL parameter(s) passed\n");
  }
  return TheApp().SendPacket(hAdapter, pFrame, dwFrameLen);
}

MESTRAPACK_BOOL MestraPackSendManyPackets(MESTRAPACK_HANDLE hAdapter, const void* pBuffer, uint32_t dwBufferLen) {
  if (!TheApp().EnsureWinPCapInfo()) {
    return FALSE;
  }
  if (hAdapter == nullptr || pBuffer == nullptr || dwBufferLen == 0) {
    return REJECT("MestraPackSendManyPackets", "NULL parameter(s) passed\n");
  }
  std::shared_ptr<CAdapter> adapter = TheApp().GetAdapterPtr(hAdapter);
  return adapter != nullptr ? adapter->SendManyPackets(pBuffer, dwBufferLen) : FALSE;
}

MESTRAPACK_BOOL MestraPackRecvPacket(MESTRAPACK_HANDLE hAdapter, void* pBuffer, uint32_t dwBufferLen,
                                     uint32_t* pdwBytesRead, MESTRAPACK_OVERLAPPED* pOverlapped) {
  if (!TheApp().EnsureWinPCapInfo()) {
    return FALSE;
  }
  if (hAdapter == nullptr || pBuffer == nullptr || dwBufferLen == 0 || pdwBytesRead == nullptr ||
      pOverlapped != nullptr) {
    return REJECT("MestraPackRecvPacket", "invalid parameter(s) passed\n");
  }
  std::shared_ptr<CAdapter> adapter = TheApp().GetAdapterPtr(hAdapter);
  return adapter != nullptr ? adapter->RecvPacket(pBuffer, dwBufferLen, pdwBytesRead, pOverlapped) : FALSE;
}

MESTRAPACK_BOOL MestraPackCancelIo(MESTRAPACK_HANDLE hAdapter) {
  if (!TheApp().EnsureWinPCapInfo()) {
    return FALSE;
  }
  if (g_bWinNT || hAdapter == nullptr) {
    return REJECT("MestraPackCancelIo", "invalid parameter(s)\n");
  }
  std::shared_ptr<CAdapter> adapter = TheApp().GetAdapterPtr(hAdapter);
  return adapter != nullptr ? adapter->CancelIo() : FALSE;
}

MESTRAPACK_BOOL MestraPackGetOverlappedResult(MESTRAPACK_HANDLE hAdapter, MESTRAPACK_OVERLAPPED* pOverlapped,
                                              uint32_t* pdwBytesTransferred) {
  if (!TheApp().EnsureWinPCapInfo()) {
    return FALSE;
  }
  if (g_bWinNT || hAdapter == nullptr || pOverlapped == nullptr || pdwBytesTransferred == nullptr) {
    return REJECT("MestraPackGetOverlappedResult", "invalid parameter(s)\n");
  }
  std::shared_ptr<CAdapter> adapter = TheApp().GetAdapterPtr(hAdapter);
  return adapter != nullptr ? adapter->GetOverlappedResult(pOverlapped, pdwBytesTransferred) : FALSE;
}

MESTRAPACK_BOOL MestraPackSetBpf(MESTRAPACK_HANDLE hAdapter, const MESTRAPACK_BPF_PROGRAM* pBF) {
  if (!TheApp().EnsureWinPCapInfo()) {
    return FALSE;
  }
  if (pBF == nullptr) {
    return REJECT("MestraPackSetBpf", "pBF is NULL\n");
  }
  std::shared_ptr<CAdapter> adapter = TheApp().GetAdapterPtr(hAdapter);
  return adapter != nullptr ? adapter->SetBpf(pBF) : FALSE;
}

MESTRAPACK_BOOL MestraPackSetBuff(MESTRAPACK_HANDLE hAdapter, uint32_t dwBytes) {
  std::shared_ptr<CAdapter> adapter = Adapter(hAdapter);
  return adapter != nullptr ? adapter->SetBuff(dwBytes) : FALSE;
}

MESTRAPACK_BOOL MestraPackSetHwFilter(MESTRAPACK_HANDLE hAdapter, uint32_t dwFilter) {
  std::shared_ptr<CAdapter> adapter = Adapter(hAdapter);
  return adapter != nullptr ? adapter->SetHwFilter(dwFilter) : FALSE;
}

MESTRAPACK_BOOL MestraPackSetNoCaptureSelf(MESTRAPACK_HANDLE hAdapter, MESTRAPACK_BOOL bNoCaptureSelf) {
  std::shared_ptr<CAdapter> adapter = Adapter(hAdapter);
  return adapter != nullptr ? adapter->SetNoCaptureSelf(bNoCaptureSelf) : FALSE;
}

MESTRAPACK_BOOL MestraPackSetReadEventThreshold(MESTRAPACK_HANDLE hAdapter, uint32_t dwBytes) {
  std::shared_ptr<CAdapter> adapter = Adapter(hAdapter);
  return adapter != nullptr ? adapter->SetReadEventThreshold(dwBytes) : FALSE;
}

MESTRAPACK_BOOL MestraPackSetRecvPacketTimeout(MESTRAPACK_HANDLE hAdapter, uint32_t dwMilliseconds) {
  std::shared_ptr<CAdapter> adapter = Adapter(hAdapter);
  return adapter != nullptr ? adapter->SetRecvPacketTimeout(dwMilliseconds) : FALSE;
}

MESTRAPACK_HANDLE MestraPackGetWin32ReadEventHandle(MESTRAPACK_HANDLE hAdapter) {
  std::shared_ptr<CAdapter> adapter = Adapter(hAdapter);
  return adapter != nullptr ? adapter->GetWin32ReadEventHandle() : nullptr;
}

MESTRAPACK_BOOL MestraPackGetStats(MESTRAPACK_HANDLE hAdapter, MESTRAPACK_BPF_STAT* pBS) {
  if (!TheApp().EnsureWinPCapInfo()) {
    return FALSE;
  }
  if (pBS == nullptr) {
    return REJECT("MestraPackGetStats", "pBS is NULL\n");
  }
  std::shared_ptr<CAdapter> adapter = TheApp().GetAdapterPtr(hAdapter);
  return adapter != nullptr ? adapter->GetStats(pBS) : FALSE;
}

MESTRAPACK_BOOL MestraPackSetPrintDebugStringFunction(MESTRAPACK_PRINT_FUNCTION pfn) {
  SetPrintDebugString(pfn);
  return pfn != nullptr ? TRUE : FALSE;
}

MESTRAPACK_BOOL MestraPackGetWinPCapInfo(WPCINFO* pInfo) {
  if (!TheApp().EnsureWinPCapInfo()) {
    return FALSE;
  }
  return TheApp().GetWinPCapInfo(pInfo);
}

}  // extern "C"
