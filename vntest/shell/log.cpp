// The log path: LogMsg -> sink (LogOutput) -> pending lines of the view.
#include "shell/log.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <list>
#include <string>
#include <string_view>

#include "mestralib/trace.h"
#include "platform/sync.h"
#include "shell/log_sink.h"
#include "shell/vn32test_view.h"

namespace {

std::atomic<CVN32TestView*> g_pLogView{nullptr};

__attribute__((format(printf, 1, 0))) std::string FormatV(const char* format, va_list args) {
  va_list measure;
  va_copy(measure, args);
  char small[512];
  int n = std::vsnprintf(small, sizeof small, format, measure);
  va_end(measure);
  if (n < 0) return {};
  if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
  std::string text(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, args);
  text.resize(static_cast<size_t>(n));
  return text;
}

std::string MakeLine(std::string_view prefix, std::string_view piece) {
  // Trimming the whole line keeps the piece's leading blanks (they follow
  // the prefix) and removes the prefix's own blank on an empty line. Built
  // in one allocation: a busy guest logs tens of thousands of lines a second.
  static constexpr char kBlanks[] = " \t\r\n";
  std::string line;
  line.reserve(prefix.size() + piece.size() + 1);
  line.append(prefix).append(piece);
  const std::size_t last = line.find_last_not_of(kBlanks);
  line.resize(last == std::string::npos ? 0 : last + 1);
  line.erase(0, std::min(line.find_first_not_of(kBlanks), line.size()));
  line.push_back('\n');
  return line;
}

}  // namespace

void LogMsgV(const char* format, va_list args) {
  // The caller's error values survive the log line: failure reports log first
  // and hand errno and the last error on afterwards.
  platform::SavedErrors saved;
  std::string text = FormatV(format, args);
  if (LogSinkFunc sink = CurrentLogSink()) {
    sink(text.c_str());
  } else {
    MestraLibAfxTrace("%s", text.c_str());
  }
  saved.Restore();
}

void LogMsg(const char* format, ...) {
  va_list args;
  va_start(args, format);
  LogMsgV(format, args);
  va_end(args);
}

void FormatLogTimestamp(char (&out)[16]) {
  platform::SYSTEMTIME now{};
  platform::GetLocalTime(&now);
  std::snprintf(out, sizeof out, "%02u:%02u:%02u.%03u ", static_cast<unsigned>(now.wHour % 100),
                static_cast<unsigned>(now.wMinute % 100), static_cast<unsigned>(now.wSecond % 100),
                static_cast<unsigned>(now.wMilliseconds % 1000));
}

void LogOutput(const char* text) {
  if (text == nullptr) return;
  CVN32TestView* view = g_pLogView.load();
  if (view == nullptr) return;

  char prefix[16];
  FormatLogTimestamp(prefix);

  std::list<std::string> lines;
  std::string_view rest(text);
  for (size_t nl = rest.find('\n'); nl != std::string_view::npos; nl = rest.find('\n')) {
    lines.push_back(MakeLine(prefix, rest.substr(0, nl)));
    rest.remove_prefix(nl + 1);
  }
  if (!rest.empty()) lines.push_back(MakeLine(prefix, rest));

  view->QueueLogLines(std::move(lines));
}

void SetLogView(CVN32TestView* view) { g_pLogView.store(view); }

CVN32TestView* GetLogView() { return g_pLogView.load(); }
