// The window's command table, enabling rules, log document and placement,
// without a window.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "platform/machine.h"
#include "shell_host.h"
#include "shell/about_box.h"
#include "shell/commands.h"
#include "shell/help_texts.h"
#include "shell/log_document.h"
#include "shell/window_placement.h"

namespace {

using ::testing::ElementsAre;

std::vector<std::string> ItemTexts(const Menu& menu) {
  std::vector<std::string> texts;
  for (const MenuItem& item : menu.items) texts.push_back(item.id == 0 ? "-" : item.text);
  return texts;
}

TEST(CommandTable, MenusCarryTheirItemsAndSeparatorsInOrder) {
  const auto& menus = MainMenus();
  ASSERT_EQ(menus.size(), 5u);
  EXPECT_THAT(ItemTexts(menus[0]), ElementsAre("&Save\tCtrl+S", "-", "E&xit"));
  EXPECT_THAT(ItemTexts(menus[1]),
              ElementsAre("&Copy\tCtrl+C", "-", "Select &All\tCtrl+A", "-", "&Find...\tCtrl+F", "F&ind Next\tF3"));
  EXPECT_THAT(ItemTexts(menus[3]),
              ElementsAre("Start \"Gorlan\"...", "Start ping test...", "Stop ping test", "Stop \"Gorlan\"", "-",
                          "Define buffer sizes...", "Define default gateway...", "-", "Re-detect adapters",
                          "Socket-notify mode", "Set debug flags..."));
  EXPECT_THAT(ItemTexts(menus[4]), ElementsAre("Ostrel &Help", "&About VN32Test..."));
  EXPECT_EQ(AboutMenuText(), "&About VNTest64UD...");
}

TEST(CommandTable, PromptsSplitIntoStatusTextAndTooltip) {
  const MenuItem* start = FindMenuItem(ID_TEST_START);
  ASSERT_NE(start, nullptr);
  EXPECT_EQ(PromptStatusText(start->prompt), "Start a simulated \"Gorlan\" instance...");
  EXPECT_EQ(PromptToolTip(start->prompt), "Start Gorlan...");
  EXPECT_EQ(PromptStatusText(FindMenuItem(ID_APP_EXIT)->prompt), "Quit the application; prompts to save documents");
  EXPECT_EQ(FindMenuItem(ID_FILE_NEW), nullptr);  // an accelerator only
  // Every identifier appears once in the menus.
  std::set<UINT> ids;
  for (const Menu& menu : MainMenus()) {
    for (const MenuItem& item : menu.items) {
      if (item.id != 0) {
        EXPECT_TRUE(ids.insert(item.id).second) << item.id;
      }
    }
  }
}

TEST(CommandTable, AcceleratorsNameTheirCommands) {
  std::multiset<std::string> keys;
  for (const Accelerator& a : Accelerators()) keys.insert(std::to_string(a.id) + " " + a.keys);
  for (const char* expected : {"57603 Ctrl+S", "57634 Ctrl+C", "57634 Ctrl+Ins", "57642 Ctrl+A", "57636 Ctrl+F",
                               "57640 F3", "57600 Ctrl+N", "57601 Ctrl+O", "57680 F6", "57681 Shift+F6"}) {
    EXPECT_EQ(keys.count(expected), 1u) << expected;
  }
  EXPECT_EQ(keys.size(), 10u);
}

// The enabled Test commands of a state, in menu order.
std::vector<UINT> EnabledTestCommands(const CommandFacts& facts) {
  std::vector<UINT> enabled;
  for (const MenuItem& item : MainMenus()[3].items) {
    if (item.id != 0 && QueryCommandState(item.id, facts).enabled) enabled.push_back(item.id);
  }
  return enabled;
}

TEST(EnablingRules, IdleTestAndPingStates) {
  CommandFacts idle;
  EXPECT_THAT(EnabledTestCommands(idle), ElementsAre(ID_TEST_START, ID_TEST_BUFFERS, ID_TEST_GATEWAY,
                                                     ID_TEST_REDETECT, ID_TEST_SOCKET_NOTIFY, ID_TEST_DEBUG_FLAGS));
  CommandFacts test;
  test.testRunning = true;
  EXPECT_THAT(EnabledTestCommands(test), ElementsAre(ID_TEST_PING, ID_TEST_STOP));
  CommandFacts ping = test;
  ping.pingRunning = true;
  EXPECT_THAT(EnabledTestCommands(ping), ElementsAre(ID_TEST_STOP_PING, ID_TEST_STOP));
  // A new log is not made under a running guest; a saved log is never read.
  EXPECT_TRUE(QueryCommandState(ID_FILE_NEW, idle).enabled);
  EXPECT_FALSE(QueryCommandState(ID_FILE_NEW, test).enabled);
  EXPECT_FALSE(QueryCommandState(ID_FILE_OPEN, idle).enabled);
}

TEST(EnablingRules, CheckMarksStayWhileTheCommandsAreGrey) {
  CommandFacts facts;
  facts.socketNotifyMode = true;
  facts.debugMode = true;
  facts.testRunning = true;
  for (UINT id : {ID_TEST_SOCKET_NOTIFY, ID_TEST_DEBUG_FLAGS}) {
    const CommandState state = QueryCommandState(id, facts);
    EXPECT_FALSE(state.enabled);
    EXPECT_TRUE(state.checkable);
    EXPECT_TRUE(state.checked);
  }
  facts.debugMode = false;
  EXPECT_FALSE(QueryCommandState(ID_TEST_DEBUG_FLAGS, facts).checked);
  EXPECT_TRUE(QueryCommandState(ID_TEST_SOCKET_NOTIFY, facts).checked);
}

TEST(EnablingRules, EditCommandsFollowTheLog) {
  CommandFacts facts;
  EXPECT_FALSE(QueryCommandState(ID_EDIT_COPY, facts).enabled);
  EXPECT_FALSE(QueryCommandState(ID_EDIT_REPEAT, facts).enabled);
  facts.hasText = true;
  EXPECT_TRUE(QueryCommandState(ID_EDIT_SELECT_ALL, facts).enabled);
  EXPECT_FALSE(QueryCommandState(ID_EDIT_REPEAT, facts).enabled);
  facts.hasFindText = true;
  facts.hasSelection = true;
  EXPECT_TRUE(QueryCommandState(ID_EDIT_REPEAT, facts).enabled);
  EXPECT_TRUE(QueryCommandState(ID_EDIT_COPY, facts).enabled);
}

TEST(LogDocument, TitlesAndFilter) {
  EXPECT_EQ(MainWindowTitle(""), "Untitled - VNTest");
  EXPECT_EQ(MainWindowTitle("/tmp/logs/run 1.ttt"), "run 1.ttt - VNTest");
  EXPECT_EQ(SaveFileFilter(), "VNTest Reports (*.ttt)|*.ttt|Text Files (*.txt)|*.txt|All Files (*.*)|*.*||");
  EXPECT_EQ(SavePromptInstruction("Untitled"), "Do you want to save changes to Untitled?");
}

// A scripted user for the save prompt.
struct ScriptedUser {
  std::vector<SaveAnswer> answers;
  std::vector<std::optional<std::string>> paths;
  std::vector<bool> saveResults;
  std::vector<std::string> asked, saved;
  int chosen = 0;

