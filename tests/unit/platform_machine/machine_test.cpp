// Choosing the machine: once per process, inherited through the environment.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/machine.h"
#include "platform/sysinfo.h"

namespace machine_test {
namespace {

using namespace platform;

// Each case runs in a fresh process: the machine is chosen once per process.
TEST(MachineSelection, UnknownPlatformStopsWithAClearMessage) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ::setenv("MORVANE_PLATFORM", "simm", 1);
        TheMachine();
      },
      ::testing::ExitedWithCode(2), "MORVANE_PLATFORM=\"simm\" names no machine");
}

TEST(MachineSelection, TheFirstChoiceHoldsAndChildrenInheritIt) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ::unsetenv("MORVANE_PLATFORM");
        bool chosen = SelectMachine("Linux");
        const char* inherited = std::getenv("MORVANE_PLATFORM");
        TheMachine();
        bool others = !SelectMachine("sim") && SelectMachine("linux") && !SelectMachine("windows");
        std::exit(chosen && inherited && std::string(inherited) == "linux" && others &&
                          CurrentMachineKind() == MachineKind::kLinux
                      ? 0
                      : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(MachineSelection, LinuxFactsAreGathered) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ::unsetenv("MORVANE_PLATFORM");
        const SystemFacts& facts = GetSystemFacts();
        std::exit(!facts.computerName.empty() && !facts.osNames[0].empty() && facts.processorCount >= 1 &&
                          facts.version.major >= 2
                      ? 0
                      : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace machine_test
