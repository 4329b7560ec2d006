// The machine's registry view behind the registry calls. An open key holds
// its path, not a node: each call finds the node again, so a key stays safe
// to use (and fails cleanly) whatever happens to the tree behind it.
#include "platform/registry.h"

#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <set>

#include "platform/machine.h"

namespace platform {
namespace {

struct OpenKey {
  std::string path;
};

std::mutex g_keysLock;
std::set<OpenKey*> g_keys;  // every key handle given out and not yet closed

// The path of a root or open key; false for a handle that is neither.
bool PathOf(HKEY key, std::string* path) {
  if (key == HKEY_LOCAL_MACHINE) {
    path->clear();
    return true;
  }
  std::lock_guard lock(g_keysLock);
  auto* open = static_cast<OpenKey*>(key);
  if (!g_keys.count(open)) return false;
  *path = open->path;
  return true;
}

const RegistryTree::Node* NodeOf(HKEY key, LONG* result) {
  std::string path;
  if (!PathOf(key, &path)) {
    *result = static_cast<LONG>(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  const RegistryTree::Node* node = TheMachine().Registry().Find(path);
  *result = static_cast<LONG>(node ? ERROR_SUCCESS : ERROR_INVALID_HANDLE);
  return node;
}

std::string Folded(const char* text) {
  std::string folded(text ? text : "");
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

}  // namespace

LONG RegOpenKeyEx(HKEY root, const char* subKey, DWORD /*options*/, DWORD /*access*/, HKEY* result) {
  if (!result) return static_cast<LONG>(ERROR_INVALID_PARAMETER);
  *result = nullptr;
  std::string path;
  if (!PathOf(root, &path)) return static_cast<LONG>(ERROR_INVALID_HANDLE);
  if (subKey && *subKey) path += std::string("\\") + subKey;
  if (!TheMachine().Registry().Find(path)) return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
  auto key = std::make_unique<OpenKey>(OpenKey{path});
  std::lock_guard lock(g_keysLock);
  g_keys.insert(key.get());
  *result = key.release();
  return static_cast<LONG>(ERROR_SUCCESS);
}

LONG RegQueryValueEx(HKEY key, const char* valueName, DWORD* type, BYTE* data, DWORD* size) {
  LONG result;
  const RegistryTree::Node* node = NodeOf(key, &result);
  if (!node) return result;
  if (data && !size) return static_cast<LONG>(ERROR_INVALID_PARAMETER);
  auto found = node->values.find(Folded(valueName));
  if (found == node->values.end()) return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
  const RegistryValue& value = found->second;
  auto needed = static_cast<DWORD>(value.data.size());
  if (type) *type = value.type;
  if (data) {
    if (*size < needed) {
      *size = needed;
      return static_cast<LONG>(ERROR_MORE_DATA);
    }
    if (needed) std::memcpy(data, value.data.data(), needed);
  }
  if (size) *size = needed;
  return static_cast<LONG>(ERROR_SUCCESS);
}

LONG RegEnumKeyEx(HKEY key, DWORD index, std::string* name) {
  if (!name) return static_cast<LONG>(ERROR_INVALID_PARAMETER);
  LONG result;
  const RegistryTree::Node* node = NodeOf(key, &result);
  if (!node) return result;
  if (index >= node->subKeyNames.size()) return static_cast<LONG>(ERROR_NO_MORE_ITEMS);
  *name = std::next(node->subKeyNames.begin(), index)->second;
  return static_cast<LONG>(ERROR_SUCCESS);
}

LONG RegCloseKey(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE) return static_cast<LONG>(ERROR_SUCCESS);
  std::lock_guard lock(g_keysLock);
  auto* open = static_cast<OpenKey*>(key);
  if (!g_keys.erase(open)) return static_cast<LONG>(ERROR_INVALID_HANDLE);
  delete open;
  return static_cast<LONG>(ERROR_SUCCESS);
}

}  // namespace platform
