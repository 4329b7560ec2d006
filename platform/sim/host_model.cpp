// The model's small helpers and the built-in default host.
#include <cstdio>
#include <cstdlib>
#include <strings.h>

#include "platform/sim/sim_host.h"

namespace platform::sim {

std::string FileVersion::Text() const {
  char text[32];
  std::snprintf(text, sizeof text, "%u.%u.%u.%u", part[0], part[1], part[2], part[3]);
  return text;
}

std::string DescriptionError::Text() const {
  if (line <= 0) return message;
  return "line " + std::to_string(line) + ": " + message;
}

const SimAdapterModel* HostModel::FindAdapter(const std::string& name) const {
  for (const SimAdapterModel& a : adapters) {
    if (strcasecmp(a.name.c_str(), name.c_str()) == 0) return &a;
  }
  return nullptr;
}

// Kept in step with docs/sim-hosts/default.host; a test compares the two.
const char* DefaultHostDescription() {
  return R"(# The built-in simulated host: one wired, connected adapter on a LAN with a
# router and a peer, and a far host behind the router.
host simhost
dns 192.0.2.53
routing off
seed 1
os-name Morvane Simulated Host
os-family Linux
os-text (simulated)
os-version 6.1.0
edition Standard
display-version 12
processors 2
elevated no
driver-version 4.1.0.2980

adapter sim0
  description Simulated Gigabit Ethernet Adapter
  connection Ethernet
  mac 02-00-00-00-00-10
  ip 192.0.2.10/24
  gateway 192.0.2.1
  speed 1G
  max-total-size 1514
  promiscuous yes
  offload ndis6
  checksum v4-transmit tcp udp
  checksum v4-receive tcp udp
  checksum v6-transmit tcp udp
  checksum v6-receive tcp udp
end

router 192.0.2.1 mac 02-00-00-00-00-01 delay 1
peer 192.0.2.20 mac 02-00-00-00-00-20 delay 1
far 203.0.113.10 via 192.0.2.1 delay 20
name www.example.com 203.0.113.10
)";
}

HostModel DefaultHost() {
  HostModel model;
  std::vector<DescriptionError> errors;
  if (!ParseHostDescription(DefaultHostDescription(), &model, &errors)) {
    // Only a broken build gets here; the unit tests parse the same text.
    for (const DescriptionError& e : errors) std::fprintf(stderr, "default host: %s\n", e.Text().c_str());
    std::abort();
  }
  return model;
}

}  // namespace platform::sim
