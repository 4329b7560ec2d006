// IPv4 and MAC address texts.
#include "mestralib/address.h"

#include <array>
#include <cstdio>
#include <cstring>

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string_view TrimmedView(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// One part of a dotted address: "0x" then hex digits, "0" then octal digits,
// or decimal. Values beyond 32 bits fail instead of wrapping.
bool ParseAddressPart(std::string_view part, DWORD* value) {
  unsigned base = 10;
  if (part.size() >= 2 && part[0] == '0' && (part[1] == 'x' || part[1] == 'X')) {
    base = 16;
    part.remove_prefix(2);
  } else if (part.size() >= 2 && part[0] == '0') {
    base = 8;
    part.remove_prefix(1);
  }
  if (part.empty()) return false;  // "", or "0x" with no digits
  std::uint64_t total = 0;
  for (char c : part) {
    const int digit = HexDigitValue(c);
    if (digit < 0 || static_cast<unsigned>(digit) >= base) return false;
    total = total * base + static_cast<unsigned>(digit);
    if (total > 0xFFFFFFFFu) return false;
  }
  *value = static_cast<DWORD>(total);
  return true;
}

}  // namespace

bool ParseIPAddress(std::string_view text, DWORD* address, bool allowBroadcast) {
  if (address == nullptr) return false;
  const std::string_view trimmed = TrimmedView(text);

  std::array<DWORD, 4> parts{};
  std::size_t count = 0;
  std::string_view rest = trimmed;
  for (;;) {
    if (count == parts.size()) return false;  // a fifth part
    const std::size_t dot = rest.find('.');
    if (!ParseAddressPart(rest.substr(0, dot), &parts[count])) return false;
    ++count;
    if (dot == std::string_view::npos) break;
    rest.remove_prefix(dot + 1);  // a trailing dot leaves an empty part, which fails
  }

  // Every part but the last is one byte; the last fills the bytes left over.
  DWORD result = 0;
  for (std::size_t i = 0; i + 1 < count; ++i) {
    if (parts[i] > 0xFF) return false;
    result |= parts[i] << (24 - 8 * i);
  }
  const DWORD lastLimit = 0xFFFFFFFFu >> (8 * (count - 1));
  if (parts[count - 1] > lastLimit) return false;
  result |= parts[count - 1];

  // All ones is what the sockets library answers for "no address", so it is
  // only taken when it is meant: the exact broadcast text in a broadcast field.
  if (result == 0xFFFFFFFFu && !(allowBroadcast && trimmed == "255.255.255.255")) return false;

  *address = result;
  return true;
}

bool ParseMACAddress(std::string_view text, BYTE mac[6]) {
  if (mac == nullptr) return false;
  const std::string_view trimmed = TrimmedView(text);
  // "xx-xx-xx-xx-xx-xx": six pairs and five separators.
  if (trimmed.size() != 17) return false;
  const char separator = trimmed[2];
  if (separator != '-' && separator != ':') return false;
  std::array<BYTE, 6> bytes{};
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const std::size_t at = i * 3;
    const int high = HexDigitValue(trimmed[at]);
    const int low = HexDigitValue(trimmed[at + 1]);
    if (high < 0 || low < 0) return false;
    if (i + 1 < bytes.size() && trimmed[at + 2] != separator) return false;
    bytes[i] = static_cast<BYTE>(high * 16 + low);
  }
  for (std::size_t i = 0; i < bytes.size(); ++i) mac[i] = bytes[i];
  return true;
}

std::string FormatIPAddr(DWORD addressNetworkOrder, std::string* out) {
  // Network order: the first octet is the first byte in memory.
  BYTE octets[4];
  static_assert(sizeof octets == sizeof addressNetworkOrder);
  std::memcpy(octets, &addressNetworkOrder, sizeof octets);
  char text[16];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", octets[0], octets[1], octets[2], octets[3]);
  std::string result = text;
  if (out != nullptr) *out = result;
  return result;
}

std::string FormatMACAddr(const BYTE mac[6], std::string* out) {
  std::string result;
  if (mac != nullptr) {
    char text[18];
    std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", mac[0], mac[1], mac[2], mac[3], mac[4],
                  mac[5]);
    result = text;
  }
  if (out != nullptr) *out = result;
  return result;
}

std::string TrimBlanks(std::string_view text) { return std::string(TrimmedView(text)); }
