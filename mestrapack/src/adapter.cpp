// Opening and closing an adapter, and the driver request primitives.
#include "adapter.h"

#include <cstring>
#include <new>

#include "debug_trace.h"
#include "mestralib/address.h"
#include "mestralib/errors.h"
#include "platform/file.h"
#include "platform/sockets.h"
#include "text.h"
#include "winpcap_facts.h"

namespace {

constexpr DWORD kEventNameLength = 26;
constexpr DWORD kOidRecordSize = sizeof(npf::PACKET_OID_DATA);

bool IsValid(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

}  // namespace

DWORD InetAddrOfField(const char (&field)[16]) {
  std::string text = FieldText(field, sizeof field);
  DWORD address = 0;
  if (!ParseIPAddress(text, &address, true)) {
    return 0xFFFFFFFF;
  }
  return platform::htonl(address);
}

CAdapter::CAdapter(const char* name) : m_strAdapterName(name ? name : "") {
  std::memset(&m_OidBuffer, 0, sizeof m_OidBuffer);
  m_hReadEvent = platform::CreateEvent(false);
  DoOpenAdapter();
}

CAdapter::~CAdapter() {
  platform::Guard guard(m_Lock);
  m_FilePin.Reset();
  if (m_hFile != nullptr) {
    CancelIo();
    MP_ASSERT(platform::CloseHandle(m_hFile));
    m_hFile = nullptr;
  }
  if (m_hReadEvent != nullptr) {
    MP_ASSERT(platform::CloseHandle(m_hReadEvent));
    m_hReadEvent = nullptr;
  }
}

void CAdapter::RecordThreadError() { RecordError(GetLastError()); }

void CAdapter::RecordError(DWORD code) {
  m_dwLastError = code;
  m_nErrno = LastErrorToErrno(code);
}

void CAdapter::ApplyError() const { platform::SetErrors(m_dwLastError, m_nErrno); }

void CAdapter::CloseDriverHandle() {
  m_FilePin.Reset();
  if (m_hFile != nullptr) {
    platform::CloseHandle(m_hFile);
    m_hFile = nullptr;
  }
}

BOOL CAdapter::DoOpenAdapter() {
  platform::Guard guard(m_Lock);
  const std::string strDeviceFileName = "\\\\.\\" + m_strAdapterName;
  bool defined = false;
  for (;;) {
    HANDLE file = platform::CreateFile(strDeviceFileName.c_str(), platform::GENERIC_READ | platform::GENERIC_WRITE,
                                       0, platform::OPEN_EXISTING, platform::FILE_FLAG_DELETE_ON_CLOSE);
    if (IsValid(file)) {
      m_hFile = file;
      m_FilePin = platform::PinFile(file);
      break;
    }
    RecordThreadError();
    if (!defined && m_dwLastError == ERROR_FILE_NOT_FOUND) {
      // The device link may simply not exist yet: define it once and retry.
      defined = true;
      const std::string strRawDeviceName = "\\Device\\" + m_strAdapterName;
      if (platform::DefineDosDevice(platform::DDD_RAW_TARGET_PATH, m_strAdapterName.c_str(),
                                    strRawDeviceName.c_str())) {
        continue;
      }
      RecordThreadError();
      DebugTrace("** CAdapter::DoOpenAdapter: DefineDosDevice( \"%s\", \"%s\" ) failed; rc=%d: %s\n", Name(),
                 strRawDeviceName.c_str(), static_cast<int>(m_dwLastError), FormatLastError(m_dwLastError).c_str());
    } else {
      DebugTrace("** CAdapter(%s)::DoOpenAdapter: CreateFile( \"%s\" ) failed; rc=%d: %s\n", Name(),
                 strDeviceFileName.c_str(), static_cast<int>(m_dwLastError), FormatLastError(m_dwLastError).c_str());
    }
    m_hFile = nullptr;
    ApplyError();
    return FALSE;
  }

  if (!ConnectReadEvent()) {
    CloseDriverHandle();
    ApplyError();
    return FALSE;
  }

  if (!FinishOpenAdapter()) {
    DebugTrace("** CAdapter(%s)::DoOpenAdapter: FinishOpenAdapter failed; rc=%d: %s\n", Name(),
               static_cast<int>(m_dwLastError), FormatLastError(m_dwLastError).c_str());
    CloseDriverHandle();
    ApplyError();
    return FALSE;
  }
  return TRUE;
}

BOOL CAdapter::ConnectReadEvent() {
  const WinPcapFacts& facts = TheWinPcapFacts();
  std::memset(&m_OidBuffer, 0, sizeof m_OidBuffer);
  if (facts.majorVersion < 4) {
    // Older drivers own the event and tell its name.
    if (!IntSyncDeviceIoControl(npf::PACKET_GETEVENTNAME_IOCTL, 0, kEventNameLength)) {
      DebugTrace("** CAdapter(%s)::DoOpenAdapter: IntSyncDeviceIoControl( PACKET_GETEVENTNAME_IOCTL ) failed; rc=%d: "
                 "%s\n",
                 Name(), static_cast<int>(m_dwLastError), FormatLastError(m_dwLastError).c_str());
      return FALSE;
    }
    const std::string eventName =
        FieldText(reinterpret_cast<const char*>(&m_OidBuffer), kEventNameLength);
    std::string strReadEventName = "Global\\" + eventName;
    HANDLE event = platform::OpenEvent(strReadEventName.c_str());
    if (!IsValid(event)) {
      strReadEventName = eventName;
      event = platform::OpenEvent(strReadEventName.c_str());
    }
    if (!IsValid(event)) {
      RecordThreadError();
      DebugTrace("** CAdapter(%s)::DoOpenAdapter: OpenEvent(\"%s\") failed; rc=%d: %s\n", Name(),
                 strReadEventName.c_str(), static_cast<int>(m_dwLastError), FormatLastError(m_dwLastError).c_str());
      return FALSE;
    }
    if (m_hReadEvent != nullptr) {
      platform::CloseHandle(m_hReadEvent);
    }
    m_hReadEvent = event;
    return TRUE;
  }
  // Newer drivers signal the library's own event; handles fit in 4 bytes.
  const DWORD handleValue = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(m_hReadEvent));
  std::memcpy(&m_OidBuffer, &handleValue, sizeof handleValue);
  if (!IntSyncDeviceIoControl(npf::PACKET_SETEVENTHANDLE_IOCTL, sizeof handleValue, 0)) {
    DebugTrace("** CAdapter(%s)::DoOpenAdapter: IntSyncDeviceIoControl( PACKET_SETEVENTHANDLE_IOCTL ) failed; rc=%d: "
               "%s\n",
               Name(), static_cast<int>(m_dwLastError), FormatLastError(m_dwLastError).c_str());
    return FALSE;
  }
  return TRUE;
}

