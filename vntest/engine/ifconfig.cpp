#include "engine/ifconfig.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "mestralib/address.h"
#include "mestralib/errors.h"
#include "platform/sockets.h"
#include "platform/winerror.h"
#include "shell/log.h"

namespace {

enum class ValueKind { kIPv4, kMtu, kMac };

// One setter's request and its message identifiers.
struct Setter {
  DWORD request;
  WORD family;
  ValueKind kind;
  int badNameId;
  int badValueId;
  const char* valueWhat;  // completes "Invalid %s"
};

constexpr Setter kSetIPAddr{VN32_SIOCSIFADDR, VN32_AF_INET, ValueKind::kIPv4, 5, 6, "IP address"};
constexpr Setter kSetDestAddr{VN32_SIOCSIFDSTADDR, VN32_AF_INET, ValueKind::kIPv4, 7, 8,
                              "destination address"};
constexpr Setter kSetNetMask{VN32_SIOCSIFNETMASK, VN32_AF_INET, ValueKind::kIPv4, 9, 10, "net mask"};
constexpr Setter kSetBcastAddr{VN32_SIOCSIFBRDADDR, VN32_AF_INET, ValueKind::kIPv4, 9, 10,
                               "broadcast address"};
constexpr Setter kSetMTU{VN32_SIOCSIFMTU, VN32_AF_INET, ValueKind::kMtu, 11, 13, "MTU"};
constexpr Setter kSetMACAddr{VN32_SIOCSIFHWADDR, VN32_ARPHRD_ETHER, ValueKind::kMac, 14, 15,
                             "MAC address"};
constexpr int kSetFlagsBadNameId = 16;
constexpr int kMtuMissingId = 12;
constexpr long kMinMtu = 46;
constexpr long kMaxMtu = 65536;

const char* OrNull(const char* text) { return text != nullptr ? text : "NULL"; }

int InvalidParameter() {
  platform::SetErrors(ERROR_INVALID_PARAMETER, kErrnoInval);
  return -1;
}

// False (after the message) for a null or empty name.
bool CheckName(const char* name, int messageId) {
  if (name != nullptr && name[0] != '\0') return true;
  LogMsg("GRLTU%03dE Invalid net device name \"%s\"\n", messageId, OrNull(name));
  return false;
}

// The C library's atoi rules (leading blanks, optional sign, digits up to the
// first non-digit, none gives 0), saturating instead of overflowing so that a
// huge number is simply out of range.
long DecimalPrefix(const char* text) {
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  long value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (value < LONG_MAX / 10) value = value * 10 + (*p - '0');
  }
  return negative ? -value : value;
}

// Checks the value text and stores it in the record; false after the message.
bool StoreValue(const Setter& setter, const char* name, const char* value, vn32_ifreq* ifr) {
  switch (setter.kind) {
    case ValueKind::kIPv4: {
      DWORD address = 0;
      if (value != nullptr && value[0] != '\0' && ParseIPAddress(value, &address, true)) {
        DWORD network = platform::htonl(address);
        std::memcpy(ifr->u.addr.address, &network, sizeof network);
        return true;
      }
      break;
    }
    case ValueKind::kMtu: {
      if (value == nullptr || value[0] == '\0') {
        LogMsg("GRLTU%03dE %s: Invalid null or empty MTU.\n", kMtuMissingId, name);
        return false;
      }
      long mtu = DecimalPrefix(value);
      if (mtu >= kMinMtu && mtu <= kMaxMtu) {
        ifr->u.mtu = static_cast<std::int32_t>(mtu);
        return true;
      }
      break;
    }
    case ValueKind::kMac: {
      BYTE mac[6];
      if (value != nullptr && ParseMACAddress(value, mac)) {
        std::memcpy(ifr->u.hwaddr.data, mac, sizeof mac);
        return true;
      }
      break;
    }
  }
  LogMsg("GRLTU%03dE %s: Invalid %s \"%s\"\n", setter.badValueId, name, setter.valueWhat, OrNull(value));
  return false;
}

