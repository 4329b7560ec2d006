// Two processes write the same program's settings file at once, each its own
// entries, many times, while this process reads the file over and over. Every
// read finds a whole file that parses, the numbers never go back, and at the
// end both writers' last values are there: no write lost the other's, and no
// temporary file is left beside it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
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

TEST(SettingsWriters, TwoProcessesWritingOneFileLoseNothing) {
  stress::Watchdog watchdog("SettingsWriters", std::chrono::seconds(300));
  std::string pattern = (fs::temp_directory_path() / "settings-stress-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  const fs::path home = pattern;
  setenv("XDG_CONFIG_HOME", home.c_str(), 1);
  unsetenv("MORVANE_PLATFORM");  // the settings files of the real machine
  const fs::path file = home / "Morvane" / "Stress.ini";
  const stress::ResourceBaseline baseline;

  HANDLE writers[2] = {
      platform::StartProcess("stress_profile_writer", {"Stress", "A", std::to_string(kWrites)}, STRESS_BIN_DIR),
      platform::StartProcess("stress_profile_writer", {"Stress", "B", std::to_string(kWrites)}, STRESS_BIN_DIR),
  };
  ASSERT_NE(writers[0], nullptr);
  ASSERT_NE(writers[1], nullptr);

  int reads = 0, torn = 0, backwards = 0, mismatched = 0;
  DWORD lastA = 0, lastB = 0;
  std::string firstTorn;
  auto check = [&] {
    std::error_code ec;
    if (!fs::exists(file, ec)) return;
    const std::string text = ReadFile(file);
    platform::ini::Document document;
    std::string why;
    ++reads;
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
  auto running = [](HANDLE process) { return platform::WaitForSingleObject(process, 0) == WAIT_TIMEOUT; };
  while (running(writers[0]) || running(writers[1])) {
    check();
    if (reads % 100 == 0) watchdog.Progress("read " + std::to_string(reads));
  }
  check();
  for (HANDLE writer : writers) {
    DWORD code = 99;
    ASSERT_TRUE(platform::GetExitCodeProcess(writer, &code));
    EXPECT_EQ(code, 0u);
    platform::CloseHandle(writer);
  }

  EXPECT_EQ(torn, 0) << firstTorn;
  EXPECT_EQ(backwards, 0);
  EXPECT_EQ(mismatched, 0);
  EXPECT_EQ(lastA, static_cast<DWORD>(kWrites));
  EXPECT_EQ(lastB, static_cast<DWORD>(kWrites));
  int others = 0;
  for (const fs::directory_entry& entry : fs::directory_iterator(file.parent_path())) {
    if (entry.path() != file) ++others;
  }
  EXPECT_EQ(others, 0) << "temporary files left beside the settings";
  std::string why;
  EXPECT_TRUE(baseline.Restored(&why)) << why;
  std::printf("%d reads of the file while it was written %d times\n", reads, 4 * kWrites);
  fs::remove_all(home);
}

}  // namespace
