// Interface configuration the way the emulator does it: each setter checks
// its text, fills one request record and issues one request. Invalid input is
// reported with the emulator's GRLTU message identifiers.
//
// Setters return the library's result (0 on success, non-zero with errno set
// by the library), or -1 after a validation failure, which writes its
// message, sets the last error to 87 and errno to 22 and issues no request.
// A failing request is not reported here: the caller knows what it was for.
#pragma once

#include <string_view>

#include "engine/interface_rec.h"
#include "vifnet.h"

int VIFNET_SetIPAddr(int fd, const char* name, const char* value);
int VIFNET_SetDestAddr(int fd, const char* name, const char* value);
int VIFNET_SetNetMask(int fd, const char* name, const char* value);
int VIFNET_SetBcastAddr(int fd, const char* name, const char* value);
// value: decimal text, 46 to 65536.
int VIFNET_SetMTU(int fd, const char* name, const char* value);
int VIFNET_SetMACAddr(int fd, const char* name, const char* value);
// Only the low 16 bits of flags are sent.
int VIFNET_SetFlags(int fd, const char* name, int flags);

// Read the interface's MAC address into binInterface_MACAddr, and the host
// adapter's IPv4 address into binAdapter_IPAddr and strAdapter_IPAddr. On
// failure they log the cause and leave the record and the caller's errno and
// last error as the failing request set them.
bool GetInterfaceMACAddr(INTERFACEREC& record);
bool GetAdapterIPAddr(INTERFACEREC& record);

// An interface name into a record's 16-byte name field: at most 15 bytes,
// the rest zero.
void FillIfName(char (&field)[VN32_IFNAMSIZ], std::string_view name);
