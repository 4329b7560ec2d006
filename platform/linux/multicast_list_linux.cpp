#include "linux/multicast_list_linux.h"

#include <sstream>

namespace platform::linuxhost {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseIndex(const std::string& text, unsigned* index) {
  if (text.empty() || text.size() > 9) return false;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  *index = value;
  return true;
}

bool ParseAddress(const std::string& text, MacAddress* mac) {
  if (text.size() != 2 * mac->size()) return false;
  for (std::size_t i = 0; i < mac->size(); ++i) {
    const int high = HexDigit(text[2 * i]);
    const int low = HexDigit(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    (*mac)[i] = static_cast<std::uint8_t>(high << 4 | low);
  }
  return true;
}

}  // namespace

std::vector<MacAddress> ParseMulticastList(const std::string& text, unsigned index) {
  std::vector<MacAddress> list;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string indexText, name, users, globalUsers, address, extra;
    if (!(fields >> indexText >> name >> users >> globalUsers >> address) || (fields >> extra)) continue;
    unsigned lineIndex = 0;
    MacAddress mac{};
    if (!ParseIndex(indexText, &lineIndex) || lineIndex != index || !ParseAddress(address, &mac)) continue;
    list.push_back(mac);
  }
  return list;
}

}  // namespace platform::linuxhost
