// Per-user settings: typed values through the real machine's file store, a
// damaged file, and the settings text's rules.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "common/ini_store.h"
#include "fake_machine.h"
#include "linux/linux_parts.h"
#include "platform/lasterror.h"
#include "platform/profile.h"
#include "platform/trace_hook.h"

namespace machine_test {
namespace {

namespace fs = std::filesystem;

std::mutex g_traceLock;
std::vector<std::string> g_trace;

void CaptureTrace(const char* line) {
  std::lock_guard lock(g_traceLock);
  g_trace.emplace_back(line);
}

std::string ReadText(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// Each case gets its own XDG_CONFIG_HOME and a machine whose settings store
// is the real machine's file store.
class Settings : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/morvane-settings-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    home_ = pattern;
    const char* old = std::getenv("XDG_CONFIG_HOME");
    if (old) oldHome_ = old;
    hadHome_ = old != nullptr;
    ::setenv("XDG_CONFIG_HOME", home_.c_str(), 1);
    FreshStore();
    g_trace.clear();
    SetTraceHook(&CaptureTrace);
  }
  void TearDown() override {
    SetTraceHook(nullptr);
    machine_.reset();
    if (hadHome_) {
      ::setenv("XDG_CONFIG_HOME", oldHome_.c_str(), 1);
    } else {
      ::unsetenv("XDG_CONFIG_HOME");
    }
    fs::remove_all(home_);
  }
  // A new store: what it reads comes from the disk, not from memory.
  void FreshStore() {
    machine_.reset();
    machine_ = std::make_unique<WithFakeMachine>();
    (*machine_)->profiles = linuxhost::MakeProfileStore();
  }
  fs::path File() const { return home_ / "Morvane" / "VNTest.ini"; }

  fs::path home_;
  std::string oldHome_;
  bool hadHome_ = false;
  std::unique_ptr<WithFakeMachine> machine_;
};

TEST_F(Settings, TypedValuesSurviveARoundTripThroughTheFile) {
  const std::string odd = "a \"quoted\" \\ back\nslash\ttab\r=;[x] #\x01\x7f caf\xC3\xA9 ";
  const std::vector<BYTE> binary = {0x00, 0x01, 0xFF, '\n', '"', 0x2C};
  {
    Profile profile("Morvane", "VNTest");
    ASSERT_TRUE(profile.WriteInt("Settings", "PingDataSize", 0xFFFFFFFF));
    ASSERT_TRUE(profile.WriteString("Settings", "WhoPingName", odd));
    ASSERT_TRUE(profile.WriteString("Settings", "Empty", ""));
    ASSERT_TRUE(profile.WriteBinary("Settings", "Pattern", binary));
    ASSERT_TRUE(profile.WriteBinary("Other", "Nothing", {}));
    ASSERT_TRUE(profile.WriteInt("Settings", "pingdatasize", 32));  // same value, other spelling
  }
  FreshStore();
  Profile profile("Morvane", "VNTest");
  EXPECT_EQ(profile.GetInt("Settings", "PingDataSize", 7), 32u);
  EXPECT_EQ(profile.GetString("settings", "WHOPINGNAME", "default"), odd);
  EXPECT_EQ(profile.GetString("Settings", "Empty", "default"), "");
  std::vector<BYTE> read;
  ASSERT_TRUE(profile.GetBinary("Settings", "Pattern", &read));
  EXPECT_EQ(read, binary);
  ASSERT_TRUE(profile.GetBinary("Other", "Nothing", &read));
  EXPECT_TRUE(read.empty());

  // Absent values and values of another kind read as the default.
  EXPECT_EQ(profile.GetInt("Settings", "NumPings", 3), 3u);
  EXPECT_EQ(profile.GetInt("Settings", "WhoPingName", 3), 3u);
  EXPECT_EQ(profile.GetString("Settings", "PingDataSize", "x"), "x");
  EXPECT_FALSE(profile.GetBinary("Settings", "PingDataSize", &read));
  EXPECT_EQ(Profile("Morvane", "MWPCUtilD").GetInt("Settings", "PingDataSize", 5), 5u);

  // Only the file itself is left in the folder: no temporary files.
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(File().parent_path())) names.push_back(entry.path().filename());
  EXPECT_EQ(names, std::vector<std::string>{"VNTest.ini"});
  EXPECT_TRUE(g_trace.empty());
}

TEST_F(Settings, DamagedFileIsReportedReadAsAbsentAndKeptUntilAWrite) {
  fs::create_directories(File().parent_path());
  const std::string damaged = "[Settings]\nPingDataSize=dword:00000040\nNumPings=7\n";
  std::ofstream(File(), std::ios::binary) << damaged;

  Profile profile("Morvane", "VNTest");
  EXPECT_EQ(profile.GetInt("Settings", "PingDataSize", 32), 32u);  // the whole file counts as absent
  EXPECT_EQ(profile.GetInt("Settings", "NumPings", 3), 3u);
  ASSERT_EQ(g_trace.size(), 1u);  // reported once, not on every read
  EXPECT_NE(g_trace[0].find(File().string()), std::string::npos);
  EXPECT_NE(g_trace[0].find("line 3"), std::string::npos);
  EXPECT_EQ(ReadText(File()), damaged);

  ASSERT_TRUE(profile.WriteInt("Settings", "NumPings", 5));
  EXPECT_EQ(profile.GetInt("Settings", "NumPings", 3), 5u);
  EXPECT_EQ(profile.GetInt("Settings", "PingDataSize", 32), 32u);
  EXPECT_EQ(ReadText(File().string() + ".bad"), damaged);  // what it held is kept

  FreshStore();
  EXPECT_EQ(Profile("Morvane", "VNTest").GetInt("Settings", "NumPings", 3), 5u);
}

