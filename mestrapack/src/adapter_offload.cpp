// The checksum offload query, asked of the adapter's own network device.
#include <cstring>
#include <memory>
#include <new>

#include "adapter.h"
#include "debug_trace.h"
#include "mestralib/errors.h"
#include "offload_answer.h"
#include "platform/file.h"
#include "platform/sync.h"

namespace {

constexpr DWORD kSupportedListBytes = 3600;  // room for 900 OIDs
constexpr DWORD kQueryBufferBytes = 4096;
constexpr DWORD kNdis5Minimum = 52;
constexpr DWORD kNdis6Minimum = static_cast<DWORD>(npf::kNdis6OffloadMinimum);

BOOL QueryGlobalStats(HANDLE device, DWORD oid, void* buffer, DWORD length, DWORD* bytesReturned) {
  *bytesReturned = 0;
  DWORD dwOIDCode = oid;
  return platform::DeviceIoControl(device, npf::IOCTL_NDIS_QUERY_GLOBAL_STATS, &dwOIDCode, sizeof dwOIDCode, buffer,
                                   length, bytesReturned);
}

}  // namespace

BOOL CAdapter::GetChecksumOffloadTask(MESTRAPACK_CHECKSUM_OFFLOAD* record) {
  HANDLE device = OpenRealAdapter();
  if (device == nullptr) {
    return FALSE;
  }
  std::unique_ptr<BYTE[]> dwzOIDList(new (std::nothrow) BYTE[kSupportedListBytes]);
  bool useNdis6 = false;
  if (dwzOIDList) {
    DWORD dwBytesReturned = 0;
    BOOL ok = QueryGlobalStats(device, npf::OID_GEN_SUPPORTED_LIST, dwzOIDList.get(), kSupportedListBytes,
                               &dwBytesReturned);
    {
      platform::Guard guard(m_Lock);
      RecordThreadError();
    }
    if (!ok) {
      DebugTrace("** CAdapter(%s)::GetChecksumOffloadTask: WARNING: 'OID_GEN_SUPPORTED_LIST' call failed; rc=%d "
                 "(0x%08X): %s\n",
                 Name(), static_cast<int>(m_dwLastError), m_dwLastError, FormatLastError(m_dwLastError).c_str());
    } else if (dwBytesReturned == 0 || dwBytesReturned > kSupportedListBytes || dwBytesReturned % 4 != 0) {
      DebugTrace("** CAdapter(%s)::GetChecksumOffloadTask: WARNING: 'OID_GEN_SUPPORTED_LIST' unexpectedly returned %d "
                 "bytes\n",
                 Name(), static_cast<int>(dwBytesReturned));
    } else {
      useNdis6 = SupportedListHasCurrentConfig(dwzOIDList.get(), dwBytesReturned);
    }
  }

  BOOL result = FALSE;
  if (useNdis6) {
    npf::NDIS6_CHECKSUM_OFFLOAD s6XOffloadInfo{};
    result = Get6XCksumOffloadInfo(device, &s6XOffloadInfo);
    if (result) {
      *record = ChecksumFromNdis6(s6XOffloadInfo);
    }
  } else {
    result = Get5XCksumOffloadTask(device, record);
  }
  platform::CloseHandle(device);
  platform::Guard guard(m_Lock);
  ApplyError();
  return result;
}

// Both generations are asked the same way: a query buffer, the driver's
// answer, and the record found in it (copied out, or zeroed when missing).
BOOL CAdapter::GetOffloadRecord(HANDLE device, void* out, std::size_t outSize, const OffloadWay& way) {
  platform::Guard guard(m_Lock);
  if (out == nullptr) {
    m_nErrno = kErrnoInval;
    m_dwLastError = ERROR_INVALID_PARAMETER;
    DebugTrace("** CAdapter(%s)::%s: NULL parameter(s) passed\n", Name(), way.routine);
    ApplyError();
    return FALSE;
  }
  std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[kQueryBufferBytes]);
  if (!buffer) {
    m_nErrno = kErrnoNoMem;
    m_dwLastError = ERROR_NOT_ENOUGH_MEMORY;
    DebugTrace("** CAdapter(%s)::%s: new BYTE [%d] failed; rc=%d: %s\n", Name(), way.routine,
               static_cast<int>(kQueryBufferBytes), static_cast<int>(m_dwLastError),
               FormatLastError(m_dwLastError).c_str());
  } else {
    DWORD answerLength = 0;
    if ((this->*way.query)(device, buffer.get(), kQueryBufferBytes, &answerLength)) {
      if (const BYTE* found = (this->*way.find)(buffer.get(), answerLength)) {
        std::memcpy(out, found, outSize);
        m_dwLastError = 0;
        m_nErrno = 0;
        ApplyError();
        return TRUE;
      }
      DebugTrace("** CAdapter(%s)::%s: %s failed; rc=%d: %s\n", Name(), way.routine, way.findName,
                 static_cast<int>(m_dwLastError), FormatLastError(m_dwLastError).c_str());
    }
  }
  std::memset(out, 0, outSize);
  ApplyError();
  return FALSE;
}

