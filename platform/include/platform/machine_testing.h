// For tests only: put a machine of the test's own making under the process,
// e.g. one whose IP helper answers a route table that needs a second call.
//
//   platform::testing::ScopedMachineForTest machine(std::make_unique<FakeMachine>());
//   ... platform calls now reach FakeMachine ...
//   (the previous machine returns when `machine` goes out of scope)
//
// Install only while no other thread makes platform calls, and close registry
// keys and devices of the old machine first.
#pragma once

#include <memory>

#include "platform/machine.h"

namespace platform::testing {

// Makes `machine` the process's machine; returns the one that was in use
// (null when none had been created yet). Passing null makes the next platform
// call create the machine from MORVANE_PLATFORM again.
std::unique_ptr<Machine> InstallMachineForTest(std::unique_ptr<Machine> machine);

class ScopedMachineForTest {
 public:
  explicit ScopedMachineForTest(std::unique_ptr<Machine> machine)
      : previous_(InstallMachineForTest(std::move(machine))) {}
  ~ScopedMachineForTest() { InstallMachineForTest(std::move(previous_)); }
  ScopedMachineForTest(const ScopedMachineForTest&) = delete;
  ScopedMachineForTest& operator=(const ScopedMachineForTest&) = delete;

 private:
  std::unique_ptr<Machine> previous_;
};

}  // namespace platform::testing