TEST_F(Settings, OversizedFileIsSetAsideWhole) {
  fs::create_directories(File().parent_path());
  const std::string huge = "[Settings]\n" + std::string(ini::kMaxFileBytes, ';') + "\n";
  std::ofstream(File(), std::ios::binary) << huge;
  Profile profile("Morvane", "VNTest");
  EXPECT_EQ(profile.GetInt("Settings", "NumPings", 3), 3u);
  ASSERT_TRUE(profile.WriteInt("Settings", "NumPings", 4));
  EXPECT_EQ(ReadText(File().string() + ".bad"), huge);
  EXPECT_EQ(profile.GetInt("Settings", "NumPings", 3), 4u);
}

TEST_F(Settings, NamesTheFileCannotHoldAreRefusedAndChangeNothing) {
  Profile profile("Morvane", "VNTest");
  for (const char* name : {"", "a=b", "[x]", ";comment", " padded", "line\nbreak"}) {
    EXPECT_FALSE(profile.WriteInt("Settings", name, 1)) << name;
    EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
    EXPECT_FALSE(profile.WriteInt(name, "Entry", 1)) << name;
  }
  EXPECT_FALSE(Profile("Morvane", "../escape").WriteInt("Settings", "Entry", 1));
  EXPECT_FALSE(fs::exists(File().parent_path()));
}

// A group goes into the file whole, or, when one of its names is one the file
// cannot hold, not at all.
TEST_F(Settings, AGroupOfValuesIsWrittenWholeOrNotAtAll) {
  Profile profile("Morvane", "VNTest");
  ASSERT_TRUE(profile.WriteEntries("Settings", {NumberEntry("NumPings", 7), TextEntry("WhoPingName", "peer")}));
  FreshStore();
  EXPECT_EQ(profile.GetInt("Settings", "NumPings", 3), 7u);
  EXPECT_EQ(profile.GetString("Settings", "WhoPingName", ""), "peer");
  const std::string before = ReadText(File());

  EXPECT_FALSE(profile.WriteEntries("Settings", {NumberEntry("NumPings", 9), TextEntry("a=b", "x")}));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
  EXPECT_EQ(ReadText(File()), before);
  FreshStore();
  EXPECT_EQ(profile.GetInt("Settings", "NumPings", 3), 7u);
}

TEST_F(Settings, SimulatedMachineKeepsValuesInMemory) {
  WithFakeMachine sim;  // its store is the in-memory one
  Profile profile("Morvane", "VNTest");
  ASSERT_TRUE(profile.WriteString("Settings", "WhoPingName", "peer"));
  EXPECT_EQ(profile.GetString("SETTINGS", "whopingname", ""), "peer");
  EXPECT_FALSE(fs::exists(File()));
}

TEST(SettingsText, AcceptsOnlyTheExactForms) {
  ini::Document document;
  std::string error;
  ASSERT_TRUE(ini::Parse("; note\r\n\n[S]\r\n a = dword:1 \nb=text:\"x\\x41\\\\\"\nc=hex:\n# end", &document, &error))
      << error;
  ASSERT_NE(document.Find("s", "A"), nullptr);
  EXPECT_EQ(document.Find("S", "a")->number, 1u);
  EXPECT_EQ(document.Find("S", "b")->text, "xA\\");
  EXPECT_TRUE(document.Find("S", "c")->binary.empty());

  const char* bad[] = {
      "a=dword:1\n",                    // value outside a section
      "[S]\na=dword:123456789\n",       // more than 32 bits
      "[S]\na=dword:\n",                // no digits
      "[S]\na=dword:1g\n",              // not hex
      "[S]\na=text:\"open\n",           // unterminated
      "[S]\na=text:\"bad \\q\"\n",      // unknown escape
      "[S]\na=text:\"short \\x4\"\n",   // half an escape
      "[S]\na=text:\"in\"side\"\n",     // raw quote
      "[S]\na=text:\"tab\there\"\n",    // raw control character
      "[S]\na=hex:0\n",                 // half a byte
      "[S]\na=hex:01,\n",               // dangling comma
      "[S]\na=hex:01 02\n",             // wrong separator
      "[S]\na=number:1\n",              // unknown kind
      "[S]\na=dword:1\nA=dword:2\n",    // the same value twice
      "[S]\n[s]\n",                     // the same section twice
      "[S\n",                           // unclosed section
      "[S]\njust text\n",               // neither
      "[S]\n=dword:1\n",                // no name
  };
  for (const char* text : bad) {
    ini::Document untouched;
    untouched.Set("Keep", "Me", ProfileValue{});
    EXPECT_FALSE(ini::Parse(text, &untouched, &error)) << text;
    EXPECT_NE(untouched.Find("Keep", "Me"), nullptr) << text;
    EXPECT_EQ(error.rfind("line ", 0), 0u) << error;
  }
  EXPECT_FALSE(ini::Parse(std::string(ini::kMaxFileBytes + 1, ';'), &document, &error));
}

}  // namespace
}  // namespace machine_test