BOOL CAdapter::FinishOpenAdapter() {
  platform::Guard guard(m_Lock);
  auto fatal = [this](const char* step) {
    DebugTrace("** CAdapter(%s)::FinishOpenAdapter: %s failed; rc=%d: %s\n", Name(), step,
               static_cast<int>(m_dwLastError), FormatLastError(m_dwLastError).c_str());
    ApplyError();
    return FALSE;
  };

  DWORD dwMaxLookAhead = 0;
  if (!QueryOID(npf::OID_GEN_MAXIMUM_LOOKAHEAD, &dwMaxLookAhead, sizeof dwMaxLookAhead)) {
    return fatal("QueryOID( OID_GEN_MAXIMUM_LOOKAHEAD )");
  }
  MP_ASSERT(dwMaxLookAhead != 0);
  if (!SetOID(npf::OID_GEN_CURRENT_LOOKAHEAD, &dwMaxLookAhead, sizeof dwMaxLookAhead)) {
    return fatal("SetOID( OID_GEN_CURRENT_LOOKAHEAD )");
  }
  if (!QueryOID(npf::OID_802_3_CURRENT_ADDRESS, m_MACAddress, 6)) {
    return fatal("QueryOID( OID_802_3_CURRENT_ADDRESS )");
  }
  if (!QueryOID(npf::OID_GEN_MEDIA_IN_USE, &m_nMedium, sizeof m_nMedium)) {
    return fatal("QueryOID( OID_GEN_MEDIA_IN_USE )");
  }
  if (!QueryOID(npf::OID_GEN_LINK_SPEED, &m_dwLinkSpeed, sizeof m_dwLinkSpeed)) {
    return fatal("QueryOID( OID_GEN_LINK_SPEED )");
  }
  if (!QueryOID(npf::OID_GEN_MAXIMUM_TOTAL_SIZE, &m_dwMaxTotalSize, sizeof m_dwMaxTotalSize)) {
    return fatal("QueryOID( OID_GEN_MAXIMUM_TOTAL_SIZE )");
  }

  // A driver that refuses promiscuous mode (wireless adapters) still opens.
  DWORD dwFilterType = npf::NDIS_PACKET_TYPE_PROMISCUOUS;
  if (SetOID(npf::OID_GEN_CURRENT_PACKET_FILTER, &dwFilterType, sizeof dwFilterType)) {
    m_bPromiscuous = TRUE;
  } else {
    m_bPromiscuous = FALSE;
    DebugTrace("** CAdapter(%s)::FinishOpenAdapter: WARNING: SetOID( OID_GEN_CURRENT_PACKET_FILTER = "
               "NDIS_PACKET_TYPE_PROMISCUOUS ) failed; rc=%d: %s\n",
               Name(), static_cast<int>(m_dwLastError), FormatLastError(m_dwLastError).c_str());
  }

  DWORD nNdisMediaState = 0;
  if (QueryOID(npf::OID_GEN_MEDIA_CONNECT_STATUS, &nNdisMediaState, sizeof nNdisMediaState)) {
    m_bConnected = nNdisMediaState == 0 ? TRUE : FALSE;
  } else {
    m_bConnected = FALSE;
    DebugTrace("** CAdapter(%s)::FinishOpenAdapter: QueryOID( OID_GEN_MEDIA_CONNECT_STATUS ) failed; rc=%d: %s\n",
               Name(), static_cast<int>(m_dwLastError), FormatLastError(m_dwLastError).c_str());
  }

  std::size_t slots = 0;
  AdapterInfoChain chain = GetIPAdapterInfo(&slots);
  if (!chain) {
    return fatal("GetIPAdapterInfo");
  }
  TakeAddressesFrom(chain.get(), slots);
  return TRUE;
}

