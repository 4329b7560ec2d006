// The texts a user types into the Parameters and Ping who dialogs (or gives
// the headless program as options), through the shell's checks on the
// simulated default host: the IP controls' reading, the live MAC filter, the
// whole dialog's OK, and the ping target and numbers of Ping who.
//
// Input: fields separated by newlines, in this order: for interface 1 then 2
// the guest IP, guest MAC, adapter IP and adapter MAC; a flags field (its
// first byte: bit 0 two interfaces, bit 1 and 2 the modes); the ping target,
// then its size, count, time-out and delay. Missing fields are empty.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "mestrapack_app.h"
#include "platform/machine.h"
#include "platform/sync.h"
#include "shell/discovery.h"
#include "shell/parameters_model.h"
#include "shell/ping_who.h"
#include "shell/vn32test_view.h"

#include "../common/usual_capture_facts.h"

namespace {

// The simulated default host and its network snapshot; the packet-capture
// facts are taken as if the information utility had run (it never starts).
void SetUpOnce() {
  platform::SelectMachine("sim");
  AdoptUsualCaptureFacts();
  InitGlobals();
}

std::vector<std::string> Fields(const std::uint8_t* data, std::size_t size, std::size_t count) {
  std::vector<std::string> fields(count);
  std::size_t field = 0;
  for (std::size_t i = 0; i < size && field < count; ++i) {
    if (data[i] == '\n') {
      ++field;
    } else {
      fields[field].push_back(static_cast<char>(data[i]));
    }
  }
  return fields;
}

long long Number(const std::string& text) { return std::strtoll(text.c_str(), nullptr, 0); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool ready = (SetUpOnce(), true);
  (void)ready;
  const std::vector<std::string> f = Fields(data, size, 14);

  ParametersModel model;
  model.Open();
  const unsigned flags = f[8].empty() ? 0u : static_cast<unsigned char>(f[8][0]);
  model.SetUseTwoInterfaces((flags & 1) != 0);
  for (int i = 0; i < 2; ++i) {
    const std::string* texts = &f[static_cast<std::size_t>(i) * 4];
    model.SetMode(i, (flags >> (1 + i)) & 1);
    model.SetGuestIP(i, IPControlTextOf(texts[0]));
    model.EditGuestMAC(i, texts[1]);
    model.SetAdapterIP(i, IPControlTextOf(texts[2]));
    model.EditAdapterMAC(i, texts[3]);
    std::string remembered = texts[3];
    FilterMACEdit(texts[1], &remembered);
  }
  (void)model.ControlStates();
  DialogError error;
  (void)model.Validate(&error);

  PingWhoValues ping;
  ping.strTo = f[9];
  ping.nSize = Number(f[10]);
  ping.nCount = Number(f[11]);
  ping.nTimeout = Number(f[12]);
  ping.nDelay = Number(f[13]);
  (void)CheckPingWho(&ping, &error);
  return 0;
}
