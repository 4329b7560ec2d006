// A simulated host for the shell's tests: described in a few lines, its
// per-user settings in a file of the test's own folder, the network
// discovery run on it, and the shell's process-wide state fresh for each
// test.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/engine_state.h"
#include "mestralib/address.h"
#include "platform/machine.h"
#include "platform/sim/sim_host.h"
#include "platform/sockets.h"
#include "shell/discovery.h"
#include "shell/parameters_model.h"
#include "shell/settings_store.h"

namespace shell_test {

// One wired adapter eth0 10.1.2.3/16 with a default route through the
// router 10.1.0.1; a second adapter, lab1 198.51.100.7/24, with the MAC of
// a vendor (not locally administered) and no gateway.
inline constexpr const char* kTwoAdapterHost = R"(
host shelltest
settings file
routing off
adapter eth0
  mac 02-00-00-00-00-10
  ip 10.1.2.3/16
  gateway 10.1.0.1
end
adapter lab1
  mac 00-11-22-33-44-55
  ip 198.51.100.7/24
end
router 10.1.0.1 mac 02-00-00-00-00-01
name gateway.test 10.1.0.1
)";

// One adapter without a gateway: no default route, so no default adapter.
inline constexpr const char* kNoDefaultAdapterHost = R"(
host shelltest
settings file
adapter lab1
  mac 02-00-00-00-00-10
  ip 198.51.100.7/24
end
)";

inline DWORD Ip(const char* text) {
  DWORD host = 0;
  EXPECT_TRUE(ParseIPAddress(text, &host, false)) << text;
  return platform::htonl(host);
}

class ShellTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ::unsetenv(platform::sim::kHostEnvVar);
    ASSERT_TRUE(platform::SelectMachine("sim"));
  }

  void SetUp() override {
    char pattern[] = "/tmp/vntest-shell-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    folder_ = pattern;
    if (const char* before = std::getenv("XDG_CONFIG_HOME")) configHomeBefore_ = before;
    ::setenv("XDG_CONFIG_HOME", folder_.c_str(), 1);
    ResetState();
  }

  // The process goes back to the built-in host (settings in memory) and to
  // its own settings folder: a host of this test that keeps its settings in
  // a file must not outlive the folder, or a later test of the same process
  // would write the user's own ~/.config.
  void TearDown() override {
    ResetState();
    ::unsetenv(platform::sim::kHostEnvVar);
    platform::sim::InstallHost(platform::sim::DefaultHost());
    FreeDiscoveryResults();
    if (configHomeBefore_) {
      ::setenv("XDG_CONFIG_HOME", configHomeBefore_->c_str(), 1);
    } else {
      ::unsetenv("XDG_CONFIG_HOME");
    }
    std::filesystem::remove_all(folder_);
  }

  // Puts the described host under the process and takes the snapshot of
  // its network, as the program's start does.
  void UseHost(const std::string& description) {
    const std::filesystem::path file = folder_ / "test.host";
    std::ofstream(file) << description;
    std::vector<platform::sim::DescriptionError> errors;
    ASSERT_TRUE(platform::sim::SelectHostFile(file, &errors)) << (errors.empty() ? "" : errors[0].Text());
    FreeDiscoveryResults();
    InitGlobals();
  }

  std::filesystem::path SettingsFile() const { return folder_ / "Morvane" / "VNTest64UD.ini"; }

  std::string ReadFile(const std::filesystem::path& path) const {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  void WriteFile(const std::filesystem::path& path, const std::string& text) const {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
  }

  // The [Settings] lines of the settings file, in the file's order.
  std::vector<std::string> StoredLines() const {
    std::vector<std::string> lines;
    std::ifstream in(SettingsFile());
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line[0] != ';' && line[0] != '[') lines.push_back(line);
    }
    return lines;
  }

 private:
  static void ResetState() {
    ResetSettingsForTesting();
    SetUseTwoInterfacesChoice(false);
    DefaultGateway() = DefaultGatewayState{};
    TheEngineGlobals() = EngineGlobals{};
    ResetInterfaceRec(Interface1(), false);
    ResetInterfaceRec(Interface2(), true);
    for (INTERFACEREC* record : {&Interface1(), &Interface2()}) {
      record->strBcastAddr.clear();
      record->binBcastAddr = 0;
    }
  }

  std::filesystem::path folder_;
  std::optional<std::string> configHomeBefore_;
};

}  // namespace shell_test
