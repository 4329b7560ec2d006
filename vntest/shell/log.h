// VNTest's log: one printf-like entry point for every thread, a sink that
// turns text into timestamped lines queued on the log view, and the
// assertion line that reports a broken internal assumption and goes on.
#pragma once

#include <cstdarg>

class CVN32TestView;

// Formats and hands the text to the sink; while no sink is attached the text
// goes to the debug trace instead. Never fails.
void LogMsg(const char* format, ...) __attribute__((format(printf, 1, 2)));
void LogMsgV(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

// The sink, also installed as the virtual-interface library's debug output.
// Splits `text` at each "\n" into lines that all carry one timestamp, trims
// trailing blanks, and queues them on the log view. Dropped when text is
// null or no log view is set.
void LogOutput(const char* text);

// Attaches LogOutput as the sink and as the library's debug output, at most
// once per process. When the library refuses, the sink stays empty and all
// log text goes to the debug trace. Returns whether the sink is attached.
bool AttachLogSink();
bool IsLogSinkAttached();
// Tests only: forgets the attachment so that it can be made again.
void ResetLogSinkForTesting();

// The one log view of the process (null until its initial update).
void SetLogView(CVN32TestView* view);
CVN32TestView* GetLogView();

// "hh:mm:ss.mmm " of the local time now.
void FormatLogTimestamp(char (&out)[16]);

#if defined(__FILE_NAME__)
#define VN_SOURCE_NAME __FILE_NAME__
#else
#define VN_SOURCE_NAME __FILE__
#endif

// A broken internal assumption: logged with the source name and line; the
// program carries on.
#define VN_ASSERT(cond)                                                        \
  do {                                                                         \
    if (!(cond)) LogMsg("%s(%d): ** Assertion Failed **\n", VN_SOURCE_NAME, __LINE__); \
  } while (0)
