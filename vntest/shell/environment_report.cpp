// The environment report (see environment_report.h).
#include "shell/environment_report.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <vector>

#include "engine/engine_state.h"
#include "mestralib/address.h"
#include "mestralib/errors.h"
#include "mestralib/sysfacts.h"
#include "mestralib/text.h"
#include "mestralib/version.h"
#include "mestrapack/mestrapack.h"
#include "platform/file.h"
#include "platform/iphelper.h"
#include "platform/lasterror.h"
#include "platform/module.h"
#include "platform/registry.h"
#include "platform/sync.h"
#include "shell/banner.h"
#include "shell/discovery.h"
#include "shell/log.h"
#include "shell/settings_store.h"
#include "vifnet.h"

// The report reads the wide build's records and texts.
static_assert(std::is_same_v<MESTRAPACK_TCHAR, char16_t>, "the report reads 16-bit adapter texts");

namespace {

constexpr const char* kMestraPackFile = "MestraPack64UD.dll";
constexpr const char* kVifnetFile = "Vifnet64UD.dll";
constexpr const char* kMestraLibFile = "MestraLib64UD-M90a.dll";
constexpr const char* kMakersNotice = "Copyright (C) Morvane. All rights reserved.";

constexpr const char* kCurrentVersionKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
constexpr const char* kAdapterClassKey =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}";

void WriteBanner(const Banner& banner, ReportOutcome* outcome) {
  LogMsg("%s", FormatBanner(banner).c_str());
  if (banner.kind == BannerKind::kError) {
    outcome->bErrorBanner = true;
  } else {
    outcome->bWarningBanner = true;
  }
}

std::string Text(const char16_t* text) { return text != nullptr ? Utf16ToUtf8(text) : std::string(); }

template <std::size_t N>
std::string FieldText(const char16_t (&field)[N]) {
  return Utf16FieldToUtf8(field, N);
}

std::string VersionNumbersText(int major, int inter, int minor, int build) {
  char text[64];
  std::snprintf(text, sizeof text, "%d.%d.%d.%d", major, inter, minor, build);
  return text;
}

// ": \"<value>\"" of a version resource's "SpecialBuild" value; empty when
// the value is empty or absent.
std::string SpecialBuildPart(const CModuleVersion& version) {
  const std::string special = version.QueryValue("SpecialBuild");
  return special.empty() ? std::string() : ": \"" + special + "\"";
}

// A component's version resource, found by its file name the way the loader
// finds the component itself. False when the name does not load or the file
// has no resource (the version then reads all zero).
bool ReadComponentVersion(const char* fileName, CModuleVersion* version) {
  HMODULE module = platform::LoadLibrary(fileName);
  if (module == nullptr) return false;
  const bool read = version->GetFileVersionInfo(module);
  platform::FreeLibrary(module);
  return read;
}

