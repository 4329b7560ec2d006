// Version resources of modules and files, and this library's own version.
#pragma once

#include <string>

#include "platform/module.h"

class CModuleVersion {
 public:
  // From a loaded module, or from a file on disk. True on success; on failure
  // the last error says why and the fixed information is all zero.
  bool GetFileVersionInfo(HMODULE module);
  bool GetFileVersionInfo(const std::string& path);

  const platform::VS_FIXEDFILEINFO& FixedInfo() const { return resource_.fixed; }
  // A named text value ("SpecialBuild", "FileVersion" ...); empty when absent.
  std::string QueryValue(const std::string& name) const;
  // "%d.%d.%d.%d" of the file version.
  std::string FileVersionText() const;

 private:
  platform::VersionResource resource_;
};

// "MestraLib <version> ... Copyright ..." : a text that holds the word Copyright.
const char* MestraLibVersion();
void MestraLibVersion(int* major, int* inter, int* minor, int* build);
