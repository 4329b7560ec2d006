#include "linux/resolv_conf_linux.h"

#include <arpa/inet.h>

#include <sstream>

namespace platform::linuxhost {

ResolverConfig ParseResolverConfig(const std::string& text) {
  ResolverConfig config;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    std::istringstream words(line);
    std::string keyword;
    std::string value;
    if (!(words >> keyword >> value)) continue;
    if (keyword == "nameserver") {
      in_addr address{};
      if (inet_pton(AF_INET, value.c_str(), &address) == 1) config.servers.push_back(address.s_addr);
    } else if (keyword == "domain" || keyword == "search") {
      if (value[0] == '#' || value[0] == ';') continue;
      config.domain = value;
    }
  }
  return config;
}

}  // namespace platform::linuxhost