std::string ExecutableFileName() {
  const std::string path = platform::GetModuleFileName(nullptr);
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// 1. Begin <program>, version, file version, special build, time, notice.
void WriteProgramLine() {
  CModuleVersion version;
  version.GetFileVersionInfo(static_cast<HMODULE>(nullptr));
  LogMsg("Begin %s, version: \"%s\" (%s)%s %s ...\n%s\n\n", ExecutableFileName().c_str(), kVNTestVersionText,
         version.FileVersionText().c_str(), SpecialBuildPart(version).c_str(), ReportTimeText().c_str(),
         kMakersNotice);
}

// A text value of the machine registry, read into a buffer of `maxBytes`
// like the system's own values: UTF-16, taken up to its terminating NUL.
bool ReadRegistryText(platform::HKEY key, const char* name, DWORD maxBytes, std::string* text) {
  std::vector<BYTE> data(maxBytes, 0);
  DWORD type = 0;
  DWORD size = maxBytes;
  if (platform::RegQueryValueEx(key, name, &type, data.data(), &size) != ERROR_SUCCESS) return false;
  std::u16string units;
  for (DWORD i = 0; i + 1 < size; i += 2) {
    const char16_t unit = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (unit == 0) break;
    units.push_back(unit);
  }
  *text = Utf16ToUtf8(units);
  return true;
}

// 3. The packet-capture installation, or banner B1.
void WriteWinPCapLine(ReportOutcome* outcome) {
  WPCINFO sWinPCapInfo;
  std::memset(&sWinPCapInfo, 0, sizeof sWinPCapInfo);
  sWinPCapInfo.dwSize = sizeof(WPCINFO);
  if (!MestraPackGetWinPCapInfo(&sWinPCapInfo)) {
    WriteBanner(kBannerNoWinPCap, outcome);
    return;
  }
  VN_ASSERT(sWinPCapInfo.dwSize == sizeof(WPCINFO));
  const MESTRAPACK_FIXEDFILEINFO& file = sWinPCapInfo.vsLibraryFileInfo;
  const std::string fileVersion =
      VersionNumbersText(static_cast<int>(file.dwFileVersionMS >> 16), static_cast<int>(file.dwFileVersionMS & 0xFFFF),
                         static_cast<int>(file.dwFileVersionLS >> 16), static_cast<int>(file.dwFileVersionLS & 0xFFFF));
  const std::string driverVersion = Text(sWinPCapInfo.pszDriverVersion);
  const std::string driverPart =
      driverVersion.empty() ? std::string() : ", driver version \"" + driverVersion + "\"";
  LogMsg("Using WinPCap %s, version \"%s\" (%s)%s ...\n\n", Text(sWinPCapInfo.pszLibraryName).c_str(),
         Text(sWinPCapInfo.pszLibraryVersion).c_str(), fileVersion.c_str(), driverPart.c_str());
}

struct ComponentLine {
  std::string fileName;
  std::string versionText;
  std::string numbersText;
  std::string specialBuild;
  std::string notice;
};

void WriteComponentLine(const ComponentLine& c, bool last) {
  LogMsg(last ? "Using %s, version: \"%s\" (%s)%s ...\n%s\n" : "Using %s, version: \"%s\" (%s)%s ...\n%s\n\n",
         c.fileName.c_str(), c.versionText.c_str(), c.numbersText.c_str(), c.specialBuild.c_str(), c.notice.c_str());
}

// The packet-driver library, loaded by its file name for the question and
// freed again. Each missing export leaves its text empty.
void WriteMestraPackLine() {
  HMODULE module = platform::LoadLibrary(kMestraPackFile);
  if (module == nullptr) {
    VN_ASSERT(module != nullptr);
    return;
  }
  using TextFunction = const MESTRAPACK_TCHAR* (*)();
  using NumbersFunction = void (*)(int32_t*, int32_t*, int32_t*, int32_t*);
  ComponentLine line;
  line.fileName = kMestraPackFile;
  if (auto version = reinterpret_cast<TextFunction>(platform::GetProcAddress(module, "MestraPackGetVersionString"))) {
    line.versionText = Text(version());
  }
  if (auto numbers =
          reinterpret_cast<NumbersFunction>(platform::GetProcAddress(module, "MestraPackGetVersionNumbers"))) {
    int32_t nVerMajor = 0, nVerInter = 0, nVerMinor = 0, nBuildNum = 0;
    numbers(&nVerMajor, &nVerInter, &nVerMinor, &nBuildNum);
    line.numbersText = VersionNumbersText(nVerMajor, nVerInter, nVerMinor, nBuildNum);
  }
  if (auto copyright =
          reinterpret_cast<TextFunction>(platform::GetProcAddress(module, "MestraPackGetCopyrightString"))) {
    line.notice = Text(copyright());
  }
  CModuleVersion version;
  version.GetFileVersionInfo(module);
  line.specialBuild = SpecialBuildPart(version);
  const BOOL freed = platform::FreeLibrary(module);
  VN_ASSERT(freed);
  WriteComponentLine(line, false);
}

void WriteVifnetLine() {
  ComponentLine line;
  line.fileName = kVifnetFile;
  const char* versionText = vifnet32_version_string();
  line.versionText = versionText != nullptr ? versionText : "";
  int major = 0, inter = 0, minor = 0, build = 0;
  vifnet32_version_numbers(&major, &inter, &minor, &build);
  line.numbersText = VersionNumbersText(major, inter, minor, build);
  const char* notice = vifnet32_copyright_string();
  line.notice = notice != nullptr ? notice : "";
  CModuleVersion version;
  ReadComponentVersion(kVifnetFile, &version);
  line.specialBuild = SpecialBuildPart(version);
  WriteComponentLine(line, false);
}

void WriteMestraLibLine() {
  ComponentLine line;
  line.fileName = kMestraLibFile;
  int major = 0, inter = 0, minor = 0, build = 0;
  MestraLibVersion(&major, &inter, &minor, &build);
  line.versionText = VersionNumbersText(major, inter, minor, build);
  CModuleVersion version;
  ReadComponentVersion(kMestraLibFile, &version);
  line.numbersText = version.FileVersionText();
  line.specialBuild = SpecialBuildPart(version);
  const std::string_view about = MestraLibVersion();
  const std::size_t copyright = about.find("Copyright");
  line.notice = copyright == std::string_view::npos ? "\n" : std::string(about.substr(copyright)) + "\n";
  WriteComponentLine(line, true);
}

// Device names compare without regard to case.
bool HasPrefixIgnoringCase(std::string_view text, std::string_view prefix) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(),
                    [&](char a, char b) { return lower(a) == lower(b); });
}