std::string CAdapter::InterfaceName() const {
  const std::string& prefix = TheWinPcapFacts().deviceNamePrefix;
  if (!prefix.empty() && m_strAdapterName.compare(0, prefix.size(), prefix) == 0) {
    return m_strAdapterName.substr(prefix.size());
  }
  return m_strAdapterName;
}

void CAdapter::TakeAddressesFrom(const platform::IP_ADAPTER_INFO* chain, std::size_t slots) {
  m_dwIPAddress = 0xFFFFFFFF;
  m_dwIPMask = 0xFFFFFFFF;
  m_dwGateway = 0xFFFFFFFF;
  // Only the record of this adapter's own interface (its name, and so its
  // interface index) counts, and only while it carries the hardware address
  // the driver reported: another interface may have the same address, as the
  // kit's own virtual interface has the host adapter's.
  const std::string interfaceName = InterfaceName();
  // The chain holds at most `slots` records; never walk further than that.
  const platform::IP_ADAPTER_INFO* info = chain;
  for (std::size_t seen = 0; info != nullptr && seen < slots; info = info->Next, ++seen) {
    if (FieldText(info->AdapterName, sizeof info->AdapterName) == interfaceName && info->AddressLength == 6 &&
        std::memcmp(info->Address, m_MACAddress, 6) == 0) {
      m_dwIPAddress = InetAddrOfField(info->IpAddressList.IpAddress.String);
      m_dwIPMask = InetAddrOfField(info->IpAddressList.IpMask.String);
      m_dwGateway = InetAddrOfField(info->GatewayList.IpAddress.String);
      m_bDHCPEnabled = info->DhcpEnabled != 0 ? TRUE : FALSE;
      break;
    }
  }
}

