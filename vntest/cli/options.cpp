// The headless program's command line (see options.h).
#include "options.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdlib>

namespace {

constexpr const char* kDescription =
    "vntest: the headless virtual-interface test. Plays one or two simulated guests on virtual interfaces bound to\n"
    "host adapters, answers ARP, RARP and ping for them, and runs a ping test; the log goes to standard output.\n"
    "\n"
    "It starts as the window does: the host's network is gathered and the environment report written (the\n"
    "system, the packet-capture installation, the components, routes and default gateway, and every host adapter,\n"
    "test-opened). The interface, ping and debug settings are those remembered from the last accepted values\n"
    "(VNTest64UD.ini under $XDG_CONFIG_HOME/Morvane, shared with VNTest64UD; the built-in simulated host keeps\n"
    "them for the process only), or on a first run the default host adapter's network; options override them.\n"
    "Values that pass the Parameters and Ping who checks are remembered for the next run (not with --no-save).\n"
    "Before the guest starts, the set-up is checked (IP forwarding, default gateway, subnets): a warning is\n"
    "printed with its texts, and the run ends there unless --proceed is given.\n"
    "\n"
    "Exit status:\n"
    "  0  success: the ping test passed (without --ping: the guest ran and stopped cleanly)\n"
    "  1  the ping test failed, or the guest stopped on its own\n"
    "  2  bad arguments or values (the Parameters dialog's messages), an interface not made, or the --log file not written\n"
    "  3  a warning before the test (set-up, unresponsive gateway) was not accepted: nothing was started\n"
    "  130  interrupted (Ctrl+C, SIGTERM, SIGHUP): the test and the guest stopped, the log kept (twice: at once)\n"
    "With --report: 0 the report holds no ERROR banner, 1 it does.";

DWORD ParseFlags(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const unsigned long value = std::strtoul(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0' || errno != 0 || value > 0xFFFFFFFFul || text[0] == '-') {
    throw CLI::ValidationError("--debug-flags", "not a 32-bit number: " + text);
  }
  return static_cast<DWORD>(value);
}

void AddInterface(CLI::App& app, InterfaceOptions& o, const std::string& suffix, const std::string& which) {
  auto* tun = app.add_flag_callback("--tun" + suffix, [&o] { o.tap = false; },
                                    "TUN mode for " + which + ": the guest exchanges IP packets (the DRAV device)");
  auto* tap = app.add_flag_callback("--tap" + suffix, [&o] { o.tap = true; },
                                    "TAP mode for " + which + ": the guest exchanges Ethernet frames (the LCS device)");
  tun->excludes(tap);
  app.add_option("--guest-ip" + suffix, o.guestIP, "Guest IP address of " + which);
  app.add_option("--guest-mac" + suffix, o.guestMAC,
                 "Guest MAC address of " + which + ", unicast and locally administered (empty: derived from the IP)");
  app.add_option("--adapter-ip" + suffix, o.adapterIP, "Host adapter of " + which + " by its IP address");
  app.add_option("--adapter-mac" + suffix, o.adapterMAC,
                 "Host adapter of " + which + " by its MAC address (instead of its IP address)");
}

}  // namespace

int ParseOptions(int argc, char** argv, Options* options) {
  Options& o = *options;
  CLI::App app{kDescription, "vntest"};
  app.get_formatter()->column_width(32);

  app.add_option("--platform", o.platform,
                 "Machine to run on: linux (the real one) or sim (the simulated host); default: MORVANE_PLATFORM, "
                 "else linux")
      ->check(CLI::IsMember({"linux", "sim"}));
  app.add_option("--sim-host", o.simHost, "Simulated host description file (sim only; default: the built-in host)");
  app.add_option("--log", o.logFile, "Also save the log as plain text to FILE");
  auto* report = app.add_flag("--report", o.report,
                              "Write the environment report and exit: 0 without an ERROR banner, 1 with one");
  auto* noReport = app.add_flag("--no-report", o.noReport,
                                "Do not show the environment report (its facts, such as the default gateway, are "
                                "still gathered)");
  report->excludes(noReport);
  app.add_flag("--no-save", o.noSave, "Remember nothing of this run's values");
  app.add_flag("--proceed", o.proceed, "Go on after a warning before the test (the warning's Proceed)");

  AddInterface(app, o.iface[0], "", "interface 1");
  app.add_flag("--two", o.twoInterfaces,
                           "Use two virtual interfaces; interface 2 takes its remembered values (first run: TAP, host "
                           "part 222) where the options below leave them. Any of them implies --two");
  AddInterface(app, o.iface[1], "2", "interface 2");

  auto* ping = app.add_option("--ping", o.pingTarget,
                              "Run one ping test from the guest, to TARGET (IP address or name); without TARGET to "
                              "the remembered one")
                   ->expected(0, 1);
  app.add_option("--count", o.count, "Echo requests of the ping test (1..65535)")->needs(ping);
  app.add_option("--size", o.size, "Payload bytes of each request (8..65507)")->needs(ping);
  app.add_option("--timeout", o.timeout, "Milliseconds to wait for each reply (0..10000)")->needs(ping);
  app.add_option("--delay", o.delay, "Milliseconds between requests (0..10000)")->needs(ping);
  app.add_option("--ping-from", o.pingFrom, "The interface the ping goes from: 1 (default) or 2")
      ->check(CLI::IsMember({1, 2}))
      ->needs(ping);

  app.add_flag_callback("--debug", [&o] { o.debugMode = true; },
                        "Debug mode on: ignored packets are explained and interfaces get IFF_DEBUG (remembered)");
  app.add_flag_callback("--no-debug", [&o] { o.debugMode = false; }, "Debug mode off (remembered)");
  app.add_option_function<std::string>("--debug-flags", [&o](const std::string& text) { o.debugFlags = ParseFlags(text); },
                                        "The library's debug message bits (first run 0x80008080; remembered)");
  app.add_flag_callback("--socket-notify", [&o] { o.socketNotify = true; },
                        "Socket-notify mode on: wait for packets with select (remembered)");
  app.add_flag_callback("--no-socket-notify", [&o] { o.socketNotify = false; }, "Socket-notify mode off (remembered)");
  app.add_option("--driver-buffer", o.driverBufferK, "Capture buffer of the driver in K bytes (64..16384; default 1024)");
  app.add_option("--dll-buffer", o.dllBufferK, "Packet buffer of the library in K bytes (16..1024; default 64)");
  app.add_option("--gateway", o.gateway,
                 "Define the default gateway (for this run) as IP; an address that does not answer ARP is a warning");

  app.add_option("--serve", o.serveSeconds, "Keep the guest answering for SECONDS after the ping test")
      ->check(CLI::Range(0, 86400));
  app.add_option("--peer-ping", o.peerPings,
                 "Simulated host only: before the ping test, let the peer (--peer) send N echo requests to the guest")
      ->check(CLI::Range(0, 1000));
  app.add_option("--peer", o.peer, "The simulated peer that --peer-ping uses (default 192.0.2.20)");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int rc = app.exit(e);
    return rc == 0 ? kExitOk : kExitBadArguments;
  }
  o.ping = ping->count() > 0;
  if (o.iface[1].Any()) o.twoInterfaces = true;
  return -1;
}
