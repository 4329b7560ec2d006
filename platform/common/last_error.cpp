// The thread's last error, exported with C linkage for every caller.
#include <cerrno>

#include "platform/winerror.h"

namespace {
thread_local std::uint32_t t_lastError = 0;
}

extern "C" std::uint32_t GetLastError(void) { return t_lastError; }
extern "C" void SetLastError(std::uint32_t code) { t_lastError = code; }

namespace platform {

void SetErrors(DWORD lastError, int errnoValue) {
  t_lastError = lastError;
  errno = errnoValue;
}

SavedErrors::SavedErrors() : lastError_(t_lastError), errno_(errno) {}

void SavedErrors::Restore() const { SetErrors(lastError_, errno_); }

}  // namespace platform