CAdapter::AdapterInfoChain CAdapter::GetIPAdapterInfo(std::size_t* slots) {
  platform::Guard guard(m_Lock);
  *slots = 0;
  ULONG size = 0;
  DWORD result = platform::GetAdaptersInfo(nullptr, &size);
  if (result != ERROR_BUFFER_OVERFLOW && result != ERROR_INSUFFICIENT_BUFFER) {
    // The result is the cause; the thread's value is only a fallback.
    RecordError(result != ERROR_SUCCESS ? result : (GetLastError() != 0 ? GetLastError() : ERROR_NO_DATA));
    DebugTrace("** CAdapter(%s)::GetIPAdapterInfo: GetAdaptersInfo#1 returned %d; rc=%d: %s\n", Name(),
               static_cast<int>(result), static_cast<int>(m_dwLastError), FormatLastError(m_dwLastError).c_str());
    ApplyError();
    return nullptr;
  }
  std::size_t count = (size + sizeof(platform::IP_ADAPTER_INFO) - 1) / sizeof(platform::IP_ADAPTER_INFO);
  if (count == 0) {
    count = 1;
  }
  AdapterInfoChain chain(new (std::nothrow) platform::IP_ADAPTER_INFO[count]);
  if (!chain) {
    m_nErrno = kErrnoNoMem;
    m_dwLastError = ERROR_NOT_ENOUGH_MEMORY;
    DebugTrace("** CAdapter(%s)::GetIPAdapterInfo: new IP_ADAPTER_INFO [%d] failed; rc=%d: %s\n", Name(),
               static_cast<int>(count), static_cast<int>(m_dwLastError), FormatLastError(m_dwLastError).c_str());
    ApplyError();
    return nullptr;
  }
  std::memset(static_cast<void*>(chain.get()), 0, count * sizeof(platform::IP_ADAPTER_INFO));
  ULONG bufferSize = static_cast<ULONG>(count * sizeof(platform::IP_ADAPTER_INFO));
  result = platform::GetAdaptersInfo(chain.get(), &bufferSize);
  if (result != ERROR_SUCCESS) {
    RecordError(result);
    DebugTrace("** CAdapter(%s)::GetIPAdapterInfo: GetAdaptersInfo#2 returned %d; rc=%d: %s\n", Name(),
               static_cast<int>(result), static_cast<int>(m_dwLastError), FormatLastError(m_dwLastError).c_str());
    ApplyError();
    return nullptr;
  }
  *slots = count;
  return chain;
}

HANDLE CAdapter::OpenRealAdapter() {
  platform::Guard guard(m_Lock);
  const std::size_t prefixLength = Utf8ToText(TheWinPcapFacts().deviceNamePrefix).size();
  const TString name = Utf8ToText(m_strAdapterName);
  const std::string guidName = TextToUtf8(name.size() > prefixLength ? name.c_str() + prefixLength : TString().c_str());
  const std::string strActualPhysicalAdapterDeviceFileName = "\\\\.\\" + guidName;
  HANDLE device = platform::CreateFile(strActualPhysicalAdapterDeviceFileName.c_str(), 0,
                                       platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE,
                                       platform::OPEN_EXISTING, 0);
  RecordThreadError();
  if (!IsValid(device)) {
    DebugTrace("** CAdapter(%s)::OpenRealAdapter: CreateFile( \"%s\" ) failed; rc=%d: %s\n", Name(),
               strActualPhysicalAdapterDeviceFileName.c_str(), static_cast<int>(m_dwLastError),
               FormatLastError(m_dwLastError).c_str());
    ApplyError();
    return nullptr;
  }
  return device;
}

BOOL CAdapter::CancelIo() {
  platform::Guard guard(m_Lock);
  if (!platform::CancelIo(m_hFile)) {
    RecordThreadError();
    DebugTrace("** CAdapter(%s)::CancelIo: CancelIo() failed; rc=%d: %s\n", Name(), static_cast<int>(m_dwLastError),
               FormatLastError(m_dwLastError).c_str());
    ApplyError();
    return FALSE;
  }
  return TRUE;
}

BOOL CAdapter::ResetAdapter() {
  platform::Guard guard(m_Lock);
  CancelIo();
  if (!IntSyncDeviceIoControl(npf::IOCTL_PROTOCOL_RESET, 0, 0)) {
    DebugTrace("** CAdapter(%s)::ResetAdapter: IntSyncDeviceIoControl( IOCTL_PROTOCOL_RESET ) failed; rc=%d: %s\n",
               Name(), static_cast<int>(m_dwLastError), FormatLastError(m_dwLastError).c_str());
    ApplyError();
    return FALSE;
  }
  return TRUE;
}

