#include "shell/log_document.h"

#include <cerrno>

#include "mestralib/errors.h"
#include "platform/file.h"

namespace {
const DocumentStrings kStrings = {"VNTest",     "Untitled",      "Untitled",     "VNTest Reports (*.ttt)",
                                  ".ttt",       "VNTest.Report", "VNTest Report"};
}

const DocumentStrings& LogDocumentStrings() { return kStrings; }

std::string DocumentTitle(const std::string& path) {
  if (path.empty()) return kStrings.newFileName;
  std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string MainWindowTitle(const std::string& path) {
  return DocumentTitle(path) + " - " + kStrings.windowTitle;
}

std::string SaveFileFilter() {
  char filter[160];
  std::snprintf(filter, sizeof filter, "%s|*%s|Text Files (*.txt)|*.txt|All Files (*.*)|*.*||", kStrings.filterName,
                kStrings.filterExt);
  return filter;
}

std::string SavePromptInstruction(const std::string& documentTitle) {
  return "Do you want to save changes to " + documentTitle + "?";
}

bool SaveModified(bool modified, const std::string& path, const SavePromptCalls& calls) {
  if (!modified) return true;
  const std::string instruction = SavePromptInstruction(DocumentTitle(path));
  for (;;) {
    switch (calls.ask(instruction)) {
      case SaveAnswer::kDontSave:
        return true;
      case SaveAnswer::kSave: {
        std::optional<std::string> target = path;
        if (path.empty()) target = calls.choosePath();
        if (target && calls.save(*target)) return true;
        break;  // ask again
      }
      case SaveAnswer::kCancel:
      default:
        return false;
    }
  }
}

bool SaveLogText(const std::string& path, const std::string& text, std::string* error) {
  // All or nothing: a save that fails (a full disk) keeps the file that was there.
  if (platform::ReplaceFileContents(path.c_str(), text)) return true;
  if (error != nullptr) *error = "Cannot save " + path + ": " + StrError(errno);
  return false;
}
