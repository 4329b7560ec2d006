// The process-wide sink pointer shared by LogMsg and the attachment. Internal
// to the log path.
#pragma once

using LogSinkFunc = void (*)(const char* text);

LogSinkFunc CurrentLogSink();
void SetCurrentLogSink(LogSinkFunc sink);