BOOL CAdapter::IntSyncDeviceIoControl(DWORD code, DWORD inLen, DWORD outLen) {
  platform::Guard guard(m_Lock);
  MP_ASSERT(inLen <= kOidRecordSize && outLen <= kOidRecordSize);
  if (inLen > kOidRecordSize) {
    inLen = kOidRecordSize;
  }
  if (outLen > kOidRecordSize) {
    outLen = kOidRecordSize;
  }
  m_dwBytesReturned = 0;
  BOOL ok = platform::DeviceIoControl(m_hFile, code, inLen != 0 ? &m_OidBuffer : nullptr, inLen,
                                      outLen != 0 ? &m_OidBuffer : nullptr, outLen, &m_dwBytesReturned);
  if (ok && m_dwBytesReturned > outLen) {
    // A driver that claims more than the room it was given is not believed.
    SetLastError(ERROR_INVALID_DATA);
    ok = FALSE;
  }
  if (!ok) {
    RecordThreadError();
    DebugTrace("** CAdapter(%s)::IntSyncDeviceIoControl: DeviceIoControl(%d) failed; rc=%d: %s\n", Name(),
               static_cast<int>(code), static_cast<int>(m_dwLastError), FormatLastError(m_dwLastError).c_str());
    ApplyError();
    return FALSE;
  }
  return TRUE;
}

BOOL CAdapter::ExtSyncDeviceIoControl(DWORD code, void* buffer, DWORD inLen, DWORD outLen) {
  platform::Guard guard(m_Lock);
  m_dwBytesReturned = 0;
  BOOL ok = platform::DeviceIoControl(m_hFile, code, inLen != 0 ? buffer : nullptr, inLen,
                                      outLen != 0 ? buffer : nullptr, outLen, &m_dwBytesReturned);
  if (ok && m_dwBytesReturned > outLen) {
    SetLastError(ERROR_INVALID_DATA);
    ok = FALSE;
  }
  if (!ok) {
    RecordThreadError();
    DebugTrace("** CAdapter(%s)::ExtSyncDeviceIoControl: DeviceIoControl(%d) failed; rc=%d: %s\n", Name(),
               static_cast<int>(code), static_cast<int>(m_dwLastError), FormatLastError(m_dwLastError).c_str());
    ApplyError();
    return FALSE;
  }
  return TRUE;
}

BOOL CAdapter::QueryOID(DWORD oid, void* buffer, DWORD length) {
  platform::Guard guard(m_Lock);
  std::memset(&m_OidBuffer, 0, sizeof m_OidBuffer);
  return QueryOrSetOID(TheWinPcapFacts().ioCtlProtocolQueryOid, oid, buffer, length);
}

BOOL CAdapter::SetOID(DWORD oid, const void* buffer, DWORD length) {
  platform::Guard guard(m_Lock);
  std::memset(&m_OidBuffer, 0, sizeof m_OidBuffer);
  // A set only reads the caller's value.
  return QueryOrSetOID(TheWinPcapFacts().ioCtlProtocolSetOid, oid, const_cast<void*>(buffer), length);
}

BOOL CAdapter::QueryOrSetOID(DWORD code, DWORD oid, void* buffer, DWORD length) {
  platform::Guard guard(m_Lock);
  const WinPcapFacts& facts = TheWinPcapFacts();
  const bool isQuery = code == facts.ioCtlProtocolQueryOid;
  const bool isSet = code == facts.ioCtlProtocolSetOid;
  MP_ASSERT(isQuery || isSet);
  if (length > npf::kOidDataMax) {
    DebugTrace("** CAdapter(%s)::QueryOrSetOID: requested datalen of %d exceeds available buffer size\n", Name(),
               static_cast<int>(length));
    MP_ASSERT(length <= npf::kOidDataMax);
    length = static_cast<DWORD>(npf::kOidDataMax);
  }
  m_OidBuffer.Oid = oid;
  m_OidBuffer.Length = length;
  if (isSet && length != 0) {
    std::memcpy(m_OidBuffer.Data, buffer, length);
  }
  BOOL ok = IntSyncDeviceIoControl(code, kOidRecordSize, kOidRecordSize);
  if (isQuery && !isSet) {
    if (length != 0) {
      std::memcpy(buffer, m_OidBuffer.Data, length);
    }
    ApplyError();
  }
  return ok;
}
