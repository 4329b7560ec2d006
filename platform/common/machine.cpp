// The process's machine: chosen once, created on first use, shared by every
// thread. Also the registry tree that machines fill.
#include "platform/machine.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <optional>

#include "platform/machine_testing.h"
#include "platform/registry.h"

namespace platform {
namespace {

std::mutex g_machineLock;
std::atomic<Machine*> g_current{nullptr};
std::unique_ptr<Machine> g_owned;              // guarded by g_machineLock
std::optional<MachineKind> g_kind;             // guarded by g_machineLock

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string Folded(const std::string& text) {
  std::string folded(text);
  for (char& c : folded) c = Lower(c);
  return folded;
}

std::optional<MachineKind> KindNamed(const std::string& name) {
  std::string folded = Folded(name);
  if (folded == "linux") return MachineKind::kLinux;
  if (folded == "sim") return MachineKind::kSim;
  return std::nullopt;
}

const char* NameOf(MachineKind kind) { return kind == MachineKind::kSim ? "sim" : "linux"; }

// The kind this process runs on. An unknown MORVANE_PLATFORM stops the
// process: guessing could put a user who meant the simulated host on the
// real network.
MachineKind ResolveKindLocked() {
  if (g_kind) return *g_kind;
  const char* configured = std::getenv("MORVANE_PLATFORM");
  if (!configured || !*configured) {
    g_kind = MachineKind::kLinux;
  } else if (auto kind = KindNamed(configured)) {
    g_kind = kind;
  } else {
    std::fprintf(stderr, "MORVANE_PLATFORM=\"%s\" names no machine of this kit (use \"linux\" or \"sim\")\n",
                 configured);
    std::fflush(stderr);
    std::_Exit(2);
  }
  return *g_kind;
}

std::vector<std::string> PathParts(const std::string& path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

// UTF-8 to UTF-16LE bytes with the terminating zero; a malformed sequence
// becomes U+FFFD rather than ending the text.
std::vector<BYTE> Utf16Bytes(const std::string& utf8) {
  std::vector<BYTE> bytes;
  auto put = [&](std::uint32_t unit) {
    bytes.push_back(static_cast<BYTE>(unit & 0xFF));
    bytes.push_back(static_cast<BYTE>(unit >> 8));
  };
  std::size_t i = 0;
  while (i < utf8.size()) {
    auto lead = static_cast<unsigned char>(utf8[i]);
    int extra = lead < 0x80 ? 0 : (lead >> 5) == 0x6 ? 1 : (lead >> 4) == 0xE ? 2 : (lead >> 3) == 0x1E ? 3 : -1;
    std::uint32_t code = extra == 0 ? lead : extra == 1 ? (lead & 0x1F) : extra == 2 ? (lead & 0x0F) : (lead & 0x07);
    bool good = extra >= 0 && i + static_cast<std::size_t>(extra) < utf8.size();
    for (int k = 1; good && k <= extra; ++k) {
      auto next = static_cast<unsigned char>(utf8[i + static_cast<std::size_t>(k)]);
      if ((next & 0xC0) != 0x80) good = false;
      code = (code << 6) | (next & 0x3F);
    }
    static constexpr std::uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
    if (good && (code < kSmallest[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))) good = false;
    if (!good) {
      put(0xFFFD);
      ++i;
      continue;
    }
    if (code >= 0x10000) {
      code -= 0x10000;
      put(0xD800 + (code >> 10));
      put(0xDC00 + (code & 0x3FF));
    } else {
      put(code);
    }
    i += static_cast<std::size_t>(extra) + 1;
  }
  put(0);
  return bytes;
}

}  // namespace

bool SelectMachine(const std::string& name) {
  std::optional<MachineKind> kind = KindNamed(name);
  if (!kind) return false;
  std::lock_guard lock(g_machineLock);
  if (g_current.load() && g_kind && *g_kind != *kind) return false;
  g_kind = kind;
  // Child processes (MWPCUtil started by MestraPack) run on the same machine.
  ::setenv("MORVANE_PLATFORM", NameOf(*kind), 1);
  return true;
}

MachineKind CurrentMachineKind() {
  std::lock_guard lock(g_machineLock);
  return ResolveKindLocked();
}

const char* CurrentMachineName() { return NameOf(CurrentMachineKind()); }

Machine& TheMachine() {
  if (Machine* machine = g_current.load(std::memory_order_acquire)) return *machine;
  std::lock_guard lock(g_machineLock);
  if (!g_current.load()) {
    g_owned = ResolveKindLocked() == MachineKind::kSim ? MakeSimMachine() : MakeLinuxMachine();
    g_current.store(g_owned.get(), std::memory_order_release);
  }
  return *g_current.load();
}

namespace testing {

std::unique_ptr<Machine> InstallMachineForTest(std::unique_ptr<Machine> machine) {
  std::lock_guard lock(g_machineLock);
  std::unique_ptr<Machine> previous = std::move(g_owned);
  g_owned = std::move(machine);
  g_current.store(g_owned.get(), std::memory_order_release);
  return previous;
}

}  // namespace testing

// ---------------------------------------------------------------------------
// RegistryTree

RegistryTree::Node& RegistryTree::Make(const std::string& path) {
  Node* node = &root_;
  for (const std::string& part : PathParts(path)) {
    std::string folded = Folded(part);
    node->subKeyNames.emplace(folded, part);
    node = &node->subKeys[folded];
  }
  return *node;
}

const RegistryTree::Node* RegistryTree::Find(const std::string& path) const {
  const Node* node = &root_;
  for (const std::string& part : PathParts(path)) {
    auto found = node->subKeys.find(Folded(part));
    if (found == node->subKeys.end()) return nullptr;
    node = &found->second;
  }
  return node;
}

void RegistryTree::AddKey(const std::string& path) { Make(path); }

void RegistryTree::SetString(const std::string& path, const std::string& name, const std::string& utf8) {
  SetBinary(path, name, Utf16Bytes(utf8));
  Make(path).values[Folded(name)].type = REG_SZ;
}

void RegistryTree::SetDword(const std::string& path, const std::string& name, DWORD value) {
  std::vector<BYTE> bytes(sizeof value);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<BYTE>(value >> (8 * i));
  SetBinary(path, name, bytes);
  Make(path).values[Folded(name)].type = REG_DWORD;
}

void RegistryTree::SetBinary(const std::string& path, const std::string& name, const std::vector<BYTE>& value) {
  Node& node = Make(path);
  std::string folded = Folded(name);
  node.valueNames[folded] = name;
  node.values[folded] = RegistryValue{REG_BINARY, value};
}

}  // namespace platform
