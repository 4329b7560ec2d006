// Loading libraries by name: next to the program, in the system directory,
// through the loader; never from the current directory.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/lasterror.h"
#include "platform/module.h"
#include "platform/winerror.h"

namespace machine_test {
namespace {

namespace fs = std::filesystem;
using namespace platform;

constexpr const char* kVersionedName = "libplatform_machine_versioned.so";

struct ProbeResult {
  int exitCode = -1;
  bool constructorRan = false;
};

// Runs the load probe for `name` with `folder` as its current directory and
// `environment` as its whole environment.
ProbeResult RunProbe(const fs::path& folder, const std::string& name, std::vector<std::string> environment) {
  fs::path marker = folder / "constructor-ran";
  fs::remove(marker);
  environment.push_back("MORVANE_TEST_PLANT_MARKER=" + marker.string());
  pid_t child = ::fork();
  if (child == 0) {
    std::vector<char*> env;
    for (std::string& entry : environment) env.push_back(entry.data());
    env.push_back(nullptr);
    if (::chdir(folder.c_str()) != 0) ::_exit(100);
    std::string probe = LOAD_PROBE;
    char* argv[] = {probe.data(), const_cast<char*>(name.c_str()), nullptr};
    ::execve(argv[0], argv, env.data());
    ::_exit(101);
  }
  ProbeResult result;
  int status = 0;
  if (child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  result.constructorRan = fs::exists(marker);
  return result;
}

class PlantedLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/morvane-module-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    folder_ = pattern;
    fs::copy_file(VERSIONED_LIB, folder_ / "libplanted_probe.so");
  }
  void TearDown() override { fs::remove_all(folder_); }
  fs::path folder_;
};

TEST_F(PlantedLibrary, IsNeverTakenFromTheCurrentDirectory) {
  // An empty LD_LIBRARY_PATH entry makes the loader itself look in the
  // current directory; the library must still not be loaded (nor run).
  for (const char* search : {"LD_LIBRARY_PATH=:/nonexistent", "LD_LIBRARY_PATH=.", "LD_LIBRARY_PATH=/nonexistent::"}) {
    ProbeResult result = RunProbe(folder_, "libplanted_probe.so", {search, "MORVANE_SYSTEM_DIR=/nonexistent"});
    EXPECT_EQ(result.exitCode, 3) << search;
    EXPECT_FALSE(result.constructorRan) << search;
  }
  ProbeResult plain = RunProbe(folder_, "libplanted_probe.so", {"MORVANE_SYSTEM_DIR=/nonexistent"});
  EXPECT_EQ(plain.exitCode, 3);
  EXPECT_FALSE(plain.constructorRan);
}

TEST_F(PlantedLibrary, IsFoundInTheSystemDirectoryOrByPath) {
  fs::path system = folder_ / "system";
  fs::create_directory(system);
  fs::copy_file(folder_ / "libplanted_probe.so", system / "libplanted_probe.so");
  fs::path elsewhere = folder_ / "elsewhere";
  fs::create_directory(elsewhere);
  ProbeResult fromSystem = RunProbe(elsewhere, "libplanted_probe.so", {"MORVANE_SYSTEM_DIR=" + system.string()});
  EXPECT_EQ(fromSystem.exitCode, 0);
  EXPECT_TRUE(fromSystem.constructorRan);

  // An explicit path is the caller's choice, also a relative one.
  ProbeResult byPath = RunProbe(folder_, "./libplanted_probe.so", {"MORVANE_SYSTEM_DIR=/nonexistent"});
  EXPECT_EQ(byPath.exitCode, 0);
  EXPECT_TRUE(byPath.constructorRan);
}

TEST(Modules, LoadFindFreeAndName) {
  HMODULE module = LoadLibrary(kVersionedName);  // found next to the test program
  ASSERT_NE(module, nullptr) << GetLastError();
  EXPECT_EQ(GetModuleFileName(module), fs::canonical(VERSIONED_LIB).string());
  auto answer = reinterpret_cast<int (*)()>(GetProcAddress(module, "platform_machine_versioned_answer"));
  ASSERT_NE(answer, nullptr);
  EXPECT_EQ(answer(), 42);
  EXPECT_EQ(GetProcAddress(module, "no_such_symbol"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);

  HMODULE again = LoadLibrary(kVersionedName);
  EXPECT_EQ(again, module);
  EXPECT_TRUE(FreeLibrary(again));
  EXPECT_NE(GetProcAddress(module, "platform_machine_versioned_answer"), nullptr);  // one reference left
  EXPECT_TRUE(FreeLibrary(module));
  EXPECT_FALSE(FreeLibrary(module));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  EXPECT_EQ(GetProcAddress(module, "platform_machine_versioned_answer"), nullptr);
  EXPECT_EQ(GetModuleFileName(module), "");
}

TEST(Modules, MissingAndBadLibrariesFailWithTheirCodes) {
  EXPECT_EQ(LoadLibrary("libno_such_library_anywhere.so"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
  EXPECT_EQ(LoadLibrary("/nonexistent/libx.so"), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);

  char pattern[] = "/tmp/morvane-notelf-XXXXXX";
  int fd = ::mkstemp(pattern);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, "not a library\n", 14), 14);
  ::close(fd);
  EXPECT_EQ(LoadLibrary(pattern), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_BAD_EXE_FORMAT);
  ::unlink(pattern);
}

TEST(Modules, SystemDirectoryFollowsTheEnvironment) {
  ::setenv("MORVANE_SYSTEM_DIR", "/opt/morvane-test/system", 1);
  EXPECT_EQ(SystemDirectory(), "/opt/morvane-test/system");
  ::unsetenv("MORVANE_SYSTEM_DIR");
  EXPECT_EQ(SystemDirectory(), (fs::canonical(PLATFORM_LIB).parent_path() / "system").string());
}

}  // namespace
}  // namespace machine_test
