// IPv4 and MAC address texts.
#pragma once

#include <string>
#include <string_view>

#include "platform/wintypes.h"

// Dotted IPv4 text to an address in host byte order, by the sockets library's
// rules: one to four parts, each decimal, octal (leading 0) or hexadecimal
// (leading 0x); the last part fills the remaining bytes. All ones is accepted
// only for the exact text "255.255.255.255" and only when allowBroadcast is
// true. Blanks around the text are ignored; a value beyond its bytes, an
// empty part, a fifth part or any other character fails. Returns false (and
// leaves *address alone) for anything else.
bool ParseIPAddress(std::string_view text, DWORD* address, bool allowBroadcast);

// Six hex pairs (either case) separated by "-" or ":" (one separator
// throughout); blanks around the text are ignored. Returns false (and leaves
// mac alone) for anything else.
bool ParseMACAddress(std::string_view text, BYTE mac[6]);

// Dotted decimal text of an address in network byte order; also stored in *out.
std::string FormatIPAddr(DWORD addressNetworkOrder, std::string* out = nullptr);
// Upper-case pairs joined by "-": 02-00-5E-80-00-04; also stored in *out.
std::string FormatMACAddr(const BYTE mac[6], std::string* out = nullptr);

// The text without leading and trailing blanks (spaces, tabs, CR, LF).
std::string TrimBlanks(std::string_view text);
