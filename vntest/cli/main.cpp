// vntest: the headless test program. It takes the snapshot of the host's
// network, writes the environment report (or, with --report, only that),
// checks the test parameters the way the Parameters dialog does,
// starts the simulated guest, optionally lets a simulated peer ping it and
// runs one ping test, and prints the log as the window would show it.
#include <CLI/CLI.hpp>

#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/debug_mode.h"
#include "engine/engine.h"
#include "headless_window.h"
#include "mestralib/address.h"
#include "mestralib/errors.h"
#include "platform/machine.h"
#include "platform/names.h"
#include "platform/sim/sim_host.h"
#include "platform/sockets.h"
#include "shell/discovery.h"
#include "shell/environment_report.h"
#include "shell/log.h"
#include "shell/parameters_model.h"
#include "shell/ping_who.h"
#include "shell/settings_store.h"
#include "shell/test_parameters.h"
#include "shell/vn32test_view.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitTestFailed = 1;
constexpr int kExitBadArguments = 2;
constexpr int kExitReportError = 1;  // --report: the report holds an ERROR banner

// The program's own messages, after the engine's.
constexpr UINT WM_APP_INTERFACE_READY = WM_APP + 16;
constexpr UINT WM_APP_PEER_PING_DONE = WM_APP + 17;

constexpr const char* kDefaultPeer = "192.0.2.20";

struct Options {
  std::string platform;
  std::string simHost;
  bool tun = false;
  bool tap = false;
  std::string guestIP;
  std::string guestMAC;
  std::string adapterIP;
  std::string adapterMAC;
  std::string pingTarget;
  int count = 3;
  int size = 32;
  int timeout = 500;
  int delay = 1000;
  int serveSeconds = 0;
  int peerPings = 0;
  std::string peer = kDefaultPeer;
  bool debug = false;
  std::optional<DWORD> debugFlags;
  bool socketNotify = false;
  std::string logFile;
  bool report = false;
  bool noReport = false;
};

int BadValue(const std::string& title, const std::string& text) {
  std::fprintf(stderr, "vntest: %s: %s\n", title.c_str(), text.c_str());
  return kExitBadArguments;
}

// Runs the window's side of the program: hands every posted message to the
// view and remembers what the engine reported.
class Driver {
 public:
  Driver(CVN32TestView& view, HeadlessWindow& window) : m_view(view), m_window(window) {}

  void Dispatch(UINT message) {
    switch (message) {
      case WM_APP_DRAIN_LOG:
        m_view.OnDrainLog();
        break;
      case WM_APP_INTERFACE_READY:
        ++m_readyInterfaces;
        break;
      case WM_APP_PEER_PING_DONE:
        m_bPeerPingDone = true;
        break;
      case WM_APP_MONITOR_ENDED:
        m_bMonitorEnded = true;
        OnEngineMessage(m_view, message);
        break;
      default:
        OnEngineMessage(m_view, message);
        break;
    }
  }

  // Handles messages until `done` holds or the deadline passes; returns done().
  template <typename Done>
  bool RunUntil(Done done, std::chrono::steady_clock::time_point deadline) {
    while (!done()) {
      std::optional<UINT> message = m_window.NextMessage(deadline);
      if (!message) return done();
      Dispatch(*message);
    }
    return true;
  }

  // Everything already posted.
  void Drain() {
    while (std::optional<UINT> message = m_window.PollMessage()) Dispatch(*message);
    m_view.OnDrainLog();
  }

  int readyInterfaces() const { return m_readyInterfaces; }
  bool monitorEnded() const { return m_bMonitorEnded; }
  bool peerPingDone() const { return m_bPeerPingDone; }

 private:
  CVN32TestView& m_view;
  HeadlessWindow& m_window;
  int m_readyInterfaces = 0;
  bool m_bMonitorEnded = false;
  bool m_bPeerPingDone = false;
};

std::chrono::steady_clock::time_point After(std::chrono::milliseconds span) {
  return std::chrono::steady_clock::now() + span;
}
constexpr std::chrono::hours kNoLimit{24 * 365};

