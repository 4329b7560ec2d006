/* MestraPack: the packet-driver control library.
 *
 * Lists the host's network adapters, opens one through the packet-capture
 * driver, sends and receives raw frames and tunes the capture. Every export
 * has C linkage. A failure is a 0 (or NULL) result with the cause in the
 * thread's last error (GetLastError, platform/lasterror.h) and in errno.
 *
 * Text width: this header serves two builds. The default (wide) build takes
 * and gives 16-bit texts (char16_t, UTF-16); defining MESTRAPACK_NARROW for
 * the library and its callers selects the 8-bit build (char, UTF-8), whose
 * records then have other sizes. Only the wide build is made and its layouts
 * are the ones checked below.
 *
 * Usable from C11 and C++. */
#ifndef MESTRAPACK_MESTRAPACK_H
#define MESTRAPACK_MESTRAPACK_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define MESTRAPACK_STATIC_ASSERT(cond, text) static_assert(cond, text)
#else
#include <uchar.h>
#define MESTRAPACK_STATIC_ASSERT(cond, text) _Static_assert(cond, text)
#endif

#define MESTRAPACK_API __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

#ifdef MESTRAPACK_NARROW
typedef char MESTRAPACK_TCHAR;
#else
typedef char16_t MESTRAPACK_TCHAR;
#endif

typedef int32_t MESTRAPACK_BOOL; /* 1 success, 0 failure */
typedef void* MESTRAPACK_HANDLE;

/* The checksum offload capabilities of an adapter: four flag words. */
#define MESTRAPACK_CKSUM_IP_OPTIONS 0x01u
#define MESTRAPACK_CKSUM_TCP_OPTIONS 0x02u
#define MESTRAPACK_CKSUM_TCP 0x04u
#define MESTRAPACK_CKSUM_UDP 0x08u
#define MESTRAPACK_CKSUM_IP 0x10u /* IPv4 words only */

typedef struct MESTRAPACK_CHECKSUM_OFFLOAD {
  uint32_t V4Transmit;
  uint32_t V4Receive;
  uint32_t V6Transmit;
  uint32_t V6Receive;
} MESTRAPACK_CHECKSUM_OFFLOAD;
MESTRAPACK_STATIC_ASSERT(sizeof(MESTRAPACK_CHECKSUM_OFFLOAD) == 16, "checksum offload record");

/* One listed adapter; the entries follow one another in the caller's buffer
 * and are chained through pNext. Addresses are in network byte order;
 * 0xFFFFFFFF means unknown. */
typedef struct ADAPTER_INFO_LIST_ENTRY {
  uint32_t dwSize;
  struct ADAPTER_INFO_LIST_ENTRY* pNext;
  MESTRAPACK_TCHAR szAdapterName[256]; /* the name to open: "NPF_" + interface name */
  MESTRAPACK_TCHAR szDescription[128];
  uint8_t bMACAddress[8]; /* 6 used, 2 zero */
  uint32_t dwMedium;
  uint32_t dwLinkSpeed; /* units of 100 bit/s */
  uint32_t dwIPAddress;
  uint32_t dwIPMask;
  uint32_t dwGateway;
  uint32_t dwReserved;
  uint32_t dwIndex;
  MESTRAPACK_BOOL bMediaConnected;
  MESTRAPACK_BOOL bHaveChecksumOffload;
  MESTRAPACK_CHECKSUM_OFFLOAD ChecksumOffload;
  MESTRAPACK_TCHAR szConnectionName[256];
  uint32_t dwMaxTotalSize;
  MESTRAPACK_BOOL bPromiscuous;
  MESTRAPACK_BOOL bDHCPEnabled;
  MESTRAPACK_BOOL bChecksumOffloadOverride;
} ADAPTER_INFO_LIST_ENTRY;