const char* NodeTypeName(UINT nodeType) {
  switch (nodeType) {
    case platform::BROADCAST_NODETYPE: return "Broadcast";
    case platform::PEER_TO_PEER_NODETYPE: return "Peer to peer";
    case platform::MIXED_NODETYPE: return "Mixed";
    case platform::HYBRID_NODETYPE: return "Hybrid";
    default: return "(unknown)";
  }
}

// The route table and the default gateway: the next hop of the last default
// route, ARP-tested. Without a default route there is no address to test;
// the gateway then stays undefined.
void ReportRoutes(const platform::MIB_IPFORWARDTABLE& table) {
  LogMsg("  Network Address          Netmask  Gateway Address        Interface  Metric\n");
  DefaultGatewayState& gateway = DefaultGateway();
  gateway = DefaultGatewayState{};
  bool haveDefaultRoute = false;
  for (DWORD i = 0; i < table.dwNumEntries; ++i) {
    const platform::MIB_IPFORWARDROW& row = table.table[i];
    LogMsg("  %15s %16s %16s %16s %7d\n", FormatIPAddr(row.dwForwardDest).c_str(),
           FormatIPAddr(row.dwForwardMask).c_str(), FormatIPAddr(row.dwForwardNextHop).c_str(),
           GetIfIndexIPAddr(row.dwForwardIfIndex).c_str(), static_cast<int>(row.dwForwardMetric1));
    if (row.dwForwardDest == 0) {
      haveDefaultRoute = true;
      gateway.dwGatewayIP = row.dwForwardNextHop;
      gateway.strDefaultGateway = FormatIPAddr(row.dwForwardNextHop);
    }
  }
  if (!haveDefaultRoute) {
    gateway.strDefaultGatewayMAC = FormatMACAddr(gateway.DefaultGatewayMAC);
    LogMsg("\n  Default gateway:  %s  (%s)\n\n", "(none)", "no default route");
    return;
  }
  const bool responsive = IsHostResponsive(gateway.dwGatewayIP, gateway.DefaultGatewayMAC, 0);
  FormatMACAddr(gateway.DefaultGatewayMAC, &gateway.strDefaultGatewayMAC);
  LogMsg("\n  Default gateway:  %s  (%s)\n\n", gateway.strDefaultGateway.c_str(),
         responsive ? gateway.strDefaultGatewayMAC.c_str() : "unresponsive");
}

