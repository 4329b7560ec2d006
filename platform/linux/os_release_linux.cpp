#include "linux/os_release_linux.h"

#include <cctype>
#include <sstream>

namespace platform::linuxhost {
namespace {

bool ValidKey(const std::string& key) {
  if (key.empty() || std::isdigit(static_cast<unsigned char>(key[0]))) return false;
  for (char c : key) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  }
  return true;
}

// Returns false for an unterminated quote.
bool Unquote(const std::string& raw, std::string* value) {
  value->clear();
  if (raw.empty()) return true;
  char quote = raw[0];
  if (quote != '"' && quote != '\'') {
    *value = raw;
    return true;
  }
  for (std::size_t i = 1; i < raw.size(); ++i) {
    char c = raw[i];
    if (c == quote) return i + 1 == raw.size();
    if (quote == '"' && c == '\\' && i + 1 < raw.size()) c = raw[++i];
    value->push_back(c);
  }
  return false;
}

}  // namespace

std::map<std::string, std::string> ParseOsReleaseFields(const std::string& text) {
  std::map<std::string, std::string> fields;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    std::size_t end = line.find_last_not_of(" \t\r");
    line = line.substr(start, end - start + 1);
    std::size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    std::string key = line.substr(0, equals);
    std::string value;
    if (!ValidKey(key) || !Unquote(line.substr(equals + 1), &value)) continue;
    fields[key] = value;
  }
  return fields;
}

}  // namespace platform::linuxhost
