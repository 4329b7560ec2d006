// The headless program's run (see run.h).
#include "run.h"

#include <chrono>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
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
#include "platform/sim/sim_host.h"
#include "platform/sockets.h"
#include "platform/sysinfo.h"
#include "shell/buffer_sizes.h"
#include "shell/debug_flags.h"
#include "shell/default_gateway.h"
#include "shell/discovery.h"
#include "shell/environment_report.h"
#include "shell/interrupt.h"
#include "shell/log.h"
#include "shell/log_document.h"
#include "shell/parameters_model.h"
#include "shell/ping_who.h"
#include "shell/pretest.h"
#include "shell/settings_store.h"
#include "shell/test_parameters.h"
#include "shell/vn32test_view.h"

namespace {

// The program's own messages, after the engine's.
constexpr UINT WM_APP_INTERFACE_READY = WM_APP + 16;
constexpr UINT WM_APP_PEER_PING_DONE = WM_APP + 17;
constexpr UINT WM_APP_INTERRUPTED = WM_APP + 18;

int BadValue(const std::string& what, const std::string& text) {
  std::fprintf(stderr, "vntest: %s: %s\n", what.c_str(), text.c_str());
  return kExitBadArguments;
}

// The option a refused value belongs to. A value the command line did not
// give is a remembered one (the settings file may have been edited or
// damaged): the message says so, rather than name an option never typed.
std::string ValueSource(const char* option, bool given) {
  if (given) return option;
  return std::string(option) + " (not given: the remembered value; " + option + " replaces it)";
}

// The options that set the dialogs' controls, for messages about their
// values (control ids repeat from one dialog to the next).
std::string ParametersOption(int controlId, const Options& o) {
  for (int i = 0; i < 2; ++i) {
    const InterfaceOptions& f = o.iface[i];
    const bool adapterGiven = f.adapterIP || f.adapterMAC;  // naming it one way forgets the other
    if (controlId == kGuestIPControl[i]) return ValueSource(i == 0 ? "--guest-ip" : "--guest-ip2", f.guestIP.has_value());
    if (controlId == kGuestMACControl[i]) {
      return ValueSource(i == 0 ? "--guest-mac" : "--guest-mac2", f.guestMAC.has_value());
    }
    if (controlId == kAdapterIPControl[i]) return ValueSource(i == 0 ? "--adapter-ip" : "--adapter-ip2", adapterGiven);
    if (controlId == kAdapterMACControl[i]) {
      return ValueSource(i == 0 ? "--adapter-mac" : "--adapter-mac2", adapterGiven);
    }
  }
  return "vntest";
}

std::string PingOption(int controlId, const Options& o) {
  switch (controlId) {
    case kPingSizeEdit: return ValueSource("--size", o.size.has_value());
    case kPingCountEdit: return ValueSource("--count", o.count.has_value());
    case kPingTimeoutEdit: return ValueSource("--timeout", o.timeout.has_value());
    case kPingDelayEdit: return ValueSource("--delay", o.delay.has_value());
    default: return ValueSource("--ping", o.pingTarget && !o.pingTarget->empty());
  }
}

const char* BufferOption(int controlId) { return controlId == kDllBufferEdit ? "--dll-buffer" : "--driver-buffer"; }

// A dialog's refusal as the window would show it: the balloon's title and
// text, or the message box's text, after the option it concerns.
int Refused(const std::string& option, const DialogError& error) {
  return BadValue(option, error.strTitle.empty() ? error.strText : error.strTitle + ": " + error.strText);
}

// A question the window would ask, printed with its texts; true when the
// run goes on (--proceed).
bool Ask(bool proceed, const std::string& title, const std::string& instruction, const std::string& question,
         const std::string& explanation) {
  std::fprintf(stderr, "vntest: %s: %s\n", TrimBlanks(title).c_str(), instruction.c_str());
  std::fprintf(stderr, "  %s\n", question.c_str());
  // The explanation's paragraphs, indented under the question.
  std::size_t at = 0;
  while (at < explanation.size()) {
    std::size_t end = explanation.find('\n', at);
    if (end == std::string::npos) end = explanation.size();
    const std::string line = explanation.substr(at, end - at);
    std::fprintf(stderr, line.empty() ? "\n" : "  %s\n", line.c_str());
    at = end + 1;
  }
  std::fprintf(stderr, proceed ? "vntest: proceeding (--proceed)\n"
                               : "vntest: not started; --proceed goes on after a warning\n");
  return proceed;
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
      case WM_APP_INTERRUPTED:
        m_bInterrupted = true;
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

  // Handles messages until `done` holds, the deadline passes or the run is
  // interrupted; returns done().
  template <typename Done>
  bool RunUntil(Done done, std::chrono::steady_clock::time_point deadline) {
    while (!done()) {
      if (m_bInterrupted) return false;
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
  bool interrupted() const { return m_bInterrupted; }

 private:
  CVN32TestView& m_view;
  HeadlessWindow& m_window;
  int m_readyInterfaces = 0;
  bool m_bMonitorEnded = false;
  bool m_bPeerPingDone = false;
  bool m_bInterrupted = false;
};

std::chrono::steady_clock::time_point After(std::chrono::milliseconds span) {
  return std::chrono::steady_clock::now() + span;
}
constexpr std::chrono::hours kNoLimit{24 * 365};
// The simulated peer's requests (--peer-ping) go 100 ms apart, each waiting
// up to 3 s for the guest's answer (its ARP tries half that apart): a guest
// on a busy machine answers late, not never.
constexpr DWORD kPeerPingIntervalMs = 100, kPeerPingTimeoutMs = 3000;

// One interface's options over what the Parameters dialog opened with.
void ApplyInterfaceOptions(ParametersModel& dialog, int i, const InterfaceOptions& o) {
  ParametersFields& f = dialog.Fields(i);
  if (o.tap) dialog.SetMode(i, *o.tap ? 1 : 0);
  if (o.guestIP) {
    // A MAC that was derived from the old guest address is derived anew
    // from the new one; a MAC of the user's own choice stays.
    if (!o.guestMAC && TrimBlanks(f.strGuestMAC) == DefaultGuestMAC(f.strGuestIP)) f.strGuestMAC.clear();
    f.strGuestIP = *o.guestIP;
  }
  if (o.guestMAC) f.strGuestMAC = *o.guestMAC;
  // Naming the adapter one way forgets the other, as typing into either
  // control does; naming it both ways is refused by the checks.
  if (o.adapterIP || o.adapterMAC) {
    f.strAdapterIP = o.adapterIP.value_or("");
    f.strAdapterMAC = o.adapterMAC.value_or("");
  }
}

// What happens after the window's start-up: the values of the test with the
// dialogs' checks, the warnings, then the guest and its tests.
int RunTest(const Options& o, CVN32TestView& view, HeadlessWindow& window, Driver& driver) {
  // The debug switches, as the debug flags dialog's OK and the
  // socket-notify command set and store them.
  if (o.debugMode || o.debugFlags) {
    ApplyDebugSettings(view, o.debugMode.value_or(DebugMode.load()), o.debugFlags.value_or(view.DebugFlags));
  }
  if (o.socketNotify && *o.socketNotify != view.SocketNotifyMode) ToggleSocketNotifyMode(view);

  DialogError error;
  if (o.driverBufferK || o.dllBufferK) {
    BufferSizesK sizes = CurrentBufferSizesK();
    if (o.driverBufferK) sizes.nDriverK = *o.driverBufferK;
    if (o.dllBufferK) sizes.nDllK = *o.dllBufferK;
    if (!ApplyBufferSizesK(sizes, &error)) return Refused(BufferOption(error.nControlId), error);
  }

  // The gateway is checked (and ARP-tested) now; an unresponsive one is a
  // question asked once every value has passed its checks.
  std::optional<GatewayCheck> gateway;
  if (o.gateway) {
    gateway = CheckDefaultGateway(*o.gateway, &error);
    if (gateway->result == GatewayCheck::Result::kRefused) return Refused("--gateway", error);
  }

  // The Parameters dialog: the remembered values, the options over them,
  // its checks; accepted values are stored.
  LoadInterfaceSettings();
  ParametersModel parameters;
  parameters.Open();
  parameters.SetUseTwoInterfaces(o.twoInterfaces);
  ApplyInterfaceOptions(parameters, 0, o.iface[0]);
  ApplyInterfaceOptions(parameters, 1, o.iface[1]);
  if (!parameters.Validate(&error)) return Refused(ParametersOption(error.nControlId, o), error);
  parameters.Accept();

  // The Ping who dialog's values are checked before anything starts; they
  // are taken over (and stored) when the ping test starts.
  PingWhoValues ping;
  if (o.ping) {
    ping = OpenPingWho(view);
    if (o.pingTarget && !o.pingTarget->empty()) ping.strTo = *o.pingTarget;
    if (o.size) ping.nSize = *o.size;
    if (o.count) ping.nCount = *o.count;
    if (o.timeout) ping.nTimeout = *o.timeout;
    if (o.delay) ping.nDelay = *o.delay;
    if (o.pingFrom == 2 && !ping.bInterface2Available) {
      return BadValue("--ping-from", "interface 2 is not in use (see --two)");
    }
    ping.bFromInterface1 = o.pingFrom == 1;
    if (!CheckPingWho(&ping, &error)) return Refused(PingOption(error.nControlId, o), error);
  }

  if (gateway) {
    if (gateway->result == GatewayCheck::Result::kUnresponsive &&
        !Ask(o.proceed, kUnresponsiveGateway.title, kUnresponsiveGateway.mainInstruction, kUnresponsiveGateway.content,
             "")) {
      return kExitNotProceeding;
    }
    AcceptDefaultGateway(*gateway);
  }

  const PreTestFacts facts = GatherPreTestFacts();
  for (const TestWarning* warning : DecidePreTest(facts)) {
    if (!Ask(o.proceed, warning->title, warning->mainInstruction, warning->question, warning->explanation)) {
      return kExitNotProceeding;
    }
  }
  // Addresses no check refuses but no host can serve: a guest with its
  // adapter's own address (the host keeps its packets for itself), and two
  // guests with one address (the replies reach one of them). Notes, as a
  // test of them may still be meant.
  for (const INTERFACEREC* record : {&Interface1(), &Interface2()}) {
    if (record == &Interface2() && !Interface2InUse()) break;
    if (record->binInterface_IPAddr != 0 && record->binInterface_IPAddr == record->binAdapter_IPAddr) {
      std::fprintf(stderr, "vntest: the guest's address %s is its host adapter's own: the host takes its packets "
                   "as its own\n", record->strInterface_IPAddr.c_str());
    }
  }
  if (Interface2InUse() && Interface1().binInterface_IPAddr == Interface2().binInterface_IPAddr) {
    std::fprintf(stderr, "vntest: both guests have the address %s: the replies to it reach one of them only\n",
                 Interface1().strInterface_IPAddr.c_str());
  }
  if (!facts.bIPForwarding && platform::CurrentMachineKind() == platform::MachineKind::kLinux) {
    // On the real machine the guest's link is a link of its own behind the
    // host: whatever the gateway, only the host's forwarding joins it to the
    // LAN. A guest that talks to the host alone still works, so a note.
    std::fprintf(stderr,
                 "vntest: IPv4 forwarding is off (net.ipv4.ip_forward=0): the host passes nothing between the guest "
                 "and its LAN, only the host itself answers the guest (README: What the host must allow)\n");
  }

  HeadlessWindow* readyWindow = &window;
  TheEngineGlobals().InterfaceReady = [readyWindow](INTERFACEREC&) {
    readyWindow->PostMessage(WM_APP_INTERFACE_READY);
  };
  const int interfaces = Interface2InUse() ? 2 : 1;
  driver.Drain();
  if (driver.interrupted()) return kExitInterrupted;
  StartGorlan(view);
  driver.RunUntil([&] { return driver.readyInterfaces() == interfaces || driver.monitorEnded(); }, After(kNoLimit));
  if (driver.interrupted()) return kExitInterrupted;
  if (driver.readyInterfaces() < interfaces) {
    std::fprintf(stderr, "vntest: the interface could not be created\n");
    return kExitBadArguments;
  }

  const INTERFACEREC& record = Interface1();
  if (o.peerPings > 0) {
    DWORD peerHost = 0;
    ParseIPAddress(o.peer, &peerHost, false);  // checked before the run
    std::shared_ptr<platform::sim::PeerPing> peerPing = platform::sim::CurrentHost()->Ping(
        platform::htonl(peerHost), record.binInterface_IPAddr, static_cast<DWORD>(o.peerPings), kPeerPingIntervalMs,
        kPeerPingTimeoutMs);
    if (!peerPing) {
      LogMsg("** Peer %s is not on the simulated host's LAN\n", o.peer.c_str());
    } else {
      std::thread waiter([peerPing, readyWindow] {
        peerPing->WaitDone(3600000);
        readyWindow->PostMessage(WM_APP_PEER_PING_DONE);
      });
      driver.RunUntil([&] { return driver.peerPingDone(); }, After(kNoLimit));
      waiter.join();  // the simulated peer's pings end by themselves, interrupted or not
      const platform::sim::PeerPingResult result = peerPing->Result();
      LogMsg(" Peer %s pinged the guest %s: %u sent, %u received, %u duplicates%s\n", o.peer.c_str(),
             record.strInterface_IPAddr.c_str(), static_cast<unsigned>(result.sent),
             static_cast<unsigned>(result.received), static_cast<unsigned>(result.duplicates),
             result.arpResolved ? "" : " (its ARP request went unanswered)");
    }
  }

  if (driver.interrupted()) return kExitInterrupted;
  bool pingOk = true;
  if (o.ping && view.IsRunning()) {
    AcceptPingWho(view, ping);
    window.SetKeeping(true);
    const std::size_t start = window.Text().size();
    StartPingTest(view);
    // The test is over once both of its threads have been joined. The ping
    // monitor may never start (the first request could not be written), so
    // its message alone does not say so; a guest that stops joins both.
    driver.RunUntil([&] { return !view.IsPinging(); }, After(kNoLimit));
    // Interrupted, the test ends as Stop ping test ends it.
    if (driver.interrupted()) StopPingTest(view);
    driver.Drain();
    pingOk = window.Text().find(" Ping test successful.\n", start) != std::string::npos;
    window.SetKeeping(!o.logFile.empty());
  }

  if (o.serveSeconds > 0 && view.IsRunning() && !driver.interrupted()) {
    driver.RunUntil([&] { return !view.IsRunning(); }, After(std::chrono::seconds(o.serveSeconds)));
  }
  if (driver.interrupted()) return kExitInterrupted;
  if (!pingOk || driver.monitorEnded()) return kExitTestFailed;
  return kExitOk;
}

}  // namespace

int Run(const Options& o) {
  // Before any thread starts: the control thread alone takes the signals.
  InstallInterruptHandler();
  // The log file is created first, so that a run whose log could not be kept
  // is refused before it starts. A file that is there keeps its text until
  // the new log replaces it whole at the end. A pipe or a terminal is left
  // alone until then: opening and closing a pipe would end its reader.
  std::error_code statusError;
  const auto logStatus = std::filesystem::status(o.logFile, statusError);
  const bool logIsStream = std::filesystem::exists(logStatus) && !std::filesystem::is_regular_file(logStatus) &&
                           !std::filesystem::is_directory(logStatus);
  if (!o.logFile.empty() && !logIsStream) {
    std::FILE* probe = std::fopen(o.logFile.c_str(), "ab");
    if (probe == nullptr) return BadValue("--log", "cannot create " + o.logFile + ": " + StrError(errno));
    std::fclose(probe);
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
  if (platform::CurrentMachineKind() == platform::MachineKind::kLinux && !platform::GetSystemFacts().elevated) {
    // Without them the capture devices do not open and no interface can be
    // made, and the report and the checks would only say that the capture
    // installation or the adapter is missing.
    std::fprintf(stderr,
                 "vntest: running as a normal user: the real machine's capture devices and virtual interfaces need "
                 "root (or CAP_NET_ADMIN and CAP_NET_RAW)\n");
  }
  SetSettingsWritesEnabled(!o.noSave);

  auto view = std::make_unique<CVN32TestView>();
  HeadlessWindow window;
  view->SetWindow(&window);
  SetLogView(view.get());
  // Whatever way Run ends, nothing may point at the view or the window after.
  struct Detach {
    CVN32TestView& view;
    ~Detach() {
      SetInterruptAction(nullptr);
      TheEngineGlobals().InterfaceReady = nullptr;
      SetLogView(nullptr);
      view.SetWindow(nullptr);
    }
  } detach{*view};
  Driver driver(*view, window);
  SetInterruptAction([&window] {
    std::fprintf(stderr, "vntest: interrupted: stopping the guest and keeping the log (again to end at once)\n");
    window.PostMessage(WM_APP_INTERRUPTED);
  });
  // The whole log is kept only for --log; the ping test keeps its own part.
  window.SetKeeping(!o.logFile.empty());

  // The window's start-up: the debug settings as the view is built, then
  // the snapshot of the host's network and the environment report, as the
  // view's initial update writes them. --no-report still gathers the
  // report's facts (the default gateway among them) but shows none of its
  // lines.
  LoadDebugSettings(*view);
  InitGlobals();
  driver.Drain();
  window.SetMuted(o.noReport);
  const ReportOutcome report = WriteEnvironmentReport(*view);
  driver.Drain();
  window.SetMuted(false);

  int rc = o.report ? (report.bErrorBanner ? kExitReportError : kExitOk) : RunTest(o, *view, window, driver);
  if (SettingsWriteRefused()) {
    std::fprintf(stderr,
                 "vntest: the accepted values could not be remembered: the settings file (VNTest64UD.ini under "
                 "$XDG_CONFIG_HOME/Morvane) cannot be written; MORVANE_TRACE=stderr says why\n");
  }
  StopGorlan(*view);
  driver.Drain();
  window.Close();
  std::string error;
  if (!o.logFile.empty() && !SaveLogText(o.logFile, window.Text(), &error)) {
    std::fprintf(stderr, "vntest: the log was not kept: %s\n", error.c_str());
    return kExitBadArguments;
  }
  return rc;
}
