// Per-user settings: typed values under a company key, a program name and a
// section. linux: $XDG_CONFIG_HOME/Morvane/<program>.ini (default ~/.config),
// written atomically; a file that does not parse is reported through the
// trace, read as empty (defaults apply) and left alone until the program
// writes a value. sim: kept in memory for the life of the process.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/wintypes.h"

namespace platform {

// One stored value, of one of three kinds.
struct ProfileValue {
  enum class Kind { kNumber, kText, kBinary } kind = Kind::kNumber;
  DWORD number = 0;
  std::string text;
  std::vector<BYTE> binary;
};

// A value and the name of its entry, for writing several at once.
struct ProfileEntry {
  std::string name;
  ProfileValue value;
};
ProfileEntry NumberEntry(std::string name, DWORD value);
ProfileEntry TextEntry(std::string name, std::string value);

class Profile {
 public:
  Profile(std::string company, std::string program);

  DWORD GetInt(const std::string& section, const std::string& entry, DWORD defaultValue) const;
  std::string GetString(const std::string& section, const std::string& entry,
                        const std::string& defaultValue) const;
  // False when the value is absent (or not binary).
  bool GetBinary(const std::string& section, const std::string& entry, std::vector<BYTE>* value) const;

  // Each write is durable when it returns true.
  bool WriteInt(const std::string& section, const std::string& entry, DWORD value);
  bool WriteString(const std::string& section, const std::string& entry, const std::string& value);
  bool WriteBinary(const std::string& section, const std::string& entry, const std::vector<BYTE>& value);
  // Several values of one section in one write: on the real machine one
  // replacement of the file, so that a program reading it, or writing it at
  // the same moment, finds all of them or none of them. Nothing is written
  // when any name is one the file cannot hold.
  bool WriteEntries(const std::string& section, const std::vector<ProfileEntry>& entries);

  const std::string& company() const { return company_; }
  const std::string& program() const { return program_; }

 private:
  std::string company_;
  std::string program_;
};

}  // namespace platform
