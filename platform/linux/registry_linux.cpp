// The machine's registry values, built from the running system: the OS
// edition from os-release, and per Ethernet interface its adapter-class key
// (segment-offload keywords from ethtool), connection and device names.
#include <cstdio>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>

#include "linux/linux_parts.h"
#include "linux/netif_linux.h"
#include "linux/os_release_linux.h"

namespace platform::linuxhost {
namespace {

const char* const kCurrentVersion = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
const char* const kAdapterClass = "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}";
const char* const kNetworkClass =
    "SYSTEM\\CurrentControlSet\\Control\\Network\\{4D36E972-E325-11CE-BFC1-08002BE10318}";
const char* const kEnum = "SYSTEM\\CurrentControlSet\\Enum";

std::optional<std::string> ReadText(const std::string& path) {
  std::ifstream file(path);
  if (!file) return std::nullopt;
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  return text;
}

void AddOsEdition(RegistryTree* tree) {
  std::optional<std::string> text = ReadText("/etc/os-release");
  if (!text) text = ReadText("/usr/lib/os-release");
  if (!text) return;
  std::map<std::string, std::string> fields = ParseOsReleaseFields(*text);
  tree->AddKey(kCurrentVersion);
  // The system's own name is in the facts already (PRETTY_NAME); the edition
  // is the variant ("Server Edition") and the display version the bare
  // version number, each left out when the file does not say.
  if (auto it = fields.find("VARIANT"); it != fields.end() && !it->second.empty()) {
    tree->SetString(kCurrentVersion, "EditionID", it->second);
  }
  if (auto it = fields.find("VERSION_ID"); it != fields.end() && !it->second.empty()) {
    tree->SetString(kCurrentVersion, "DisplayVersion", it->second);
  }
}

void AddAdapter(RegistryTree* tree, int sock, unsigned slot, const InterfaceFacts& facts) {
  char number[16];
  std::snprintf(number, sizeof number, "%04u", slot);
  const std::string classKey = std::string(kAdapterClass) + "\\" + number;
  const std::string description = DeviceDescription(sock, facts.name);
  tree->SetString(classKey, "NetCfgInstanceId", facts.name);
  tree->SetString(classKey, "DriverDesc", description);
  if (std::optional<OffloadFeatures> features = ReadOffloadFeatures(sock, facts.name)) {
    tree->SetString(classKey, "*LsoV1Ipv4", features->tcpSegmentation ? "1" : "0");
    tree->SetString(classKey, "*LsoV2Ipv4", features->tcpSegmentation ? "1" : "0");
    tree->SetString(classKey, "*LsoV2Ipv6", features->tcp6Segmentation ? "1" : "0");
  }

  // The connection's name is the interface's alias when it has one.
  std::string connection = Trimmed(ReadText("/sys/class/net/" + facts.name + "/ifalias").value_or(""));
  if (connection.empty()) connection = facts.name;
  const std::string pnpId = PnpInstanceId(facts.name);
  const std::string connectionKey = std::string(kNetworkClass) + "\\" + facts.name + "\\Connection";
  tree->SetString(connectionKey, "Name", connection);
  tree->SetString(connectionKey, "PnpInstanceID", pnpId);
  tree->SetString(std::string(kEnum) + "\\" + pnpId, "DeviceDesc", description);
}

}  // namespace

void BuildRegistry(RegistryTree* tree) {
  AddOsEdition(tree);
  tree->AddKey(kAdapterClass);
  unsigned slot = 0;
  ControlSocket sock;  // one for every question about every interface
  for (const InterfaceFacts& facts : EthernetInterfaces(sock.get())) AddAdapter(tree, sock.get(), slot++, facts);
}

}  // namespace platform::linuxhost