#if !defined(MESTRAPACK_NARROW) && UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
MESTRAPACK_STATIC_ASSERT(sizeof(ADAPTER_INFO_LIST_ENTRY) == 1376, "adapter entry size");
MESTRAPACK_STATIC_ASSERT(offsetof(ADAPTER_INFO_LIST_ENTRY, pNext) == 8, "pNext");
MESTRAPACK_STATIC_ASSERT(offsetof(ADAPTER_INFO_LIST_ENTRY, szAdapterName) == 16, "szAdapterName");
MESTRAPACK_STATIC_ASSERT(offsetof(ADAPTER_INFO_LIST_ENTRY, szDescription) == 528, "szDescription");
MESTRAPACK_STATIC_ASSERT(offsetof(ADAPTER_INFO_LIST_ENTRY, bMACAddress) == 784, "bMACAddress");
MESTRAPACK_STATIC_ASSERT(offsetof(ADAPTER_INFO_LIST_ENTRY, dwMedium) == 792, "dwMedium");
MESTRAPACK_STATIC_ASSERT(offsetof(ADAPTER_INFO_LIST_ENTRY, dwLinkSpeed) == 796, "dwLinkSpeed");
MESTRAPACK_STATIC_ASSERT(offsetof(ADAPTER_INFO_LIST_ENTRY, dwIPAddress) == 800, "dwIPAddress");
MESTRAPACK_STATIC_ASSERT(offsetof(ADAPTER_INFO_LIST_ENTRY, dwIPMask) == 804, "dwIPMask");
MESTRAPACK_STATIC_ASSERT(offsetof(ADAPTER_INFO_LIST_ENTRY, dwGateway) == 808, "dwGateway");
MESTRAPACK_STATIC_ASSERT(offsetof(ADAPTER_INFO_LIST_ENTRY, dwReserved) == 812, "dwReserved");
MESTRAPACK_STATIC_ASSERT(offsetof(ADAPTER_INFO_LIST_ENTRY, dwIndex) == 816, "dwIndex");
MESTRAPACK_STATIC_ASSERT(offsetof(ADAPTER_INFO_LIST_ENTRY, bMediaConnected) == 820, "bMediaConnected");
MESTRAPACK_STATIC_ASSERT(offsetof(ADAPTER_INFO_LIST_ENTRY, bHaveChecksumOffload) == 824, "bHaveChecksumOffload");
MESTRAPACK_STATIC_ASSERT(offsetof(ADAPTER_INFO_LIST_ENTRY, ChecksumOffload) == 828, "ChecksumOffload");
MESTRAPACK_STATIC_ASSERT(offsetof(ADAPTER_INFO_LIST_ENTRY, szConnectionName) == 844, "szConnectionName");
MESTRAPACK_STATIC_ASSERT(offsetof(ADAPTER_INFO_LIST_ENTRY, dwMaxTotalSize) == 1356, "dwMaxTotalSize");
MESTRAPACK_STATIC_ASSERT(offsetof(ADAPTER_INFO_LIST_ENTRY, bPromiscuous) == 1360, "bPromiscuous");
MESTRAPACK_STATIC_ASSERT(offsetof(ADAPTER_INFO_LIST_ENTRY, bDHCPEnabled) == 1364, "bDHCPEnabled");
MESTRAPACK_STATIC_ASSERT(offsetof(ADAPTER_INFO_LIST_ENTRY, bChecksumOffloadOverride) == 1368,
                         "bChecksumOffloadOverride");
#endif

/* The fixed version information of a module (thirteen words). */
typedef struct MESTRAPACK_FIXEDFILEINFO {
  uint32_t dwSignature;
  uint32_t dwStrucVersion;
  uint32_t dwFileVersionMS;
  uint32_t dwFileVersionLS;
  uint32_t dwProductVersionMS;
  uint32_t dwProductVersionLS;
  uint32_t dwFileFlagsMask;
  uint32_t dwFileFlags;
  uint32_t dwFileOS;
  uint32_t dwFileType;
  uint32_t dwFileSubtype;
  uint32_t dwFileDateMS;
  uint32_t dwFileDateLS;
} MESTRAPACK_FIXEDFILEINFO;
MESTRAPACK_STATIC_ASSERT(sizeof(MESTRAPACK_FIXEDFILEINFO) == 52, "fixed file info");

/* The packet-capture installation as the library found it. The caller sets
 * dwSize to sizeof(WPCINFO) before asking. The texts belong to the library and
 * stay valid and unchanged while it is loaded. */
