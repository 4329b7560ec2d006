// System facts of the real machine: uname for the computer name and the
// kernel's version numbers, os-release for the system's name, /proc for the
// effective capabilities.
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "linux/linux_parts.h"
#include "linux/os_release_linux.h"

namespace platform::linuxhost {
namespace {

constexpr std::size_t kMaxOsReleaseBytes = 64 * 1024;
constexpr unsigned kCapNetAdmin = 12;
constexpr unsigned kCapNetRaw = 13;

std::string ReadSmallFile(const char* path, std::size_t limit) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return {};
  std::string text(limit, '\0');
  file.read(text.data(), static_cast<std::streamsize>(limit));
  text.resize(static_cast<std::size_t>(file.gcount()));
  return text;
}

std::map<std::string, std::string> OsRelease() {
  std::string text = ReadSmallFile("/etc/os-release", kMaxOsReleaseBytes);
  if (text.empty()) text = ReadSmallFile("/usr/lib/os-release", kMaxOsReleaseBytes);
  return ParseOsReleaseFields(text);
}

// "6.1.0-18-amd64" gives 6, 1 and 0; missing numbers stay 0.
OsVersion KernelVersion(const char* release) {
  DWORD numbers[3] = {};
  const char* at = release;
  for (DWORD& number : numbers) {
    if (*at < '0' || *at > '9') break;
    char* end = nullptr;
    number = static_cast<DWORD>(std::strtoul(at, &end, 10));
    at = end;
    if (*at != '.') break;
    ++at;
  }
  return OsVersion{numbers[0], numbers[1], numbers[2]};
}

bool HasNetworkCapabilities() {
  std::istringstream status(ReadSmallFile("/proc/self/status", kMaxOsReleaseBytes));
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("CapEff:", 0) != 0) continue;
    unsigned long long effective = std::strtoull(line.c_str() + 7, nullptr, 16);
    return (effective >> kCapNetAdmin & 1) && (effective >> kCapNetRaw & 1);
  }
  return false;
}

}  // namespace

SystemFacts ReadSystemFacts() {
  SystemFacts facts;
  struct utsname names {};
  if (::uname(&names) == 0) {
    facts.computerName = names.nodename;
    facts.version = KernelVersion(names.release);
    facts.osNames[1] = names.sysname;
    facts.osNames[2] = names.machine;
  }
  std::map<std::string, std::string> release = OsRelease();
  if (!release["PRETTY_NAME"].empty()) {
    facts.osNames[0] = release["PRETTY_NAME"];
  } else if (!release["NAME"].empty()) {
    facts.osNames[0] = release["NAME"];
  } else {
    facts.osNames[0] = facts.osNames[1].empty() ? "Linux" : facts.osNames[1];
  }
  long processors = ::sysconf(_SC_NPROCESSORS_ONLN);
  facts.processorCount = processors > 0 ? static_cast<DWORD>(processors) : 1;
  facts.elevated = ::geteuid() == 0 || HasNetworkCapabilities();
  return facts;
}

}  // namespace platform::linuxhost
