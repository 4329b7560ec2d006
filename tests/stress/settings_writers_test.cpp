// Two processes write the same program's settings file at once while this
// process reads the file over and over. Every read finds a whole file that
// parses, and no temporary file is left beside it. Writing their own entries
// one at a time, the processes lose none of each other's values; storing
// VNTest's interface settings, each a complete version of its own, they leave
// the file holding one whole version at every moment.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <set>
#include <string>

#include "common/ini_store.h"
#include "platform/process.h"
#include "platform/sync.h"
#include "stress_support.h"

namespace fs = std::filesystem;

namespace {

constexpr int kWrites = 300;

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

DWORD NumberOf(const platform::ini::Document& document, const char* entry) {
  const platform::ProfileValue* value = document.Find("Settings", entry);
  return value != nullptr ? value->number : 0;
}

// A folder of its own as XDG_CONFIG_HOME, on the real machine's settings.
class SettingsWriters : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "settings-stress-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    home_ = pattern;
    setenv("XDG_CONFIG_HOME", home_.c_str(), 1);
    unsetenv("MORVANE_PLATFORM");
  }
  void TearDown() override { fs::remove_all(home_); }

  // Reads `file` over and over while both `writers` run, handing each text to
  // `check`; then checks that both ended with status 0.
  template <typename Check>
  void ReadWhileTheyWrite(HANDLE (&writers)[2], const fs::path& file, stress::Watchdog& watchdog, Check check) {
    ASSERT_NE(writers[0], nullptr);
    ASSERT_NE(writers[1], nullptr);
    auto running = [](HANDLE process) { return platform::WaitForSingleObject(process, 0) == WAIT_TIMEOUT; };
    auto readOnce = [&] {
      std::error_code ec;
      if (!fs::exists(file, ec)) return;
      check(ReadFile(file));
      if (++reads_ % 100 == 0) watchdog.Progress("read " + std::to_string(reads_));
    };
    while (running(writers[0]) || running(writers[1])) readOnce();
    readOnce();
    for (HANDLE writer : writers) {
      DWORD code = 99;
      ASSERT_TRUE(platform::GetExitCodeProcess(writer, &code));
      EXPECT_EQ(code, 0u);
      platform::CloseHandle(writer);
    }
    int others = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(file.parent_path())) {
      if (entry.path() != file) ++others;
    }
    EXPECT_EQ(others, 0) << "temporary files left beside the settings";
  }

  fs::path home_;
  int reads_ = 0;
};

TEST_F(SettingsWriters, TwoProcessesWritingTheirOwnValuesLoseNone) {
  stress::Watchdog watchdog("SettingsWriters", std::chrono::seconds(300));
  const fs::path file = home_ / "Morvane" / "Stress.ini";
  const stress::ResourceBaseline baseline;

  HANDLE writers[2] = {
      platform::StartProcess("stress_profile_writer", {"Stress", "A", std::to_string(kWrites)}, STRESS_BIN_DIR),
      platform::StartProcess("stress_profile_writer", {"Stress", "B", std::to_string(kWrites)}, STRESS_BIN_DIR),
  };

  int torn = 0, backwards = 0, mismatched = 0;
  DWORD lastA = 0, lastB = 0;
  std::string firstTorn;
  auto check = [&](const std::string& text) {
    platform::ini::Document document;
    std::string why;
    if (!platform::ini::Parse(text, &document, &why)) {
      if (++torn == 1) firstTorn = why + "\n" + text;
      return;
    }
    const DWORD a = NumberOf(document, "A"), b = NumberOf(document, "B");
    if (a < lastA || b < lastB) ++backwards;
    lastA = a;
    lastB = b;
    // Each number's text is written right after it: the file holds the
    // text of this number or of the one before.
    for (const char* entry : {"A", "B"}) {
      const DWORD n = NumberOf(document, entry);
      const platform::ProfileValue* text = document.Find("Settings", std::string(entry) + "Text");
      if (n == 0) continue;
      const std::size_t length = text != nullptr ? text->text.size() : 0;
      if (length != n % 300 && length != (n - 1) % 300) ++mismatched;
    }
  };
  ReadWhileTheyWrite(writers, file, watchdog, check);

  EXPECT_EQ(torn, 0) << firstTorn;
  EXPECT_EQ(backwards, 0);
  EXPECT_EQ(mismatched, 0);
  EXPECT_EQ(lastA, static_cast<DWORD>(kWrites));
  EXPECT_EQ(lastB, static_cast<DWORD>(kWrites));
  std::string why;
  EXPECT_TRUE(baseline.Restored(&why)) << why;
  std::printf("%d reads of the file while it was written %d times\n", reads_, 4 * kWrites);
}

