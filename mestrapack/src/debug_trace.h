// The library's diagnostics. Adapter messages and assertion lines go through
// DebugTrace, which a caller may redirect with its print hook; the application
// object's own messages go to the utility library's trace with their origin.
#pragma once

#include "mestralib/trace.h"
#include "mestrapack/mestrapack.h"

void DebugTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Installs (or, with nullptr, removes) the caller's print hook.
void SetPrintDebugString(MESTRAPACK_PRINT_FUNCTION function);

// A broken internal assumption: written as a line, never fatal.
void AssertionFailed(const char* file, int line);

#define MP_ASSERT(condition)                   \
  do {                                         \
    if (!(condition)) {                        \
      AssertionFailed(__FILE__, __LINE__);     \
    }                                          \
  } while (0)

#define APP_TRACE(function, ...) MestraLibAfxTraceEx(__FILE__, __LINE__, function, __VA_ARGS__)