int SetWithText(const Setter& setter, int fd, const char* name, const char* value) {
  vn32_ifreq ifr;
  std::memset(&ifr, 0, sizeof ifr);
  ifr.u.addr.family = setter.family;
  if (!CheckName(name, setter.badNameId)) return InvalidParameter();
  FillIfName(ifr.name, name);
  if (!StoreValue(setter, name, value, &ifr)) return InvalidParameter();
  return vifnet32_ioctl(fd, setter.request, &ifr);
}

// Reports a failed read-back and leaves errno and the last error as the
// failing request set them.
bool ReadBackFailed(const char* routine, const INTERFACEREC& record) {
  platform::SavedErrors saved;
  LogMsg("** %s(%s) failed; errno=%d: %s\n", routine, record.strIfName.c_str(), saved.errnoValue(),
         StrError(saved.errnoValue()).c_str());
  saved.Restore();
  return false;
}

}  // namespace

void FillIfName(char (&field)[VN32_IFNAMSIZ], std::string_view name) {
  std::memset(field, 0, sizeof field);
  std::memcpy(field, name.data(), std::min(name.size(), sizeof field - 1));
}

int VIFNET_SetIPAddr(int fd, const char* name, const char* value) {
  return SetWithText(kSetIPAddr, fd, name, value);
}

int VIFNET_SetDestAddr(int fd, const char* name, const char* value) {
  return SetWithText(kSetDestAddr, fd, name, value);
}

int VIFNET_SetNetMask(int fd, const char* name, const char* value) {
  return SetWithText(kSetNetMask, fd, name, value);
}

int VIFNET_SetBcastAddr(int fd, const char* name, const char* value) {
  return SetWithText(kSetBcastAddr, fd, name, value);
}

int VIFNET_SetMTU(int fd, const char* name, const char* value) { return SetWithText(kSetMTU, fd, name, value); }

int VIFNET_SetMACAddr(int fd, const char* name, const char* value) {
  return SetWithText(kSetMACAddr, fd, name, value);
}

int VIFNET_SetFlags(int fd, const char* name, int flags) {
  vn32_ifreq ifr;
  std::memset(&ifr, 0, sizeof ifr);
  if (!CheckName(name, kSetFlagsBadNameId)) return InvalidParameter();
  FillIfName(ifr.name, name);
  ifr.u.flags = static_cast<WORD>(flags & 0xFFFF);
  return vifnet32_ioctl(fd, VN32_SIOCSIFFLAGS, &ifr);
}

bool GetInterfaceMACAddr(INTERFACEREC& record) {
  VN_ASSERT(!record.strIfName.empty());
  vn32_ifreq ifr;
  std::memset(&ifr, 0, sizeof ifr);
  FillIfName(ifr.name, record.strIfName);
  if (vifnet32_ioctl(record.fd, VN32_SIOCGIFHWADDR, &ifr) != 0) return ReadBackFailed("GetInterfaceMACAddr", record);
  VN_ASSERT(ifr.u.hwaddr.family == VN32_ARPHRD_ETHER);
  std::memcpy(record.binInterface_MACAddr.data(), ifr.u.hwaddr.data, record.binInterface_MACAddr.size());
  return true;
}

bool GetAdapterIPAddr(INTERFACEREC& record) {
  VN_ASSERT(!record.strIfName.empty());
  vn32_ifreq ifr;
  std::memset(&ifr, 0, sizeof ifr);
  ifr.u.addr.family = VN32_AF_INET;
  FillIfName(ifr.name, record.strIfName);
  if (vifnet32_ioctl(record.fd, VN32_SIOCGIFDSTADDR, &ifr) != 0) return ReadBackFailed("GetAdapterIPAddr", record);
  std::memcpy(&record.binAdapter_IPAddr, ifr.u.addr.address, sizeof record.binAdapter_IPAddr);
  FormatIPAddr(record.binAdapter_IPAddr, &record.strAdapter_IPAddr);
  return true;
}
