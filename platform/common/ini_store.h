// The text form of per-user settings: sections of typed values, one per line.
//
//   ; comment
//   [Settings]
//   PingDataSize=dword:00000020
//   WhoPingName=text:"a \"quoted\" text\x01 with escapes"
//   Pattern=hex:01,02,ff
//
// Numbers are eight hex digits (one to eight on reading); texts are quoted,
// with \\ \" \n \r \t and \xHH as the only escapes and no raw control
// characters; binary values are hex pairs separated by commas. Names of
// sections and entries compare without regard to case. A file that breaks any
// rule is rejected whole, with the line that broke it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/machine.h"

namespace platform::ini {

constexpr std::size_t kMaxFileBytes = 1 << 20;
constexpr std::size_t kMaxNameBytes = 255;

struct Entry {
  std::string name;
  ProfileValue value;
};

struct Section {
  std::string name;
  std::vector<Entry> entries;
};

class Document {
 public:
  const ProfileValue* Find(const std::string& section, const std::string& entry) const;
  // Replaces a value of the same name (keeping the name's first spelling).
  void Set(const std::string& section, const std::string& entry, const ProfileValue& value);
  const std::vector<Section>& sections() const { return sections_; }

 private:
  friend bool Parse(std::string_view, Document*, std::string*);
  std::vector<Section> sections_;
};

// A section or entry name that the text form can hold unambiguously: not
// empty, at most kMaxNameBytes, no control characters, none of = [ ], not
// starting with ; or #, no blanks at either end.
bool IsValidName(const std::string& name);

// False with `error` ("line 3: ...") when the text breaks a rule; `document`
// is then left as it was.
bool Parse(std::string_view text, Document* document, std::string* error);
std::string Serialize(const Document& document);

bool SameName(const std::string& a, const std::string& b);

}  // namespace platform::ini