typedef struct WPCINFO {
  uint32_t dwSize;
  const MESTRAPACK_TCHAR* pszDriverVersion;
  const MESTRAPACK_TCHAR* pszLibraryName; /* "Packet.DLL" or "Npf.DLL" */
  const MESTRAPACK_TCHAR* pszLibraryVersion;
  const MESTRAPACK_TCHAR* pszDeviceNamePrefix; /* "NPF_" */
  MESTRAPACK_FIXEDFILEINFO vsLibraryFileInfo;
  uint32_t dwIoCtlProtocolQueryOid;
  uint32_t dwIoCtlProtocolSetOid;
  uint16_t wWinPCapMajorVersion;
  uint16_t wWinPCapMinorVersion;
} WPCINFO;

#if UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
MESTRAPACK_STATIC_ASSERT(sizeof(WPCINFO) == 104, "WPCINFO size");
MESTRAPACK_STATIC_ASSERT(offsetof(WPCINFO, pszDriverVersion) == 8, "pszDriverVersion");
MESTRAPACK_STATIC_ASSERT(offsetof(WPCINFO, pszDeviceNamePrefix) == 32, "pszDeviceNamePrefix");
MESTRAPACK_STATIC_ASSERT(offsetof(WPCINFO, vsLibraryFileInfo) == 40, "vsLibraryFileInfo");
MESTRAPACK_STATIC_ASSERT(offsetof(WPCINFO, dwIoCtlProtocolQueryOid) == 92, "dwIoCtlProtocolQueryOid");
MESTRAPACK_STATIC_ASSERT(offsetof(WPCINFO, dwIoCtlProtocolSetOid) == 96, "dwIoCtlProtocolSetOid");
MESTRAPACK_STATIC_ASSERT(offsetof(WPCINFO, wWinPCapMajorVersion) == 100, "wWinPCapMajorVersion");
MESTRAPACK_STATIC_ASSERT(offsetof(WPCINFO, wWinPCapMinorVersion) == 102, "wWinPCapMinorVersion");
#endif

/* A capture filter: bf_len classic BPF instructions of 8 bytes each. */
typedef struct MESTRAPACK_BPF_INSN {
  uint16_t code;
  uint8_t jt;
  uint8_t jf;
  uint32_t k;
} MESTRAPACK_BPF_INSN;
MESTRAPACK_STATIC_ASSERT(sizeof(MESTRAPACK_BPF_INSN) == 8, "filter instruction");

typedef struct MESTRAPACK_BPF_PROGRAM {
  uint32_t bf_len;
  MESTRAPACK_BPF_INSN* bf_insns;
} MESTRAPACK_BPF_PROGRAM;

/* Capture statistics as the driver counts them. */
typedef struct MESTRAPACK_BPF_STAT {
  uint32_t bs_recv;
  uint32_t bs_drop;
} MESTRAPACK_BPF_STAT;
MESTRAPACK_STATIC_ASSERT(sizeof(MESTRAPACK_BPF_STAT) == 8, "statistics record");

/* The completion record of an asynchronous operation. The library performs
 * every read and write synchronously, so a record only ever describes an
 * operation that has ended: Internal holds its status (0 success) and
 * InternalHigh its byte count. */
typedef struct MESTRAPACK_OVERLAPPED {
  uintptr_t Internal;
  uintptr_t InternalHigh;
  uint32_t Offset;
  uint32_t OffsetHigh;
  void* hEvent;
} MESTRAPACK_OVERLAPPED;

typedef void (*MESTRAPACK_PRINT_FUNCTION)(const char* text);

/* Version and notices: never fail. */
MESTRAPACK_API const MESTRAPACK_TCHAR* MestraPackGetCopyrightString(void);
MESTRAPACK_API const MESTRAPACK_TCHAR* MestraPackGetVersionString(void); /* "3.9.0.6222-D" */
MESTRAPACK_API void MestraPackGetVersionNumbers(int32_t* pnVerMajor, int32_t* pnVerInter, int32_t* pnVerMinor,
                                               int32_t* pnBuildNum);

/* The adapter list, in two calls: first with pList NULL and *pdwBuffLen 0,
 * which fails with 122 and sets *pdwBuffLen to the size needed; then with a
 * buffer of that size. */
