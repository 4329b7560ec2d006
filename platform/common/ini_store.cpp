// Parsing and writing the settings text. The parser reads bytes from a file
// anyone could have edited: it checks every character it consumes and gives
// up on the first line it cannot read exactly.
#include "common/ini_store.h"

#include <algorithm>
#include <cstdio>

namespace platform::ini {
namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool IsControl(char c) {
  auto byte = static_cast<unsigned char>(c);
  return byte < 0x20 || byte == 0x7F;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool StartsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

bool ParseNumber(std::string_view digits, DWORD* number) {
  if (digits.empty() || digits.size() > 8) return false;
  DWORD value = 0;
  for (char c : digits) {
    int digit = HexDigit(c);
    if (digit < 0) return false;
    value = (value << 4) | static_cast<DWORD>(digit);
  }
  *number = value;
  return true;
}

bool ParseText(std::string_view quoted, std::string* text) {
  if (quoted.size() < 2 || quoted.front() != '"' || quoted.back() != '"') return false;
  std::string_view body = quoted.substr(1, quoted.size() - 2);
  std::string value;
  for (std::size_t i = 0; i < body.size(); ++i) {
    char c = body[i];
    if (c == '"' || IsControl(c)) return false;
    if (c != '\\') {
      value.push_back(c);
      continue;
    }
    if (++i >= body.size()) return false;
    switch (body[i]) {
      case '\\': value.push_back('\\'); break;
      case '"': value.push_back('"'); break;
      case 'n': value.push_back('\n'); break;
      case 'r': value.push_back('\r'); break;
      case 't': value.push_back('\t'); break;
      case 'x': {
        if (i + 2 >= body.size()) return false;
        int high = HexDigit(body[i + 1]);
        int low = HexDigit(body[i + 2]);
        if (high < 0 || low < 0) return false;
        value.push_back(static_cast<char>(high << 4 | low));
        i += 2;
        break;
      }
      default:
        return false;
    }
  }
  *text = std::move(value);
  return true;
}

bool ParseBinary(std::string_view pairs, std::vector<BYTE>* bytes) {
  std::vector<BYTE> value;
  for (std::size_t i = 0; i < pairs.size();) {
    if (i + 2 > pairs.size()) return false;
    int high = HexDigit(pairs[i]);
    int low = HexDigit(pairs[i + 1]);
    if (high < 0 || low < 0) return false;
    value.push_back(static_cast<BYTE>(high << 4 | low));
    i += 2;
    if (i == pairs.size()) break;
    if (pairs[i] != ',' || i + 1 == pairs.size()) return false;
    ++i;
  }
  *bytes = std::move(value);
  return true;
}

bool ParseValue(std::string_view text, ProfileValue* value) {
  ProfileValue parsed;
  if (StartsWith(text, "dword:")) {
    parsed.kind = ProfileValue::Kind::kNumber;
    if (!ParseNumber(text.substr(6), &parsed.number)) return false;
  } else if (StartsWith(text, "text:")) {
    parsed.kind = ProfileValue::Kind::kText;
    if (!ParseText(text.substr(5), &parsed.text)) return false;
  } else if (StartsWith(text, "hex:")) {
    parsed.kind = ProfileValue::Kind::kBinary;
    if (!ParseBinary(text.substr(4), &parsed.binary)) return false;
  } else {
    return false;
  }
  *value = std::move(parsed);
  return true;
}

std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (IsControl(c)) {
          char hex[5];
          std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(c));
          out += hex;
        } else {
          out.push_back(c);
        }
    }
  }
  return out;
}

std::string ValueText(const ProfileValue& value) {
  char buffer[16];
  switch (value.kind) {
    case ProfileValue::Kind::kNumber:
      std::snprintf(buffer, sizeof buffer, "dword:%08x", static_cast<unsigned>(value.number));
      return buffer;
    case ProfileValue::Kind::kText:
      return "text:\"" + Escaped(value.text) + "\"";
    case ProfileValue::Kind::kBinary: {
      std::string out = "hex:";
      for (std::size_t i = 0; i < value.binary.size(); ++i) {
        std::snprintf(buffer, sizeof buffer, i ? ",%02x" : "%02x", value.binary[i]);
        out += buffer;
      }
      return out;
    }
  }
  return {};
}

