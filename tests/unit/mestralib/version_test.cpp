#include "mestralib/version.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

#include "mestralib/sysfacts.h"
#include "platform/sysinfo.h"
#include "platform/winerror.h"

namespace {

bool AllZero(const platform::VS_FIXEDFILEINFO& fixed) {
  static const platform::VS_FIXEDFILEINFO zero{};
  return std::memcmp(&fixed, &zero, sizeof fixed) == 0;
}

TEST(MestraLibVersion, TheTextAndTheNumbersMatchTheLibrarysResource) {
  int major = -1, inter = -1, minor = -1, build = -1;
  MestraLibVersion(&major, &inter, &minor, &build);
  EXPECT_EQ(major, 9);
  EXPECT_EQ(inter, 0);
  EXPECT_EQ(minor, 1);
  EXPECT_EQ(build, 90);
  const std::string text = MestraLibVersion();
  EXPECT_NE(text.find("9.0.1.90"), std::string::npos) << text;
  ASSERT_NE(text.find("Copyright"), std::string::npos) << text;

  CModuleVersion version;
  ASSERT_TRUE(version.GetFileVersionInfo(std::string(MESTRALIB_FILE))) << GetLastError();
  EXPECT_EQ(version.FixedInfo().dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(version.FixedInfo().dwFileVersionMS, DWORD(major) << 16 | DWORD(inter));
  EXPECT_EQ(version.FixedInfo().dwFileVersionLS, DWORD(minor) << 16 | DWORD(build));
  EXPECT_EQ(version.FileVersionText(), "9.0.1.90");
  // The notice a report prints is the text from "Copyright" on.
  EXPECT_EQ(text.substr(text.find("Copyright")), version.QueryValue("LegalCopyright"));
  EXPECT_EQ(version.QueryValue("NoSuchValue"), "");
}

TEST(CModuleVersion, ReadsALoadedModule) {
  HMODULE module = platform::LoadLibrary(MESTRALIB_FILE);
  ASSERT_NE(module, nullptr) << GetLastError();
  CModuleVersion version;
  EXPECT_TRUE(version.GetFileVersionInfo(module)) << GetLastError();
  EXPECT_EQ(version.FileVersionText(), "9.0.1.90");
  platform::FreeLibrary(module);
}

TEST(CModuleVersion, AFailedReadLeavesNoOldVersionBehind) {
  CModuleVersion version;
  ASSERT_TRUE(version.GetFileVersionInfo(std::string(MESTRALIB_FILE)));
  ASSERT_FALSE(AllZero(version.FixedInfo()));

  std::random_device random;
  const auto dir = std::filesystem::temp_directory_path() / ("mestralib-version-" + std::to_string(random()));
  std::filesystem::create_directories(dir);
  SetLastError(0);
  EXPECT_FALSE(version.GetFileVersionInfo((dir / "missing.so").string()));
  EXPECT_NE(GetLastError(), 0u);
  EXPECT_TRUE(AllZero(version.FixedInfo()));
  EXPECT_EQ(version.QueryValue("LegalCopyright"), "");
  EXPECT_EQ(version.FileVersionText(), "0.0.0.0");

  ASSERT_TRUE(version.GetFileVersionInfo(std::string(MESTRALIB_FILE)));
  { std::ofstream(dir / "not-a-binary.so") << "plain text, no version here\n"; }
  SetLastError(0);
  EXPECT_FALSE(version.GetFileVersionInfo((dir / "not-a-binary.so").string()));
  EXPECT_NE(GetLastError(), 0u);
  EXPECT_TRUE(AllZero(version.FixedInfo()));
  std::filesystem::remove_all(dir);
}

TEST(MestraLibFacts, GatheredOnceFromTheMachine) {
  platform::SetErrors(ERROR_NOT_FOUND, kErrnoTimedOut);
  const MestraLibSystemFacts& facts = MestraLibFacts();
  EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
  EXPECT_EQ(errno, kErrnoTimedOut);
  EXPECT_EQ(&facts, &MestraLibFacts());

  const platform::SystemFacts& machine = platform::GetSystemFacts();
  EXPECT_EQ(facts.strComputerName, machine.computerName);
  EXPECT_EQ(facts.OSVI.dwMajorVersion, machine.version.major);
  EXPECT_EQ(facts.OSVI.dwMinorVersion, machine.version.minor);
  EXPECT_EQ(facts.OSVI.dwBuildNumber, machine.version.build);
  EXPECT_EQ(facts.dwNumberOfProcessors, machine.processorCount);
  EXPECT_GE(facts.dwNumberOfProcessors, 1u);
  EXPECT_EQ(facts.OSNS, machine.osNames);
  EXPECT_FALSE(facts.OSNS[0].empty());
  EXPECT_EQ(IsElevated(), machine.elevated);
}

}  // namespace
