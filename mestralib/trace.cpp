// The debug trace.
#include "mestralib/trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/trace_hook.h"
#include "platform/winerror.h"

namespace {

// Where trace text goes. Never destroyed: threads and static destructors may
// still trace while the process ends.
struct TraceState {
  std::mutex mutex;
  MestraLibTraceSink sink = nullptr;
  std::string fileName;  // the MORVANE_TRACE value `file` belongs to
  std::FILE* file = nullptr;
  bool openFailed = false;
};

TraceState& State() {
  static TraceState* state = new TraceState;
  return *state;
}

// The stream MORVANE_TRACE names now, opened on first use and again when the
// variable changes; null when unset or when the file cannot be opened.
std::FILE* StreamFor(TraceState& state, const char* name) {
  if (name == nullptr || *name == '\0') return nullptr;
  if (std::strcmp(name, "stderr") == 0) return stderr;
  if (std::strcmp(name, "stdout") == 0) return stdout;
  if (state.fileName != name) {
    if (state.file != nullptr) std::fclose(state.file);
    state.fileName = name;
    // Append mode: MestraPack and the utility it starts share one file, and
    // each message (up to the buffer's 64 KiB) goes out in one write, so
    // their messages never mix.
    state.file = std::fopen(name, "ae");
    state.openFailed = state.file == nullptr;
    if (state.file != nullptr) std::setvbuf(state.file, nullptr, _IOFBF, 1 << 16);
  }
  return state.openFailed ? nullptr : state.file;
}

void Emit(const std::string& text) {
  TraceState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (state.sink != nullptr) {
    state.sink(text.c_str());
    return;
  }
  std::FILE* stream = StreamFor(state, std::getenv("MORVANE_TRACE"));
  if (stream == nullptr) return;
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

__attribute__((format(printf, 2, 0))) void AppendFormatted(std::string* text, const char* format, va_list args) {
  char small[512];
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(small, sizeof small, format, args);
  if (length < 0) {
    va_end(again);
    return;
  }
  if (static_cast<std::size_t>(length) < sizeof small) {
    text->append(small, static_cast<std::size_t>(length));
  } else {
    const std::size_t start = text->size();
    text->resize(start + static_cast<std::size_t>(length) + 1);
    std::vsnprintf(text->data() + start, static_cast<std::size_t>(length) + 1, format, again);
    text->resize(start + static_cast<std::size_t>(length));
  }
  va_end(again);
}

const char* BaseName(const char* path) {
  const char* base = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') base = p + 1;
  }
  return base;
}

void PlatformLine(const char* line) {
  try {
    if (line != nullptr) Emit(line);
  } catch (...) {
  }
}

// The platform layer's own diagnostics join this trace (and a test's sink)
// for as long as the library is loaded.
struct PlatformTraceHook {
  PlatformTraceHook() { platform::SetTraceHook(&PlatformLine); }
  ~PlatformTraceHook() { platform::SetTraceHook(nullptr); }
  PlatformTraceHook(const PlatformTraceHook&) = delete;
  PlatformTraceHook& operator=(const PlatformTraceHook&) = delete;
};
const PlatformTraceHook g_platformTraceHook;

struct Origin {
  const char* file;
  int line;
  const char* function;
};

// One message: "<file>(<line>): <function>: " when it has an origin, then the
// formatted text. The caller's last error and errno survive it.
__attribute__((format(printf, 2, 0))) void Trace(const Origin* origin, const char* format, va_list args) {
  if (format == nullptr) return;
  const platform::SavedErrors saved;
  try {
    std::string text;
    if (origin != nullptr) {
      text = BaseName(origin->file != nullptr ? origin->file : "?");
      text += '(';
      text += std::to_string(origin->line);
      text += "): ";
      text += origin->function != nullptr ? origin->function : "?";
      text += ": ";
    }
    AppendFormatted(&text, format, args);
    Emit(text);
  } catch (...) {
    // Tracing is a diagnostic; a lack of memory costs the line, nothing more.
  }
  saved.Restore();
}

}  // namespace

void MestraLibAfxTrace(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Trace(nullptr, format, args);
  va_end(args);
}

void MestraLibAfxTraceEx(const char* file, int line, const char* function, const char* format, ...) {
  const Origin origin{file, line, function};
  va_list args;
  va_start(args, format);
  Trace(&origin, format, args);
  va_end(args);
}

void MestraLibSetTraceSink(MestraLibTraceSink sink) {
  TraceState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.sink = sink;
}
