#include "neighbour_text.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "mestralib/address.h"
#include "platform/sockets.h"

namespace vifnet {
namespace {

constexpr unsigned long kEntryComplete = 0x02;  // ATF_COM
constexpr std::size_t kLongestField = 64;

// The next blank-separated field of `line` from `*at`; empty at the end.
std::string_view NextField(std::string_view line, std::size_t* at) {
  while (*at < line.size() && (line[*at] == ' ' || line[*at] == '\t')) ++*at;
  const std::size_t start = *at;
  while (*at < line.size() && line[*at] != ' ' && line[*at] != '\t') ++*at;
  return line.substr(start, *at - start);
}

bool ParseHex(std::string_view field, unsigned long* value) {
  if (field.size() < 3 || field.size() > 10 || field.substr(0, 2) != "0x") return false;
  std::string text(field.substr(2));
  char* end = nullptr;
  *value = std::strtoul(text.c_str(), &end, 16);
  return end != nullptr && *end == '\0';
}

}  // namespace

std::vector<Neighbour> ParseNeighbourText(std::string_view text) {
  std::vector<Neighbour> entries;
  bool header = true;
  while (!text.empty()) {
    const std::size_t newline = text.find('\n');
    std::string_view line = text.substr(0, newline);
    text = newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);
    if (header) {
      header = false;
      continue;
    }
    std::size_t at = 0;
    const std::string_view ipText = NextField(line, &at);
    const std::string_view hwType = NextField(line, &at);
    const std::string_view flagsText = NextField(line, &at);
    const std::string_view macText = NextField(line, &at);
    unsigned long type = 0, flags = 0;
    if (ipText.empty() || ipText.size() > kLongestField || macText.size() > kLongestField) continue;
    if (!ParseHex(hwType, &type) || type != 1 || !ParseHex(flagsText, &flags)) continue;  // 1: Ethernet
    if ((flags & kEntryComplete) == 0) continue;
    Neighbour entry;
    DWORD host = 0;
    if (!ParseIPAddress(ipText, &host, false) || !ParseMACAddress(macText, entry.mac.data())) continue;
    entry.ip = platform::htonl(host);
    entries.push_back(entry);
  }
  return entries;
}

}  // namespace vifnet
