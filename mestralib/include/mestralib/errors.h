// Error texts and the mapping from last-error codes to errno values.
#pragma once

#include <string>

#include "platform/winerror.h"

// The text of a last-error code, without a line break ("The parameter is
// incorrect."). Every code the kit uses has its own text; any other gets a
// generic text that names the number.
std::string FormatLastError(DWORD code);

// The text of an errno value as the kit's callers number them (60 is the
// time-out of an empty receive).
std::string StrError(int errnoValue);

// The errno that goes with a last-error code.
int LastErrorToErrno(DWORD code);
