// Shared libraries by name, their symbols, and version resources.
//
// Every binary of the kit carries a version resource: a fixed record in the
// ELF section named kVersionSection (see cmake/Morvane.cmake,
// morvane_version_resource). It holds the fixed file information below and
// named text values ("FileVersion", "SpecialBuild", "LegalCopyright" ...).
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/wintypes.h"

namespace platform {

// A bare name is looked for next to the executable, then in the system
// directory (SystemDirectory()), then along the dynamic loader's own search
// (LD_LIBRARY_PATH, the caller's run path, the system's library folders);
// never in the current directory. A name with a "/" is taken as a path.
// Fails with ERROR_MOD_NOT_FOUND (or ERROR_BAD_EXE_FORMAT) and returns nullptr.
HMODULE LoadLibrary(const char* name);
void* GetProcAddress(HMODULE module, const char* symbol);  // ERROR_PROC_NOT_FOUND
BOOL FreeLibrary(HMODULE module);
// Full path; empty on failure. A null module is the executable itself, here
// and in ReadVersionResource. Only handles from LoadLibrary are accepted
// (ERROR_INVALID_HANDLE otherwise), including by GetProcAddress and FreeLibrary.
std::string GetModuleFileName(HMODULE module);

// Our installation's system directory: $MORVANE_SYSTEM_DIR when set, else the
// folder "system" beside the platform library. It holds the packet-capture
// library and drivers/npf.sys. On a machine without the packet-capture
// installation (SystemFacts::captureInstalled false) there is none: the
// result is empty and bare names are not looked for there.
std::string SystemDirectory();

constexpr const char* kVersionSection = ".morvane_version";

struct VS_FIXEDFILEINFO {
  DWORD dwSignature;  // 0xFEEF04BD
  DWORD dwStrucVersion;
  DWORD dwFileVersionMS;
  DWORD dwFileVersionLS;
  DWORD dwProductVersionMS;
  DWORD dwProductVersionLS;
  DWORD dwFileFlagsMask;
  DWORD dwFileFlags;
  DWORD dwFileOS;
  DWORD dwFileType;
  DWORD dwFileSubtype;
  DWORD dwFileDateMS;
  DWORD dwFileDateLS;
};
static_assert(sizeof(VS_FIXEDFILEINFO) == 52);

struct VersionResource {
  VS_FIXEDFILEINFO fixed{};
  std::vector<std::pair<std::string, std::string>> values;
  std::optional<std::string> Value(const std::string& name) const;
};

// Both read the section from the file on disk and treat it as untrusted: a
// file that is not ELF, is truncated, or whose section is malformed or absent
// fails cleanly (ERROR_RESOURCE_TYPE_NOT_FOUND / ERROR_BAD_FORMAT /
// ERROR_FILE_NOT_FOUND), never crashes.
bool ReadVersionResource(HMODULE module, VersionResource* out);
bool ReadVersionResourceFromFile(const std::string& path, VersionResource* out);

}  // namespace platform
