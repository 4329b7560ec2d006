#include "shell/commands.h"

#include <cstdio>

namespace {

const std::vector<Menu> kMenus = {
    {"&File",
     {
         {ID_FILE_SAVE, "&Save\tCtrl+S", "Save the active document\nSave"},
         {0, nullptr, nullptr},
         {ID_APP_EXIT, "E&xit", "Quit the application; prompts to save documents\nExit"},
     }},
    {"&Edit",
     {
         {ID_EDIT_COPY, "&Copy\tCtrl+C", "Copy the selection and put it on the Clipboard\nCopy"},
         {0, nullptr, nullptr},
         {ID_EDIT_SELECT_ALL, "Select &All\tCtrl+A", "Select the entire document\nSelect All"},
         {0, nullptr, nullptr},
         {ID_EDIT_FIND, "&Find...\tCtrl+F", "Find the specified text\nFind"},
         {ID_EDIT_REPEAT, "F&ind Next\tF3", "Repeat the last action\nRepeat"},
     }},
    {"&View",
     {
         {ID_VIEW_PING_CHART, "&Round-trip chart",
          "Show or hide the round-trip times of the running ping test\nRound-trip chart"},
     }},
    {"&Test",
     {
         {ID_TEST_START, "Start \"Gorlan\"...", "Start a simulated \"Gorlan\" instance...\nStart Gorlan..."},
         {ID_TEST_PING, "Start ping test...", "Start a ping test to someone...\nPing someone..."},
         {ID_TEST_STOP_PING, "Stop ping test", "Stop the ping test\nStop pinging"},
         {ID_TEST_STOP, "Stop \"Gorlan\"", "Stop simulated \"Gorlan\" instance\nStop Gorlan"},
         {0, nullptr, nullptr},
         {ID_TEST_BUFFERS, "Define buffer sizes...", "Define buffer sizes...\nDefine buffer sizes..."},
         {ID_TEST_GATEWAY, "Define default gateway...", "Define default gateway...\nDefine default gateway..."},
         {0, nullptr, nullptr},
         {ID_TEST_REDETECT, "Re-detect adapters", "Scan system for available adapters\nRe-detect adapters"},
         {ID_TEST_SOCKET_NOTIFY, "Socket-notify mode", "Toggle Socket-notify mode\nSocket-notify mode"},
         {ID_TEST_DEBUG_FLAGS, "Set debug flags...", "Set debug mode flags...\nSet debug flags..."},
     }},
    {"&Help",
     {
         {ID_HELP_OSTREL, "Ostrel &Help", "Open Ostrel Help File...\nOstrel Help..."},
         {ID_APP_ABOUT, "&About VN32Test...",
          "Display program information, version number and copyright\nAbout"},
     }},
};

const std::vector<MenuItem> kContextMenu = {
    {ID_EDIT_COPY, "&Copy\tCtrl+C", "Copy the selection and put it on the Clipboard\nCopy"},
    {ID_EDIT_SELECT_ALL, "Select &All\tCtrl+A", "Select the entire document\nSelect All"},
};

const std::vector<Accelerator> kAccelerators = {
    {ID_FILE_SAVE, "Ctrl+S"},       {ID_EDIT_COPY, "Ctrl+C"},  {ID_EDIT_COPY, "Ctrl+Ins"},
    {ID_EDIT_SELECT_ALL, "Ctrl+A"}, {ID_EDIT_FIND, "Ctrl+F"},  {ID_EDIT_REPEAT, "F3"},
    {ID_FILE_NEW, "Ctrl+N"},        {ID_FILE_OPEN, "Ctrl+O"},  {ID_NEXT_PANE, "F6"},
    {ID_PREV_PANE, "Shift+F6"},
};

}  // namespace

const std::vector<Menu>& MainMenus() { return kMenus; }
const std::vector<MenuItem>& LogContextMenu() { return kContextMenu; }
const std::vector<Accelerator>& Accelerators() { return kAccelerators; }

const MenuItem* FindMenuItem(UINT id) {
  for (const Menu& menu : kMenus) {
    for (const MenuItem& item : menu.items) {
      if (item.id == id && id != 0) return &item;
    }
  }
  return nullptr;
}

std::string PromptStatusText(const char* prompt) {
  std::string text = prompt != nullptr ? prompt : "";
  return text.substr(0, text.find('\n'));
}

std::string PromptToolTip(const char* prompt) {
  std::string text = prompt != nullptr ? prompt : "";
  std::size_t nl = text.find('\n');
  return nl == std::string::npos ? std::string() : text.substr(nl + 1);
}

std::string AboutMenuText() {
  char text[64];
  std::snprintf(text, sizeof text, "&About %s...", kProgramName);
  return text;
}

CommandState QueryCommandState(UINT id, const CommandFacts& f) {
  CommandState state;
  const bool idle = !f.testRunning;
  switch (id) {
    case ID_TEST_START:
    case ID_TEST_BUFFERS:
    case ID_TEST_GATEWAY:
    case ID_TEST_REDETECT:
      state.enabled = idle;
      break;
    case ID_TEST_PING:
      state.enabled = f.testRunning && !f.pingRunning;
      break;
    case ID_TEST_STOP_PING:
      state.enabled = f.testRunning && f.pingRunning;
      break;
    case ID_TEST_STOP:
      state.enabled = f.testRunning;
      break;
    case ID_TEST_SOCKET_NOTIFY:
      state = {idle, true, f.socketNotifyMode};
      break;
    case ID_TEST_DEBUG_FLAGS:
      state = {idle, true, f.debugMode};
      break;
    // A new log gathers the network snapshot again, which the running
    // guest's threads read: only while no test runs.
    case ID_FILE_NEW:
      state.enabled = idle;
      break;
    // A saved log is plain text and is never read back.
    case ID_FILE_OPEN:
      state.enabled = false;
      break;
    case ID_EDIT_COPY:
      state.enabled = f.hasSelection;
      break;
    case ID_EDIT_SELECT_ALL:
    case ID_EDIT_FIND:
      state.enabled = f.hasText;
      break;
    case ID_EDIT_REPEAT:
      state.enabled = f.hasText && f.hasFindText;
      break;
    default:
      break;
  }
  return state;
}
