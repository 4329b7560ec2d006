// One open instance of the packet-capture driver bound to one adapter.
// Constructing the object opens it; destroying it closes it. Every operation
// holds m_Lock from start to end (a frame sent has it taken by the
// application, see CMestraPackApp::SendPacket).
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "mestrapack/mestrapack.h"
#include "platform/file.h"
#include "platform/iphelper.h"
#include "platform/npf.h"
#include "platform/sync.h"
#include "platform/wintypes.h"

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

class CAdapter {
 public:
  // `name` is the device name in UTF-8 ("NPF_" + interface name); null is
  // taken as empty.
  explicit CAdapter(const char* name);
  ~CAdapter();
  CAdapter(const CAdapter&) = delete;
  CAdapter& operator=(const CAdapter&) = delete;

  BOOL ResetAdapter();
  BOOL CancelIo();
  // A new handle on the adapter's own network device, or null; the caller
  // closes it.
  HANDLE OpenRealAdapter();

  // Driver requests.
  BOOL IntSyncDeviceIoControl(DWORD code, DWORD inLen, DWORD outLen);
  BOOL ExtSyncDeviceIoControl(DWORD code, void* buffer, DWORD inLen, DWORD outLen);
  BOOL QueryOID(DWORD oid, void* buffer, DWORD length);
  BOOL SetOID(DWORD oid, const void* buffer, DWORD length);
  BOOL QueryOrSetOID(DWORD code, DWORD oid, void* buffer, DWORD length);

  // Frames and capture controls.
  // Sends one frame; the caller holds m_Lock. A failure is recorded in the
  // object; the caller traces it (TraceSendFailure) once the lock is let go.
  BOOL SendPacket(const void* frame, DWORD length);
  static void TraceSendFailure(const std::string& name, DWORD error);
  BOOL SendManyPackets(const void* buffer, DWORD length);
  BOOL RecvPacket(void* buffer, DWORD length, DWORD* bytesRead, MESTRAPACK_OVERLAPPED* overlapped);
  BOOL GetOverlappedResult(MESTRAPACK_OVERLAPPED* overlapped, DWORD* bytesTransferred);
  BOOL SetBpf(const MESTRAPACK_BPF_PROGRAM* program);
  BOOL GetStats(MESTRAPACK_BPF_STAT* stats);
  BOOL SetBuff(DWORD bytes);
  BOOL SetHwFilter(DWORD filter);
  BOOL SetReadEventThreshold(DWORD bytes);
  BOOL SetRecvPacketTimeout(DWORD milliseconds);
  BOOL SetNoCaptureSelf(BOOL noCaptureSelf);
  HANDLE GetWin32ReadEventHandle();

  // Checksum offload.
  BOOL GetChecksumOffloadTask(MESTRAPACK_CHECKSUM_OFFLOAD* record);
  BOOL Get5XCksumOffloadTask(HANDLE device, MESTRAPACK_CHECKSUM_OFFLOAD* record);
  BOOL Get6XCksumOffloadInfo(HANDLE device, npf::NDIS6_CHECKSUM_OFFLOAD* info);
  BOOL Query5XOffloads(HANDLE device, BYTE* buffer, DWORD length, DWORD* answerLength);
  BOOL Query6XOffloads(HANDLE device, BYTE* buffer, DWORD length, DWORD* answerLength);
  // Pointers into `buffer`, or null with ERROR_NOT_FOUND recorded.
  BYTE* Find5XChecksumTask(BYTE* buffer, DWORD answerLength);
  BYTE* Find6XCksumOffload(BYTE* buffer, DWORD answerLength);

  std::string m_strAdapterName;
  DWORD m_dwLastError = 0;
  int m_nErrno = 0;
  HANDLE m_hFile = nullptr;
  platform::PinnedFile m_FilePin;  // m_hFile's, for the frames sent; let go before m_hFile closes
  HANDLE m_hReadEvent = nullptr;
  DWORD m_nMedium = 0;
  DWORD m_dwLinkSpeed = 0;
  DWORD m_dwMaxTotalSize = 0;
  DWORD m_dwIPAddress = 0;
  DWORD m_dwIPMask = 0;
  DWORD m_dwGateway = 0;
  BYTE m_MACAddress[8] = {};
  BOOL m_bConnected = 0;
  BOOL m_bPromiscuous = 0;
  BOOL m_bDHCPEnabled = 0;
  // Lock order: the application's m_Lock may be held when this is taken,
  // never taken after it; this lock is re-entrant.
  platform::CriticalSection m_Lock;
  DWORD m_dwBytesReturned = 0;
  npf::PACKET_OID_DATA m_OidBuffer;

 private:
  struct AdapterInfoDeleter {
    void operator()(platform::IP_ADAPTER_INFO* info) const { delete[] info; }
  };
  using AdapterInfoChain = std::unique_ptr<platform::IP_ADAPTER_INFO[], AdapterInfoDeleter>;

  struct OffloadWay {
    const char* routine;
    const char* findName;
    BOOL (CAdapter::*query)(HANDLE, BYTE*, DWORD, DWORD*);
    BYTE* (CAdapter::*find)(BYTE*, DWORD);
  };
  struct OffloadRequest {
    const char* routine;
    DWORD minimum;
    DWORD oid;
    const void* header;
    std::size_t headerSize;
  };
  BOOL GetOffloadRecord(HANDLE device, void* out, std::size_t outSize, const OffloadWay& way);
  BOOL QueryOffloads(HANDLE device, BYTE* buffer, DWORD length, const OffloadRequest& request, DWORD* answerLength);

  BOOL DoOpenAdapter();
  BOOL ConnectReadEvent();
  BOOL FinishOpenAdapter();
  AdapterInfoChain GetIPAdapterInfo(std::size_t* slots);
  // The interface the adapter is bound to: its name without the device-name prefix.
  std::string InterfaceName() const;
  void TakeAddressesFrom(const platform::IP_ADAPTER_INFO* chain, std::size_t slots);
  void CloseDriverHandle();

  // The thread's last error (and its errno) into the object.
  void RecordThreadError();
  void RecordError(DWORD code);
  // The object's error onto the thread.
  void ApplyError() const;
  const char* Name() const { return m_strAdapterName.c_str(); }
};

// inet_addr's reading of a dotted text held in a fixed 16-byte field:
// the address in network byte order, 0xFFFFFFFF for a text it does not take.
DWORD InetAddrOfField(const char (&field)[16]);
