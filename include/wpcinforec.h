// WPCINFOREC: the packet-capture information that MWPCUtil hands to
// MestraPack in a record file. One fixed 1348-byte little-endian layout, no
// padding, no checksum; the texts are 8-bit, each in a 256-byte field ended by
// a NUL inside the field (the bytes after it mean nothing).
//
// The file writer and reader live in the static library `wpcinforec`
// (mwpcutil/record, header wpcinforec_file.h); this header holds the layout,
// building a record and checking raw bytes, which need only the platform's
// types.
#pragma once

#include <bit>
#include <cstddef>
#include <cstring>
#include <string>
#include <type_traits>

#include "platform/module.h"
#include "platform/wintypes.h"

constexpr DWORD kWpcInfoRecSize = 1348;
constexpr std::size_t kWpcInfoRecTextSize = 256;

// Driver control codes for OID requests, the same for every library version.
constexpr DWORD kWinPCapIoCtlProtocolQueryOid = 0x80000004;
constexpr DWORD kWinPCapIoCtlProtocolSetOid = 0x80000000;

struct WPCINFOREC {
  DWORD dwRecSize;
  char sz9xDriverName[kWpcInfoRecTextSize];
  char szDriverVersion[kWpcInfoRecTextSize];
  char szLibraryName[kWpcInfoRecTextSize];
  char szLibraryVersion[kWpcInfoRecTextSize];
  char szDeviceNamePrefix[kWpcInfoRecTextSize];
  platform::VS_FIXEDFILEINFO vsLibraryFileInfo;
  WORD wWinPCapMajorVersion;
  WORD wWinPCapMinorVersion;
  DWORD dwIoCtlProtocolQueryOid;
  DWORD dwIoCtlProtocolSetOid;
};

// The record is copied to and from files byte for byte.
static_assert(std::endian::native == std::endian::little);
static_assert(sizeof(WPCINFOREC) == kWpcInfoRecSize);
static_assert(offsetof(WPCINFOREC, dwRecSize) == 0);
static_assert(offsetof(WPCINFOREC, sz9xDriverName) == 4);
static_assert(offsetof(WPCINFOREC, szDriverVersion) == 260);
static_assert(offsetof(WPCINFOREC, szLibraryName) == 516);
static_assert(offsetof(WPCINFOREC, szLibraryVersion) == 772);
static_assert(offsetof(WPCINFOREC, szDeviceNamePrefix) == 1028);
static_assert(offsetof(WPCINFOREC, vsLibraryFileInfo) == 1284);
static_assert(offsetof(WPCINFOREC, wWinPCapMajorVersion) == 1336);
static_assert(offsetof(WPCINFOREC, wWinPCapMinorVersion) == 1338);
static_assert(offsetof(WPCINFOREC, dwIoCtlProtocolQueryOid) == 1340);
static_assert(offsetof(WPCINFOREC, dwIoCtlProtocolSetOid) == 1344);
static_assert(std::is_trivially_copyable_v<WPCINFOREC>);

// A text field's value: up to its first NUL, never past its 256 bytes (a
// field without a NUL gives all 256).
inline std::string WpcInfoRecText(const char (&field)[kWpcInfoRecTextSize]) {
  const void* nul = std::memchr(field, '\0', kWpcInfoRecTextSize);
  const std::size_t length =
      nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - field) : kWpcInfoRecTextSize;
  return std::string(field, length);
}

// What the probe found, as the writer puts it into a record.
struct WpcInfoValues {
  std::string strDriverVersion;
  std::string strLibraryName;
  std::string strLibraryVersion;
  std::string strDeviceNamePrefix;
  platform::VS_FIXEDFILEINFO vsLibraryFileInfo{};
  WORD wMajorVersion = 0;
  WORD wMinorVersion = 0;
  DWORD dwIoCtlProtocolQueryOid = 0;
  DWORD dwIoCtlProtocolSetOid = 0;
};

// Copies at most 255 bytes of `text` and ends the field inside it.
inline void SetWpcInfoRecText(char (&field)[kWpcInfoRecTextSize], const std::string& text) {
  const std::size_t length = text.size() < kWpcInfoRecTextSize ? text.size() : kWpcInfoRecTextSize - 1;
  std::memcpy(field, text.data(), length);
  field[length] = '\0';
  field[kWpcInfoRecTextSize - 1] = '\0';
}

// A complete record: the size field, the texts cut to 255 bytes and ended
// inside their fields, an always empty 9x driver name, unused bytes zero.
inline WPCINFOREC MakeWpcInfoRec(const WpcInfoValues& values) {
  WPCINFOREC record;
  std::memset(&record, 0, sizeof record);
  record.dwRecSize = kWpcInfoRecSize;
  record.sz9xDriverName[0] = '\0';
  SetWpcInfoRecText(record.szDriverVersion, values.strDriverVersion);
  SetWpcInfoRecText(record.szLibraryName, values.strLibraryName);
  SetWpcInfoRecText(record.szLibraryVersion, values.strLibraryVersion);
  SetWpcInfoRecText(record.szDeviceNamePrefix, values.strDeviceNamePrefix);
  record.vsLibraryFileInfo = values.vsLibraryFileInfo;
  record.wWinPCapMajorVersion = values.wMajorVersion;
  record.wWinPCapMinorVersion = values.wMinorVersion;
  record.dwIoCtlProtocolQueryOid = values.dwIoCtlProtocolQueryOid;
  record.dwIoCtlProtocolSetOid = values.dwIoCtlProtocolSetOid;
  return record;
}

enum class WpcInfoRecCheck {
  kAccepted,
  kBadLength,    // fewer than 1348 bytes
  kInvalidData,  // dwRecSize is not 1348
};

// Checks raw record bytes (only the first 1348 are looked at) and, when they
// pass, copies them to *record; a rejected record leaves *record untouched.
// *recSize (may be null) receives the size field whenever 4 bytes are there.
inline WpcInfoRecCheck CheckWpcInfoRec(const void* bytes, std::size_t size, WPCINFOREC* record,
                                       DWORD* recSize = nullptr) {
  if (size >= sizeof(DWORD) && recSize) std::memcpy(recSize, bytes, sizeof(DWORD));
  if (size < kWpcInfoRecSize) return WpcInfoRecCheck::kBadLength;
  DWORD dwRecSize = 0;
  std::memcpy(&dwRecSize, bytes, sizeof dwRecSize);
  if (dwRecSize != kWpcInfoRecSize) return WpcInfoRecCheck::kInvalidData;
  std::memcpy(record, bytes, kWpcInfoRecSize);
  return WpcInfoRecCheck::kAccepted;
}