// The list entry as the packet-driver library filled it: all its fields
// but the chain pointer (the default adapter's copy leads nowhere) and the
// record's padding.
bool SameAdapterEntry(const ADAPTER_INFO_LIST_ENTRY& a, const ADAPTER_INFO_LIST_ENTRY& b) {
  constexpr std::size_t first = offsetof(ADAPTER_INFO_LIST_ENTRY, szAdapterName);
  constexpr std::size_t end =
      offsetof(ADAPTER_INFO_LIST_ENTRY, bChecksumOffloadOverride) + sizeof a.bChecksumOffloadOverride;
  return a.dwSize == b.dwSize &&
         std::memcmp(reinterpret_cast<const BYTE*>(&a) + first, reinterpret_cast<const BYTE*>(&b) + first,
                     end - first) == 0;
}

const char* YesNo(bool value) { return value ? "Yes" : "No"; }
const char* Enabled(uint32_t word, uint32_t bit) { return (word & bit) != 0 ? "ENABLED" : "no"; }
const char* LsoState(BYTE flags, BYTE enabled, BYTE present) {
  if ((flags & present) == 0) return "no?";
  return (flags & enabled) != 0 ? "ENABLED" : "no";
}

void ReportChecksumOffload(const ADAPTER_INFO_LIST_ENTRY& e) {
  if (e.bChecksumOffloadOverride) {
    LogMsg("Checksum offloading = OVERRIDDEN\n\n");
    return;
  }
  if (!e.bHaveChecksumOffload) {
    LogMsg("Checksum offloading = no\n\n");
    return;
  }
  const MESTRAPACK_CHECKSUM_OFFLOAD& c = e.ChecksumOffload;
  LogMsg("Checksum offloading = as follows:\n\n");
  LogMsg("   V4Transmit.TcpChecksum:  %s\n   V4Transmit.UdpChecksum:  %s\n   V4Transmit.IpChecksum:   %s\n\n"
         "   V4Receive.TcpChecksum:   %s\n   V4Receive.UdpChecksum:   %s\n   V4Receive.IpChecksum:    %s\n\n",
         Enabled(c.V4Transmit, MESTRAPACK_CKSUM_TCP), Enabled(c.V4Transmit, MESTRAPACK_CKSUM_UDP),
         Enabled(c.V4Transmit, MESTRAPACK_CKSUM_IP), Enabled(c.V4Receive, MESTRAPACK_CKSUM_TCP),
         Enabled(c.V4Receive, MESTRAPACK_CKSUM_UDP), Enabled(c.V4Receive, MESTRAPACK_CKSUM_IP));
  LogMsg("   V6Transmit.TcpChecksum:  %s\n   V6Transmit.UdpChecksum:  %s\n\n"
         "   V6Receive.TcpChecksum:   %s\n   V6Receive.UdpChecksum:   %s\n\n",
         Enabled(c.V6Transmit, MESTRAPACK_CKSUM_TCP), Enabled(c.V6Transmit, MESTRAPACK_CKSUM_UDP),
         Enabled(c.V6Receive, MESTRAPACK_CKSUM_TCP), Enabled(c.V6Receive, MESTRAPACK_CKSUM_UDP));
}

