// The debug trace. Output goes to the file or stream named by MORVANE_TRACE
// ("stderr" and "stdout" allowed) and nowhere when it is unset. Tracing never
// fails and never changes the last error or errno.
#pragma once

void MestraLibAfxTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Prefixes the line with where it comes from: "<file>(<line>): <function>: ".
void MestraLibAfxTraceEx(const char* file, int line, const char* function, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

// Where trace text goes, for tests: replaces the sink until reset with nullptr.
// The sink receives each message whole, one call at a time, and must not trace.
using MestraLibTraceSink = void (*)(const char* text);
void MestraLibSetTraceSink(MestraLibTraceSink sink);
