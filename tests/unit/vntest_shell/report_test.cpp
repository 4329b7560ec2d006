// The environment report's banners and the default gateway its network block
// leaves for the pre-test check, on simulated hosts. The whole report is
// compared with golden logs by the vntest end-to-end tests.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../vntest_log/test_window.h"
#include "platform/machine.h"
#include "platform/sim/sim_host.h"
#include "shell/banner.h"
#include "shell/discovery.h"
#include "shell/environment_report.h"
#include "shell/log.h"
#include "shell/settings_store.h"
#include "shell/vn32test_view.h"

namespace {

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  std::istringstream in(text);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

// Every banner: each line carries the prefix; the top and bottom lines are
// `width` asterisks; every other line is `width` wide, framed by "**"; the
// third centres the kind; the text keeps every word in order; an empty line
// ends it.
TEST(Banner, EveryBannerFitsItsBox) {
  const Banner* banners[] = {&kBannerNoWinPCap,        &kBannerNoAdapters,       &kBannerDefaultNotOpened,
                             &kBannerDefaultUnplugged, &kBannerDefaultNoPromisc, &kBannerDefaultLsoEnabled};
  const int widths[] = {65, 62, 60, 60, 62, 62};
  for (int i = 0; i < 6; ++i) {
    const Banner& banner = *banners[i];
    SCOPED_TRACE(banner.text);
    EXPECT_EQ(banner.width, widths[i]);
    const std::string prefix = BannerPrefix(banner.kind);
    const std::string text = FormatBanner(banner);
    ASSERT_GE(text.size(), 2u);
    EXPECT_EQ(text.substr(text.size() - 2), "\n\n");
    const std::vector<std::string> lines = SplitLines(text.substr(0, text.size() - 1));
    ASSERT_GE(lines.size(), 7u);
    std::string body;
    for (std::size_t n = 0; n < lines.size(); ++n) {
      const std::string& line = lines[n];
      ASSERT_EQ(line.compare(0, prefix.size(), prefix), 0) << line;
      const std::string box = line.substr(prefix.size());
      ASSERT_EQ(box.size(), static_cast<std::size_t>(banner.width)) << line;
      if (n == 0 || n + 1 == lines.size()) {
        EXPECT_EQ(box, std::string(banner.width, '*'));
        continue;
      }
      EXPECT_EQ(box.substr(0, 2), "**");
      EXPECT_EQ(box.substr(box.size() - 2), "**");
      if (n >= 4 && n + 2 < lines.size()) {
        EXPECT_EQ(box.substr(2, 2), "  ") << "margin: " << line;
        EXPECT_EQ(box.substr(box.size() - 4, 2), "  ") << "margin: " << line;
        body += box.substr(2, box.size() - 4) + " ";
      } else if (n != 2) {
        EXPECT_EQ(box.find_first_not_of(' ', 2), box.size() - 2) << "blank line: " << line;
      }
    }
    const std::string title = banner.kind == BannerKind::kError ? "***  ERROR  ***" : "*  WARNING  *";
    const std::string third = lines[2].substr(prefix.size());
    const std::size_t at = third.find(title);
    ASSERT_NE(at, std::string::npos) << third;
    const std::size_t right = third.size() - (at + title.size());
    EXPECT_LE(right - at, 1u) << "centred: " << third;
    EXPECT_EQ(Words(body), Words(banner.text));
  }
}

TEST(Banner, WordWiderThanTheBoxIsCutNotOverflowing) {
  const Banner narrow{BannerKind::kError, 24, "a wordthatisfartoolongforthebox b"};
  std::string body;
  for (const std::string& line : SplitLines(FormatBanner(narrow))) {
    if (line.empty()) continue;
    EXPECT_EQ(line.size(), std::string("ERROR:  ").size() + 24) << line;
    body += line;
  }
  EXPECT_NE(body.find("wordthatisfartoo"), std::string::npos);
  EXPECT_NE(body.find("longforthebox"), std::string::npos);

  // A box narrower than its title is widened to hold it.
  const Banner tiny{BannerKind::kError, 5, "x"};
  for (const std::string& line : SplitLines(FormatBanner(tiny))) {
    if (!line.empty()) {
      EXPECT_EQ(line.size(), std::string("ERROR:  ").size() + 19) << line;
    }
  }
}

// A report on one simulated host, with its log lines (timestamps removed).
class ReportOnSimHost : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    unsetenv("MORVANE_SIM_HOST");
    ASSERT_TRUE(platform::SelectMachine("sim"));
  }
  void SetUp() override {
    view_.SetWindow(&window_);
    SetLogView(&view_);
  }
  void TearDown() override {
    SetLogView(nullptr);
    view_.SetWindow(nullptr);
    unsetenv("MORVANE_SIM_HOST");
    platform::sim::InstallHost(platform::sim::DefaultHost());
    FreeDiscoveryResults();
    DefaultGateway() = DefaultGatewayState{};
    if (!hostFile_.empty()) std::remove(hostFile_.c_str());
  }

  // Runs the host described by `text` (this process and its helpers) and
  // takes the network snapshot of it.
  void UseHost(const std::string& text) {
    hostFile_ = ::testing::TempDir() + "report_test.host";
    std::ofstream(hostFile_) << text;
    std::vector<platform::sim::DescriptionError> errors;
    ASSERT_TRUE(platform::sim::SelectHostFile(hostFile_, &errors));
    FreeDiscoveryResults();
    InitGlobals();
    Lines();
  }

  std::vector<std::string> Lines() {
    const std::size_t before = window_.Appended().size();
    view_.OnDrainLog();
    return window_.LinesFrom(before);
  }

  bool HasLine(const std::vector<std::string>& lines, const std::string& wanted) {
    for (const std::string& line : lines) {
      if (line == wanted) return true;
    }
    return false;
  }

  TestWindow window_;
  CVN32TestView view_;
  std::string hostFile_;
};