template <typename Items>
auto FindNamed(Items& items, const std::string& name) {
  return std::find_if(items.begin(), items.end(), [&](const auto& item) { return SameName(item.name, name); });
}

}  // namespace

bool SameName(const std::string& a, const std::string& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) { return Lower(x) == Lower(y); });
}

bool IsValidName(const std::string& name) {
  if (name.empty() || name.size() > kMaxNameBytes) return false;
  if (name[0] == ';' || name[0] == '#' || IsBlank(name.front()) || IsBlank(name.back())) return false;
  return std::none_of(name.begin(), name.end(),
                      [](char c) { return IsControl(c) || c == '=' || c == '[' || c == ']'; });
}

const ProfileValue* Document::Find(const std::string& section, const std::string& entry) const {
  auto inSection = FindNamed(sections_, section);
  if (inSection == sections_.end()) return nullptr;
  auto found = FindNamed(inSection->entries, entry);
  return found == inSection->entries.end() ? nullptr : &found->value;
}

void Document::Set(const std::string& section, const std::string& entry, const ProfileValue& value) {
  auto inSection = FindNamed(sections_, section);
  if (inSection == sections_.end()) {
    sections_.push_back(Section{section, {}});
    inSection = sections_.end() - 1;
  }
  auto found = FindNamed(inSection->entries, entry);
  if (found == inSection->entries.end()) {
    inSection->entries.push_back(Entry{entry, value});
  } else {
    found->value = value;
  }
}

bool Parse(std::string_view text, Document* document, std::string* error) {
  auto fail = [&](std::size_t line, const char* reason) {
    if (error) *error = "line " + std::to_string(line) + ": " + reason;
    return false;
  };
  if (text.size() > kMaxFileBytes) return fail(0, "file too large");
  Document parsed;
  Section* current = nullptr;
  std::size_t lineNumber = 0;
  while (!text.empty()) {
    ++lineNumber;
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    line = Trimmed(line);
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;

    if (line.front() == '[') {
      if (line.back() != ']') return fail(lineNumber, "section line without its closing bracket");
      std::string name(line.substr(1, line.size() - 2));
      if (!IsValidName(name)) return fail(lineNumber, "bad section name");
      if (FindNamed(parsed.sections_, name) != parsed.sections_.end()) {
        return fail(lineNumber, "section given twice");
      }
      parsed.sections_.push_back(Section{name, {}});
      current = &parsed.sections_.back();
      continue;
    }

    std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) return fail(lineNumber, "line is neither a section nor a value");
    if (!current) return fail(lineNumber, "value outside any section");
    std::string name(Trimmed(line.substr(0, equals)));
    if (!IsValidName(name)) return fail(lineNumber, "bad value name");
    if (FindNamed(current->entries, name) != current->entries.end()) return fail(lineNumber, "value given twice");
    Entry entry{name, {}};
    if (!ParseValue(Trimmed(line.substr(equals + 1)), &entry.value)) {
      return fail(lineNumber, "value is not dword:, text:\"...\" or hex: in its exact form");
    }
    current->entries.push_back(std::move(entry));
  }
  *document = std::move(parsed);
  return true;
}

std::string Serialize(const Document& document) {
  std::string text = "; Per-user settings, written by the program. Values: dword:HHHHHHHH, text:\"...\", hex:HH,HH\n";
  for (const Section& section : document.sections()) {
    text += "\n[" + section.name + "]\n";
    for (const Entry& entry : section.entries) text += entry.name + "=" + ValueText(entry.value) + "\n";
  }
  return text;
}

}  // namespace platform::ini
