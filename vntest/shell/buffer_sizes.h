// The two buffer sizes given to the virtual-interface library when an
// interface is made: the driver's capture buffer and the library's packet
// buffer. Held for the life of the process, never stored. The dialog shows
// and takes them in K bytes.
#pragma once

#include "shell/dialog_error.h"

// Dialog resource 134 and its controls.
inline constexpr int kBufferSizesDialogId = 134;
inline constexpr const char* kBufferSizesDialogTitle = "Define Buffer Sizes...";
inline constexpr int kDriverBufferEdit = 1017, kDriverBufferSpin = 1019;
inline constexpr int kDllBufferEdit = 1018, kDllBufferSpin = 1020;

// The spin ranges, in K bytes.
inline constexpr int kMinDriverBufferK = 64, kMaxDriverBufferK = 16384;
inline constexpr int kMinDllBufferK = 16, kMaxDllBufferK = 1024;

struct BufferSizesK {
  long long nDriverK = 1024;
  long long nDllK = 64;
};
// The current sizes, in K bytes.
BufferSizesK CurrentBufferSizesK();
// OK: both within their ranges (else the range message at the first that
// is not), then both sizes times 1024 replace the process-wide ones.
bool ApplyBufferSizesK(const BufferSizesK& sizes, DialogError* error);
