// Arbitrary texts through the address parsers. The first byte chooses whether
// the all-ones address is allowed; the rest is the text, in an exact-size
// buffer without a terminator so that any read past it is caught. What a
// parser accepts must format back to a text it accepts with the same value.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "mestralib/address.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool allowBroadcast = (data[0] & 1) != 0;
  const std::vector<char> buffer(data + 1, data + size);
  const std::string_view text(buffer.data(), buffer.size());

  DWORD address = 0;
  if (ParseIPAddress(text, &address, allowBroadcast)) {
    const BYTE octets[4] = {BYTE(address >> 24), BYTE(address >> 16), BYTE(address >> 8), BYTE(address)};
    DWORD networkOrder;
    std::memcpy(&networkOrder, octets, sizeof networkOrder);
    DWORD again = 0;
    if (!ParseIPAddress(FormatIPAddr(networkOrder), &again, allowBroadcast) || again != address) __builtin_trap();
  }

  BYTE mac[6];
  if (ParseMACAddress(text, mac)) {
    const std::string formatted = FormatMACAddr(mac);
    BYTE again[6];
    if (formatted.size() != 17 || !ParseMACAddress(formatted, again) || std::memcmp(mac, again, 6) != 0) {
      __builtin_trap();
    }
  }

  const std::string trimmed = TrimBlanks(text);
  if (TrimBlanks(trimmed) != trimmed || trimmed.size() > text.size()) __builtin_trap();
  return 0;
}
