// Arbitrary texts as host descriptions. What the parser accepts must hold
// together: unique adapters and addresses, peers on a named adapter, far
// hosts behind a router; a rejected text must name at least one error.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "platform/sim/sim_host.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace platform::sim;
  const std::string text(reinterpret_cast<const char*>(data), size);
  HostModel model;
  std::vector<DescriptionError> errors;
  if (!ParseHostDescription(text, &model, &errors)) {
    if (errors.empty()) __builtin_trap();
    for (const DescriptionError& e : errors) {
      if (e.line < 1 || e.message.empty()) __builtin_trap();
    }
    return 0;
  }
  if (!errors.empty()) __builtin_trap();
  std::set<std::string> names;
  for (const SimAdapterModel& a : model.adapters) {
    std::string folded;
    for (char c : a.name) folded += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (!names.insert(folded).second || a.maxTotalSize < 60) __builtin_trap();
  }
  for (const PeerModel& p : model.peers) {
    if (!model.FindAdapter(p.adapter)) __builtin_trap();
  }
  for (const FarHostModel& f : model.farHosts) {
    bool viaRouter = false;
    for (const PeerModel& p : model.peers) viaRouter |= p.router && p.ip == f.via;
    if (!viaRouter) __builtin_trap();
  }
  return 0;
}
