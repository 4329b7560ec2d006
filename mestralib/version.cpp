// Version resources of modules and files, and this library's own version.
#include "mestralib/version.h"

#include <cstdio>

#include "platform/winerror.h"

#if !defined(MESTRALIB_VERSION_MAJOR) || !defined(MESTRALIB_VERSION_INTER) || \
    !defined(MESTRALIB_VERSION_MINOR) || !defined(MESTRALIB_VERSION_BUILD) || !defined(MESTRALIB_COPYRIGHT)
#error "the build gives the library's version numbers and copyright (mestralib/CMakeLists.txt)"
#endif

#define MESTRALIB_STRINGIFY2(x) #x
#define MESTRALIB_STRINGIFY(x) MESTRALIB_STRINGIFY2(x)

namespace {

template <typename Reader>
bool ReadInto(platform::VersionResource* resource, Reader read) {
  platform::VersionResource fresh;
  if (!read(&fresh)) {
    // Whatever a failed read left behind must not pass for a version.
    const platform::SavedErrors saved;
    *resource = platform::VersionResource{};
    saved.Restore();
    return false;
  }
  *resource = std::move(fresh);
  return true;
}

}  // namespace

bool CModuleVersion::GetFileVersionInfo(HMODULE module) {
  return ReadInto(&resource_, [module](platform::VersionResource* out) {
    return platform::ReadVersionResource(module, out);
  });
}

bool CModuleVersion::GetFileVersionInfo(const std::string& path) {
  return ReadInto(&resource_, [&path](platform::VersionResource* out) {
    return platform::ReadVersionResourceFromFile(path, out);
  });
}

std::string CModuleVersion::QueryValue(const std::string& name) const {
  return resource_.Value(name).value_or(std::string());
}

std::string CModuleVersion::FileVersionText() const {
  const platform::VS_FIXEDFILEINFO& fixed = resource_.fixed;
  char text[48];
  std::snprintf(text, sizeof text, "%d.%d.%d.%d", static_cast<int>(fixed.dwFileVersionMS >> 16),
                static_cast<int>(fixed.dwFileVersionMS & 0xFFFF), static_cast<int>(fixed.dwFileVersionLS >> 16),
                static_cast<int>(fixed.dwFileVersionLS & 0xFFFF));
  return text;
}

const char* MestraLibVersion() {
  return "MestraLib utility library, version " MESTRALIB_STRINGIFY(MESTRALIB_VERSION_MAJOR) "." MESTRALIB_STRINGIFY(
      MESTRALIB_VERSION_INTER) "." MESTRALIB_STRINGIFY(MESTRALIB_VERSION_MINOR) "." MESTRALIB_STRINGIFY(MESTRALIB_VERSION_BUILD) ". " MESTRALIB_COPYRIGHT;
}

void MestraLibVersion(int* major, int* inter, int* minor, int* build) {
  if (major != nullptr) *major = MESTRALIB_VERSION_MAJOR;
  if (inter != nullptr) *inter = MESTRALIB_VERSION_INTER;
  if (minor != nullptr) *minor = MESTRALIB_VERSION_MINOR;
  if (build != nullptr) *build = MESTRALIB_VERSION_BUILD;
}
