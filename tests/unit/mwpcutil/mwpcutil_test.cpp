// MWPCUtilD as MestraPack uses it: started as a child process in a folder of
// our own, its trace (MORVANE_TRACE) and exit code checked, its record read
// back with MestraPack's reader. Library installations are selected with
// MORVANE_SYSTEM_DIR; the stand-in library logs each PacketOpenAdapter call to
// MORVANE_PACKET_OPEN_LOG, which shows the character width of the name.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "mestralib/trace.h"
#include "platform/file.h"
#include "platform/machine.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "platform/sync.h"
#include "wpcinforec.h"
#include "wpcinforec_file.h"

namespace fs = std::filesystem;

namespace {

constexpr DWORD kChildBoundMs = 60000;  // generous: a missing file alone costs 2.25 s
constexpr DWORD kExitFailure = 255;     // the utility's -1

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void IgnoreTrace(const char*) {}

class MWPCUtilTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "mwpcutil-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    fs::current_path(dir_);
    // The test's own trace lines stay out of the child's file.
    MestraLibSetTraceSink(IgnoreTrace);
    setenv("MORVANE_TRACE", (dir_ / "trace.txt").c_str(), 1);
    setenv("MORVANE_PACKET_OPEN_LOG", (dir_ / "open.log").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);
    unsetenv("MORVANE_SYSTEM_DIR");
  }
  void TearDown() override {
    MestraLibSetTraceSink(nullptr);
    fs::current_path(fs::temp_directory_path());
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  static void UseInstallation(const fs::path& systemDir) {
    setenv("MORVANE_SYSTEM_DIR", systemDir.c_str(), 1);
  }
  static fs::path Variant(const char* name) { return fs::path(MWPCUTIL_VARIANTS_DIR) / name; }

  // Runs the utility to its end; returns its exit code.
  DWORD Run(const std::vector<std::string>& arguments) {
    HANDLE process = platform::StartProcess("MWPCUtilD.exe", arguments, MWPCUTIL_BIN_DIR);
    EXPECT_NE(process, nullptr) << "StartProcess: " << GetLastError();
    if (!process) return 0xDEAD;
    EXPECT_EQ(platform::WaitForSingleObject(process, kChildBoundMs), platform::WAIT_OBJECT_0);
    DWORD exitCode = 0xDEAD;
    EXPECT_TRUE(platform::GetExitCodeProcess(process, &exitCode));
    platform::CloseHandle(process);
    trace_ = ReadText(dir_ / "trace.txt");
    return exitCode;
  }

  bool Traced(const std::string& text) const { return trace_.find(text) != std::string::npos; }

  // The record file exactly as MestraPack creates it.
  HANDLE CreateLikeMestraPack(const std::string& name) {
    return platform::CreateFile(
        name.c_str(), platform::GENERIC_READ | platform::GENERIC_WRITE,
        platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE | platform::FILE_SHARE_DELETE,
        platform::CREATE_ALWAYS, platform::FILE_ATTRIBUTE_TEMPORARY | platform::FILE_FLAG_DELETE_ON_CLOSE);
  }

  // One acquisition as MestraPack does it; true when the record was accepted.
  bool Acquire(WPCINFOREC* record) {
    const std::string name = "MWPCUtil-" + std::to_string(platform::GetCurrentProcessId()) + ".dat";
    HANDLE file = CreateLikeMestraPack(name);
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    const DWORD exitCode = Run({"GetWinPCapInfo", name});
    if (exitCode != 0) {
      platform::CloseHandle(file);
      return false;
    }
    const bool accepted = ReadWpcInfoRecFile(file, "MWPCUtilD.exe", record);
    EXPECT_FALSE(fs::exists(fs::symlink_status(name))) << "the file lives only during one acquisition";
    return accepted;
  }

  std::string OpenLog() const { return ReadText(dir_ / "open.log"); }

  fs::path dir_;
  std::string trace_;
};