constexpr const char* kAdapter =
    "adapter sim0\n mac 02-00-00-00-00-10\n ip 192.0.2.10/24\n gateway 192.0.2.1\nend\n";

TEST_F(ReportOnSimHost, AnsweringGatewayIsKnownWithItsMAC) {
  UseHost(std::string(kAdapter) + "router 192.0.2.1 mac 02-00-00-00-00-01\n");
  ReportNetworkInformation();
  EXPECT_TRUE(HasLine(Lines(), "  Default gateway:  192.0.2.1  (02-00-00-00-00-01)"));
  const DefaultGatewayState& gateway = DefaultGateway();
  EXPECT_TRUE(gateway.IsKnown());
  EXPECT_EQ(gateway.strDefaultGateway, "192.0.2.1");
  EXPECT_EQ(gateway.dwGatewayIP, 0x010200C0u);  // network order
  EXPECT_EQ(gateway.strDefaultGatewayMAC, "02-00-00-00-00-01");
}

// The pre-test check then counts the gateway as unknown (its MAC is zero).
TEST_F(ReportOnSimHost, SilentGatewayKeepsItsAddressButNoMAC) {
  UseHost(std::string(kAdapter) + "router 192.0.2.1 mac 02-00-00-00-00-01 arp no\n");
  ReportNetworkInformation();
  EXPECT_TRUE(HasLine(Lines(), "  Default gateway:  192.0.2.1  (unresponsive)"));
  const DefaultGatewayState& gateway = DefaultGateway();
  EXPECT_FALSE(gateway.IsKnown());
  EXPECT_EQ(gateway.strDefaultGateway, "192.0.2.1");
  EXPECT_EQ(gateway.strDefaultGatewayMAC, "00-00-00-00-00-00");
}

// Without a default route there is no address to test: nothing is sent and
// the gateway stays undefined.
TEST_F(ReportOnSimHost, NoDefaultRouteLeavesTheGatewayUndefined) {
  DefaultGateway().strDefaultGateway = "left over";
  UseHost("auto-routes no\nadapter sim0\n mac 02-00-00-00-00-10\n ip 192.0.2.10/24\nend\n"
          "route 192.0.2.0/24 192.0.2.10\n");
  ReportNetworkInformation();
  const std::vector<std::string> lines = Lines();
  EXPECT_TRUE(HasLine(lines, "  Default gateway:  (none)  (no default route)"));
  EXPECT_FALSE(DefaultGateway().IsKnown());
  EXPECT_EQ(DefaultGateway().strDefaultGateway, "");
  EXPECT_EQ(DefaultGateway().dwGatewayIP, 0u);
}

// The adapter re-detection writes nothing while a test runs; otherwise it
// writes the whole block at every run and makes the next test start load the
// interface settings again.
TEST_F(ReportOnSimHost, RedetectionWaitsForTheTestToEnd) {
  UseHost(std::string(kAdapter) + "router 192.0.2.1\n");
  LoadInterfaceSettings();
  view_.hMonitorThread1 = reinterpret_cast<HANDLE>(1);  // a test runs
  const ReportOutcome busy = ReportDetectedAdapters(view_);
  view_.hMonitorThread1 = nullptr;
  EXPECT_TRUE(Lines().empty());
  EXPECT_FALSE(busy.bErrorBanner || busy.bWarningBanner);
  EXPECT_TRUE(InterfaceSettingsLoaded());

  for (int run = 0; run < 2; ++run) {
    const ReportOutcome outcome = ReportDetectedAdapters(view_);
    const std::vector<std::string> lines = Lines();
    EXPECT_TRUE(HasLine(lines, "AdapterName         = NPF_sim0"));
    EXPECT_TRUE(HasLine(lines, "Default Adapter?    = Yes"));
    EXPECT_FALSE(outcome.bErrorBanner);
    EXPECT_FALSE(InterfaceSettingsLoaded());
  }
}

}  // namespace