MESTRAPACK_API MESTRAPACK_BOOL MestraPackGetAdaptersList(ADAPTER_INFO_LIST_ENTRY* pList, uint32_t* pdwBuffLen);

/* An adapter handle is opaque: never pass it to other functions. */
MESTRAPACK_API MESTRAPACK_HANDLE MestraPackOpenAdapter(const MESTRAPACK_TCHAR* pszAdapterName);
MESTRAPACK_API MESTRAPACK_BOOL MestraPackResetAdapter(MESTRAPACK_HANDLE hAdapter);
MESTRAPACK_API void MestraPackCloseAdapter(MESTRAPACK_HANDLE hAdapter);

MESTRAPACK_API MESTRAPACK_BOOL MestraPackGetChecksumOffloadTask(MESTRAPACK_HANDLE hAdapter,
                                                               MESTRAPACK_CHECKSUM_OFFLOAD* pChecksumOffload);

MESTRAPACK_API MESTRAPACK_BOOL MestraPackSendPacket(MESTRAPACK_HANDLE hAdapter, const void* pFrame,
                                                   uint32_t dwFrameLen);
/* A buffer in the driver's capture format (a header before each frame). */
MESTRAPACK_API MESTRAPACK_BOOL MestraPackSendManyPackets(MESTRAPACK_HANDLE hAdapter, const void* pBuffer,
                                                        uint32_t dwBufferLen);
/* Never waits: with nothing captured it fails at once with 258 (errno 60).
 * pOverlapped must be NULL. */
MESTRAPACK_API MESTRAPACK_BOOL MestraPackRecvPacket(MESTRAPACK_HANDLE hAdapter, void* pBuffer, uint32_t dwBufferLen,
                                                   uint32_t* pdwBytesRead, MESTRAPACK_OVERLAPPED* pOverlapped);
MESTRAPACK_API MESTRAPACK_BOOL MestraPackCancelIo(MESTRAPACK_HANDLE hAdapter);
MESTRAPACK_API MESTRAPACK_BOOL MestraPackGetOverlappedResult(MESTRAPACK_HANDLE hAdapter,
                                                            MESTRAPACK_OVERLAPPED* pOverlapped,
                                                            uint32_t* pdwBytesTransferred);

MESTRAPACK_API MESTRAPACK_BOOL MestraPackSetBpf(MESTRAPACK_HANDLE hAdapter, const MESTRAPACK_BPF_PROGRAM* pBF);
MESTRAPACK_API MESTRAPACK_BOOL MestraPackSetBuff(MESTRAPACK_HANDLE hAdapter, uint32_t dwBytes);
MESTRAPACK_API MESTRAPACK_BOOL MestraPackSetHwFilter(MESTRAPACK_HANDLE hAdapter, uint32_t dwFilter);
MESTRAPACK_API MESTRAPACK_BOOL MestraPackSetNoCaptureSelf(MESTRAPACK_HANDLE hAdapter, MESTRAPACK_BOOL bNoCaptureSelf);
MESTRAPACK_API MESTRAPACK_BOOL MestraPackSetReadEventThreshold(MESTRAPACK_HANDLE hAdapter, uint32_t dwBytes);
MESTRAPACK_API MESTRAPACK_BOOL MestraPackSetRecvPacketTimeout(MESTRAPACK_HANDLE hAdapter, uint32_t dwMilliseconds);
/* Signalled while captured data can be read; the caller must not close it. */
MESTRAPACK_API MESTRAPACK_HANDLE MestraPackGetWin32ReadEventHandle(MESTRAPACK_HANDLE hAdapter);
MESTRAPACK_API MESTRAPACK_BOOL MestraPackGetStats(MESTRAPACK_HANDLE hAdapter, MESTRAPACK_BPF_STAT* pBS);

/* Diagnostics of the adapters go to this function instead of the trace;
 * NULL removes it (and returns 0). */
MESTRAPACK_API MESTRAPACK_BOOL MestraPackSetPrintDebugStringFunction(MESTRAPACK_PRINT_FUNCTION pfn);

MESTRAPACK_API MESTRAPACK_BOOL MestraPackGetWinPCapInfo(WPCINFO* pInfo);

#ifdef __cplusplus
}
#endif

#endif
