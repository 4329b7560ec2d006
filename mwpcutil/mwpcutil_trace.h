// Trace helpers of the utility: every line goes to MestraLib's trace, prefixed
// with where it comes from; the utility prints nothing on the console.
#pragma once

#include "mestralib/trace.h"

#define MWPC_TRACE(...) MestraLibAfxTraceEx(__FILE_NAME__, __LINE__, __func__, __VA_ARGS__)

// A broken internal assumption is reported and the program carries on.
#define MWPC_ASSERT(condition)                                                     \
  do {                                                                             \
    if (!(condition)) MestraLibAfxTrace("%s(%d): ** Assertion Failed **\n", __FILE_NAME__, __LINE__); \
  } while (0)