BOOL CAdapter::Get5XCksumOffloadTask(HANDLE device, MESTRAPACK_CHECKSUM_OFFLOAD* record) {
  static const OffloadWay way = {"Get5XCksumOffloadTask", "Find5XChecksumTask", &CAdapter::Query5XOffloads,
                                 &CAdapter::Find5XChecksumTask};
  return GetOffloadRecord(device, record, sizeof *record, way);
}

BOOL CAdapter::Get6XCksumOffloadInfo(HANDLE device, npf::NDIS6_CHECKSUM_OFFLOAD* info) {
  static const OffloadWay way = {"Get6XCksumOffloadInfo", "Find6XCksumOffload", &CAdapter::Query6XOffloads,
                                 &CAdapter::Find6XCksumOffload};
  return GetOffloadRecord(device, info, sizeof *info, way);
}

BOOL CAdapter::QueryOffloads(HANDLE device, BYTE* buffer, DWORD length, const OffloadRequest& request,
                             DWORD* answerLength) {
  platform::Guard guard(m_Lock);
  *answerLength = 0;
  if (buffer == nullptr || length < request.minimum) {
    MP_ASSERT(buffer != nullptr && length >= request.minimum);
    m_nErrno = kErrnoAgain;
    m_dwLastError = ERROR_INSUFFICIENT_BUFFER;
    DebugTrace("** CAdapter(%s)::%s: specified buffer size (%d) is too small; min = %d\n", Name(), request.routine,
               static_cast<int>(length), static_cast<int>(request.minimum));
    ApplyError();
    return FALSE;
  }
  std::memset(buffer, 0, length);
  std::memcpy(buffer, request.header, request.headerSize);
  BOOL ok = QueryGlobalStats(device, request.oid, buffer, length, answerLength);
  if (ok && *answerLength > length) {
    *answerLength = 0;
    SetLastError(ERROR_INVALID_DATA);
    ok = FALSE;
  }
  RecordThreadError();
  ApplyError();
  return ok;
}

BOOL CAdapter::Query5XOffloads(HANDLE device, BYTE* buffer, DWORD length, DWORD* answerLength) {
  npf::NDIS_TASK_OFFLOAD_HEADER header{};
  header.Version = 1;
  header.Size = sizeof header;
  header.EncapsulationFormatEncapsulation = 2;  // IEEE 802.3
  const OffloadRequest request = {"Query5XOffloads", kNdis5Minimum, npf::OID_TCP_TASK_OFFLOAD, &header, sizeof header};
  return QueryOffloads(device, buffer, length, request, answerLength);
}

BOOL CAdapter::Query6XOffloads(HANDLE device, BYTE* buffer, DWORD length, DWORD* answerLength) {
  npf::NDIS_OBJECT_HEADER header{};
  header.Type = npf::NDIS_OBJECT_TYPE_OFFLOAD;
  header.Revision = 1;
  header.Size = static_cast<WORD>(kNdis6Minimum);
  const OffloadRequest request = {"Query6XOffloads", kNdis6Minimum, npf::OID_TCP_OFFLOAD_CURRENT_CONFIG, &header,
                                  sizeof header};
  return QueryOffloads(device, buffer, length, request, answerLength);
}

BYTE* CAdapter::Find5XChecksumTask(BYTE* buffer, DWORD answerLength) {
  platform::Guard guard(m_Lock);
  MP_ASSERT(buffer != nullptr);
  if (auto offset = FindNdis5ChecksumTask(buffer, answerLength)) {
    return buffer + *offset;
  }
  m_nErrno = kErrnoNoEnt;
  m_dwLastError = ERROR_NOT_FOUND;
  return nullptr;
}

BYTE* CAdapter::Find6XCksumOffload(BYTE* buffer, DWORD answerLength) {
  platform::Guard guard(m_Lock);
  if (auto offset = FindNdis6ChecksumOffload(buffer, answerLength)) {
    return buffer + *offset;
  }
  m_nErrno = kErrnoNoEnt;
  m_dwLastError = ERROR_NOT_FOUND;
  return nullptr;
}
