// Stand-in for the packet-capture library that MWPCUtil loads by name. It
// answers the three calls the utility makes. Builds differ only in the
// definitions below (see CMakeLists.txt):
//   PACKET_VERSION_TEXT         what PacketGetVersion returns
//   PACKET_DRIVER_VERSION_TEXT  what PacketGetDriverVersion returns ("" allowed)
//   PACKET_NO_GET_VERSION       leave PacketGetVersion out
//   PACKET_VERSION_CALLS_THROW  both version calls fail with a C++ exception
//
// PacketOpenAdapter never finds an adapter (callers use it only for its side
// effect). When MORVANE_PACKET_OPEN_LOG names a file, it appends one line per
// call saying how the name arrived, so that tests can see the character width
// the caller chose: "UTF-16 <name>" or "8-bit <name>".
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

#ifndef PACKET_VERSION_TEXT
#error "PACKET_VERSION_TEXT must be defined"
#endif
#ifndef PACKET_DRIVER_VERSION_TEXT
#error "PACKET_DRIVER_VERSION_TEXT must be defined"
#endif

#define PACKET_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// Adapter names are short; anything longer than this is not a name.
constexpr std::size_t kMaxNameChars = 1024;

// A wide name's first character has a zero high byte for every ASCII name,
// which is what the old library versions looked at as well.
bool LooksWide(const unsigned char* bytes) { return bytes[0] != 0 && bytes[1] == 0; }

std::string NarrowFromWide(const unsigned char* bytes) {
  std::string text;
  for (std::size_t i = 0; i < kMaxNameChars; ++i) {
    const unsigned unit = bytes[2 * i] | (bytes[2 * i + 1] << 8);
    if (unit == 0) break;
    text.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
  }
  return text;
}

std::string Narrow(const unsigned char* bytes) {
  std::string text;
  for (std::size_t i = 0; i < kMaxNameChars && bytes[i] != 0; ++i) text.push_back(static_cast<char>(bytes[i]));
  return text;
}

void LogOpen(const void* adapterName) {
  const char* logPath = std::getenv("MORVANE_PACKET_OPEN_LOG");
  if (!logPath || !*logPath || !adapterName) return;
  const auto* bytes = static_cast<const unsigned char*>(adapterName);
  const bool wide = LooksWide(bytes);
  const std::string name = wide ? NarrowFromWide(bytes) : Narrow(bytes);
  if (std::FILE* log = std::fopen(logPath, "a")) {
    std::fprintf(log, "%s %s\n", wide ? "UTF-16" : "8-bit", name.c_str());
    std::fclose(log);
  }
}

const char* VersionText(const char* text) {
#ifdef PACKET_VERSION_CALLS_THROW
  (void)text;
  throw std::runtime_error("version information unavailable");
#else
  return text;
#endif
}

}  // namespace

#ifndef PACKET_NO_GET_VERSION
PACKET_EXPORT const char* PacketGetVersion(void) { return VersionText(PACKET_VERSION_TEXT); }
#endif

PACKET_EXPORT const char* PacketGetDriverVersion(void) { return VersionText(PACKET_DRIVER_VERSION_TEXT); }

PACKET_EXPORT void* PacketOpenAdapter(void* adapterName) {
  LogOpen(adapterName);
  return nullptr;
}
