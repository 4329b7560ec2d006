// Interface facts from ioctl, ethtool and sysfs.
#include "linux/netif_linux.h"

#include "linux/netlink_linux.h"

#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>

namespace platform::linuxhost {
namespace {

bool FillName(ifreq* request, const std::string& name) {
  std::memset(request, 0, sizeof *request);
  if (name.empty() || name.size() >= IFNAMSIZ) {
    errno = ENODEV;
    return false;
  }
  std::memcpy(request->ifr_name, name.data(), name.size());
  return true;
}

bool Ethtool(int sock, const std::string& name, void* command) {
  ifreq request;
  if (!FillName(&request, name)) return false;
  request.ifr_data = static_cast<char*>(command);
  return ::ioctl(sock, SIOCETHTOOL, &request) == 0;
}

std::string LinkTargetName(const std::filesystem::path& link) {
  std::error_code error;
  std::filesystem::path target = std::filesystem::read_symlink(link, error);
  if (error) return {};
  return target.filename().string();
}

std::filesystem::path SysfsOf(const std::string& name) { return std::filesystem::path("/sys/class/net") / name; }

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

ControlSocket::ControlSocket() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}

ControlSocket::~ControlSocket() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<InterfaceFacts> ReadInterface(const std::string& name) {
  ControlSocket sock;
  if (sock.get() < 0) return std::nullopt;
  return ReadInterface(sock.get(), name);
}

std::optional<InterfaceFacts> ReadInterface(int sock, const std::string& name, unsigned wanted) {
  InterfaceFacts facts;
  facts.name = name;
  ifreq request;
  if (!FillName(&request, name) || ::ioctl(sock, SIOCGIFINDEX, &request) != 0) return std::nullopt;
  facts.index = static_cast<unsigned>(request.ifr_ifindex);
  if ((wanted & kFactHardware) != 0) {
    FillName(&request, name);
    if (::ioctl(sock, SIOCGIFHWADDR, &request) != 0) return std::nullopt;
    facts.hardwareType = request.ifr_hwaddr.sa_family;
    std::memcpy(facts.mac.data(), request.ifr_hwaddr.sa_data, facts.mac.size());
  }
  if ((wanted & kFactMtu) != 0) {
    FillName(&request, name);
    if (::ioctl(sock, SIOCGIFMTU, &request) != 0) return std::nullopt;
    facts.mtu = static_cast<unsigned>(request.ifr_mtu);
  }
  if ((wanted & kFactFlags) != 0) {
    FillName(&request, name);
    if (::ioctl(sock, SIOCGIFFLAGS, &request) != 0) return std::nullopt;
    facts.up = (request.ifr_flags & IFF_UP) != 0;
    facts.running = (request.ifr_flags & IFF_RUNNING) != 0;
    facts.promiscuous = (request.ifr_flags & IFF_PROMISC) != 0;
  }
  return facts;
}

bool HasCarrier(int sock, const InterfaceFacts& facts) {
  if (!facts.up) return false;
  // The operational state (RUNNING) follows the carrier only after a delay;
  // the carrier itself is current. The driver tells it in one question where
  // it can (the kernel's own answer for most drivers), netlink elsewhere.
  ethtool_value link{};
  link.cmd = ETHTOOL_GLINK;
  if (sock >= 0 && Ethtool(sock, facts.name, &link)) return link.data != 0;
  return LinkCarrier(facts.name).value_or(facts.running);
}

bool IsEthernetLike(const InterfaceFacts& facts) { return facts.hardwareType == ARPHRD_ETHER; }

std::vector<InterfaceFacts> EthernetInterfaces(int sock) {
  std::vector<InterfaceFacts> result;
  std::unique_ptr<struct if_nameindex, decltype(&if_freenameindex)> names(if_nameindex(), &if_freenameindex);
  if (!names) return result;
  for (const struct if_nameindex* entry = names.get(); entry->if_index != 0; ++entry) {
    std::optional<InterfaceFacts> facts = ReadInterface(sock, entry->if_name);
    if (facts && IsEthernetLike(*facts)) result.push_back(*facts);
  }
  std::sort(result.begin(), result.end(),
            [](const InterfaceFacts& a, const InterfaceFacts& b) { return a.index < b.index; });
  return result;
}

std::optional<std::uint32_t> LinkSpeedMbps(const std::string& name) {
  ControlSocket sock;
  if (sock.get() < 0) return std::nullopt;
  return LinkSpeedMbps(sock.get(), name);
}

std::optional<std::uint32_t> LinkSpeedMbps(int sock, const std::string& name) {
  ethtool_cmd command{};
  command.cmd = ETHTOOL_GSET;
  if (!Ethtool(sock, name, &command)) return std::nullopt;
  std::uint32_t speed = ethtool_cmd_speed(&command);
  if (speed == 0 || speed == static_cast<std::uint32_t>(SPEED_UNKNOWN)) return std::nullopt;
  return speed;
}

std::vector<InterfaceFacts> EthernetInterfaces() {
  ControlSocket sock;
  if (sock.get() < 0) return {};
  return EthernetInterfaces(sock.get());
}

std::string DriverName(int sock, const std::string& name) {
  ethtool_drvinfo info{};
  info.cmd = ETHTOOL_GDRVINFO;
  if (Ethtool(sock, name, &info)) {
    info.driver[sizeof info.driver - 1] = '\0';
    if (info.driver[0] != '\0') return info.driver;
  }
  return LinkTargetName(SysfsOf(name) / "device" / "driver");
}

OffloadFeatures FeaturesFromStrings(const std::vector<std::string>& names, const std::vector<std::uint32_t>& activeWords) {
  OffloadFeatures features;
  for (std::size_t bit = 0; bit < names.size(); ++bit) {
    std::size_t word = bit / 32;
    if (word >= activeWords.size()) break;
    bool on = (activeWords[word] >> (bit % 32)) & 1U;
    const std::string& feature = names[bit];
    if (feature == "tx-checksum-ipv4") features.txChecksumIpv4 = on;
    else if (feature == "tx-checksum-ip-generic") features.txChecksumGeneric = on;
    else if (feature == "tx-checksum-ipv6") features.txChecksumIpv6 = on;
    else if (feature == "rx-checksum") features.rxChecksum = on;
    else if (feature == "tx-tcp-segmentation") features.tcpSegmentation = on;
    else if (feature == "tx-tcp6-segmentation") features.tcp6Segmentation = on;
  }
  return features;
}

namespace {

// The kernel's names of the features, one table for every interface; read
// once and kept (for as long as the count it came with holds).
std::optional<std::vector<std::string>> FeatureNames(int sock, const std::string& name, std::uint32_t count) {
  static std::mutex lock;  // a leaf: guards the table below
  static std::vector<std::string> kept;
  {
    std::lock_guard guard(lock);
    if (kept.size() == count) return kept;
  }
  std::vector<std::uint8_t> stringsBuffer(sizeof(ethtool_gstrings) + std::size_t{count} * ETH_GSTRING_LEN);
  auto* strings = reinterpret_cast<ethtool_gstrings*>(stringsBuffer.data());
  strings->cmd = ETHTOOL_GSTRINGS;
  strings->string_set = ETH_SS_FEATURES;
  strings->len = count;
  if (!Ethtool(sock, name, strings)) return std::nullopt;
  std::uint32_t named = std::min(strings->len, count);
  std::vector<std::string> names;
  names.reserve(named);
  for (std::uint32_t i = 0; i < named; ++i) {
    const char* text = reinterpret_cast<const char*>(strings->data) + std::size_t{i} * ETH_GSTRING_LEN;
    names.emplace_back(text, strnlen(text, ETH_GSTRING_LEN));
  }
  if (named == count) {
    std::lock_guard guard(lock);
    kept = names;
  }
  return names;
}

}  // namespace

std::optional<OffloadFeatures> ReadOffloadFeatures(const std::string& name) {
  ControlSocket sock;
  if (sock.get() < 0) return std::nullopt;
  return ReadOffloadFeatures(sock.get(), name);
}

std::optional<OffloadFeatures> ReadOffloadFeatures(int sock, const std::string& name) {
  // How many features the kernel has names for: one count behind the record.
  alignas(ethtool_sset_info) std::uint8_t setInfoBuffer[sizeof(ethtool_sset_info) + sizeof(std::uint32_t)] = {};
  auto* setInfo = reinterpret_cast<ethtool_sset_info*>(setInfoBuffer);
  setInfo->cmd = ETHTOOL_GSSET_INFO;
  setInfo->sset_mask = 1ULL << ETH_SS_FEATURES;
  if (!Ethtool(sock, name, setInfo) || setInfo->sset_mask == 0) return std::nullopt;
  std::uint32_t count = setInfo->data[0];
  if (count == 0 || count > 4096) return std::nullopt;
  std::optional<std::vector<std::string>> names = FeatureNames(sock, name, count);
  if (!names) return std::nullopt;

  std::uint32_t blocks = (count + 31) / 32;
  std::vector<std::uint8_t> featuresBuffer(sizeof(ethtool_gfeatures) + blocks * sizeof(ethtool_get_features_block));
  auto* features = reinterpret_cast<ethtool_gfeatures*>(featuresBuffer.data());
  features->cmd = ETHTOOL_GFEATURES;
  features->size = blocks;
  if (!Ethtool(sock, name, features)) return std::nullopt;
  std::vector<std::uint32_t> active;
  for (std::uint32_t i = 0; i < std::min(blocks, features->size); ++i) active.push_back(features->features[i].active);
  return FeaturesFromStrings(*names, active);
}

std::string DriverName(const std::string& name) {
  ControlSocket sock;
  return DriverName(sock.get(), name);
}

std::string DeviceDescription(int sock, const std::string& name) {
  std::string driver = DriverName(sock, name);
  std::filesystem::path device = SysfsOf(name) / "device";
  std::string bus = LinkTargetName(device / "subsystem");
  std::string where;
  std::error_code error;
  if (!bus.empty()) {
    std::filesystem::path real = std::filesystem::canonical(device, error);
    if (!error) where = bus + " " + real.filename().string();
  }
  if (driver.empty()) driver = "Ethernet adapter";
  return where.empty() ? driver : driver + " (" + where + ")";
}

std::string PnpInstanceId(const std::string& name) {
  std::filesystem::path device = SysfsOf(name) / "device";
  std::string bus = LinkTargetName(device / "subsystem");
  std::error_code error;
  std::filesystem::path real = std::filesystem::canonical(device, error);
  if (bus.empty() || error) return "ROOT\\NET\\" + name;
  return Upper(bus) + "\\" + real.filename().string();
}

}  // namespace platform::linuxhost
