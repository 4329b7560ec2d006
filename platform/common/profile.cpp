// The profile calls of the programs, on the machine's settings store. A value
// of another kind than the one asked for reads as absent, so the default
// applies.
#include "platform/profile.h"

#include "common/ini_store.h"
#include "platform/machine.h"

namespace platform {
namespace {

bool Fetch(const Profile& profile, const std::string& section, const std::string& entry, ProfileValue::Kind kind,
           ProfileValue* value) {
  return TheMachine().Profiles().Read(profile.company(), profile.program(), section, entry, value) &&
         value->kind == kind;
}

bool Store(const Profile& profile, const std::string& section, const std::vector<ProfileEntry>& entries) {
  // The same names on every machine, including those that could hold more.
  bool valid = ini::IsValidName(section);
  for (const ProfileEntry& entry : entries) valid = valid && ini::IsValidName(entry.name);
  if (!valid) {
    SetErrors(ERROR_INVALID_NAME, ErrnoForLastError(ERROR_INVALID_NAME));
    return false;
  }
  return TheMachine().Profiles().Write(profile.company(), profile.program(), section, entries);
}

}  // namespace

ProfileEntry NumberEntry(std::string name, DWORD value) {
  ProfileEntry entry;
  entry.name = std::move(name);
  entry.value.kind = ProfileValue::Kind::kNumber;
  entry.value.number = value;
  return entry;
}

ProfileEntry TextEntry(std::string name, std::string value) {
  ProfileEntry entry;
  entry.name = std::move(name);
  entry.value.kind = ProfileValue::Kind::kText;
  entry.value.text = std::move(value);
  return entry;
}

Profile::Profile(std::string company, std::string program)
    : company_(std::move(company)), program_(std::move(program)) {}

DWORD Profile::GetInt(const std::string& section, const std::string& entry, DWORD defaultValue) const {
  ProfileValue value;
  return Fetch(*this, section, entry, ProfileValue::Kind::kNumber, &value) ? value.number : defaultValue;
}

std::string Profile::GetString(const std::string& section, const std::string& entry,
                               const std::string& defaultValue) const {
  ProfileValue value;
  return Fetch(*this, section, entry, ProfileValue::Kind::kText, &value) ? value.text : defaultValue;
}

bool Profile::GetBinary(const std::string& section, const std::string& entry, std::vector<BYTE>* value) const {
  ProfileValue stored;
  if (!Fetch(*this, section, entry, ProfileValue::Kind::kBinary, &stored)) return false;
  if (value) *value = std::move(stored.binary);
  return true;
}

bool Profile::WriteInt(const std::string& section, const std::string& entry, DWORD value) {
  return Store(*this, section, {NumberEntry(entry, value)});
}

bool Profile::WriteString(const std::string& section, const std::string& entry, const std::string& value) {
  return Store(*this, section, {TextEntry(entry, value)});
}

bool Profile::WriteBinary(const std::string& section, const std::string& entry, const std::vector<BYTE>& value) {
  ProfileEntry stored;
  stored.name = entry;
  stored.value.kind = ProfileValue::Kind::kBinary;
  stored.value.binary = value;
  return Store(*this, section, {stored});
}

bool Profile::WriteEntries(const std::string& section, const std::vector<ProfileEntry>& entries) {
  return Store(*this, section, entries);
}

}  // namespace platform
