// The values of the NDIS queries that both device kinds answer for one
// interface (the capture driver's OID requests and the adapter's own NDIS
// device), read from the interface each time they are asked.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "linux/netif_linux.h"
#include "platform/wintypes.h"

namespace platform::linuxhost {

// ERROR_SUCCESS with the value's bytes, ERROR_NOT_SUPPORTED for an OID that
// is not answered, ERROR_DEV_NOT_EXIST when the interface went away. The
// interface is asked through `sock` (a socket of its network namespace),
// or through one made for the question when `sock` is -1.
DWORD AnswerInterfaceOid(const std::string& name, DWORD oid, std::vector<BYTE>* value, int sock = -1);

// The OIDs that AnswerInterfaceOid answers (OID_GEN_SUPPORTED_LIST's value).
std::vector<DWORD> SupportedOids();

// The NDIS 6 current offload configuration (object header and the checksum
// part, 112 bytes) for the interface's checksum features.
std::vector<BYTE> Ndis6OffloadRecord(const OffloadFeatures& features);

// Link speed in the units of OID_GEN_LINK_SPEED (100 bit/s); 0 when unknown,
// saturated where 32 bits cannot hold it.
DWORD LinkSpeedUnits(std::uint32_t megabits);

}  // namespace platform::linuxhost
