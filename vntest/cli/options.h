// The headless program's command line: what each option asks for. Options
// left out leave the remembered settings (or their first-run defaults) as
// they are.
#pragma once

#include <optional>
#include <string>

#include "platform/wintypes.h"

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitTestFailed = 1;    // the ping test failed, or the guest stopped on its own
inline constexpr int kExitBadArguments = 2;  // bad arguments or values, an interface not made, the --log file not written
inline constexpr int kExitNotProceeding = 3; // a warning before the test was not accepted (no --proceed)
inline constexpr int kExitInterrupted = 130;  // SIGINT, SIGTERM or SIGHUP: the guest stopped, the log kept
inline constexpr int kExitReportError = 1;   // --report: the report holds an ERROR banner

// One interface's Parameters dialog fields as options.
struct InterfaceOptions {
  std::optional<bool> tap;  // --tun / --tap
  std::optional<std::string> guestIP;
  std::optional<std::string> guestMAC;
  std::optional<std::string> adapterIP;
  std::optional<std::string> adapterMAC;
  bool Any() const { return tap || guestIP || guestMAC || adapterIP || adapterMAC; }
};

struct Options {
  std::string platform;
  std::string simHost;
  std::string logFile;
  bool report = false;    // the environment report alone
  bool noReport = false;  // the report's facts gathered, its lines not shown
  bool noSave = false;
  bool proceed = false;

  InterfaceOptions iface[2];
  bool twoInterfaces = false;  // interface 2 in use, with its remembered values

  bool ping = false;
  std::optional<std::string> pingTarget;
  std::optional<long long> count, size, timeout, delay;
  int pingFrom = 1;

  std::optional<bool> debugMode;
  std::optional<DWORD> debugFlags;
  std::optional<bool> socketNotify;
  std::optional<long long> driverBufferK, dllBufferK;
  std::optional<std::string> gateway;

  int serveSeconds = 0;
  int peerPings = 0;
  std::string peer = "192.0.2.20";
};

// Parses the command line into *options. Returns -1 to go on, or the exit
// status when the program must end here (help shown, or a bad option
// reported).
int ParseOptions(int argc, char** argv, Options* options);