// The facts of one listed adapter, its offloads, and its test-open. Returns
// the open handle, or null.
MESTRAPACK_HANDLE ReportAdapter(const ADAPTER_INFO_LIST_ENTRY& e, bool isDefault, ReportOutcome* outcome) {
  const std::string connection = TrimBlanks(FieldText(e.szConnectionName));
  const std::string name = TrimBlanks(FieldText(e.szAdapterName));
  const std::string description = TrimBlanks(FieldText(e.szDescription));
  double speed = e.dwLinkSpeed / 10000.0;
  char unit = 'M';
  if (speed >= 1000.0) {
    speed /= 1000.0;
    unit = 'G';
  }
  LogMsg("Connection          = %s\n", connection.c_str());
  LogMsg("AdapterName         = %s\n", name.c_str());
  LogMsg("Description         = %s\n", description.c_str());
  LogMsg("PhysAddr            = %s\n", FormatMACAddr(e.bMACAddress).c_str());
  LogMsg("LinkType            = %s\n", GetMediumName(e.dwMedium));
  LogMsg("Default Adapter?    = %s\n", YesNo(isDefault));
  LogMsg("MediaConnected?     = %s\n", e.bMediaConnected ? "Yes" : "No                   ** CABLE UNPLUGGED **");
  LogMsg("PromiscuousMode?    = %s\n", e.bPromiscuous ? "Yes" : "No                   ** WARNING **");
  LogMsg("DHCP Enabled?       = %s\n", YesNo(e.bDHCPEnabled));
  LogMsg("LinkSpeed           = %3.1f %cbps\n", speed, unit);
  LogMsg("MaxPacketLen        = %d\n", static_cast<int>(e.dwMaxTotalSize));
  LogMsg("IPAddr              = %s\n", FormatIPAddr(e.dwIPAddress).c_str());
  LogMsg("IPAddrMask          = %s\n", FormatIPAddr(e.dwIPMask).c_str());
  LogMsg("GatewayIPAddr       = %s\n", FormatIPAddr(e.dwGateway).c_str());
  LogMsg("dwIndex             = 0x%08X\n", static_cast<unsigned>(e.dwIndex));

  ReportChecksumOffload(e);

  const BYTE lso = GetLsoFlags(FieldText(e.szAdapterName));
  LogMsg("Large Segment Offloading (LSO) = as follows:\n\n"
         "   LSO v1 (IPv4):           %s\n   LSO v1 (IPv6):           %s\n\n"
         "   LSO v2 (IPv4):           %s\n   LSO v2 (IPv6):           %s\n\n",
         LsoState(lso, kLsoV1Ipv4Enabled, kLsoV1Ipv4Present), LsoState(lso, kLsoV1Ipv6Enabled, kLsoV1Ipv6Present),
         LsoState(lso, kLsoV2Ipv4Enabled, kLsoV2Ipv4Present), LsoState(lso, kLsoV2Ipv6Enabled, kLsoV2Ipv6Present));

  MESTRAPACK_HANDLE handle = MestraPackOpenAdapter(e.szAdapterName);
  if (handle == nullptr) {
    const DWORD rc = ::GetLastError();
    LogMsg("** MestraPackOpenAdapter(%s) failed; rc=%d: %s\n", name.c_str(), static_cast<int>(rc),
           FormatLastError(rc).c_str());
    if (isDefault) WriteBanner(kBannerDefaultNotOpened, outcome);
    return nullptr;
  }
  if (isDefault) {
    if (!e.bMediaConnected) WriteBanner(kBannerDefaultUnplugged, outcome);
    if (!e.bPromiscuous) WriteBanner(kBannerDefaultNoPromisc, outcome);
    if ((lso & kLsoAnyEnabled) != 0) WriteBanner(kBannerDefaultLsoEnabled, outcome);
  }
  return handle;
}

// The keyword is present when its value fits the 4-byte buffer (one
// character and its NUL), enabled when that character is "1".
void QueryLsoKeyword(platform::HKEY key, const char* keyword, BYTE enabledFlag, BYTE presentFlag, BYTE* flags) {
  BYTE data[4] = {};
  DWORD type = 0;
  DWORD size = sizeof data;
  if (platform::RegQueryValueEx(key, keyword, &type, data, &size) != ERROR_SUCCESS) return;
  *flags |= presentFlag;
  if (size >= 2 && data[0] == 0x31 && data[1] == 0) *flags |= enabledFlag;
}

// The adapter's key of the adapter class: the subkey whose NetCfgInstanceId
// is the adapter's name after the device prefix.
bool OpenAdapterClassKey(platform::HKEY classKey, const std::string& guid, platform::HKEY* adapterKey) {
  std::string subKey;
  for (DWORD index = 0; platform::RegEnumKeyEx(classKey, index, &subKey) == ERROR_SUCCESS; ++index) {
    platform::HKEY key = nullptr;
    const std::string path = std::string(kAdapterClassKey) + "\\" + subKey;
    if (platform::RegOpenKeyEx(platform::HKEY_LOCAL_MACHINE, path.c_str(), 0, platform::KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS) {
      continue;
    }
    std::string instanceId;
    if (ReadRegistryText(key, "NetCfgInstanceId", 512, &instanceId) && instanceId == guid) {
      *adapterKey = key;
      return true;
    }
    platform::RegCloseKey(key);
  }
  return false;
}

}  // namespace

