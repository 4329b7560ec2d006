#include "arp_answers.h"

#include <cerrno>
#include <cstring>
#include <optional>

#include "host_tables.h"

namespace vifnet {

int AnswerArpRequest(const Interface* open, uint32_t request, vn32_arpreq* arp) {
  if (request == VN32_SIOCGARP) {
    if (arp->arp_pa.family != VN32_AF_INET) return EINVAL;
    DWORD ip;
    std::memcpy(&ip, arp->arp_pa.data, 4);
    // On a routed TAP link the host's neighbour table names stations the
    // guest cannot address: the device would drop frames sent to them.
    std::optional<Mac> mac = open != nullptr ? open->LinkMacFor(ip) : std::nullopt;
    if (!mac) mac = LookupMac(ip);
    if (!mac) return ENXIO;
    std::memset(&arp->arp_ha, 0, sizeof arp->arp_ha);
    arp->arp_ha.family = VN32_ARPHRD_ETHER;
    std::memcpy(arp->arp_ha.data, mac->data(), 6);
    return 0;
  }
  // The device's MAC is the host adapter's, so the host's tables give the
  // same answer for it as the link would.
  Mac mac;
  std::memcpy(mac.data(), arp->arp_ha.data, 6);
  std::optional<DWORD> ip = LookupIp(mac);
  if (!ip) return ENXIO;
  std::memset(&arp->arp_pa, 0, sizeof arp->arp_pa);
  arp->arp_pa.family = VN32_AF_INET;
  std::memcpy(arp->arp_pa.data, &*ip, 4);
  return 0;
}

}  // namespace vifnet
