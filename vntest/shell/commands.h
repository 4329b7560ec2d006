// The commands of VNTest's window: their identifiers, the menus that carry
// them (texts, separators, status-line prompts), the accelerators, and when
// each command is enabled or checked. The window only draws what this says.
#pragma once

#include <string>
#include <vector>

#include "platform/wintypes.h"

// The program's build name in every title and message that names it.
inline constexpr const char* kProgramName = "VNTest64UD";

// Command identifiers (kept as the menu items' data so that tests find them).
enum CommandId : UINT {
  ID_FILE_NEW = 57600,
  ID_FILE_OPEN = 57601,
  ID_FILE_SAVE = 57603,
  ID_EDIT_COPY = 57634,
  ID_EDIT_FIND = 57636,
  ID_EDIT_REPEAT = 57640,
  ID_EDIT_SELECT_ALL = 57642,
  ID_APP_ABOUT = 57664,
  ID_APP_EXIT = 57665,
  ID_NEXT_PANE = 57680,
  ID_PREV_PANE = 57681,
  ID_TEST_START = 32772,
  ID_TEST_STOP = 32773,
  ID_TEST_PING = 32775,
  ID_TEST_REDETECT = 32778,
  ID_TEST_GATEWAY = 32780,
  ID_TEST_BUFFERS = 32782,
  ID_TEST_DEBUG_FLAGS = 32783,
  ID_TEST_SOCKET_NOTIFY = 32786,
  ID_TEST_STOP_PING = 32788,
  ID_HELP_OSTREL = 32789,
  ID_VIEW_PING_CHART = 32790,
};

// One menu entry; id 0 is a separator. `prompt` is the status-line text, then
// "\n" and the tooltip.
struct MenuItem {
  UINT id;
  const char* text;
  const char* prompt;
};
struct Menu {
  const char* title;
  std::vector<MenuItem> items;
};
// File, Edit, View, Test, Help, in this order.
const std::vector<Menu>& MainMenus();
// The log's context menu: Copy and Select All.
const std::vector<MenuItem>& LogContextMenu();
// The menu entry of `id` (null when no menu carries it).
const MenuItem* FindMenuItem(UINT id);

// The status-line part of a prompt (before "\n") and the tooltip (after).
std::string PromptStatusText(const char* prompt);
std::string PromptToolTip(const char* prompt);
// The idle text of the status line.
inline constexpr const char* kIdleMessage = "Ready";

// The About item's text, given whenever a menu opens.
std::string AboutMenuText();

// Keys, as "Ctrl+S", "Ctrl+Ins", "F3", "Shift+F6". A command may have several.
struct Accelerator {
  UINT id;
  const char* keys;
};
const std::vector<Accelerator>& Accelerators();

// What the enabling rules read.
struct CommandFacts {
  bool testRunning = false;      // a monitor thread runs
  bool pingRunning = false;      // a ping thread runs
  bool socketNotifyMode = false;
  bool debugMode = false;
  bool hasSelection = false;     // the log has a non-empty selection
  bool hasText = false;          // the log is not empty
  bool hasFindText = false;      // a search was made before
};
struct CommandState {
  bool enabled = true;
  bool checkable = false;
  bool checked = false;
};
CommandState QueryCommandState(UINT id, const CommandFacts& facts);