TEST_F(MWPCUtilTest, RequestAndArgumentChecks) {
  std::ofstream(dir_ / "F").flush();
  struct Case {
    std::vector<std::string> arguments;
    std::string line;
  };
  const std::vector<Case> cases = {
      {{}, "Unknown/unsupported request-name: \"\""},
      {{"GetWinPCapInfo"}, "GetWinPCapInfo: Invalid #of arguments!"},
      {{"GetWinPCapInfo", "F", "extra"}, "GetWinPCapInfo: Invalid #of arguments!"},
      {{"GetSomethingElse", "F"}, "Unknown/unsupported request-name: \"GetSomethingElse\""},
      {{"GetSomethingElse"}, "Unknown/unsupported request-name: \"GetSomethingElse\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    fs::remove(dir_ / "trace.txt");
    EXPECT_EQ(Run(c.arguments), kExitFailure);
    EXPECT_TRUE(Traced("WinPCap Information Utility, Version 3.9.0.6222-D, ")) << trace_;
    EXPECT_TRUE(Traced(c.line)) << trace_;
    EXPECT_TRUE(Traced("request FAILED!")) << trace_;
    EXPECT_FALSE(Traced("InitWinPCap")) << "no probe without a valid request";
  }
  EXPECT_EQ(fs::file_size(dir_ / "F"), 0u);
}

// The whole job: an empty file in the current directory, filled by the utility.
TEST_F(MWPCUtilTest, FillsAnEmptyFileInTheCurrentDirectory) {
  std::ofstream(dir_ / "F").flush();
  ASSERT_EQ(Run({"GetWinPCapInfo", "F"}), 0u) << trace_;
  const std::string bytes = ReadText(dir_ / "F");
  ASSERT_EQ(bytes.size(), 1348u);
  WPCINFOREC record;
  ASSERT_EQ(CheckWpcInfoRec(bytes.data(), bytes.size(), &record), WpcInfoRecCheck::kAccepted);
  EXPECT_EQ(WpcInfoRecText(record.sz9xDriverName), "");
  EXPECT_EQ(WpcInfoRecText(record.szLibraryName), "Packet.DLL");
  EXPECT_EQ(WpcInfoRecText(record.szLibraryVersion), "4.1.2 build 3000");
  EXPECT_EQ(WpcInfoRecText(record.szDriverVersion), "4.1.2 build 3000");
  EXPECT_EQ(WpcInfoRecText(record.szDeviceNamePrefix), "NPF_");
  EXPECT_EQ(record.vsLibraryFileInfo.dwFileVersionMS, 0x00040001u);
  EXPECT_EQ(record.vsLibraryFileInfo.dwFileVersionLS, 0x00020BB8u);
  EXPECT_EQ(record.wWinPCapMajorVersion, 4);
  EXPECT_EQ(record.wWinPCapMinorVersion, 1);
  EXPECT_EQ(record.dwIoCtlProtocolQueryOid, 0x80000004u);
  EXPECT_EQ(record.dwIoCtlProtocolSetOid, 0x80000000u);
  EXPECT_TRUE(Traced("argc=3, argv[1]=\"GetWinPCapInfo\" argv[2]=\"F\"")) << trace_;
  EXPECT_TRUE(Traced("AfxLoadLibrary() SUCCESS; g_strWinPCapDLLName = \"Packet.DLL\"; returning"));
  EXPECT_TRUE(Traced("CreateFile() succeeded after 1 tries"));
  EXPECT_TRUE(Traced("\"GetWinPCapInfo\" request SUCCESSFUL"));
  EXPECT_EQ(OpenLog(), "8-bit {dummy-adapter-name}\n");
}

TEST_F(MWPCUtilTest, MissingFileFailsAfterTenAttemptsAndIsNotCreated) {
  EXPECT_EQ(Run({"GetWinPCapInfo", "F"}), kExitFailure);
  EXPECT_TRUE(Traced("CreateFile(\"F\")...")) << trace_;
  EXPECT_TRUE(Traced("CreateFile() FAILED! g_dwLastError = (0x00000002): "));
  EXPECT_TRUE(Traced("Returning false!"));
  EXPECT_TRUE(Traced("\"GetWinPCapInfo\" request FAILED!"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(dir_ / "F")));
}

TEST_F(MWPCUtilTest, RefusesASymbolicLinkInPlaceOfTheFile) {
  std::ofstream(dir_ / "target").flush();
  fs::create_symlink(dir_ / "target", dir_ / "F");
  EXPECT_EQ(Run({"GetWinPCapInfo", "F"}), kExitFailure);
  EXPECT_TRUE(Traced("CreateFile() FAILED!")) << trace_;
  EXPECT_EQ(fs::file_size(dir_ / "target"), 0u) << "the link must not be followed";
  EXPECT_TRUE(fs::is_symlink(dir_ / "F"));
}

TEST_F(MWPCUtilTest, RefusesAFileWithAnotherNameAndLeavesBothAlone) {
  { std::ofstream(dir_ / "target") << "not a record"; }
  fs::create_hard_link(dir_ / "target", dir_ / "F");
  EXPECT_EQ(Run({"GetWinPCapInfo", "F"}), kExitFailure);
  EXPECT_TRUE(Traced("CreateFile(\"F\"): the file has 2 names; refused")) << trace_;
  EXPECT_TRUE(Traced("CreateFile() FAILED! g_dwLastError = (0x00000005): ")) << trace_;
  EXPECT_TRUE(Traced("\"GetWinPCapInfo\" request FAILED!"));
  EXPECT_FALSE(Traced("WriteFile()")) << "nothing is written";
  EXPECT_EQ(ReadText(dir_ / "target"), "not a record");
  EXPECT_EQ(fs::hard_link_count(dir_ / "F"), 2u);
}

// The record file that MestraPack makes is empty; a file that already holds
// data is not one, and the utility started with its name by hand must not
// overwrite it.
TEST_F(MWPCUtilTest, RefusesAFileThatAlreadyHoldsDataAndLeavesItAlone) {
  { std::ofstream(dir_ / "F") << "someone's data"; }
  EXPECT_EQ(Run({"GetWinPCapInfo", "F"}), kExitFailure);
  EXPECT_TRUE(Traced("CreateFile(\"F\"): the file already holds 14 bytes; refused")) << trace_;
  EXPECT_TRUE(Traced("CreateFile() FAILED! g_dwLastError = (0x00000005): ")) << trace_;
  EXPECT_FALSE(Traced("WriteFile()")) << "nothing is written";
  EXPECT_EQ(ReadText(dir_ / "F"), "someone's data");
}

TEST_F(MWPCUtilTest, NoLibraryInstalled) {
  fs::create_directories(dir_ / "system" / "drivers");
  UseInstallation(dir_ / "system");
  std::ofstream(dir_ / "F").flush();
  // A library in the current directory is never picked up.
  fs::copy_file(Variant("v40") / "Packet.DLL", dir_ / "Packet.DLL");
  EXPECT_EQ(Run({"GetWinPCapInfo", "F"}), kExitFailure);
  EXPECT_TRUE(Traced("trying alternate name")) << trace_;
  EXPECT_TRUE(Traced("AfxLoadLibrary(\"Npf.DLL\")... (alternate name)"));
  EXPECT_TRUE(Traced("Unable to determine WinPCap support library name! :("));
  EXPECT_TRUE(Traced("InitWinPCap() FAILED! Returning false!"));
  EXPECT_EQ(fs::file_size(dir_ / "F"), 0u) << "the file is not touched when the probe fails";
  EXPECT_EQ(OpenLog(), "");
}

struct Installation {
  const char* variant;
  const char* libraryName;
  const char* libraryVersion;
  const char* driverVersion;
  WORD major;
  WORD minor;
  const char* openedAs;
};

void PrintTo(const Installation& installation, std::ostream* out) { *out << installation.variant; }

class MWPCUtilInstallationTest : public MWPCUtilTest, public ::testing::WithParamInterface<Installation> {};

TEST_P(MWPCUtilInstallationTest, RecordDescribesTheInstallation) {
  const Installation& expected = GetParam();
  UseInstallation(Variant(expected.variant));
  WPCINFOREC record;
  ASSERT_TRUE(Acquire(&record)) << trace_;
  EXPECT_EQ(WpcInfoRecText(record.szLibraryName), expected.libraryName);
  EXPECT_EQ(WpcInfoRecText(record.szLibraryVersion), expected.libraryVersion);
  EXPECT_EQ(WpcInfoRecText(record.szDriverVersion), expected.driverVersion);
  EXPECT_EQ(WpcInfoRecText(record.szDeviceNamePrefix), "NPF_");
  EXPECT_EQ(WpcInfoRecText(record.sz9xDriverName), "");
  EXPECT_EQ(record.wWinPCapMajorVersion, expected.major);
  EXPECT_EQ(record.wWinPCapMinorVersion, expected.minor);
  EXPECT_EQ(record.vsLibraryFileInfo.dwFileVersionMS, (DWORD{expected.major} << 16) | expected.minor);
  EXPECT_EQ(record.dwIoCtlProtocolQueryOid, 0x80000004u);
  EXPECT_EQ(record.dwIoCtlProtocolSetOid, 0x80000000u);
  EXPECT_EQ(OpenLog(), std::string(expected.openedAs) + " {dummy-adapter-name}\n");
}

INSTANTIATE_TEST_SUITE_P(
    Variants, MWPCUtilInstallationTest,
    ::testing::Values(
        // 2.2: no PacketGetVersion call (the file version is the text), too old for a driver version.
        Installation{"v22", "Packet.DLL", "2.2.0.22", "", 2, 2, "UTF-16"},
        Installation{"v30", "Packet.DLL", "3.0 build 30", "3.0 build 30", 3, 0, "UTF-16"},
        Installation{"v31", "Packet.DLL", "3.1 build 31", "3.1 build 31", 3, 1, "8-bit"},
        Installation{"v40", "Packet.DLL", "4.0 build 40", "4.0 build 40", 4, 0, "8-bit"},
        // An empty driver-version text: the driver file's version instead.
        Installation{"nodrvtext", "Packet.DLL", "4.1.2 build 3000", "4.1.2.3001", 4, 1, "8-bit"},
        Installation{"nogetversion", "Packet.DLL", "4.1.2.3000", "4.1.2 build 3000", 4, 1, "8-bit"},
        // Both version calls throw: the file versions of the library and the driver file.
        Installation{"throwing", "Packet.DLL", "4.1.2.3000", "4.1.2.3001", 4, 1, "8-bit"},
        Installation{"npfname", "Npf.DLL", "4.1.2 build 3000", "4.1.2 build 3000", 4, 1, "8-bit"}),
    [](const ::testing::TestParamInfo<Installation>& info) { return std::string(info.param.variant); });

// Why a text fell back, as the trace tells it.
TEST_F(MWPCUtilTest, FallbacksAreTraced) {
  WPCINFOREC record;
  UseInstallation(Variant("v22"));
  ASSERT_TRUE(Acquire(&record)) << trace_;
  EXPECT_TRUE(Traced("g_wWinPCapMajorVersion < 3! You're using a too old version of WinPCap!")) << trace_;
  EXPECT_FALSE(Traced("GetProcAddress(\"PacketGetVersion\")")) << "no such call before 2.3";
  EXPECT_FALSE(Traced("GetProcAddress(\"PacketGetDriverVersion\")"));

  fs::remove(dir_ / "trace.txt");
  UseInstallation(Variant("nogetversion"));
  ASSERT_TRUE(Acquire(&record)) << trace_;
  EXPECT_TRUE(Traced("GetProcAddress(\"PacketGetVersion\")...\n")) << trace_;
  EXPECT_TRUE(Traced("GetProcAddress() FAILED! GetLastError = 0x0000007F: "));

  fs::remove(dir_ / "trace.txt");
  UseInstallation(Variant("throwing"));
  ASSERT_TRUE(Acquire(&record)) << trace_;
  EXPECT_TRUE(Traced("PacketGetVersion() FAILED! GetLastError = 0x")) << trace_;
  EXPECT_TRUE(Traced("PacketGetDriverVersion() FAILED! GetLastError = 0x"));
  EXPECT_TRUE(Traced("g_strWinPCapDLLVersion = \"4.1.2.3000\"; returning true"));
}

// The driver file under its older name, and no driver file at all, when the
// library gives no driver-version text.
TEST_F(MWPCUtilTest, DriverFileFallbacks) {
  const fs::path system = dir_ / "system";
  fs::create_directories(system / "drivers");
  fs::copy_file(Variant("nodrvtext") / "Packet.DLL", system / "Packet.DLL");
  fs::copy_file(Variant("nodrvtext") / "drivers" / "npf.sys", system / "drivers" / "packet.sys");
  UseInstallation(system);

  WPCINFOREC record;
  ASSERT_TRUE(Acquire(&record)) << trace_;
  EXPECT_EQ(WpcInfoRecText(record.szDriverVersion), "4.1.2.3001");
  EXPECT_TRUE(Traced("Retrying with older name...")) << trace_;
  EXPECT_TRUE(Traced("/drivers/packet.sys\")..."));
  EXPECT_TRUE(Traced("GetFileVersionInfo() SUCCESS"));

  fs::remove(system / "drivers" / "packet.sys");
  fs::remove(dir_ / "trace.txt");
  ASSERT_TRUE(Acquire(&record)) << trace_;
  EXPECT_EQ(WpcInfoRecText(record.szDriverVersion), "") << "no driver version is no failure";
  EXPECT_TRUE(Traced("Both attempts failed! WinPCap device driver version unavailable!")) << trace_;
  EXPECT_TRUE(Traced("g_strWinPCapDriverVersion = \"\""));
}

TEST_F(MWPCUtilTest, DebugPauseSetting) {
  if (platform::CurrentMachineKind() != platform::MachineKind::kLinux) GTEST_SKIP() << "settings live in memory";
  std::ofstream(dir_ / "F").flush();
  ASSERT_EQ(Run({"GetWinPCapInfo", "F"}), 0u);
  EXPECT_FALSE(Traced("Attach debugger NOW!")) << "an absent value does not pause";

  ASSERT_TRUE(platform::Profile("Morvane", "MWPCUtil").WriteInt("Settings", "MWPCUtilDebugPause", 1));
  fs::remove(dir_ / "trace.txt");
  std::ofstream(dir_ / "F").flush();  // a fresh record file, as MestraPack makes one each time
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(Run({"GetWinPCapInfo", "F"}), 0u);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << "the pause is in seconds";
  EXPECT_TRUE(Traced("Attach debugger NOW! (if desired)...")) << trace_;
}

}  // namespace