std::string ReportTimeText() {
  static const char* const kDays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                      "Thursday", "Friday", "Saturday"};
  static const char* const kMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                                        "July",    "August",   "September", "October", "November", "December"};
  platform::SYSTEMTIME now{};
  platform::GetLocalTime(&now);
  char text[96];
  std::snprintf(text, sizeof text, "on %s, %s %u, %u, %02u:%02u:%02u %s", kDays[now.wDayOfWeek % 7],
                kMonths[(now.wMonth + 11) % 12], static_cast<unsigned>(now.wDay), static_cast<unsigned>(now.wYear),
                static_cast<unsigned>(now.wHour), static_cast<unsigned>(now.wMinute),
                static_cast<unsigned>(now.wSecond), now.wHour < 12 ? "AM" : "PM");
  return text;
}

void LogRunningMode() {
  const MestraLibSystemFacts& facts = MestraLibFacts();
  std::string system = facts.OSNS[0];
  platform::HKEY key = nullptr;
  if (platform::RegOpenKeyEx(platform::HKEY_LOCAL_MACHINE, kCurrentVersionKey, 0, platform::KEY_READ, &key) ==
      ERROR_SUCCESS) {
    std::string edition;
    if (ReadRegistryText(key, "EditionID", 64, &edition)) {
      if (edition == "Professional") edition = "Pro";
      system += " " + edition;
    }
    std::string displayVersion;
    if (ReadRegistryText(key, "DisplayVersion", 64, &displayVersion)) system += " " + displayVersion;
    platform::RegCloseKey(key);
  }
  if (!facts.OSNS[3].empty()) {
    std::string servicePack = facts.OSNS[3];
    const std::string_view spelledOut = "Service Pack ";
    for (std::size_t at = servicePack.find(spelledOut); at != std::string::npos; at = servicePack.find(spelledOut, at)) {
      servicePack.replace(at, spelledOut.size(), "SP");
    }
    system += " " + servicePack;
  }
  const char* mode = IsElevated() ? "Elevated (Administrator)" : "Normal User";
  char processors[32] = "";
  if (facts.dwNumberOfProcessors > 1) {
    std::snprintf(processors, sizeof processors, " (MP=%u)", static_cast<unsigned>(facts.dwNumberOfProcessors));
  }
  LogMsg("Running in %s mode on \"%s\" (%s %d.%d.%d) %s%s.\n\n", mode, facts.strComputerName.c_str(), system.c_str(),
         static_cast<int>(facts.OSVI.dwMajorVersion), static_cast<int>(facts.OSVI.dwMinorVersion),
         static_cast<int>(facts.OSVI.dwBuildNumber), facts.OSNS[2].c_str(), processors);
}

void ReportDosDevices() {
  LogMsg("---------  The following relevant DosDevices are defined ---------\n\n");
  std::vector<std::string> names;
  if (!platform::QueryDosDevice(nullptr, &names)) {
    const DWORD rc = ::GetLastError();
    LogMsg("** QueryDosDevice failed; rc=%d: %s\n", static_cast<int>(rc), FormatLastError(rc).c_str());
    return;
  }
  if (names.empty()) {
    LogMsg("(none)\n");
  } else {
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      if (HasPrefixIgnoringCase(name, "NPF_") || HasPrefixIgnoringCase(name, "Packet_")) {
        LogMsg("%s\n", name.c_str());
      }
    }
  }
  LogMsg("\n");
}

