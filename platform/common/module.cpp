// Shared libraries by name. The search never looks in the current directory:
// a library planted there would run its constructors inside our process (the
// loader runs them before we could refuse the result).
#include "platform/module.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string_view>

#include "platform/sysinfo.h"
#include "platform/trace_hook.h"
#include "platform/winerror.h"

namespace platform {
namespace {

struct LoadedModule {
  int references = 0;
  std::string path;  // absolute
};

// Handles this layer gave out: anything else is refused instead of being
// handed to the loader, which would not survive a stray pointer.
std::mutex g_modulesLock;
std::map<void*, LoadedModule> g_modules;

bool Fail(DWORD code) {
  SetErrors(code, ErrnoForLastError(code));
  return false;
}

std::string Folder(const std::string& path) {
  auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  if (!::realpath(path.c_str(), resolved)) return path;
  return resolved;
}

std::string ExecutablePath() {
  char path[PATH_MAX];
  ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return {};
  return std::string(path, static_cast<std::size_t>(length));
}

bool IsFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool LooksLikeElf(const std::string& path) {
  char magic[4] = {};
  std::FILE* file = std::fopen(path.c_str(), "rbe");
  if (!file) return false;
  bool elf = std::fread(magic, 1, sizeof magic, file) == sizeof magic && std::memcmp(magic, "\x7f" "ELF", 4) == 0;
  std::fclose(file);
  return elf;
}

// Entries of a loader search list, split as the loader splits them.
std::vector<std::string> SearchEntries(const char* list) {
  std::vector<std::string> entries;
  if (!list) return entries;
  std::string_view rest(list);
  for (;;) {
    auto end = rest.find_first_of(":;");
    entries.emplace_back(rest.substr(0, end));
    if (end == std::string_view::npos) break;
    rest.remove_prefix(end + 1);
  }
  return entries;
}

// The loader reads an empty or relative entry as a folder under the current
// directory; "$ORIGIN" and friends expand to absolute folders.
bool IsRelativeEntry(const std::string& entry) { return entry.empty() || (entry[0] != '/' && entry[0] != '$'); }

HMODULE Open(const std::string& path, const std::string& name) {
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = ::dlerror();
    PlatformTrace("LoadLibrary(\"%s\"): %s\n", name.c_str(), why ? why : "the loader refused it");
    // A file that is there but is no ELF object is a bad format; anything else
    // (missing, or a library it needs is missing) is a module not found.
    Fail(path.find('/') != std::string::npos && IsFile(path) && !LooksLikeElf(path) ? ERROR_BAD_EXE_FORMAT
                                                                                 : ERROR_MOD_NOT_FOUND);
    return nullptr;
  }
  struct link_map* map = nullptr;
  std::string loadedFrom = path;
  if (::dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map && map->l_name && map->l_name[0]) {
    loadedFrom = map->l_name;
  }
  if (loadedFrom.empty() || loadedFrom[0] != '/') {
    if (path.find('/') == std::string::npos) {
      // The loader found a bare name through a relative folder after all.
      ::dlclose(handle);
      PlatformTrace("LoadLibrary(\"%s\"): refused \"%s\" (relative to the current directory)\n", name.c_str(),
                    loadedFrom.c_str());
      Fail(ERROR_MOD_NOT_FOUND);
      return nullptr;
    }
    loadedFrom = RealPath(loadedFrom);
  }
  std::lock_guard lock(g_modulesLock);
  LoadedModule& module = g_modules[handle];
  ++module.references;
  module.path = loadedFrom;
  return handle;
}

}  // namespace

std::string SystemDirectory() {
  if (!GetSystemFacts().captureInstalled) return {};
  if (const char* configured = std::getenv("MORVANE_SYSTEM_DIR"); configured && *configured) return configured;
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&SystemDirectory), &info) && info.dli_fname) {
    return Folder(RealPath(info.dli_fname)) + "/system";
  }
  std::string program = ExecutablePath();
  return program.empty() ? std::string() : Folder(RealPath(program)) + "/system";
}

HMODULE LoadLibrary(const char* name) {
  if (!name || !*name) {
    Fail(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::string wanted(name);
  if (wanted.find('/') != std::string::npos) {
    if (!IsFile(wanted)) {
      Fail(ERROR_MOD_NOT_FOUND);
      return nullptr;
    }
    return Open(wanted, wanted);
  }

  std::string program = ExecutablePath();
  for (const std::string& folder : {program.empty() ? std::string() : Folder(program), SystemDirectory()}) {
    if (folder.empty() || folder[0] != '/') continue;  // a relative folder would be the current directory's
    std::string candidate = folder + "/" + wanted;
    if (IsFile(candidate)) return Open(candidate, wanted);
  }

  // The loader's own search would take a relative LD_LIBRARY_PATH entry as a
  // folder under the current directory. When such an entry would supply this
  // name, only the absolute entries are searched, and by us.
  std::vector<std::string> entries = SearchEntries(std::getenv("LD_LIBRARY_PATH"));
  bool plantedBeside = false;
  for (const std::string& entry : entries) {
    if (IsRelativeEntry(entry) && IsFile((entry.empty() ? std::string(".") : entry) + "/" + wanted)) {
      plantedBeside = true;
    }
  }
  if (!plantedBeside) return Open(wanted, wanted);

  PlatformTrace("LoadLibrary(\"%s\"): LD_LIBRARY_PATH names the current directory; not searching it\n",
                wanted.c_str());
  for (const std::string& entry : entries) {
    if (entry.empty() || entry[0] != '/') continue;
    std::string candidate = entry + "/" + wanted;
    if (IsFile(candidate)) return Open(candidate, wanted);
  }
  Fail(ERROR_MOD_NOT_FOUND);
  return nullptr;
}

void* GetProcAddress(HMODULE module, const char* symbol) {
  if (!symbol) {
    Fail(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  {
    std::lock_guard lock(g_modulesLock);
    if (!g_modules.count(module)) {
      Fail(ERROR_INVALID_HANDLE);
      return nullptr;
    }
  }
  ::dlerror();
  void* address = ::dlsym(module, symbol);
  if (!address) Fail(ERROR_PROC_NOT_FOUND);
  return address;
}

BOOL FreeLibrary(HMODULE module) {
  {
    std::lock_guard lock(g_modulesLock);
    auto found = g_modules.find(module);
    if (found == g_modules.end()) return Fail(ERROR_INVALID_HANDLE);
    if (--found->second.references == 0) g_modules.erase(found);
  }
  ::dlclose(module);
  return 1;
}

std::string GetModuleFileName(HMODULE module) {
  if (!module) {
    // The executable itself, as the system's own call has it.
    std::string path = ExecutablePath();
    if (path.empty()) Fail(ERROR_NOT_FOUND);
    return path;
  }
  std::lock_guard lock(g_modulesLock);
  auto found = g_modules.find(module);
  if (found == g_modules.end()) {
    Fail(ERROR_INVALID_HANDLE);
    return {};
  }
  return found->second.path;
}

}  // namespace platform
