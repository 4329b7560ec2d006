// Frames in and out, and the capture controls of an open adapter.
#include <cstring>

#include "adapter.h"
#include "debug_trace.h"
#include "mestralib/errors.h"
#include "platform/file.h"
#include "winpcap_facts.h"

namespace {

// Four bytes of a control value at the start of the request buffer.
void PutValue(npf::PACKET_OID_DATA* buffer, DWORD value) { std::memcpy(buffer, &value, sizeof value); }

}  // namespace

[[gnu::hot]] BOOL CAdapter::SendPacket(const void* frame, DWORD length) {
  if (!m_FilePin.Write(frame, length, &m_dwBytesReturned)) {
    RecordThreadError();
    return FALSE;
  }
  return TRUE;
}

void CAdapter::TraceSendFailure(const std::string& name, DWORD error) {
  DebugTrace("** CAdapter(%s)::SendPacket: WriteFile failed; rc=%d: %s\n", name.c_str(), static_cast<int>(error),
             FormatLastError(error).c_str());
}

BOOL CAdapter::SendManyPackets(const void* buffer, DWORD length) {
  platform::Guard guard(m_Lock);
  if (!AtMinimumSupportLevel(TheWinPcapFacts())) {
    RecordError(ERROR_BAD_DRIVER_LEVEL);
    DebugTrace("** CAdapter(%s)::SendManyPackets: WinPCap not at minimum support level; rc=%d: %s\n", Name(),
               static_cast<int>(m_dwLastError), FormatLastError(m_dwLastError).c_str());
    ApplyError();
    return FALSE;
  }
  // The driver only reads the frames.
  if (!ExtSyncDeviceIoControl(npf::PACKET_MULTIPLEWRITE_IOCTL, const_cast<void*>(buffer), length, 0)) {
    DebugTrace("** CAdapter(%s)::SendManyPackets: ExtSyncDeviceIoControl( PACKET_MULTIPLEWRITE_IOCTL ) failed; rc=%d: "
               "%s\n",
               Name(), static_cast<int>(m_dwLastError), FormatLastError(m_dwLastError).c_str());
    ApplyError();
    return FALSE;
  }
  return TRUE;
}

BOOL CAdapter::RecvPacket(void* buffer, DWORD length, DWORD* bytesRead, MESTRAPACK_OVERLAPPED* overlapped) {
  (void)overlapped;  // always null: every read is synchronous
  platform::Guard guard(m_Lock);
  // Never block: read only what the driver already holds, which the driver
  // tells itself where it can (a look at the read event costs a system call).
  const DWORD ready = m_FilePin.ReadReady(buffer, length, bytesRead);
  if (ready == WAIT_TIMEOUT ||
      (ready == ERROR_NOT_SUPPORTED && platform::WaitForSingleObject(m_hReadEvent, 0) != platform::WAIT_OBJECT_0)) {
    *bytesRead = 0;
    m_dwLastError = WAIT_TIMEOUT;
    m_nErrno = kErrnoTimedOut;
    ApplyError();
    return FALSE;
  }
  BOOL ok = ready == ERROR_SUCCESS ? TRUE
            : ready == ERROR_NOT_SUPPORTED ? platform::ReadFile(m_hFile, buffer, length, bytesRead)
                                           : FALSE;
  if (ok && *bytesRead > length) {
    // A count beyond the caller's buffer cannot be true; do not hand it on.
    *bytesRead = 0;
    SetLastError(ERROR_INVALID_DATA);
    ok = FALSE;
  }
  if (!ok) {
    RecordThreadError();
    DebugTrace("** CAdapter(%s)::RecvPacket: ReadFile failed; rc=%d: %s\n", Name(), static_cast<int>(m_dwLastError),
               FormatLastError(m_dwLastError).c_str());
    ApplyError();
    return FALSE;
  }
  return TRUE;
}

BOOL CAdapter::GetOverlappedResult(MESTRAPACK_OVERLAPPED* overlapped, DWORD* bytesTransferred) {
  platform::Guard guard(m_Lock);
  // Nothing is ever pending on this handle, so a record can only describe an
  // operation that has ended: its status and byte count are the answer.
  if (overlapped->Internal != 0) {
    RecordError(ERROR_INVALID_PARAMETER);
    DebugTrace("** CAdapter(%s)::GetOverlappedResult: ::GetOverlappedResult() failed; rc=%d: %s\n", Name(),
               static_cast<int>(m_dwLastError), FormatLastError(m_dwLastError).c_str());
    ApplyError();
    return FALSE;
  }
  *bytesTransferred = static_cast<DWORD>(overlapped->InternalHigh);
  return TRUE;
}

BOOL CAdapter::SetBpf(const MESTRAPACK_BPF_PROGRAM* program) {
  platform::Guard guard(m_Lock);
  constexpr DWORD kMaxInstructions = 0xFFFFFFFFu / sizeof(MESTRAPACK_BPF_INSN);
  if (program->bf_len > kMaxInstructions || (program->bf_len != 0 && program->bf_insns == nullptr)) {
    RecordError(ERROR_INVALID_PARAMETER);
    DebugTrace("** CAdapter(%s)::SetBpf: invalid filter program (%u instructions); rc=%d: %s\n", Name(),
               program->bf_len, static_cast<int>(m_dwLastError), FormatLastError(m_dwLastError).c_str());
    ApplyError();
    return FALSE;
  }
  const DWORD bytes = program->bf_len * static_cast<DWORD>(sizeof(MESTRAPACK_BPF_INSN));
  if (!ExtSyncDeviceIoControl(npf::PACKET_SETBPFILTER_IOCTL, program->bf_insns, bytes, 0)) {
    DebugTrace("** CAdapter(%s)::SetBpf: ExtSyncDeviceIoControl( PACKET_SETBPFILTER_IOCTL ) failed; rc=%d: %s\n",
               Name(), static_cast<int>(m_dwLastError), FormatLastError(m_dwLastError).c_str());
    ApplyError();
    return FALSE;
  }
  return TRUE;
}

