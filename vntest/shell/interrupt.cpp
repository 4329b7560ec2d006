// The programs' answer to the requests to end (see interrupt.h).
#include "shell/interrupt.h"

#include <mutex>
#include <utility>

#include "platform/process.h"

namespace {

std::mutex g_interruptLock;
std::function<void()> g_action;  // under g_interruptLock
int g_nInterrupts = 0;           // under g_interruptLock

BOOL OnInterrupt(DWORD) {
  std::lock_guard<std::mutex> lock(g_interruptLock);
  if (!g_action || g_nInterrupts++ > 0) return 0;
  g_action();
  return 1;
}

}  // namespace

void InstallInterruptHandler() { platform::SetConsoleCtrlHandler(&OnInterrupt, 1); }

void SetInterruptAction(std::function<void()> action) {
  std::lock_guard<std::mutex> lock(g_interruptLock);
  g_action = std::move(action);
}
