#include "shell/log_sink.h"

#include <atomic>

#include "shell/log.h"

namespace {
std::atomic<LogSinkFunc> g_pLogSink{nullptr};
}

LogSinkFunc CurrentLogSink() { return g_pLogSink.load(); }

void SetCurrentLogSink(LogSinkFunc sink) { g_pLogSink.store(sink); }

bool IsLogSinkAttached() { return CurrentLogSink() != nullptr; }
