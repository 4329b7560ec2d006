// The resolver's configuration file (resolv.conf(5)): the parts the network
// parameters report.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform::linuxhost {

struct ResolverConfig {
  std::string domain;                 // "domain", else the first "search" entry
  std::vector<std::uint32_t> servers;  // IPv4 "nameserver" lines, network order, in file order
};

// Unknown keywords, IPv6 servers and malformed lines are skipped; the last
// "domain" or "search" line wins, as the resolver does.
ResolverConfig ParseResolverConfig(const std::string& text);

}  // namespace platform::linuxhost
