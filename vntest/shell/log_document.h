// The log as a document: its strings (window title, new-file name, the saved
// report's file type), the main window's title, the save-changes question and
// its loop, and writing the log as plain text. Widget-free: the window asks
// the user through the callbacks given here.
#pragma once

#include <functional>
#include <optional>
#include <string>

// "VNTest\nUntitled\nUntitled\nVNTest Reports (*.ttt)\n.ttt\nVNTest.Report\nVNTest Report"
struct DocumentStrings {
  const char* windowTitle;   // "VNTest"
  const char* docName;       // "Untitled"
  const char* newFileName;   // "Untitled"
  const char* filterName;    // "VNTest Reports (*.ttt)"
  const char* filterExt;     // ".ttt"
  const char* fileTypeId;    // "VNTest.Report"
  const char* fileTypeName;  // "VNTest Report"
};
const DocumentStrings& LogDocumentStrings();

// The name a document is known by: the file name with extension of `path`,
// or the new-file name for a log never saved.
std::string DocumentTitle(const std::string& path);
// The main window's title: "<document title> - VNTest".
std::string MainWindowTitle(const std::string& path);

// The save dialog's filter, in pairs of display text and pattern separated by
// "|": "VNTest Reports (*.ttt)|*.ttt|Text Files (*.txt)|*.txt|All Files (*.*)|*.*||".
std::string SaveFileFilter();

// The save prompt's texts.
inline constexpr const char* kSavePromptTitle = "VNTest64UD";
std::string SavePromptInstruction(const std::string& documentTitle);

// The prompt's answers (the platform's button results).
enum class SaveAnswer { kSave = 6, kDontSave = 7, kCancel = 2 };

// What the save prompt needs from the window.
struct SavePromptCalls {
  // Shows the question; returns the user's answer.
  std::function<SaveAnswer(const std::string& instruction)> ask;
  // The save dialog; nullopt when the user cancels it.
  std::function<std::optional<std::string>()> choosePath;
  // Saves to the path; true on success (the document then records the path
  // and is no longer modified).
  std::function<bool(const std::string& path)> save;
};

// The check before the document is closed. Not modified: true at once.
// Otherwise asks until the user decides: "Don't Save" gives true, Cancel
// false, Save saves (to the known path, else to a chosen one) and gives true
// when that succeeded; a failed save or a cancelled save dialog asks again.
bool SaveModified(bool modified, const std::string& path, const SavePromptCalls& calls);

// Writes the log text as plain text, replacing the file. On failure returns
// false with a message naming the file and the cause in *error.
bool SaveLogText(const std::string& path, const std::string& text, std::string* error);