bool SaveLog(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  return static_cast<bool>(out);
}

int Run(const Options& o) {
  // The log file is created first, so that a run whose log could not be kept
  // is refused before it starts.
  if (!o.logFile.empty()) {
    std::ofstream probe(o.logFile, std::ios::binary | std::ios::trunc);
    if (!probe) return BadValue("--log", "cannot create " + o.logFile + ": " + StrError(errno));
  }
  if (!o.platform.empty() && !platform::SelectMachine(o.platform)) {
    return BadValue("--platform", "unknown machine \"" + o.platform + "\" (linux or sim)");
  }
  if (!o.simHost.empty()) {
    if (platform::CurrentMachineKind() != platform::MachineKind::kSim) {
      return BadValue("--sim-host", "needs the simulated machine (--platform sim)");
    }
    std::vector<platform::sim::DescriptionError> errors;
    if (!platform::sim::SelectHostFile(o.simHost, &errors)) {
      for (const auto& e : errors) std::fprintf(stderr, "vntest: %s: %s\n", o.simHost.c_str(), e.Text().c_str());
      if (errors.empty()) std::fprintf(stderr, "vntest: %s: not a host description\n", o.simHost.c_str());
      return kExitBadArguments;
    }
  }
  if (o.peerPings > 0 && platform::CurrentMachineKind() != platform::MachineKind::kSim) {
    return BadValue("--peer-ping", "needs the simulated machine (--platform sim)");
  }
  DWORD peerHost = 0;
  if (o.peerPings > 0 && !ParseIPAddress(o.peer, &peerHost, false)) {
    return BadValue("--peer", "not an IPv4 address: " + o.peer);
  }

  auto view = std::make_unique<CVN32TestView>();
  HeadlessWindow window;
  view->SetWindow(&window);
  SetLogView(view.get());
  // Whatever way Run ends, nothing may point at the view or the window after.
  struct Detach {
    CVN32TestView& view;
    ~Detach() {
      TheEngineGlobals().InterfaceReady = nullptr;
      SetLogView(nullptr);
      view.SetWindow(nullptr);
    }
  } detach{*view};
  Driver driver(*view, window);

  // The snapshot and the environment report, as the view's initial update
  // writes them. --no-report still gathers the report's facts (the default
  // gateway among them) but shows none of its lines.
  InitGlobals();
  driver.Drain();
  window.SetMuted(o.noReport);
  const ReportOutcome report = WriteEnvironmentReport(*view);
  driver.Drain();
  window.SetMuted(false);
  if (o.report) {
    window.Close();
    if (!o.logFile.empty() && !SaveLog(o.logFile, window.Text())) {
      std::fprintf(stderr, "vntest: cannot write the log to %s\n", o.logFile.c_str());
      return kExitBadArguments;
    }
    return report.bErrorBanner ? kExitReportError : kExitOk;
  }

  // Interface 1 from the options over the first-run defaults; interface 2 unused.
  ResetInterfaceRec(Interface1(), o.tap);
  ResetInterfaceRec(Interface2(), true);
  const InterfaceIPDefaults defaults = ComputeInterfaceIPDefaults();
  ParametersModel parameters;
  ParametersFields& fields = parameters.Fields(0);
  fields.nMode = o.tap ? 1 : 0;
  fields.strGuestIP = o.guestIP.empty() ? defaults.strInterface_IPAddr[0] : o.guestIP;
  fields.strGuestMAC = o.guestMAC;
  if (o.adapterIP.empty() && o.adapterMAC.empty()) {
    fields.strAdapterIP = defaults.strAdapter_IPAddr[0];
  } else {
    fields.strAdapterIP = o.adapterIP;
    fields.strAdapterMAC = o.adapterMAC;
  }
  parameters.Fields(1).nMode = 1;
  DialogError error;
  if (!parameters.Validate(&error)) return BadValue(error.strTitle, error.strText);
  SetSettingsWritesEnabled(false);
  parameters.Accept();
  INTERFACEREC& record = Interface1();

  if (!o.pingTarget.empty()) {
    const std::string name = TrimBlanks(o.pingTarget);
    if (name.empty()) return BadValue(kPingWhoTitle, kPingWhoText);
    DWORD target = 0;
    if (DWORD rc = platform::ResolveIPv4(name, &target); rc != 0) {
      return BadValue(kPingWhoTitle, FormatLastError(rc) + "\n" + kPingWhoText);
    }
    TheEngineGlobals().dwPingTargetIP = target;
    TheEngineGlobals().strPingTargetName = name;
  }
  view->NumPings = o.count;
  view->PingDataSize = o.size;
  view->PingTimeout = o.timeout;
  view->PingDelay = o.delay;
  view->bPingFromInterface1 = true;
  view->SocketNotifyMode = o.socketNotify;
  if (o.debugFlags) view->DebugFlags = *o.debugFlags;
  SetDebugMode(o.debug);

  ResolveAdapterValues(record);

  HeadlessWindow* readyWindow = &window;
  TheEngineGlobals().InterfaceReady = [readyWindow](INTERFACEREC&) {
    readyWindow->PostMessage(WM_APP_INTERFACE_READY);
  };

  StartGorlan(*view);
  driver.RunUntil([&] { return driver.readyInterfaces() > 0 || driver.monitorEnded(); }, After(kNoLimit));
  if (driver.readyInterfaces() == 0) {
    StopGorlan(*view);
    driver.Drain();
    if (!o.logFile.empty()) SaveLog(o.logFile, window.Text());
    std::fprintf(stderr, "vntest: the interface could not be created\n");
    return kExitBadArguments;
  }

  if (o.peerPings > 0) {
    std::shared_ptr<platform::sim::PeerPing> ping = platform::sim::CurrentHost()->Ping(
        platform::htonl(peerHost), record.binInterface_IPAddr, static_cast<DWORD>(o.peerPings));
    if (!ping) {
      LogMsg("** Peer %s is not on the simulated host's LAN\n", o.peer.c_str());
    } else {
      std::thread waiter([ping, readyWindow] {
        ping->WaitDone(3600000);
        readyWindow->PostMessage(WM_APP_PEER_PING_DONE);
      });
      driver.RunUntil([&] { return driver.peerPingDone(); }, After(kNoLimit));
      waiter.join();
      const platform::sim::PeerPingResult result = ping->Result();
      LogMsg(" Peer %s pinged the guest %s: %u sent, %u received, %u duplicates%s\n", o.peer.c_str(),
             record.strInterface_IPAddr.c_str(), static_cast<unsigned>(result.sent),
             static_cast<unsigned>(result.received), static_cast<unsigned>(result.duplicates),
             result.arpResolved ? "" : " (its ARP request went unanswered)");
    }
  }

  bool pingOk = true;
  if (!o.pingTarget.empty() && view->IsRunning()) {
    const std::size_t start = window.Text().size();
    StartPingTest(*view);
    // The test is over once both of its threads have been joined. The ping
    // monitor may never start (the first request could not be written), so
    // its message alone does not say so; a guest that stops joins both.
    driver.RunUntil([&] { return !view->IsPinging(); }, After(kNoLimit));
    driver.Drain();
    pingOk = window.Text().find(" Ping test successful.\n", start) != std::string::npos;
  }

  if (o.serveSeconds > 0 && view->IsRunning()) {
    driver.RunUntil([&] { return !view->IsRunning(); }, After(std::chrono::seconds(o.serveSeconds)));
  }

  const bool endedEarly = driver.monitorEnded();
  StopGorlan(*view);
  driver.Drain();
  window.Close();

  if (!o.logFile.empty() && !SaveLog(o.logFile, window.Text())) {
    std::fprintf(stderr, "vntest: cannot write the log to %s\n", o.logFile.c_str());
    return kExitBadArguments;
  }
  if (!pingOk) return kExitTestFailed;
  if (endedEarly) return kExitTestFailed;
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  CLI::App app{
      "vntest: the headless virtual-interface test. Plays one simulated guest on a virtual interface bound to a host\n"
      "adapter, answers ARP, RARP and ping for it, and runs a ping test from it; the log goes to standard output.\n"
      "Every run starts with the environment report (the system, the packet-capture installation, the components,\n"
      "routes and default gateway, and every host adapter, test-opened).\n"
      "Exit codes: 0 the ping test succeeded (without --ping: the guest ran and stopped cleanly), 1 the ping test\n"
      "failed or the guest stopped on its own, 2 bad arguments or values, or the interface could not be created.\n"
      "With --report: 0 the report holds no ERROR banner, 1 it does.",
      "vntest"};
  app.option_defaults()->always_capture_default();
  app.add_option("--platform", o.platform, "Machine to run on: linux (the real one) or sim (the simulated host);\n"
                                           "default: MORVANE_PLATFORM, else linux")
      ->check(CLI::IsMember({"linux", "sim"}));
  app.add_option("--sim-host", o.simHost, "Simulated host description file (sim only; default: the built-in host)");
  auto* tun = app.add_flag("--tun", o.tun, "TUN mode: the guest exchanges IP packets (the DRAV device; the default)");
  auto* tap = app.add_flag("--tap", o.tap, "TAP mode: the guest exchanges Ethernet frames (the LCS device)");
  tun->excludes(tap);
  app.add_option("--guest-ip", o.guestIP, "Guest IP address (default: the adapter's network with host part 111)");
  app.add_option("--guest-mac", o.guestMAC,
                 "Guest MAC address, unicast and locally administered (default: derived from the guest IP)");
  app.add_option("--adapter-ip", o.adapterIP, "Host adapter by its IP address (default: the default adapter)");
  app.add_option("--adapter-mac", o.adapterMAC, "Host adapter by its MAC address (not with --adapter-ip)");
  app.add_option("--ping", o.pingTarget, "Run one ping test from the guest to TARGET (IP address or name)");
  app.add_option("--count", o.count, "Echo requests of the ping test")->check(CLI::Range(kMinNumPings, kMaxNumPings));
  app.add_option("--size", o.size, "Payload bytes of each request")->check(CLI::Range(kMinPingDataSize, kMaxPingDataSize));
  app.add_option("--timeout", o.timeout, "Milliseconds to wait for each reply")
      ->check(CLI::Range(kMinPingTimeout, kMaxPingTimeout));
  app.add_option("--delay", o.delay, "Milliseconds between requests")->check(CLI::Range(kMinPingDelay, kMaxPingDelay));
  app.add_option("--serve", o.serveSeconds, "Keep the guest answering for SECONDS after the ping test")
      ->check(CLI::Range(0, 86400));
  app.add_option("--peer-ping", o.peerPings,
                 "Simulated host only: before the ping test, let the peer (--peer) send N echo requests to the guest")
      ->check(CLI::Range(0, 1000));
  app.add_option("--peer", o.peer, "The simulated peer that --peer-ping uses");
  app.add_flag("--debug", o.debug, "Debug mode: ignored packets are explained and the interface gets IFF_DEBUG");
  app.add_option("--debug-flags", o.debugFlags, "The library's debug message bits (default 0x80008080)")
      ->transform([](std::string text) {
        char* end = nullptr;
        errno = 0;
        unsigned long value = std::strtoul(text.c_str(), &end, 0);
        if (text.empty() || *end != '\0' || errno != 0 || value > 0xFFFFFFFFul || text[0] == '-') {
          throw CLI::ValidationError("--debug-flags", "not a 32-bit number: " + text);
        }
        return std::to_string(value);
      });
  app.add_flag("--socket-notify", o.socketNotify, "Socket-notify mode: wait for packets with select");
  app.add_option("--log", o.logFile, "Also save the log as plain text to FILE");
  auto* report = app.add_flag("--report", o.report,
                              "Write the environment report and exit: 0 without an ERROR banner, 1 with one");
  auto* noReport = app.add_flag("--no-report", o.noReport,
                                "Do not show the environment report (its facts, such as the default gateway, are "
                                "still gathered)");
  report->excludes(noReport);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int rc = app.exit(e);
    return rc == 0 ? 0 : kExitBadArguments;
  }
  return Run(o);
}
