// Per-user settings kept in memory for the life of the process (the simulated
// host's store, and a store for tests). Names compare without regard to case.
#pragma once

#include <map>
#include <mutex>
#include <string>

#include "platform/machine.h"

namespace platform {

class MemoryProfileStore final : public ProfileStore {
 public:
  bool Read(const std::string& company, const std::string& program, const std::string& section,
            const std::string& entry, ProfileValue* value) override;
  bool Write(const std::string& company, const std::string& program, const std::string& section,
             const std::vector<ProfileEntry>& entries) override;

 private:
  std::mutex lock_;
  std::map<std::string, ProfileValue> values_;  // key: the four names folded, joined by NULs
};

}  // namespace platform
