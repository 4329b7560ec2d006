#include "debug_trace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/winerror.h"

namespace {

std::atomic<MESTRAPACK_PRINT_FUNCTION> g_pfnPrintDebugString{nullptr};

std::string FormatV(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int needed = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (needed <= 0) {
    return std::string();
  }
  std::vector<char> text(static_cast<std::size_t>(needed) + 1);
  std::vsnprintf(text.data(), text.size(), format, args);
  return std::string(text.data(), static_cast<std::size_t>(needed));
}

}  // namespace

void DebugTrace(const char* format, ...) {
  // A diagnostic must never disturb the error the caller is about to see,
  // whatever the caller's hook does.
  platform::SavedErrors saved;
  va_list args;
  va_start(args, format);
  std::string text = FormatV(format, args);
  va_end(args);
  MESTRAPACK_PRINT_FUNCTION hook = g_pfnPrintDebugString.load();
  if (hook != nullptr) {
    hook(text.c_str());
  } else {
    MestraLibAfxTrace("%s", text.c_str());
  }
  saved.Restore();
}

void SetPrintDebugString(MESTRAPACK_PRINT_FUNCTION function) { g_pfnPrintDebugString.store(function); }

void AssertionFailed(const char* file, int line) { DebugTrace("%s(%d): ** Assertion Failed **\n", file, line); }
