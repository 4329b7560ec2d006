#include "debug_output.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "platform/winerror.h"
#include "vifnet.h"

namespace vifnet {
namespace {
std::atomic<vifnet32_debug_output_func_t> g_sink{nullptr};
}

void SetDebugSink(vifnet32_debug_output_func_t sink) { g_sink.store(sink); }

void DebugLine(const char* format, ...) {
  vifnet32_debug_output_func_t sink = g_sink.load();
  if (sink == nullptr) return;
  platform::SavedErrors saved;  // a diagnostic never changes a caller's error
  char buffer[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  sink(buffer);
  saved.Restore();
}

void DebugDump(const void* data, std::size_t size) {
  vifnet32_debug_output_func_t sink = g_sink.load();
  if (sink == nullptr) return;
  platform::SavedErrors saved;
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::string text;
  char cell[24];
  for (std::size_t i = 0; i < size; ++i) {
    if (i % 16 == 0) {
      std::snprintf(cell, sizeof cell, "%04zX ", i);
      text += cell;
    }
    std::snprintf(cell, sizeof cell, " %02X", bytes[i]);
    text += cell;
    if (i % 16 == 15 || i + 1 == size) text += '\n';
  }
  sink(text.c_str());
  saved.Restore();
}

}  // namespace vifnet