void ReportNetworkInformation() {
  const DiscoveryResults& d = Discovery();
  LogMsg("-------------------------  Network Information  -------------------------\n\n");
  if (const platform::FIXED_INFO* info = d.pFixedInfo) {
    LogMsg("  Host Name . . . . . . . . . : %s\n", info->HostName);
    LogMsg("  Node Type . . . . . . . . . : %s\n", NodeTypeName(info->NodeType));
    LogMsg("  DNS Servers . . . . . . . . : %s\n", info->DnsServerList.IpAddress.String);
    for (const platform::IP_ADDR_STRING* s = info->DnsServerList.Next; s != nullptr; s = s->Next) {
      LogMsg("%32s%s\n", "", s->IpAddress.String);
    }
    LogMsg("  IP Routing Enabled. . . . . : %s\n", info->EnableRouting ? "yes" : "no");
    LogMsg("\n");
  }
  if (d.pIpForwardTable != nullptr) ReportRoutes(*d.pIpForwardTable);
}

ReportOutcome ReportDetectedAdapters(const CVN32TestEngineState& view) {
  ReportOutcome outcome;
  if (view.IsRunning()) return outcome;
  // The next test start takes the interface settings (and the defaults the
  // adapters give them) afresh.
  ForgetInterfaceSettings();
  LogMsg("--------------------------  Detected Adapters  --------------------------\n\n");
  if (!InitMPAdaptersList()) {
    WriteBanner(kBannerNoAdapters, &outcome);
    return outcome;
  }
  const DiscoveryResults& d = Discovery();
  std::vector<MESTRAPACK_HANDLE> opened;
  // A list in which no adapter could be opened holds one empty entry.
  for (const ADAPTER_INFO_LIST_ENTRY* e = d.pAdaptersList; e != nullptr && e->dwSize != 0; e = e->pNext) {
    const bool isDefault = d.bDefaultHostAdapter && SameAdapterEntry(*e, d.DefaultHostAdapter);
    if (MESTRAPACK_HANDLE handle = ReportAdapter(*e, isDefault, &outcome)) opened.push_back(handle);
  }
  if (opened.empty()) {
    WriteBanner(kBannerNoAdapters, &outcome);
  } else {
    for (MESTRAPACK_HANDLE handle : opened) MestraPackCloseAdapter(handle);
  }
  return outcome;
}

BYTE GetLsoFlags(const std::string& adapterName) {
  const std::string guid = adapterName.size() > 4 ? adapterName.substr(4) : std::string();
  platform::HKEY classKey = nullptr;
  if (platform::RegOpenKeyEx(platform::HKEY_LOCAL_MACHINE, kAdapterClassKey, 0,
                             platform::KEY_QUERY_VALUE | platform::KEY_ENUMERATE_SUB_KEYS,
                             &classKey) != ERROR_SUCCESS) {
    return 0;
  }
  platform::HKEY adapterKey = nullptr;
  const bool found = OpenAdapterClassKey(classKey, guid, &adapterKey);
  platform::RegCloseKey(classKey);
  if (!found) return 0;
  BYTE flags = 0;
  QueryLsoKeyword(adapterKey, "*LsoV1Ipv4", kLsoV1Ipv4Enabled, kLsoV1Ipv4Present, &flags);
  QueryLsoKeyword(adapterKey, "*LsoV1Ipv6", kLsoV1Ipv6Enabled, kLsoV1Ipv6Present, &flags);
  QueryLsoKeyword(adapterKey, "*LsoV2Ipv4", kLsoV2Ipv4Enabled, kLsoV2Ipv4Present, &flags);
  QueryLsoKeyword(adapterKey, "*LsoV2Ipv6", kLsoV2Ipv6Enabled, kLsoV2Ipv6Present, &flags);
  platform::RegCloseKey(adapterKey);
  return flags;
}

ReportOutcome WriteEnvironmentReport(const CVN32TestEngineState& view) {
  ReportOutcome outcome;
  WriteProgramLine();
  LogRunningMode();
  WriteWinPCapLine(&outcome);
  WriteMestraPackLine();
  WriteVifnetLine();
  WriteMestraLibLine();
  ReportDosDevices();
  ReportNetworkInformation();
  const ReportOutcome adapters = ReportDetectedAdapters(view);
  outcome.bErrorBanner |= adapters.bErrorBanner;
  outcome.bWarningBanner |= adapters.bWarningBanner;
  return outcome;
}
