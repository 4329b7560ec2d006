// Directory texts.
#include "mestralib/directory.h"

#include "platform/module.h"

std::string GetStdSystemDirectory() { return platform::SystemDirectory(); }

std::string StandardizedDirectory(const std::string& directory, bool trailingSeparator) {
  std::string result;
  result.reserve(directory.size() + 1);
  for (char c : directory) {
    if (c == '\\') c = '/';
    if (c == '/' && !result.empty() && result.back() == '/') continue;
    result += c;
  }
  // The root is a separator of its own, not a trailing one; an empty text
  // stays empty rather than turning into the root.
  if (result.empty() || result == "/") return result;
  if (trailingSeparator) {
    if (result.back() != '/') result += '/';
  } else if (result.back() == '/') {
    result.pop_back();
  }
  return result;
}

std::string WindowsizedDirectory(const std::string& directory) { return StandardizedDirectory(directory, false); }

std::string StringToFixedLen(const std::string& text, std::size_t length) {
  std::size_t cut = text.size() < length ? text.size() : length;
  // Never cut a UTF-8 character in two: back up to its first byte and let the
  // padding make up the length.
  if (cut < text.size()) {
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  }
  std::string result = text.substr(0, cut);
  result.append(length - cut, ' ');
  return result;
}
