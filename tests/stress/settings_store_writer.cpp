// Helper of the settings stress test: stores VNTest's interface settings
// `count` times, as the Parameters dialog's OK does, each time a complete
// version of its own: every one of the ten values names this writer and the
// round, so that a file holding parts of two versions would show.
// Usage: stress_settings_store_writer WRITER COUNT (WRITER 1..9); exit 0
// when every version was stored, 2 for bad arguments.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/engine.h"
#include "shell/settings_store.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const int writer = std::atoi(argv[1]);
  const int count = std::atoi(argv[2]);
  if (writer < 1 || writer > 9 || count < 1 || count > 65535) return 2;
  for (int round = 1; round <= count; ++round) {
    const std::string w = std::to_string(writer);
    const std::string ip = w + "." + std::to_string(round >> 8) + "." + std::to_string(round & 0xFF);
    char mac[32];
    std::snprintf(mac, sizeof mac, "0%d-00-%02X-%02X", writer, round >> 8, round & 0xFF);
    INTERFACEREC& if1 = Interface1();
    INTERFACEREC& if2 = Interface2();
    if1.bTAPMode = (round % 2) == 1;
    if2.bTAPMode = (round % 2) == 0;
    if1.strInterface_IPAddr = "10." + ip;
    if1.strAdapter_IPAddr = "11." + ip;
    if2.strInterface_IPAddr = "12." + ip;
    if2.strAdapter_IPAddr = "13." + ip;
    if1.strInterface_MACAddr = std::string("02-01-") + mac;
    if1.strAdapter_MACAddr = std::string("02-02-") + mac;
    if2.strInterface_MACAddr = std::string("02-03-") + mac;
    if2.strAdapter_MACAddr = std::string("02-04-") + mac;
    StoreInterfaceSettings();
  }
  return 0;
}