// The writer and round a stored value names ("10.W.H.L", "02-01-0W-00-HH-LL"),
// or 0 when it names none.
int VersionOf(const std::string& text) {
  unsigned a = 0, w = 0, h = 0, l = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%u.%u.%u.%u%c", &a, &w, &h, &l, &tail) != 4 &&
      std::sscanf(text.c_str(), "02-%x-%x-00-%x-%x%c", &a, &w, &h, &l, &tail) != 4) {
    return 0;
  }
  return static_cast<int>(w << 16 | h << 8 | l);
}

TEST_F(SettingsWriters, TwoProgramsStoringTheirSettingsLeaveOneWholeVersion) {
  stress::Watchdog watchdog("SettingsWriters", std::chrono::seconds(300));
  const fs::path file = home_ / "Morvane" / "VNTest64UD.ini";
  HANDLE writers[2] = {
      platform::StartProcess("stress_settings_store_writer", {"1", std::to_string(kWrites)}, STRESS_BIN_DIR),
      platform::StartProcess("stress_settings_store_writer", {"2", std::to_string(kWrites)}, STRESS_BIN_DIR),
  };
  static const char* const kTexts[] = {
      "Interface1_strInterface_IPAddr",  "Interface1_strAdapter_IPAddr",  "Interface2_strInterface_IPAddr",
      "Interface2_strAdapter_IPAddr",    "Interface1_strInterface_MACAddr", "Interface1_strAdapter_MACAddr",
      "Interface2_strInterface_MACAddr", "Interface2_strAdapter_MACAddr"};
  int torn = 0, mixed = 0, backwards = 0;
  int last[3] = {0, 0, 0};  // per writer, the last round seen
  int final = 0;
  std::string firstMixed;
  auto check = [&](const std::string& text) {
    platform::ini::Document document;
    std::string why;
    if (!platform::ini::Parse(text, &document, &why)) {
      ++torn;
      return;
    }
    std::set<int> versions;
    for (const char* entry : kTexts) {
      const platform::ProfileValue* value = document.Find("Settings", entry);
      versions.insert(value != nullptr ? VersionOf(value->text) : -1);
    }
    const int version = *versions.begin();
    const int round = version & 0xFFFF;
    for (const char* mode : {"Interface1_bTAPMode", "Interface2_bTAPMode"}) {
      const platform::ProfileValue* value = document.Find("Settings", mode);
      const DWORD expected = (mode[9] == '1') == (round % 2 == 1) ? 1 : 0;
      if (value == nullptr || value->number != expected) versions.insert(-2);
    }
    if (versions.size() != 1 || version <= 0) {
      if (++mixed == 1) firstMixed = text;
      return;
    }
    const int writer = version >> 16;
    if (writer < 1 || writer > 2 || round < last[writer]) ++backwards;
    if (writer >= 1 && writer <= 2) last[writer] = round;
    final = version;
  };
  ReadWhileTheyWrite(writers, file, watchdog, check);

  EXPECT_EQ(torn, 0);
  EXPECT_EQ(mixed, 0) << firstMixed;
  EXPECT_EQ(backwards, 0);
  EXPECT_EQ(final & 0xFFFF, kWrites) << "the file ends with one writer's last version";
  std::printf("%d reads of the file while it was stored %d times\n", reads_, 2 * kWrites);
}

}  // namespace