  SavePromptCalls Calls() {
    SavePromptCalls c;
    c.ask = [this](const std::string& text) {
      asked.push_back(text);
      SaveAnswer a = answers.at(asked.size() - 1);
      return a;
    };
    c.choosePath = [this] { return paths.at(static_cast<std::size_t>(chosen++)); };
    c.save = [this](const std::string& path) {
      saved.push_back(path);
      return saveResults.at(saved.size() - 1);
    };
    return c;
  }
};

TEST(SavePrompt, AnswersAndLoops) {
  {
    ScriptedUser u;  // not modified: no question
    EXPECT_TRUE(SaveModified(false, "", u.Calls()));
    EXPECT_TRUE(u.asked.empty());
  }
  {
    ScriptedUser u{{SaveAnswer::kDontSave}};
    EXPECT_TRUE(SaveModified(true, "", u.Calls()));
    EXPECT_THAT(u.asked, ElementsAre("Do you want to save changes to Untitled?"));
    EXPECT_TRUE(u.saved.empty());
  }
  {
    ScriptedUser u{{SaveAnswer::kCancel}};
    EXPECT_FALSE(SaveModified(true, "/x/a.ttt", u.Calls()));
    EXPECT_THAT(u.asked, ElementsAre("Do you want to save changes to a.ttt?"));
  }
  {
    // Save, the file dialog cancelled: asked again; then Cancel keeps it open.
    ScriptedUser u{{SaveAnswer::kSave, SaveAnswer::kCancel}, {std::nullopt}};
    EXPECT_FALSE(SaveModified(true, "", u.Calls()));
    EXPECT_EQ(u.asked.size(), 2u);
    EXPECT_TRUE(u.saved.empty());
  }
  {
    // A failed save asks again; the second save succeeds.
    ScriptedUser u{{SaveAnswer::kSave, SaveAnswer::kSave}, {}, {false, true}};
    EXPECT_TRUE(SaveModified(true, "/x/a.ttt", u.Calls()));
    EXPECT_THAT(u.saved, ElementsAre("/x/a.ttt", "/x/a.ttt"));
  }
  {
    ScriptedUser u{{SaveAnswer::kSave}, {std::string("/y/b.ttt")}, {true}};
    EXPECT_TRUE(SaveModified(true, "", u.Calls()));
    EXPECT_THAT(u.saved, ElementsAre("/y/b.ttt"));
  }
}

TEST(LogDocument, SavesPlainTextAndNamesTheCauseOfAFailure) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "vntest_log_document_test";
  std::filesystem::create_directories(dir);
  const std::string path = (dir / "log.ttt").string();
  std::string error;
  ASSERT_TRUE(SaveLogText(path, "12:00:00.000 one\n12:00:00.000 two\n", &error));
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "12:00:00.000 one\n12:00:00.000 two\n");
  EXPECT_FALSE(SaveLogText(dir.string(), "x", &error));  // a folder
  EXPECT_EQ(error, "Cannot save " + dir.string() + ": Is a directory");
  std::filesystem::remove_all(dir);
}

