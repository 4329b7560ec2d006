// The platform layer's diagnostics: a hook for the utility library's trace, or
// MORVANE_TRACE directly until one is installed.
#include "platform/trace_hook.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/winerror.h"

namespace platform {
namespace {

std::atomic<TraceHook> g_hook{nullptr};

void WriteToTraceTarget(const char* line) {
  const char* target = std::getenv("MORVANE_TRACE");
  if (!target || !*target) return;
  if (std::strcmp(target, "stderr") == 0 || std::strcmp(target, "stdout") == 0) {
    std::FILE* stream = target[3] == 'e' ? stderr : stdout;
    std::fputs(line, stream);
    std::fflush(stream);
    return;
  }
  if (std::FILE* file = std::fopen(target, "ae")) {
    std::fputs(line, file);
    std::fclose(file);
  }
}

}  // namespace

void SetTraceHook(TraceHook hook) { g_hook.store(hook); }

void PlatformTrace(const char* format, ...) {
  SavedErrors saved;
  char buffer[1024];
  va_list args;
  va_start(args, format);
  int length = std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  if (length >= 0) {
    if (TraceHook hook = g_hook.load()) {
      hook(buffer);
    } else {
      WriteToTraceTarget(buffer);
    }
  }
  saved.Restore();
}

}  // namespace platform
