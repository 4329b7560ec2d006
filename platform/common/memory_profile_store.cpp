#include "common/memory_profile_store.h"

namespace platform {
namespace {

std::string Key(const std::string& company, const std::string& program, const std::string& section,
                const std::string& entry) {
  std::string key;
  for (const std::string* part : {&company, &program, &section, &entry}) {
    for (char c : *part) key.push_back((c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c);
    key.push_back('\0');
  }
  return key;
}

}  // namespace

bool MemoryProfileStore::Read(const std::string& company, const std::string& program, const std::string& section,
                              const std::string& entry, ProfileValue* value) {
  std::lock_guard lock(lock_);
  auto found = values_.find(Key(company, program, section, entry));
  if (found == values_.end()) return false;
  if (value) *value = found->second;
  return true;
}

bool MemoryProfileStore::Write(const std::string& company, const std::string& program, const std::string& section,
                               const std::vector<ProfileEntry>& entries) {
  std::lock_guard lock(lock_);
  for (const ProfileEntry& entry : entries) values_[Key(company, program, section, entry.name)] = entry.value;
  return true;
}

}  // namespace platform
