// Where the platform layer's own diagnostics go (an unreadable settings file,
// a library that would not load). The utility library's trace sits above this
// layer, so it installs itself here; until it does, lines go to the file or
// stream named by MORVANE_TRACE ("stderr", "stdout" or a path), and nowhere
// when that is unset. Writing a line never fails and never changes the last
// error or errno.
#pragma once

namespace platform {

using TraceHook = void (*)(const char* line);

// Replaces the destination; nullptr restores the default. Thread-safe.
void SetTraceHook(TraceHook hook);

void PlatformTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace platform
