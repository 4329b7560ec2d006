// VNTest64UD: the windowed test program. One log window; the Test menu
// starts the simulated guest and its ping test.
#include <QApplication>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/machine.h"
#include "platform/sim/sim_host.h"
#include "shell/commands.h"
#include "shell/interrupt.h"
#include "ui/main_frame.h"

namespace {

constexpr int kExitBadArguments = 2;

const char kUsage[] =
    "Usage: VNTest64UD [--platform linux|sim] [--sim-host FILE] [Qt options]\n"
    "The windowed virtual-interface test: plays simulated guests on virtual interfaces, answers ARP, RARP\n"
    "and ping for them and runs ping tests from them, with everything in a timestamped log.\n"
    "  --platform NAME   machine to run on: linux (the real one) or sim (the simulated host);\n"
    "                    default: MORVANE_PLATFORM, else linux\n"
    "  --sim-host FILE   simulated host description file (sim only; default: the built-in host)\n"
    "Qt's own options (such as -platform offscreen for the window system) follow Qt's rules.\n";

int BadValue(const std::string& option, const std::string& text) {
  std::fprintf(stderr, "VNTest64UD: %s: %s\n", option.c_str(), text.c_str());
  return kExitBadArguments;
}

// Takes this program's options out of argv (Qt reads the rest). Returns -1 to
// go on, else the exit status.
int TakeOptions(int& argc, char** argv) {
  std::string machine;
  std::string simHost;
  std::vector<char*> rest{argv[0]};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](const std::string& name, std::string* out) {
      if (arg == name) {
        if (i + 1 >= argc) return BadValue(name, "needs a value");
        *out = argv[++i];
        return 0;
      }
      if (arg.rfind(name + "=", 0) == 0) {
        *out = arg.substr(name.size() + 1);
        return 0;
      }
      return 1;
    };
    int rc;
    if ((rc = value("--platform", &machine)) != 1 || (rc = value("--sim-host", &simHost)) != 1) {
      if (rc != 0) return rc;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    rest.push_back(argv[i]);
  }
  if (!machine.empty() && !platform::SelectMachine(machine)) {
    return BadValue("--platform", "unknown machine \"" + machine + "\" (linux or sim)");
  }
  if (!simHost.empty()) {
    if (platform::CurrentMachineKind() != platform::MachineKind::kSim) {
      return BadValue("--sim-host", "needs the simulated machine (--platform sim)");
    }
    std::vector<platform::sim::DescriptionError> errors;
    if (!platform::sim::SelectHostFile(simHost, &errors)) {
      for (const auto& e : errors) std::fprintf(stderr, "VNTest64UD: %s: %s\n", simHost.c_str(), e.Text().c_str());
      if (errors.empty()) std::fprintf(stderr, "VNTest64UD: %s: not a host description\n", simHost.c_str());
      return kExitBadArguments;
    }
  }
  argc = static_cast<int>(rest.size());
  for (int i = 0; i < argc; ++i) argv[i] = rest[static_cast<std::size_t>(i)];
  argv[argc] = nullptr;
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (int rc = TakeOptions(argc, argv); rc >= 0) return rc;
  // Before Qt starts its threads: the control thread alone takes the signals.
  InstallInterruptHandler();
  QApplication app(argc, argv);
  // Qt has taken its own options out; anything left is a mistake, which
  // would otherwise go unnoticed behind a window that starts anyway.
  if (argc > 1) return BadValue(argv[1], "unknown option (--help lists the options)");
  QApplication::setOrganizationName(QStringLiteral("Morvane"));
  QApplication::setApplicationName(QString::fromLatin1(kProgramName));

  CMainFrame frame;
  frame.InitialUpdate();
  frame.show();
  // Ctrl+C or a request to end closes the window as File > Exit does,
  // asking first to save unsaved lines.
  SetInterruptAction([&frame] { QMetaObject::invokeMethod(&frame, "close", Qt::QueuedConnection); });
  const int rc = QApplication::exec();
  SetInterruptAction(nullptr);
  return rc;
}