TEST(WindowPlacement, TextRoundTripAndRefusals) {
  const WindowPlacement p{-10, 20, 300, 200};
  EXPECT_EQ(FormatWindowPlacement(p), "-10 20 300 200");
  auto back = ParseWindowPlacement("-10 20 300 200");
  ASSERT_TRUE(back);
  EXPECT_EQ(back->x, -10);
  EXPECT_EQ(back->height, 200);
  for (const char* bad : {"", "1 2 3", "1 2 3 4 5", "1 2 0 4", "1 2 3 -4", "a b c d", "1 2 3 4x",
                          "99999999999 0 10 10", "1  2 3 4"}) {
    EXPECT_FALSE(ParseWindowPlacement(bad)) << bad;
  }
}

// A placement is kept in the program's settings file (here the test's own)
// and read back from it.
class WindowPlacementStore : public shell_test::ShellTest {};

TEST_F(WindowPlacementStore, SavedInTheSettingsFileAndRestored) {
  UseHost(shell_test::kTwoAdapterHost);
  ASSERT_TRUE(SaveWindowPlacement("About", WindowPlacement{-10, 20, 300, 200}));
  EXPECT_NE(ReadFile(SettingsFile()).find("[WindowPlacement]\nAbout=text:\"-10 20 300 200\"\n"), std::string::npos)
      << ReadFile(SettingsFile());
  auto stored = RestoreWindowPlacement("About");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->width, 300);
  EXPECT_FALSE(RestoreWindowPlacement("Never"));
}

TEST(HelpTexts, LastLineIsTheTitle) {
  const HelpTopic mac = SplitHelpText(HelpText(6204));
  EXPECT_EQ(mac.title, "Guest MAC address");
  EXPECT_EQ(mac.body.substr(0, 40), "Enter here an optional MAC address to as");
  EXPECT_NE(mac.body.find("\n\nPlease note"), std::string::npos);
  EXPECT_EQ(SplitHelpText(HelpText(6000)).title, "About");
  EXPECT_EQ(HelpText(6999), nullptr);
  EXPECT_EQ(AboutBox().productLine, "Vifnet for Windows Testing Program -- Version 3.9.0.6222-UD");
  EXPECT_EQ(AboutBox().title, "About VNTest64UD");
}

}  // namespace
