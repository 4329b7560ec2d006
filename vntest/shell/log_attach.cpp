// Attaching the sink is the one step of the log path that calls into the
// virtual-interface library; it lives in its own file so that programs and
// tests that never attach need not link the library.
#include <mutex>

#include "shell/log.h"
#include "shell/log_sink.h"
#include "vifnet.h"

namespace {
std::mutex g_attachLock;
bool g_bSinkAttachTried = false;
}  // namespace

bool AttachLogSink() {
  std::lock_guard lock(g_attachLock);
  if (!g_bSinkAttachTried) {
    g_bSinkAttachTried = true;
    SetCurrentLogSink(&LogOutput);
    if (vifnet32_set_debug_output_func(&LogOutput) == 0) {
      // The library would keep writing into a sink nobody reads in order;
      // rather keep every line in the trace.
      SetCurrentLogSink(nullptr);
    }
  }
  return CurrentLogSink() != nullptr;
}

void ResetLogSinkForTesting() {
  std::lock_guard lock(g_attachLock);
  g_bSinkAttachTried = false;
  SetCurrentLogSink(nullptr);
}