BOOL CAdapter::GetStats(MESTRAPACK_BPF_STAT* stats) {
  platform::Guard guard(m_Lock);
  if (!ExtSyncDeviceIoControl(npf::PACKET_GETSTATS_IOCTL, stats, 0, sizeof *stats)) {
    DebugTrace("** CAdapter(%s)::GetStats: ExtSyncDeviceIoControl( PACKET_GETSTATS_IOCTL ) failed; rc=%d: %s\n",
               Name(), static_cast<int>(m_dwLastError), FormatLastError(m_dwLastError).c_str());
    ApplyError();
    return FALSE;
  }
  return TRUE;
}

BOOL CAdapter::SetBuff(DWORD bytes) {
  platform::Guard guard(m_Lock);
  PutValue(&m_OidBuffer, bytes);
  if (!IntSyncDeviceIoControl(npf::PACKET_SETBUFFERSIZE_IOCTL, 4, 0)) {
    DebugTrace("** CAdapter(%s)::SetBuff: IntSyncDeviceIoControl( PACKET_SETBUFFERSIZE_IOCTL ) failed; rc=%d: %s\n",
               Name(), static_cast<int>(m_dwLastError), FormatLastError(m_dwLastError).c_str());
    ApplyError();
    return FALSE;
  }
  return TRUE;
}

BOOL CAdapter::SetHwFilter(DWORD filter) {
  platform::Guard guard(m_Lock);
  if (!SetOID(npf::OID_GEN_CURRENT_PACKET_FILTER, &filter, sizeof filter)) {
    DebugTrace("** CAdapter(%s)::SetHwFilter: SetOID( OID_GEN_CURRENT_PACKET_FILTER ) failed; rc=%d: %s\n", Name(),
               static_cast<int>(m_dwLastError), FormatLastError(m_dwLastError).c_str());
    ApplyError();
    return FALSE;
  }
  return TRUE;
}

BOOL CAdapter::SetReadEventThreshold(DWORD bytes) {
  platform::Guard guard(m_Lock);
  PutValue(&m_OidBuffer, bytes);
  if (!IntSyncDeviceIoControl(npf::PACKET_SETMINTOCOPY_IOCTL, 4, 0)) {
    DebugTrace("** CAdapter(%s)::SetReadEventThreshold: IntSyncDeviceIoControl( PACKET_SETMINTOCOPY_IOCTL ) failed; "
               "rc=%d: %s\n",
               Name(), static_cast<int>(m_dwLastError), FormatLastError(m_dwLastError).c_str());
    ApplyError();
    return FALSE;
  }
  return TRUE;
}

BOOL CAdapter::SetRecvPacketTimeout(DWORD milliseconds) {
  platform::Guard guard(m_Lock);
  PutValue(&m_OidBuffer, milliseconds);
  if (!IntSyncDeviceIoControl(npf::PACKET_SETREADTIMEOUT_IOCTL, 4, 0)) {
    DebugTrace("** CAdapter(%s)::SetRecvPacketTimeout: IntSyncDeviceIoControl( PACKET_SETREADTIMEOUT_IOCTL ) failed; "
               "rc=%d: %s\n",
               Name(), static_cast<int>(m_dwLastError), FormatLastError(m_dwLastError).c_str());
    ApplyError();
    return FALSE;
  }
  return TRUE;
}

BOOL CAdapter::SetNoCaptureSelf(BOOL noCaptureSelf) {
  platform::Guard guard(m_Lock);
  if (!AtMinimumSupportLevel(TheWinPcapFacts())) {
    RecordError(ERROR_BAD_DRIVER_LEVEL);
    DebugTrace("** CAdapter(%s)::SetNoCaptureSelf: WinPCap not at minimum support level; rc=%d: %s\n", Name(),
               static_cast<int>(m_dwLastError), FormatLastError(m_dwLastError).c_str());
    ApplyError();
    return FALSE;
  }
  PutValue(&m_OidBuffer, noCaptureSelf ? 1u : 2u);
  if (!IntSyncDeviceIoControl(npf::PACKET_SETNOLOOPBACKS_IOCTL, 4, 0)) {
    DebugTrace("** CAdapter(%s)::SetNoCaptureSelf: IntSyncDeviceIoControl( PACKET_SETNOLOOPBACKS_IOCTL ) failed; "
               "rc=%d: %s\n",
               Name(), static_cast<int>(m_dwLastError), FormatLastError(m_dwLastError).c_str());
    ApplyError();
    return FALSE;
  }
  return TRUE;
}

HANDLE CAdapter::GetWin32ReadEventHandle() {
  platform::Guard guard(m_Lock);
  return m_hReadEvent;
}
