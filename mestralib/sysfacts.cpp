// Facts about the system, gathered once from the machine on first use.
#include "mestralib/sysfacts.h"

#include "platform/sysinfo.h"
#include "platform/winerror.h"

namespace {

MestraLibSystemFacts Gather() {
  // A query: whatever the machine does to find the facts stays out of the
  // caller's error values.
  const platform::SavedErrors saved;
  const platform::SystemFacts& machine = platform::GetSystemFacts();
  MestraLibSystemFacts facts;
  facts.strComputerName = machine.computerName;
  facts.OSVI.dwMajorVersion = machine.version.major;
  facts.OSVI.dwMinorVersion = machine.version.minor;
  facts.OSVI.dwBuildNumber = machine.version.build;
  facts.dwNumberOfProcessors = machine.processorCount;
  facts.OSNS = machine.osNames;
  saved.Restore();
  return facts;
}

}  // namespace

// Gathered on first use rather than at load time: a program chooses its
// machine in main, after this library is loaded.
const MestraLibSystemFacts& MestraLibFacts() {
  static const MestraLibSystemFacts facts = Gather();
  return facts;
}

bool IsElevated() {
  const platform::SavedErrors saved;
  const bool elevated = platform::GetSystemFacts().elevated;
  saved.Restore();
  return elevated;
}
